#!/usr/bin/env bash
# Compresses the same corpora with vokra's compressor and with `gzip -9n`,
# side by side in one run, and prints the median CPU time (user + sys) of
# each and their ratio. Fails when the two outputs differ.
#
# usage: bench/compress.sh [runs]        (default 5 runs; run from the tree)
#
# The corpora: a tar of /usr/include (text) and a tar of shared libraries
# from /usr/lib (binary), cut to 24 MiB and 16 MiB. vokra's side builds an
# archive of the corpus file with the built `vokra`; while the tool cannot
# compress yet it runs a small harness that calls zip() from the library.
set -eu
runs=${1:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
work=${TMPDIR:-/tmp}/vokra-bench.$$
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT INT TERM

cmake --preset bench -S "$root" >/dev/null
cmake --build "$build" >/dev/null

tar cf - -C /usr include 2>/dev/null | head -c $((24 << 20)) >"$work/text.tar"
find /usr/lib -name '*.so*' -type f -size +64k 2>/dev/null | sort |
    tar cf - -T - 2>/dev/null | head -c $((16 << 20)) >"$work/binary.tar"

# The compressor under test: vokra itself once it compresses, else the harness.
vokra="$build/vokra/vokra"
: >"$work/probe"
if "$vokra" "$work/probe" >"$work/probe.out" 2>/dev/null && [ -s "$work/probe.out" ] &&
    tail -c 28 "$work/probe.out" | od -An -tx1 | grep -q '1f 8b'; then
    compress() { "$vokra" "$1"; }
    what="vokra"
else
    cat >"$work/harness.cpp" <<'CPP'
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include "gzip.h"
int main(int, char** argv)
{
    int in = open(argv[1], O_RDONLY);
    if (in < 0) return 1;
    std::strncpy(ifname, argv[1], NAME_MAX_LEN - 1);
    return zip(in, 1);
}
CPP
    ${CXX:-c++} -O2 -std=c++20 -I"$root/vokra" "$work/harness.cpp" "$build/vokra/libvokra_core.a" \
        "$build/lib/libvokra_support.a" -o "$work/harness"
    compress() { "$work/harness" "$1"; }
    what="zip() harness"
fi

# CPU seconds (user + sys) of one command, its output to $2.
cpu() {
    TIMEFORMAT='%3U %3S'
    { time "$@" >"$out" 2>/dev/null; } 2>&1 | awk '{ printf "%.3f\n", $1 + $2 }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "machine: $(uname -m), $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "compressor: $what; gzip: $(gzip --version | head -1); $runs runs, median CPU (user+sys)"
printf '%-8s %9s %10s %10s %9s %9s %7s\n' corpus MiB ours_s gzip_s ours/gzip ratio same
status=0
for corpus in text binary; do
    f="$work/$corpus.tar"
    : >"$work/ours.t"
    : >"$work/gzip.t"
    i=0
    while [ "$i" -lt "$runs" ]; do
        out="$work/ours.gz" cpu compress "$f" >>"$work/ours.t"
        out="$work/ref.gz" cpu gzip -9n -c "$f" >>"$work/gzip.t"
        i=$((i + 1))
    done
    ours=$(median <"$work/ours.t")
    ref=$(median <"$work/gzip.t")
    size=$(wc -c <"$f")
    gzsize=$(wc -c <"$work/ref.gz")
    # Our member ends the output; its body must equal gzip's after the 10-byte header.
    if cmp -s <(tail -c +11 "$work/ref.gz") <(tail -c $((gzsize - 10)) "$work/ours.gz"); then
        same=yes
    else
        same=NO
        status=1
    fi
    awk -v c="$corpus" -v s="$size" -v o="$ours" -v r="$ref" -v g="$gzsize" -v same="$same" \
        'BEGIN { printf "%-8s %9.1f %10.3f %10.3f %9.2f %8.1f%% %7s\n", c, s / 1048576, o, r, o / r, 100 * g / s, same }'
done
exit $status
