#!/usr/bin/env bash
# Extraction CPU time (user + sys, median of several runs) of
# `vokra -x -u archive > /dev/null` beside `gzip -dc`, `pigz -dc` and
# `igzip -dc` on the same gzip members.
#
# Usage: bench/extract.sh [path/to/vokra] [runs]
# The archive images are made by hand (executable, marker, four empty
# preamble strings, member), so only the reader side of vokra is measured.
# The 2-second pause of every extraction costs no CPU and is not counted.
set -euo pipefail

VOKRA=${1:-build/bench/vokra/vokra}
RUNS=${2:-5}
[ -x "$VOKRA" ] || { echo "no vokra executable at $VOKRA (build it first)" >&2; exit 1; }

work=$(mktemp -d /tmp/vokra-extract-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Sample data: text-like with repeats (about 3:1 for gzip -6), and random bytes.
python3 - "$work" <<'PY'
import os, random, sys
work = sys.argv[1]
rng = random.Random(5)
words = [w.encode() for w in "the of inflate window block code length distance huffman tree symbol extra bits\n 0x1f8b vokra".split(" ")]
out = bytearray()
while len(out) < 64 << 20:
    r = rng.random()
    if r < 0.85:
        out += rng.choice(words) + b" "
    elif r < 0.95 and len(out) > 5000:
        start = len(out) - rng.randrange(100, 5000)
        out += out[start:start + rng.randrange(4, 80)]
    else:
        out += os.urandom(rng.randrange(1, 60))
open(os.path.join(work, "text"), "wb").write(out[:64 << 20])
open(os.path.join(work, "random"), "wb").write(os.urandom(32 << 20))
PY

marker=$(printf 'vokra+%s' magik)
members=()
for data in text random; do
  for level in 1 6 9; do
    m="$work/$data-gzip$level.gz"
    gzip -c -"$level" < "$work/$data" > "$m"
    members+=("$m")
  done
done

# Median of the user+sys CPU seconds of RUNS runs of a command line.
cpu_median() {
  python3 - "$RUNS" "$1" <<'PY'
import resource, subprocess, sys
runs, cmd = int(sys.argv[1]), sys.argv[2]
times = []
for _ in range(runs):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(cmd, shell=True, check=True, stdout=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    times.append((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime))
times.sort()
print(f"{times[len(times) // 2]:.3f}")
PY
}

tools=("vokra" "gzip")
command -v pigz >/dev/null && tools+=("pigz") || echo "pigz not installed (Debian package pigz): column skipped" >&2
command -v igzip >/dev/null && tools+=("igzip") || echo "igzip not installed (Debian package isal): column skipped" >&2

printf '%-22s %10s' member "MiB out"
for t in "${tools[@]}"; do printf ' %9s' "$t"; done
printf ' %11s %11s\n' "vokra/gzip" "vokra/igzip"

for m in "${members[@]}"; do
  archive="$m.run"
  { cat "$VOKRA"; printf '%s' "$marker"; printf '\0\0\0\0'; cat "$m"; } > "$archive"
  chmod +x "$archive"
  # Verify before timing: the extraction must give back the data exactly.
  data="$work/$(basename "$m" | cut -d- -f1)"
  "$VOKRA" -x -u "$archive" 2>/dev/null | cmp -s - "$data" || { echo "vokra extracted $m wrongly" >&2; exit 1; }
  size=$(stat -c %s "$data")
  printf '%-22s %10.1f' "$(basename "$m")" "$(echo "$size / 1048576" | bc -l)"
  declare -A t=()
  for tool in "${tools[@]}"; do
    case $tool in
      vokra) cmd="'$VOKRA' -x -u '$archive' 2>/dev/null" ;;
      *) cmd="$tool -dc < '$m'" ;;
    esac
    t[$tool]=$(cpu_median "$cmd")
    printf ' %9s' "${t[$tool]}"
  done
  ratio() { [ -n "${t[$2]:-}" ] && echo "${t[$1]} / ${t[$2]}" | bc -l | xargs printf '%.2f' || echo "-"; }
  printf ' %11s %11s\n' "$(ratio vokra gzip)" "$(ratio vokra igzip)"
  unset t
done
echo "CPU seconds, user + sys, median of $RUNS runs"
