#!/usr/bin/env python3
# Installers side by side: a real tree built in one step and installed by vokra
# and by makeself. Run by bench/compare.sh, which sets VOKRA, WORK and RUNS.

# A real tree (the machine's C headers, over 100 MB) is packed into an
# installer and installed: vokra builds from the directory operand; makeself
# (a shell-script installer of another design) packs with tar and gzip -9.
# Both install the same way: unpack into a private temporary directory, run a
# command there, remove the directory. CPU and peak memory include every
# process the tool waited for (tar, gzip, the shell).
import os, shutil, statistics, subprocess, sys, time

vokra, work = os.environ["VOKRA"], os.environ["WORK"]
runs = int(os.environ["RUNS"])
tree = os.environ.get("INSTALL_TREE", "/usr/include")
makeself = shutil.which("makeself")


def timed(argv, cwd=None, stdout=None):
    """Runs argv; returns (wall s, CPU s of it and its waited-for children,
    peak RSS KiB of the largest of them). GNU time measures the memory: a
    child forked from this Python would count Python's own pages."""
    rss_file = os.path.join(work, "rss")
    with open(stdout or os.devnull, "wb") as o:
        t0 = time.monotonic()
        p = subprocess.Popen(["/usr/bin/time", "-o", rss_file, "-f", "%M", *argv], cwd=cwd, stdout=o,
                             stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.monotonic() - t0
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(argv)}")
    return wall, ru.ru_utime + ru.ru_stime, int(open(rss_file).read().split()[-1])


tree_bytes = int(subprocess.run(["du", "-sb", tree], capture_output=True, text=True).stdout.split()[0])
print(f"\n### Installers: `{tree}` ({tree_bytes / 2**20:.0f} MiB), built in one step and installed\n")
if not makeself:
    print("NOTE: makeself is not installed: its column is skipped\n")
tools = {"vokra": {}, "makeself": {}} if makeself else {"vokra": {}}
v_run, m_run = os.path.join(work, "tree.run"), os.path.join(work, "tree-ms.run")
tmp = os.path.join(work, "tmp")
os.makedirs(tmp, exist_ok=True)
os.environ["TMPDIR"] = tmp  # both installers stage under it
for _ in range(runs):
    tools["vokra"].setdefault("build", []).append(timed([vokra, "-r", "true", tree], stdout=v_run))
    if makeself:
        tools["makeself"].setdefault("build", []).append(
            timed([makeself, "--quiet", "--nox11", "--nomd5", "--nocrc", tree, m_run, "tree", "true"]))
    os.chmod(v_run, 0o755)
    # Installs: into a private directory under TMPDIR, removed afterwards.
    tools["vokra"].setdefault("install", []).append(timed([v_run, "--quiet"]))
    if makeself:
        tools["makeself"].setdefault("install", []).append(timed([m_run, "--quiet", "--nox11"]))
    leftover = os.listdir(tmp)
    if leftover:
        sys.exit(f"an installer left {leftover} in {tmp}")

# What was timed must be right: vokra's payload unpacks to the very tree.
check = os.path.join(work, "check")
os.makedirs(check)
subprocess.run(f"'{vokra}' -u '{v_run}' -x 2>/dev/null | tar -xf - -C '{check}' && diff -r --no-dereference '{tree}' '{check}' >/dev/null",
               shell=True, check=True)
shutil.rmtree(check)

sizes = {"vokra": os.path.getsize(v_run), "makeself": os.path.getsize(m_run) if makeself else 0}
names = list(tools)
print("| | " + " | ".join(names) + " |")
print("|---|" + "---|" * len(names))
for step in ("build", "install"):
    for i, what in enumerate(("wall", "CPU", "peak RSS")):
        cells = []
        for n in names:
            vals = [r[i] for r in tools[n][step]]
            m = statistics.median(vals)
            cells.append(f"{m / 1024:.1f} MiB" if i == 2 else f"{m:.2f} s")
        print(f"| {step}: {what} | " + " | ".join(cells) + " |")
print("| installer size | " + " | ".join(f"{sizes[n] / 2**20:.1f} MiB" for n in names) + " |")
print("\nvokra's install wall time includes its fixed two-second pause after the data is written.")
