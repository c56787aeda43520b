#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

status=0
for target in build/fuzz/bin/fuzz-*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=build/fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=fuzz/seeds/$name
    [ -d "$seeds" ] || seeds=""
    echo "fuzzing $name for ${seconds}s"
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 \
        "$target" -max_total_time="$seconds" -print_final_stats=0 \
        -artifact_prefix=build/fuzz/ "$corpus" $seeds >"build/fuzz/$name.log" 2>&1; then
        echo "fuzz: $name failed; see build/fuzz/$name.log" >&2
        tail -n 40 "build/fuzz/$name.log" >&2
        status=1
    else
        grep -E '^#[0-9]+.*(DONE|pulse)' "build/fuzz/$name.log" | tail -n 1 || true
    fi
done
exit $status
