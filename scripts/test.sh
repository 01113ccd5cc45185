#!/usr/bin/env bash
# Builds the project and runs the whole test suite twice: a normal warnings-as-errors build, then
# an AddressSanitizer + UndefinedBehaviorSanitizer build. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DQUOR_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j $((jobs * 2)) --timeout 600
}
export QT_QPA_PLATFORM=offscreen
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQUOR_SANITIZE=ON
# Last, once both suites have passed: a short run of every fuzz target (needs clang; set
# QUOR_SKIP_FUZZ=1 to leave it out).
if [ -z "${QUOR_SKIP_FUZZ:-}" ] && command -v clang++ >/dev/null; then
    scripts/fuzz-smoke.sh
fi
