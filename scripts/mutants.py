#!/usr/bin/env python3
"""Mutation run: plants each fault of scripts/mutants.txt, one at a time, in a
scratch copy of the tree, rebuilds it and runs the whole suite; a fault that no
test notices is a survivor.

The working tree is only read. The scratch copy lives under build/mutants/
with its own build directory, configured once and rebuilt incrementally, so a
mutant costs one compile of its file, two links and one suite run. Files are
named in the list by their base name and found wherever they lie in the tree,
and each fault is a snippet that must occur exactly once in its file: when the
code moves the list still applies, and when the snippet is gone the run says
so and ends non-zero, so the list is kept current.

An entry marked `equivalent` is a fault that cannot change anything a test
could observe; its reason is reported and it is not run (its snippet must
still apply, so the claim stays tied to the code).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

TREE = Path(__file__).resolve().parent.parent
LIST = Path(__file__).resolve().parent / "mutants.txt"
SKIP_DIRS = {"build", ".git"}


class Mutant:
    def __init__(self, ident, line):
        self.id = ident
        self.line = line
        self.fields = {}

    def __getattr__(self, name):
        try:
            return self.__dict__["fields"][name]
        except KeyError:
            raise AttributeError(name) from None


def parse_list(path):
    """Blocks of `[id]` then `file =`, `what =`, `from =`, `to =` and, for a
    fault that cannot change any output, `equivalent =` with the reason; a
    value goes on over following lines that begin with `|` (the rest of the
    line, verbatim, after a newline)."""
    mutants, cur, key = [], None, None
    for n, raw in enumerate(path.read_text().splitlines(), 1):
        if raw.startswith("|"):
            if cur is None or key is None:
                sys.exit(f"{path}:{n}: continuation outside a value")
            cur.fields[key] += "\n" + raw[1:]
            continue
        line = raw.strip()
        if not line or line.startswith("#"):
            key = None
            continue
        m = re.fullmatch(r"\[([\w.-]+)\]", line)
        if m:
            cur, key = Mutant(m.group(1), n), None
            mutants.append(cur)
            continue
        m = re.fullmatch(r"(file|what|from|to|equivalent)\s*=\s?(.*)", raw.rstrip("\n"))
        if cur is None or m is None:
            sys.exit(f"{path}:{n}: expected [id] or file/what/from/to/equivalent = value")
        key = m.group(1)
        cur.fields[key] = m.group(2) if key in ("from", "to") else m.group(2).strip()
    seen = set()
    for mu in mutants:
        missing = {"file", "what", "from", "to"} - mu.fields.keys()
        if missing:
            sys.exit(f"{path}:{mu.line}: [{mu.id}] lacks {', '.join(sorted(missing))}")
        if mu.id in seen:
            sys.exit(f"{path}:{mu.line}: [{mu.id}] given twice")
        seen.add(mu.id)
    return mutants


def skipped_dir(path, root=TREE):
    """The build directories and git's data, at the top of the tree only."""
    rel = path.relative_to(root)
    return len(rel.parts) == 1 and (rel.name in SKIP_DIRS or rel.name.startswith("build-"))


def find_file(root, name):
    """The one file called `name` (or ending in the relative path `name`)."""
    hits = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if not skipped_dir(Path(dirpath, d), root)]
        for f in filenames:
            p = Path(dirpath, f)
            if p.relative_to(root).as_posix().endswith(name) and (f == name or "/" in name):
                hits.append(p.relative_to(root))
    return hits


def resolve(mutants, root):
    """Maps each mutant to its file and mutated text; returns the problems."""
    problems = []
    for mu in mutants:
        hits = find_file(root, mu.file)
        if len(hits) != 1:
            problems.append(f"[{mu.id}] {mu.file}: {len(hits)} files of that name")
            continue
        mu.path = hits[0]
        text = (root / mu.path).read_text()
        count = text.count(mu.fields["from"])
        if count != 1:
            problems.append(f"[{mu.id}] {mu.path}: snippet found {count} times, not once")
            continue
        mu.original = text
        mu.mutated = text.replace(mu.fields["from"], mu.fields["to"], 1)
    return problems


def run(cmd, log):
    with open(log, "w") as f:
        return subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT).returncode


def failed_tests(build):
    log = build / "Testing" / "Temporary" / "LastTestsFailed.log"
    if not log.exists():
        return set()
    return {line.split(":", 1)[1].strip() for line in log.read_text().splitlines() if ":" in line}


class Scratch:
    def __init__(self, work, jobs, test_jobs, test_timeout, tests, first_failure=False):
        self.src = work / "tree"
        self.build = self.src / "build" / "mutants"
        self.jobs = jobs
        self.test_jobs = test_jobs
        self.test_timeout = test_timeout
        # A ctest -R regex: the tests that can notice the faults being run.
        self.select = ["-R", tests] if tests else []
        # Only whether a mutant is killed, not by which tests: the suite stops
        # at its first failure (the tests already running still finish).
        self.stop = ["--stop-on-failure"] if first_failure else []
        self.logs = work / "logs"
        self.logs.mkdir(parents=True, exist_ok=True)

    def sync(self):
        # Copies only files whose bytes differ, with a fresh time, so a file
        # that changed since the last run (or was left mutated by an
        # interrupted one) rebuilds and the others do not.
        wanted = set()
        for dirpath, dirnames, filenames in os.walk(TREE):
            dirnames[:] = [d for d in dirnames if not skipped_dir(Path(dirpath, d))]
            for f in filenames:
                src = Path(dirpath, f)
                rel = src.relative_to(TREE)
                if rel.as_posix() == ".git":
                    continue
                wanted.add(rel)
                dst = self.src / rel
                if src.is_symlink():
                    if not dst.is_symlink() or os.readlink(dst) != os.readlink(src):
                        dst.parent.mkdir(parents=True, exist_ok=True)
                        if dst.exists() or dst.is_symlink():
                            dst.unlink()
                        os.symlink(os.readlink(src), dst)
                elif not dst.is_file() or dst.is_symlink() or dst.read_bytes() != src.read_bytes():
                    dst.parent.mkdir(parents=True, exist_ok=True)
                    if dst.is_symlink():
                        dst.unlink()
                    shutil.copyfile(src, dst)
                    shutil.copymode(src, dst)
        for dirpath, dirnames, filenames in os.walk(self.src):
            dirnames[:] = [d for d in dirnames if not skipped_dir(Path(dirpath, d), self.src)]
            for f in filenames:
                p = Path(dirpath, f)
                if p.relative_to(self.src) not in wanted:
                    p.unlink()

    def configure(self):
        if (self.build / "build.ninja").exists():
            return 0
        return run(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DVOKRA_TEST_TIMEOUT={self.test_timeout}"], self.logs / "configure.log")

    def build_and_test(self, tag):
        t0 = time.monotonic()
        rc = run(["nice", "cmake", "--build", self.build, "-j", str(self.jobs)],
                 self.logs / f"{tag}.build.log")
        if rc != 0:
            return "build", set(), time.monotonic() - t0
        res = self.build / "Testing" / "Temporary" / "LastTestsFailed.log"
        if res.exists():
            res.unlink()
        rc = run(["nice", "ctest", "--test-dir", self.build, "-j", str(self.test_jobs), "--no-tests=error",
                  "-LE", "long", *self.select, *self.stop], self.logs / f"{tag}.test.log")
        return rc, failed_tests(self.build), time.monotonic() - t0

    def write(self, rel, text):
        (self.src / rel).write_text(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("ids", nargs="*", help="run only these mutants")
    ap.add_argument("--list", action="store_true", help="list the mutants and check that each applies")
    ap.add_argument("--jobs", type=int, default=2, help="parallel build jobs (2)")
    # Most tests wait (every extraction pauses 2 s by design): the whole suite
    # takes some 50 s of CPU, but over 2 minutes of waiting at -j2.
    ap.add_argument("--test-jobs", type=int, default=8, help="tests run side by side (8)")
    ap.add_argument("--test-timeout", type=int, default=60, help="seconds per test (60)")
    ap.add_argument("--tests", metavar="REGEX",
                    help="run only the tests matching REGEX (ctest -R), to try faults of one part quickly")
    ap.add_argument("--first-failure", action="store_true",
                    help="stop each mutant's suite at its first failing test: faster, but the report no longer "
                    "tells which tests alone kill a mutant")
    ap.add_argument("--work", type=Path, default=TREE / "build" / "mutants", help="scratch directory")
    args = ap.parse_args()

    mutants = parse_list(LIST)
    problems = resolve(mutants, TREE)
    if args.list:
        for mu in mutants:
            mark = " (equivalent)" if "equivalent" in mu.fields else ""
            print(f"{mu.id:24} {getattr(mu, 'path', mu.file)}: {mu.what}{mark}")
        for p in problems:
            print("does not apply:", p, file=sys.stderr)
        return 1 if problems else 0
    if args.ids:
        unknown = set(args.ids) - {mu.id for mu in mutants}
        if unknown:
            sys.exit(f"unknown mutant: {' '.join(sorted(unknown))}")
        mutants = [mu for mu in mutants if mu.id in args.ids]
        problems = [p for p in problems if any(p.startswith(f"[{i}]") for i in args.ids)]
    equivalent = [mu for mu in mutants if "equivalent" in mu.fields]
    runnable = [mu for mu in mutants if hasattr(mu, "mutated") and "equivalent" not in mu.fields]

    scratch = Scratch(args.work, args.jobs, args.test_jobs, args.test_timeout, args.tests, args.first_failure)
    started = time.monotonic()
    scratch.sync()
    if scratch.configure() != 0:
        sys.exit(f"configure failed: see {scratch.logs / 'configure.log'}")
    rc, base_failed, secs = scratch.build_and_test("baseline")
    if rc == "build":
        sys.exit(f"the unmutated tree does not build: see {scratch.logs / 'baseline.build.log'}")
    print(f"baseline: {secs:.0f} s" + (f", already failing (ignored): {' '.join(sorted(base_failed))}"
                                       if base_failed else ""), flush=True)

    listing = subprocess.run(["ctest", "--test-dir", scratch.build, "-N", "-LE", "long", *scratch.select],
                             capture_output=True, text=True).stdout
    all_tests = set(re.findall(r"Test\s+#\d+: (\S+)", listing))

    results = []
    # One file at a time, so each file is restored (and recompiled) once.
    runnable.sort(key=lambda mu: str(mu.path))
    for i, mu in enumerate(runnable):
        scratch.write(mu.path, mu.mutated)
        rc, failed, secs = scratch.build_and_test(mu.id)
        failed -= base_failed
        status = "build-error" if rc == "build" else "killed" if failed else "survived"
        results.append((mu, status, sorted(failed), secs))
        print(f"[{i + 1}/{len(runnable)}] {mu.id}: {status} ({secs:.0f} s)"
              + (f" by {len(failed)} test(s)" if failed else ""), flush=True)
        if i + 1 == len(runnable) or runnable[i + 1].path != mu.path:
            scratch.write(mu.path, mu.original)
    total = time.monotonic() - started

    report = report_text(results, problems, total, base_failed, all_tests - base_failed, equivalent, args.tests)
    (args.work / "report.txt").write_text(report)
    print(report.split("\n\n## Tests")[0])
    print(f"\nfull report: {args.work / 'report.txt'}")
    return 1 if problems else 0


def report_text(results, problems, total, base_failed, all_tests, equivalent, tests):
    killed = [r for r in results if r[1] == "killed"]
    build = [r for r in results if r[1] == "build-error"]
    survived = [r for r in results if r[1] == "survived"]
    n = len(results)
    out = [f"# Mutation run, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {total / 60:.1f} min",
           f"score: {len(killed) + len(build)}/{n} killed"
           + (f" ({100.0 * (len(killed) + len(build)) / n:.1f}%)" if n else "")
           + f"; {len(killed)} by tests, {len(build)} by the compiler, {len(survived)} survived"
           + (f"; {len(equivalent)} equivalent, not run" if equivalent else "")]
    if tests:
        out.append(f"only the tests matching {tests} ran")
    if base_failed:
        out.append(f"failing before any mutant (not counted): {' '.join(sorted(base_failed))}")
    for p in problems:
        out.append(f"does not apply: {p}")
    if survived:
        out.append("survivors:")
        out += [f"  {mu.id}: {mu.path}: {mu.what}" for mu, *_ in survived]
    if build:
        out.append("killed by the compiler:")
        out += [f"  {mu.id}: {mu.path}" for mu, *_ in build]
    if equivalent:
        out.append("equivalent (cannot change any output), not run:")
        out += [f"  {mu.id}: {mu.equivalent}" for mu in equivalent]

    # Which tests are the only ones to notice some mutant, and which never are.
    killers = {}
    for mu, status, failed, _ in killed:
        for t in failed:
            killers.setdefault(t, set()).add(mu.id)
    sole = {}
    for mu, status, failed, _ in killed:
        if len(failed) == 1:
            sole.setdefault(failed[0], []).append(mu.id)
    out.append("")
    out.append("## Tests that alone kill some mutant")
    out += [f"  {t}: {' '.join(sorted(ids))}" for t, ids in sorted(sole.items())]
    out.append("## Tests that kill mutants, none of them alone")
    out += [f"  {t}: {len(ids)}" for t, ids in sorted(killers.items()) if t not in sole]
    idle = sorted(all_tests - killers.keys())
    out.append(f"## Tests that kill no mutant: {len(idle)}")
    out += [f"  {t}" for t in idle]
    out.append("")
    out.append("## Per mutant")
    for mu, status, failed, secs in results:
        out.append(f"[{mu.id}] {status} in {secs:.0f} s: {mu.path}: {mu.what}")
        out += [f"    {t}" for t in failed]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    sys.exit(main())
