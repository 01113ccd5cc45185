#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and gives each a short run: first every
# saved crash input under fuzz/regressions/<target>/ is replayed, then the target fuzzes for
# FUZZ_SECONDS (default 30) from a scratch copy of its seed corpus fuzz/corpus/<target>/.
# Exits non-zero on the first crash, leak, time-out or sanitizer report.
#   FUZZ_SECONDS=600 scripts/fuzz-smoke.sh          a long run of every target
#   scripts/fuzz-smoke.sh chain_list http_response  only these targets
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=$(nproc)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(certificate_text certificate_chain certificate_detail base64 url chain_list
             pkcs12_import http_response official_archive)
fi

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DQUOR_WERROR=ON -DQUOR_BUILD_FUZZERS=ON \
    -DQUOR_BUILD_TESTS=OFF -DQUOR_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$dir" -j "$jobs" --target quor_fuzzers

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
    program="$dir/fuzz/fuzz_$target"
    if [ -d "fuzz/regressions/$target" ]; then
        echo "== $target: replaying fuzz/regressions/$target"
        "$program" -rss_limit_mb=2048 -timeout=60 "fuzz/regressions/$target"/*
    fi
    echo "== $target: fuzzing for $seconds s"
    mkdir -p "$scratch/$target" "$scratch/artifacts-$target"
    cp fuzz/corpus/"$target"/* "$scratch/$target/"
    if ! "$program" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=25 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$scratch/artifacts-$target/" \
        "$scratch/$target" >"$scratch/$target.log" 2>&1; then
        tail -n 60 "$scratch/$target.log"
        mkdir -p fuzz-findings
        cp "$scratch/artifacts-$target"/* fuzz-findings/ 2>/dev/null || true
        echo "fuzz_$target found a fault; the input is in fuzz-findings/" >&2
        exit 1
    fi
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|cov:' "$scratch/$target.log" |
        tail -n 3
done
echo "fuzz smoke: ${#targets[@]} targets clean"
