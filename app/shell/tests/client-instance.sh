#!/usr/bin/env bash
# The desktop client as a process: a second start pulses the first one and ends at once; SIGTERM
# ends the program the way Exit does. Runs on Qt's offscreen platform.
set -u
zorvo=${1:?usage: client-instance.sh path/to/Zorvo}
work=$(mktemp -d /tmp/zorvo-instance.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen ZORVO_SOUND_OUT=none ZORVO_MIC=none ZORVO_SPEAKER=none
export ZORVO_CONFIG_DIR=$work/config ZORVO_INSTANCE_NAME=zorvo-test-$$ ZORVO_TRACE=1
export ZORVO_CALL_PORT=$((20000 + RANDOM % 30000))
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work/runtime}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
passed=0
failed=0
check() {
    local name=$1
    shift
    if "$@"; then passed=$((passed + 1)); else echo "FAIL: $name" >&2; failed=$((failed + 1)); fi
}

"$zorvo" DontShow 2>"$work/first.err" &
first=$!
for _ in $(seq 50); do grep -q 'Bind Successful' "$work/first.err" && break; sleep 0.1; done
check "the first copy listens" grep -q 'Bind Successful' "$work/first.err"

start=$(date +%s%N)
"$zorvo" 2>"$work/second.err"
rc=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
check "a second start ends at once with 0" test $rc -eq 0 -a $elapsed -lt 3000
check "a second start does not listen" test ! -s "$work/second.err" -o -z "$(grep 'Bind' "$work/second.err")"
for _ in $(seq 30); do grep -q 'Brought to the front' "$work/first.err" && break; sleep 0.1; done
check "the first copy comes to the front" grep -q 'Brought to the front by a second start' "$work/first.err"

kill -TERM $first
for _ in $(seq 50); do kill -0 $first 2>/dev/null || break; sleep 0.1; done
check "SIGTERM ends the program" test "$(kill -0 $first 2>/dev/null && echo running)" = ""
wait $first
check "it ends cleanly" test $? -eq 0
check "its engine was stopped" grep -q 'All connections closed' "$work/first.err"

# The channel is free again: a new start runs normally.
"$zorvo" DontShow 2>"$work/third.err" &
third=$!
for _ in $(seq 50); do grep -q 'Bind Successful' "$work/third.err" && break; sleep 0.1; done
check "a later start runs normally" grep -q 'Bind Successful' "$work/third.err"
kill -TERM $third
wait $third

"$zorvo" --version | grep -q '^Zorvo '
check "--version answers" test $? -eq 0

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
