#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the full build through CTest,
# then the sanitizer builds (AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer) of
# the core libraries' tests, then a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

jobs=$(nproc)
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/tmp/zorvo-runtime-$(id -u)}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

# Each step's heading says how long the run has taken so far, so a slow step shows in the log.
step() { printf '\n=== [%dm%02ds] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }

step "format"
./scripts/check-format.sh
step "structure (function length and complexity, file length)"
./scripts/check-structure.sh

# Builds a preset and fails when the compiler warned: the build must stay warning-free.
build() {
    local preset=$1 log
    log=$(mktemp)
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
    if grep -q 'warning:' "$log"; then
        echo "test.sh: the $preset build printed warnings:" >&2
        grep 'warning:' "$log" | sort -u >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
}

step "release build"
build release
step "release tests"
ctest --preset release -j "$jobs"

step "AddressSanitizer + UndefinedBehaviorSanitizer build of the core libraries"
build asan
step "AddressSanitizer + UndefinedBehaviorSanitizer tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:fast_unwind_on_malloc=0:print_suppressions=0 \
    ctest --preset asan -j "$jobs"

step "ThreadSanitizer build of the core libraries"
build tsan
step "ThreadSanitizer tests"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan -j "$jobs"

step "fuzzing (bounded)"
./scripts/fuzz.sh "${ZORVO_FUZZ_SECONDS:-10}"
step "done"
