#!/usr/bin/env bash
# CPU use of the desktop client, idle between calls and during a call with WAV audio, each over
# SECONDS seconds (default 60), as a share of one core, and how often the idle client wakes up
# (context switches of all its threads). Runs the client under Xvfb and answers
# the incoming call with a click (xdotool). Usage: bench/client-cpu.sh [BIN_DIR] [SECONDS]
set -euo pipefail
bin=${1:-build/release/bin}
seconds=${2:-60}
command -v xdotool >/dev/null || { apt-get install -y -q xdotool >/dev/null; }
work=$(mktemp -d /tmp/zorvo-cpu.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

display=:$((70 + RANDOM % 20))
Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
sleep 1
export DISPLAY=$display XDG_RUNTIME_DIR=$work/runtime ZORVO_SOUND_OUT=none
export ZORVO_CONFIG_DIR=$work/config ZORVO_INSTANCE_NAME=cpu-$$
export ZORVO_CALL_PORT=$((20000 + RANDOM % 30000))
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# Speech for longer than the call: a sentence repeated.
espeak-ng -w "$work/voice.wav" "This is a long call to measure how much the client costs while \
it shows the call time, the waveforms and the delay. Numbers follow: one, two, three, four." \
    2>/dev/null
sox "$work/voice.wav" -r 8000 -c 1 -b 16 "$work/speech.wav" repeat $((seconds / 5 + 4))

export ZORVO_MIC=$work/speech.wav ZORVO_SPEAKER=$work/heard.wav
"$bin/Zorvo" 2>"$work/client.err" &
client=$!
sleep 3

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
measure() {  # measure PID SECONDS -> percent of one core
    local before after
    before=$(ticks "$1")
    sleep "$2"
    after=$(ticks "$1")
    awk -v t=$((after - before)) -v hz="$hz" -v s="$2" 'BEGIN { printf "%.2f", 100 * t / hz / s }'
}

# Context switches summed over the client's threads: each is a wake-up of the idle program.
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(non)?voluntary_ctxt_switches/ { n += $2 } END { print n }'
}

switches_before=$(switches $client)
idle=$(measure $client "$seconds")
switches_after=$(switches $client)
wakeups=$(awk -v n=$((switches_after - switches_before)) -v s="$seconds" \
    'BEGIN { printf "%.2f", n / s }')
echo "idle between calls: ${idle}% of one core over ${seconds} s"
echo "idle wake-ups: ${wakeups} per second over ${seconds} s"

"$bin/zorvo-call" call 127.0.0.1 --port "$ZORVO_CALL_PORT" --user bench --mic "$work/speech.wav" \
    --speaker none --hangup-after $((seconds + 10)) >"$work/caller.out" 2>&1 &
for _ in $(seq 50); do
    dialog=$(xdotool search --name 'Incoming Call' 2>/dev/null | head -1 || true)
    [ -n "$dialog" ] && break
    sleep 0.1
done
[ -n "$dialog" ] || { echo "client-cpu: the client did not ring" >&2; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$dialog")"
xdotool mousemove $((X + WIDTH - 137)) $((Y + HEIGHT - 24)) click 1   # Accept
sleep 3
grep -q STATUS_CONNECTED "$work/caller.out" || { echo "client-cpu: no call came up" >&2; exit 1; }
call=$(measure $client "$seconds")
echo "during a call (WAV audio both ways): ${call}% of one core over ${seconds} s"
awk -v i="$idle" -v c="$call" -v w="$wakeups" 'BEGIN {
    printf "targets: idle < 0.5%% (%s), call < 3%% (%s), idle wake-ups <= 2/s (%s)\n",
        (i < 0.5 ? "met" : "NOT met"), (c < 3 ? "met" : "NOT met"), (w <= 2 ? "met" : "NOT met") }'
