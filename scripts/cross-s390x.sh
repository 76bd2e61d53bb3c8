#!/usr/bin/env bash
# Cross-builds vokra and its tests for s390x (64-bit big-endian) and runs the
# tests under qemu-user, to catch code that silently depends on byte order.
#
# Usage: scripts/cross-s390x.sh [extra ctest arguments, e.g. -R Crc]
#
# Run as root it installs what is missing (crossbuild-essential-s390x,
# qemu-user, qemu-user-binfmt, cmake, ninja-build, googletest) and registers
# qemu-s390x with the kernel's binfmt_misc, so that an s390x `vokra` started by
# a test, or an archive it writes, runs as transparently as a native program.
# Without that registration the tests that start the real tool cannot work:
# they are left out (by the ctest regex below), counted and reported as
# skipped, never passed; one that the regex misses fails, saying "cannot
# execute ...: Exec format error".
#
# Settings (environment):
#   VOKRA_S390X_BUILD_DIR  build directory (default build/s390x)
#   VOKRA_S390X_JOBS       tests run side by side (default 8: most of an
#                          end-to-end test's time is the tool's 2-second pause)
#   VOKRA_S390X_E2E        ctest regex of the tests that start the real tool,
#                          left out when s390x programs cannot be started
#                          directly (default: suites whose names end in Cli or
#                          E2E, and the end-to-end suites named before that rule)
#   VOKRA_S390X_NATIVE_ONLY  ctest regex of the tests always left out here:
#                          making the Debian package of an s390x build needs an
#                          s390x dpkg architecture (the Packages suite); and
#                          under qemu-user with its library prefix, "/" opens
#                          the s390x sysroot, so a walk from "/" through
#                          descriptors never reaches the test's directories
#                          (the space check, mkdirp, the staging directory and
#                          --target, the own image's checks, the relocation
#                          runs, the demo): they check paths, not byte order
#   VOKRA_S390X_CMAKE_ARGS extra configure arguments (split on spaces)
#   VOKRA_S390X_BINFMT=0   do not mount binfmt_misc or register qemu-s390x
#   VOKRA_S390X_INSTALL=0  do not install packages, even as root
#
# Exits non-zero if anything fails to install, configure, build or pass, or if
# no test ran. The last line is "s390x: N passed, N failed, N skipped".
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath -m "${VOKRA_S390X_BUILD_DIR:-build/s390x}")
jobs=${VOKRA_S390X_JOBS:-8}
e2e_re=${VOKRA_S390X_E2E-'(Cli|E2E)(/[0-9]+)?\.|^(Sizes/)?(Dialogue|Example|Extract|Reproducible|RoundTrip)\.'}
native_re=${VOKRA_S390X_NATIVE_ONLY-'^(Packages|VerifyFs|Mkdirp|Example)\.|^(Ways/)?(InstallE2E|OwnImageE2E|RelocationE2E|RelocationEndE2E)\.'}
sysroot=/usr/s390x-linux-gnu
binfmt=/proc/sys/fs/binfmt_misc

say() { printf 's390x: %s\n' "$*"; }
die() {
    say "FAILED: $*" >&2
    exit 1
}
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

t_start=$(now)

# --- packages -------------------------------------------------------------
need=()
command -v s390x-linux-gnu-g++ >/dev/null || need+=(crossbuild-essential-s390x)
command -v qemu-s390x >/dev/null || need+=(qemu-user)
[ -e /usr/libexec/qemu-binfmt/s390x-binfmt-P ] || need+=(qemu-user-binfmt)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
[ -e /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ] || [ "${VOKRA_S390X_INSTALL:-1}" = 0 ]; then
        # qemu-user-binfmt is only needed for the end-to-end tests.
        missing=" ${need[*]} "
        missing=${missing/ qemu-user-binfmt / }
        missing=$(echo $missing)
        [ -z "$missing" ] || die "missing packages (install as root): $missing"
    else
        say "installing ${need[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${need[@]}" >/dev/null
    fi
fi
t_install=$(since "$t_start")

# --- build ----------------------------------------------------------------
t_build_start=$(now)
mkdir -p "$build_dir"
cmake -S . -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-s390x.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DVOKRA_GTEST_FROM_SOURCE=ON ${VOKRA_S390X_CMAKE_ARGS:-} >"$build_dir/configure.log" 2>&1 ||
    { cat "$build_dir/configure.log"; die "configure failed"; }
# Say what the cross build leaves out (e.g. targets that need a library the
# target lacks).
sed -n 's/^-- \(.*left out.*\)/\1/p' "$build_dir/configure.log" | while IFS= read -r line; do say "$line"; done
cmake --build "$build_dir" || die "build failed"
t_build=$(since "$t_build_start")

# --- can s390x programs be started directly? -------------------------------
# qemu-user-binfmt registers the format when the package is installed on a
# systemd machine; elsewhere (containers, minimal VMs) binfmt_misc may not even
# be mounted. Registering needs root and changes the running kernel's
# configuration (until reboot), exactly as the package would.
if [ ! -e "$binfmt/qemu-s390x" ] && [ "$(id -u)" -eq 0 ] && [ "${VOKRA_S390X_BINFMT:-1}" != 0 ] &&
    [ -e /usr/lib/binfmt.d/qemu-s390x.conf ]; then
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    if [ -w "$binfmt/register" ]; then
        grep '^:qemu-s390x:' /usr/lib/binfmt.d/qemu-s390x.conf >"$binfmt/register" 2>/dev/null &&
            say "registered qemu-s390x with binfmt_misc"
    fi
fi
# A dynamically linked s390x program started through binfmt_misc finds its
# loader and libraries through this.
export QEMU_LD_PREFIX=$sysroot
tests_exe="$build_dir/tests/vokra_tests"
ctest_args=(--test-dir "$build_dir" -j "$jobs" --output-on-failure --no-tests=error
    --output-junit "$build_dir/s390x-junit.xml")
# Number of tests whose names match the ctest regex $1.
count() { ctest --test-dir "$build_dir" -N -R "$1" | sed -n 's/^Total Tests: //p'; }
exclude=$native_re
if "$tests_exe" --gtest_list_tests >/dev/null 2>&1; then
    say "s390x programs start directly (binfmt_misc): running the end-to-end tests too"
else
    say "s390x programs cannot be started directly (no binfmt_misc entry for qemu-s390x):"
    if [ -n "$e2e_re" ]; then
        say "SKIPPING $(count "$e2e_re") end-to-end tests matching /$e2e_re/"
        exclude=${exclude:+$exclude|}$e2e_re
    fi
fi
excluded=0
if [ -n "$exclude" ]; then
    [ -z "$native_re" ] || say "SKIPPING $(count "$native_re") tests that need a native build, matching /$native_re/"
    excluded=$(count "$exclude")
    ctest_args+=(-E "$exclude")
fi

# --- test -----------------------------------------------------------------
t_test_start=$(now)
rm -f "$build_dir/s390x-junit.xml"
set +e
ctest "${ctest_args[@]}" "$@"
ctest_status=$?
set -e
t_test=$(since "$t_test_start")

junit="$build_dir/s390x-junit.xml"
[ -s "$junit" ] || die "ctest wrote no results (status $ctest_status)"
attr() { sed -n "s/^[[:space:]]*$1=\"\([0-9]*\)\".*/\1/p" "$junit" | head -n1; }
ran=$(attr tests)
failed=$(attr failures)
skipped=$(($(attr skipped) + $(attr disabled)))
# GoogleTest skips every test of a suite whose SetUpTestSuite failed and says
# "[  SKIPPED ]" for each, which CTest's skip regex takes for a real skip even
# though the test program exits 1. Such a test failed.
setup_failed=$(awk '
    /<testcase / { name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name)
                   notrun = ($0 ~ /status="notrun"/) }
    notrun && /FAILED TEST SUITE/ { print name; notrun = 0 }' "$junit")
if [ -n "$setup_failed" ]; then
    n=$(printf '%s\n' "$setup_failed" | wc -l)
    say "FAILED: $n tests reported as skipped because their suite set-up failed:"
    printf '%s\n' "$setup_failed" | sed 's/^/s390x:   /'
    failed=$((failed + n))
    skipped=$((skipped - n))
fi
passed=$((ran - failed - skipped))

say "times: packages ${t_install}s, configure+build ${t_build}s, tests ${t_test}s, total $(since "$t_start")s"
if [ "$excluded" -gt 0 ]; then
    say "NOTE: $excluded tests were left out (see above); $skipped skipped by the tests themselves"
fi
status=0
if [ "$ctest_status" -ne 0 ] || [ "$failed" -ne 0 ] || [ "$passed" -eq 0 ]; then
    say "FAILED (ctest exit status $ctest_status)"
    status=1
fi
say "$passed passed, $failed failed, $((skipped + excluded)) skipped"
exit $status
