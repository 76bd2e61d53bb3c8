#!/bin/sh
# Packs examples/app into a self-extracting installer with vokra, runs the
# installer in a temporary directory and shows what it did.
# Usage: sh examples/demo.sh path/to/vokra
set -eu

[ $# -eq 1 ] || { echo "usage: $0 path/to/vokra" >&2; exit 1; }
case $1 in /*) vokra=$1 ;; *) vokra=$(pwd)/$1 ;; esac
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vokra-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# The directory goes in as it is: vokra packs it as a tar stream itself. The
# installer unpacks it into a private directory of its own (%d), runs
# install.sh there with the arguments given after --, and removes it.
echo "== packing $examples/app"
"$vokra" \
    -C 'hello 1.0 demo installer' \
    -O 'Example Corp' -F APP_VERSION=1.0 \
    -r 'sh ./install.sh "$@"' \
    "$examples/app" > "$work/hello-1.0.run"
chmod +x "$work/hello-1.0.run"
echo "== built $work/hello-1.0.run ($(wc -c < "$work/hello-1.0.run") bytes)"

echo "== running the installer in $work/site"
mkdir -p "$work/site"
(cd "$work/site" && "$work/hello-1.0.run" -- "$work/site/target/hello")
echo "== installer exited with status 0; installed files:"
(cd "$work/site" && find target -type f | sort)
echo "== the installed application says: $("$work/site/target/hello/bin/hello")"
