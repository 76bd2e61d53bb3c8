#!/usr/bin/env bash
# A payload past 4 GiB, end to end: build, list and extract an archive of
# 4 GiB + 1000003 bytes, checking every step, and print the wall and CPU time
# of each beside `gzip -dc` on the same member. Also the opt-in long test
# `huge_payload` (label long; configure with -DVOKRA_LONG_TESTS=ON).
#
# usage: bench/huge.sh [path/to/vokra] [bytes]
# The data never touches the disk: a generator streams a 20011-byte random
# block over and over (a period no window size divides) into the build
# through a pipe, and the extractions feed sha256sum; only the archive (about
# 25 MB) is written. The gzip trailer keeps ISIZE modulo 2^32, so the listing
# shows the size modulo 2^32 and the length check compares modulo 2^32.
set -euo pipefail
VOKRA=$(realpath "${1:-build/default/vokra/vokra}")
BYTES=${2:-$(((1 << 32) + 1000003))}
[ -x "$VOKRA" ] || { echo "no vokra executable at $VOKRA" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/vokra-huge-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Writes BYTES bytes of the stream to stdout and "sha256 crc32" to want.
cat > gen.py <<'PY'
import hashlib, random, sys, zlib
n = int(sys.argv[1])
block = random.Random(7).randbytes(20011)
chunk = block * 52
sha, crc, out = hashlib.sha256(), 0, sys.stdout.buffer
while n > 0:
    piece = chunk[:n]
    sha.update(piece)
    crc = zlib.crc32(piece, crc)
    out.write(piece)
    n -= len(piece)
open("want", "w").write(f"{sha.hexdigest()} {crc:08x}\n")
PY

fail() { echo "huge payload: $*" >&2; exit 1; }
# Runs a command line under bash, printing its wall and CPU (user + sys) seconds.
timed() {
  local label=$1; shift
  python3 - "$label" "$*" <<'PY'
import os, subprocess, sys, time
label, cmd = sys.argv[1], sys.argv[2]
w0, c0 = time.time(), os.times()
subprocess.run(["bash", "-c", "set -o pipefail; " + cmd], check=True)
w1, c1 = time.time(), os.times()
cpu = (c1.children_user - c0.children_user) + (c1.children_system - c0.children_system)
print(f"{label:<30} {w1 - w0:8.1f} s wall {cpu:8.1f} s CPU")
PY
}

echo "payload: $BYTES bytes"
timed "build (generator | vokra)" "python3 gen.py $BYTES | '$VOKRA' -C huge -f 'sha256sum > %p/extracted' /dev/stdin > huge.run"
chmod +x huge.run
read -r want_sha want_crc < want
size=$(stat -c %s huge.run)
image=$(stat -c %s "$VOKRA")
echo "archive: $size bytes"

# The trailer: CRC-32 of all the data, then ISIZE = BYTES modulo 2^32.
trailer=$(tail -c 8 huge.run | od -An -tx1 | tr -d ' \n')
le32() { echo "${1:6:2}${1:4:2}${1:2:2}${1:0:2}"; }
[ "$(le32 "${trailer:0:8}")" = "$want_crc" ] || fail "trailer CRC $(le32 "${trailer:0:8}") != $want_crc"
isize=$((16#$(le32 "${trailer:8:8}")))
[ "$isize" -eq $((BYTES % (1 << 32))) ] || fail "ISIZE $isize != $((BYTES % (1 << 32)))"

# The listing: the compressed size counts in 64 bits, the uncompressed one is ISIZE.
timed "list (vokra -l)" "'$VOKRA' -l huge.run > listing"
preamble=$((image + 11 + 11 + 5 + 1 + 25))  # marker, NAME=stdin, huge, no install, the extract command
line=$(tail -n 1 listing)
set -- $line
[ "$1" -eq $((size - preamble)) ] || fail "listing compressed $1 != $((size - preamble)): $line"
[ "$2" -eq "$isize" ] || fail "listing uncompressed $2 != $isize: $line"
echo "listing: $line"

timed "extract (vokra -x | sha256sum)" "'$VOKRA' -x -u huge.run 2>/dev/null | sha256sum > x.sum"
[ "$(cut -d' ' -f1 x.sum)" = "$want_sha" ] || fail "-x output differs"
timed "extract (extract command)" "./huge.run > /dev/null 2>&1"
[ "$(cut -d' ' -f1 extracted)" = "$want_sha" ] || fail "extract command received different data"
timed "peer (gzip -dc | sha256sum)" "tail -c +$((preamble + 1)) huge.run | gzip -dc | sha256sum > gz.sum"
[ "$(cut -d' ' -f1 gz.sum)" = "$want_sha" ] || fail "gzip -dc output differs"
# Decoding alone: vokra decodes twice (check, then extract), gzip once.
timed "decode (vokra -x > /dev/null)" "'$VOKRA' -x -u huge.run 2>/dev/null > /dev/null"
timed "decode (gzip -dc > /dev/null)" "tail -c +$((preamble + 1)) huge.run | gzip -dc > /dev/null"
echo "huge payload: passed"
