#!/usr/bin/env bash
# zorvo-call end to end on loopback: two processes hold real calls with WAV audio.
set -u
call=${1:?usage: end-to-end.sh path/to/zorvo-call}
work=$(mktemp -d /tmp/zorvo-call-e2e.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
failures=0
passed=0

check() {  # check NAME CONDITION...
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        echo "FAIL: $name" >&2
        failures=$((failures + 1))
    fi
}
port() { echo $((20000 + RANDOM % 30000)); }

sox -n -r 8000 -c 1 -b 16 "$work/tone.wav" synth 4 sine 440 vol 0.5 2>/dev/null
sox -n -r 8000 -c 1 -b 16 "$work/quiet.wav" trim 0 1 2>/dev/null

# 1. A call that is accepted, carries audio and is hung up by the caller.
p=$(port)
# The listener's microphone is a quiet file: its send thread runs and answers the probes.
"$call" listen --port "$p" --user bob --mic "$work/quiet.wav" --speaker "$work/heard.wav" --timeout 20 \
    --identity "$work/bob.key" >"$work/listen.out" 2>"$work/listen.err" &
listener=$!
sleep 0.5
"$call" call 127.0.0.1 --port "$p" --user alice --mic "$work/tone.wav" --speaker none \
    --hangup-after 3 --identity "$work/alice.key" >"$work/call.out" 2>"$work/call.err"
check "caller exits 0 after its call" test $? -eq 0
wait $listener
check "listener exits 0 after the call ended" test $? -eq 0
check "listener names the caller" grep -qx 'STATUS_INCOMING_CALL alice' "$work/listen.out"
check "caller is connected twice" test "$(grep -cx 'STATUS_CONNECTED 0' "$work/call.out")" -eq 2
check "listener is connected once" test "$(grep -cx 'STATUS_CONNECTED 0' "$work/listen.out")" -eq 1
check "listener hears the hang-up" grep -qx 'STATUS_REMOTE_HANGUP 0' "$work/listen.out"
check "voice frames were sent" grep -qx 'STATUS_BYTES_SENT 330' "$work/call.out"
check "a round trip was measured" grep -q '^STATUS_ROUND_TRIP [0-9]' "$work/call.out"
check "debug texts are printed" grep -qx 'STATUS_DEBUG_TEXT Connecting...' "$work/call.out"
frames=$(soxi -s "$work/heard.wav" 2>/dev/null || echo 0)
check "the callee wrote what it heard ($frames samples)" test "$frames" -ge 16000
check "both sides say the call is encrypted" \
    test "$(cat "$work/call.out" "$work/listen.out" | grep -cx 'ENCRYPTED yes')" -eq 2
sas() { sed -n 's/^SAS //p' "$1"; }
check "both sides show one authentication string" test -n "$(sas "$work/call.out")" -a \
    "$(sas "$work/call.out")" = "$(sas "$work/listen.out")"
peer() { sed -n 's/^PEER-IDENTITY \([0-9a-f]\{64\}\)$/\1/p' "$1"; }
check "each side names the other's identity key" test -n "$(peer "$work/call.out")" -a \
    -n "$(peer "$work/listen.out")" -a "$(peer "$work/call.out")" != "$(peer "$work/listen.out")"
check "the identity files are the owner's alone" test "$(stat -c %a "$work/alice.key")" = 600
check "nothing was dropped on a clean line" grep -qx 'DROPPED 0' "$work/listen.out"

# 2. A rejected call: the caller fails, the listener keeps listening until its time-out.
p=$(port)
"$call" listen --port "$p" --answer reject --mic none --speaker none --timeout 4 \
    >"$work/reject-listen.out" 2>&1 &
listener=$!
sleep 0.5
"$call" call 127.0.0.1 --port "$p" --mic none --speaker none >"$work/reject-call.out" 2>&1
check "rejected caller exits 1" test $? -eq 1
check "rejected caller saw the failure" grep -qx 'STATUS_CONNECT_FAILED 0' "$work/reject-call.out"
wait $listener
check "listener with no call up exits 1" test $? -eq 1

# 3. SIGTERM during a call ends it cleanly: the peer gets the hang-up.
p=$(port)
"$call" listen --port "$p" --mic none --speaker none --timeout 20 >"$work/term-listen.out" 2>&1 &
listener=$!
sleep 0.5
"$call" call 127.0.0.1 --port "$p" --mic "$work/tone.wav" --speaker none >"$work/term-call.out" 2>&1 &
caller=$!
for _ in $(seq 50); do
    grep -q 'STATUS_CONNECTED' "$work/term-listen.out" && break
    sleep 0.1
done
kill -TERM $caller
wait $caller
check "terminated caller exits 0" test $? -eq 0
wait $listener
check "listener exits 0 after the peer's hang-up" test $? -eq 0
check "listener got the hang-up" grep -qx 'STATUS_REMOTE_HANGUP 0' "$work/term-listen.out"

# 3b. A peer from before encryption talks in clear; one that insists refuses it.
p=$(port)
"$call" listen --port "$p" --mic none --speaker none --timeout 10 --hangup-after 1 \
    --identity "$work/bob.key" >"$work/plain-listen.out" 2>&1 &
listener=$!
sleep 0.5
"$call" call 127.0.0.1 --port "$p" --mic none --speaker none --no-encryption --hangup-after 2 \
    >"$work/plain-call.out" 2>&1
check "a plain caller's call comes up" test $? -eq 0
wait $listener
check "both sides say the plain call is not encrypted" \
    test "$(cat "$work/plain-call.out" "$work/plain-listen.out" | grep -cx 'ENCRYPTED no')" -eq 2
p=$(port)
"$call" listen --port "$p" --mic none --speaker none --timeout 3 --require-encryption \
    --identity "$work/bob.key" >"$work/strict-listen.out" 2>&1 &
listener=$!
sleep 0.5
"$call" call 127.0.0.1 --port "$p" --mic none --speaker none --no-encryption \
    >"$work/strict-call.out" 2>&1
check "a callee that requires encryption refuses a plain caller" test $? -eq 1
wait $listener
check "the refused call never rang" test "$(grep -c 'STATUS_INCOMING_CALL' "$work/strict-listen.out")" -eq 0

# 4. Setup failures and bad arguments: exit 2 with one line on stderr.
p=$(port)
"$call" listen --port "$p" --mic none --speaker none --timeout 5 >/dev/null 2>&1 &
listener=$!
sleep 0.5
"$call" listen --port "$p" --mic none --speaker none >/dev/null 2>"$work/inuse.err"
check "taken port exits 2" test $? -eq 2
check "taken port says so" grep -q 'in use' "$work/inuse.err"
kill -INT $listener
wait $listener
check "interrupted listener with no call exits 1" test $? -eq 1
"$call" call 127.0.0.1 --mic /nonexistent.wav >/dev/null 2>"$work/mic.err"
check "unreadable WAV exits 2" test $? -eq 2
check "unreadable WAV is one line" test "$(wc -l <"$work/mic.err")" -eq 1
sox -n -r 44100 -c 2 -b 16 "$work/cd.wav" synth 1 sine 440 2>/dev/null
"$call" call 127.0.0.1 --mic "$work/cd.wav" >/dev/null 2>"$work/cd.err"
check "a 44.1 kHz stereo WAV is refused" test $? -eq 2
"$call" call >/dev/null 2>&1
check "bad arguments exit 2" test $? -eq 2
"$call" --version | grep -q '^zorvo-call '
check "--version answers" test $? -eq 0

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
