#!/usr/bin/env bash
# Whole-process comparisons of vokra with the standard gzip-format tools:
# build (compression) and extraction CPU time, peak memory and image size,
# printed as a Markdown table for the README.
#
# usage: bench/compare.sh [runs]        (default 5; run from anywhere)
#
# Corpora (made once, cached in build/bench-corpus/): a tar of /usr/include
# (text) and a tar of the shared libraries under /usr/lib (binary), each cut
# to just under 24 MiB. Every tool runs once per round, round after round, so that a
# change in machine load hits all of them alike; the table shows the median
# CPU time (user + sys, from wait4) of each. pigz's CPU time is the sum over
# its threads. The build of vokra must give, after the stored file name,
# exactly the bytes of `gzip -9n` after its 10-byte header, or the script
# fails. vokra's extraction is timed twice: `-x` into /dev/null, the same
# job as the peers' `-dc`, decoded once; and `-x` into a pipe, where the
# payload is decoded twice (a verify pass before anything is written, as for
# an extract command). Every extraction pauses 2 seconds, which costs no CPU.
#
# Then the installers: a real tree (the C headers, over 100 MB) built in one
# step and installed by vokra and by makeself, side by side (bench/installers.py).
#
# Missing peers (pigz, libdeflate-gzip, igzip, GNU time, makeself) are installed with
# apt-get when run as root; otherwise their columns are skipped with a note.
set -euo pipefail
runs=${1:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
corpus_dir=$root/build/bench-corpus
size=$((24 << 20))
work=$(mktemp -d "${TMPDIR:-/tmp}/vokra-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# --- peers -----------------------------------------------------------------
declare -A package=([pigz]=pigz [libdeflate-gzip]=libdeflate-tools [igzip]=isal [/usr/bin/time]=time [makeself]=makeself)
missing=()
for tool in "${!package[@]}"; do
    command -v "$tool" >/dev/null || missing+=("${package[$tool]}")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "installing ${missing[*]}" >&2
        apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2 ||
            echo "NOTE: apt-get could not install ${missing[*]}" >&2
    else
        echo "NOTE: not root: not installing ${missing[*]}; their columns are skipped" >&2
    fi
fi
command -v gzip >/dev/null || { echo "gzip is required" >&2; exit 1; }

# --- vokra -----------------------------------------------------------------
(cd "$root" && cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null)
vokra=$root/build/bench/vokra/vokra

# --- corpora ---------------------------------------------------------------
# vokra's output equals gzip -9n's except in two corners at the very end of an
# input: gzip stops looking for matches once the position passes 65274 in the
# window without a slide, and zeroes the two window bytes after the data. So
# each corpus ends in 512 seeded random bytes (which repeat nothing before
# them), and its length is 16 KiB short of a whole 32 KiB multiple, so its end
# lies mid-window, well before 65274.
tail_bytes=512
mkdir -p "$corpus_dir"
make_corpus() { # name, then the command that writes the tar to stdout
    local f=$corpus_dir/$1.tar
    shift
    if [ ! -s "$f" ]; then
        { "$@" 2>/dev/null | head -c $((size - 16384 - tail_bytes)) || true
          python3 -c 'import random, sys; r = random.Random(1952)
sys.stdout.buffer.write(bytes(r.randrange(256) for _ in range(int(sys.argv[1]))))' "$tail_bytes"
        } >"$f.part"
        mv "$f.part" "$f"
    fi
    if [ "$(stat -c %s "$f")" -lt $((size - 16384)) ]; then
        echo "NOTE: only $(stat -c %s "$f") bytes for $(basename "$f") on this machine (wanted $size)" >&2
    fi
}
make_corpus text tar cf - -C /usr include
make_corpus binary sh -c "find /usr/lib -name '*.so*' -type f | LC_ALL=C sort | tar cf - -T -"

# --- image -----------------------------------------------------------------
cp "$vokra" "$work/vokra.stripped"
strip "$work/vokra.stripped"
image_bytes=$(stat -c %s "$work/vokra.stripped")
image_libs=$(ldd "$vokra" | awk '{ print $1 }' | tr '\n' ' ')

# --- measurements ------------------------------------------------------------
export VOKRA="$vokra" CORPUS_DIR="$corpus_dir" WORK="$work" RUNS="$runs" \
    IMAGE_BYTES="$image_bytes" IMAGE_LIBS="$image_libs"
python3 - <<'PY'
import os, shutil, statistics, subprocess, sys

vokra, corpus_dir, work = os.environ["VOKRA"], os.environ["CORPUS_DIR"], os.environ["WORK"]
runs = int(os.environ["RUNS"])
have = {t: shutil.which(t) is not None for t in ("pigz", "libdeflate-gzip", "igzip")}
gnu_time = shutil.which("time") and os.path.exists("/usr/bin/time")


def run(argv, stdin=None, stdout=None, cwd=None, pipe=False):
    """Runs argv once; returns (CPU seconds user + sys, peak RSS in KiB).
    With pipe, standard output is a pipe drained by a cat of its own, whose
    time is not counted."""
    with open(stdin or os.devnull, "rb") as i, open(stdout or os.devnull, "wb") as o:
        drain = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=o) if pipe else None
        p = subprocess.Popen(argv, stdin=i, stdout=drain.stdin if pipe else o, stderr=subprocess.DEVNULL, cwd=cwd)
        if pipe:
            drain.stdin.close()
        _, status, ru = os.wait4(p.pid, 0)
        if pipe:
            drain.wait()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(argv)}")
    return ru.ru_utime + ru.ru_stime, ru.ru_maxrss


def peak_kib(argv, cwd=None):
    """Peak RSS as GNU time reports it (%M), stdout discarded."""
    r = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], cwd=cwd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, check=True, text=True)
    return int(r.stderr.strip().splitlines()[-1])


def tool_version(argv):
    try:
        r = subprocess.run(argv, capture_output=True, text=True)
        return (r.stdout + r.stderr).strip().splitlines()[0]
    except OSError:
        return "not installed"


machine = subprocess.run("lscpu | grep 'Model name' | sed 's/.*: *//'", shell=True,
                         capture_output=True, text=True).stdout.strip()
load = open("/proc/loadavg").read().split()[:3]
commit = subprocess.run(["git", "-C", os.path.dirname(os.path.dirname(vokra)), "log", "-1", "--format=%h"],
                        capture_output=True, text=True).stdout.strip()
print(f"- Machine: {machine}, {os.cpu_count()} CPUs (nproc {len(os.sched_getaffinity(0))}), "
      f"load average at start {' '.join(load)}")
print(f"- Tools: vokra {commit or '(tree)'} (bench preset); {tool_version(['gzip', '--version'])}; "
      f"{tool_version(['pigz', '--version'])}; libdeflate-gzip ({tool_version(['libdeflate-gzip', '-V'])}); "
      f"{tool_version(['igzip', '--version'])}")
print(f"- {runs} rounds, median CPU seconds (user + sys); ratios are vokra / peer")
for t, ok in have.items():
    if not ok:
        print(f"- NOTE: {t} is not installed: its rows are skipped")
print()

builds = [("vokra", None), ("gzip -9n", ["gzip", "-9n", "-c"])]
if have["pigz"]:
    builds.append(("pigz -9", ["pigz", "-9", "-c"]))
if have["libdeflate-gzip"]:
    builds += [("libdeflate-gzip -9", ["libdeflate-gzip", "-9", "-c"]),
               ("libdeflate-gzip -12", ["libdeflate-gzip", "-12", "-c"])]
extracts = [("vokra -x -u", None), ("vokra -x -u | pipe", None), ("gzip -dc", ["gzip", "-dc"])]
for t in ("pigz", "libdeflate-gzip", "igzip"):
    if have[t]:
        extracts.append((f"{t} -dc", [t, "-dc"]))

results = {}
failed = False
for corpus in ("text", "binary"):
    name = f"{corpus}.tar"
    src = os.path.join(corpus_dir, name)
    nbytes = os.path.getsize(src)
    archive = os.path.join(work, f"{corpus}.run")
    member = os.path.join(work, f"{corpus}.gz")
    build_t = {k: [] for k, _ in builds}
    extract_t = {k: [] for k, _ in extracts}
    for _ in range(runs):
        for label, argv in builds:
            if argv is None:  # vokra stores the name it is given: run beside the corpus
                t, _ = run([vokra, name], stdout=archive, cwd=corpus_dir)
            else:
                out = member if label == "gzip -9n" else os.devnull
                t, _ = run(argv + [src], stdout=out)
            build_t[label].append(t)
    # Byte identity: vokra's member after "name\0" is gzip -9n's stream after its header.
    a, g = open(archive, "rb").read(), open(member, "rb").read()
    body = g[10:]
    same = a.endswith(name.encode() + b"\0" + body)
    failed |= not same
    # The extraction must give the corpus back before it is timed.
    ok = subprocess.run(f"'{vokra}' -x -u '{archive}' 2>/dev/null | cmp -s - '{src}'", shell=True).returncode == 0
    failed |= not ok
    for _ in range(runs):
        for label, argv in extracts:
            if argv is None:
                t, _ = run([vokra, "-x", "-u", archive], pipe=label.endswith("pipe"))
            else:
                t, _ = run(argv, stdin=member)
            extract_t[label].append(t)
    # Peak memory of vokra on the whole corpus and on a 1 MiB cut of it.
    small = os.path.join(work, f"{corpus}-1m.tar")
    with open(src, "rb") as f:
        open(small, "wb").write(f.read(1 << 20))
    small_run = os.path.join(work, f"{corpus}-1m.run")
    with open(small_run, "wb") as o:
        subprocess.run([vokra, os.path.basename(small)], cwd=work, stdout=o, stderr=subprocess.DEVNULL, check=True)
    mem = {}
    if gnu_time:
        mem = {"build": peak_kib([vokra, name], cwd=corpus_dir),
               "build_1m": peak_kib([vokra, os.path.basename(small)], cwd=work),
               "extract": peak_kib([vokra, "-x", "-u", archive]),
               "extract_1m": peak_kib([vokra, "-x", "-u", small_run])}
    results[corpus] = dict(nbytes=nbytes, gz=len(g), same=same, ok=ok,
                           build={k: statistics.median(v) for k, v in build_t.items()},
                           spread={k: (min(v), max(v)) for k, v in {**build_t, **extract_t}.items()},
                           extract={k: statistics.median(v) for k, v in extract_t.items()}, mem=mem)

text, binary = results["text"], results["binary"]
print(f"| | text ({text['nbytes'] / 2**20:.1f} MiB) | binary ({binary['nbytes'] / 2**20:.1f} MiB) |")
print("|---|---|---|")


def row(label, f):
    print(f"| {label} | {f(text)} | {f(binary)} |")


def secs(kind, label):
    def f(r):
        lo, hi = r["spread"][label]
        return f"{r[kind][label]:.3f} s ({lo:.2f}–{hi:.2f})"
    return f


for label, _ in builds:
    row(f"build: `{label if label != 'vokra' else 'vokra corpus > archive'}`", secs("build", label))
row("build ratio vokra / gzip -9n (target ≤ 0.5)",
    lambda r: f"**{r['build']['vokra'] / r['build']['gzip -9n']:.2f}**")
row("vokra member = gzip -9n output (after headers)", lambda r: "yes" if r["same"] else "**NO**")
row("compressed size (gzip -9n)", lambda r: f"{100 * r['gz'] / r['nbytes']:.1f} %")
extract_labels = {"vokra -x -u": "`vokra -x -u archive` (into a file)",
                  "vokra -x -u | pipe": "`vokra -x -u archive \\| …` (into a pipe: verify pass first)"}
for label, _ in extracts:
    row(f"extract: {extract_labels.get(label, f'`{label}`')}", secs("extract", label))
if have["igzip"]:
    row("extract ratio vokra / igzip (target ≤ 1.25)",
        lambda r: f"**{r['extract']['vokra -x -u'] / r['extract']['igzip -dc']:.2f}**")
    row("extract ratio into a pipe, verify pass included / igzip",
        lambda r: f"{r['extract']['vokra -x -u | pipe'] / r['extract']['igzip -dc']:.2f}")
row("extract ratio vokra / gzip -dc (target ≤ 0.5)",
    lambda r: f"**{r['extract']['vokra -x -u'] / r['extract']['gzip -dc']:.2f}**")
if gnu_time:
    row("peak RSS of vokra build: corpus / 1 MiB cut (target ≤ 4 MiB)",
        lambda r: f"{r['mem']['build'] / 1024:.2f} / {r['mem']['build_1m'] / 1024:.2f} MiB")
    row("peak RSS of vokra extraction: corpus / 1 MiB cut",
        lambda r: f"{r['mem']['extract'] / 1024:.2f} / {r['mem']['extract_1m'] / 1024:.2f} MiB")
else:
    print("\nNOTE: GNU time (/usr/bin/time) is not installed: memory rows skipped")
print()
print(f"Image: stripped vokra {int(os.environ['IMAGE_BYTES']):,} bytes (target ≤ 300 KB); "
      f"ldd: {os.environ['IMAGE_LIBS'].strip()}")
print("Times are median CPU seconds (min–max over the rounds in brackets). Into a pipe, as into "
      "an extract command, vokra decodes the payload twice: once to verify it, once into the output.")
sys.exit(1 if failed else 0)
PY
python3 "$root/bench/installers.py"
