#!/usr/bin/env bash
# How long a call by name takes to come up across home routers, against a direct call by address
# on the public segment: the time from starting the call to STATUS_CONNECTED, median of RUNS
# calls per case; then the relay's added delay per datagram (round trips of a relayed call against
# a punched one) and coturn's CPU time per second of a relayed call.
# usage: bench/nat/connect-times.sh BIN_DIR [RUNS]   (root; network namespaces)
set -uo pipefail
BIN=$(cd "$1" && pwd)
RUNS=${2:-10}
# shellcheck source=../../tools/zorvo-call/tests/router-world.sh
source "$(dirname "$0")/../../tools/zorvo-call/tests/router-world.sh"

# Seconds from the start of a zorvo-call to its first STATUS_CONNECTED line, on stdout; the
# command's lines go to $WORLD/last.out.
time_to_connected() {
    local start
    start=$(date +%s.%N)
    "$@" 2>&1 | while IFS= read -r line; do
        printf '%s %s\n' "$(date +%s.%N)" "$line"
    done >"$WORLD/last.out"
    awk -v s="$start" '$2 == "STATUS_CONNECTED" { printf "%.3f\n", $1 - s; exit }' \
        "$WORLD/last.out"
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }

# Callers take turns: the directory hands one caller at most 8 call tokens per 30 s.
CALLERS=(alice carol dave)

# One case: RUNS calls from CALLER_HOST to bob listening on CALLEE_HOST; prints the median.
measure() {
    local name=$1 from=$2 to=$3 callee=$4 i t caller
    [ "${ONLY:-$name}" = "$name" ] || return 0
    shift 4
    : >"$WORLD/$name.times"
    for i in $(seq "$RUNS"); do
        if [ "$callee" = bob ]; then
            world_listen "$to" bob "$name-$i-bob"
            world_wait_registered "$name-$i-bob" >/dev/null || continue
            if [ "$name" = mapped ]; then
                world_wait_mapped "$name-$i-bob" >/dev/null || continue
            fi
            caller=${CALLERS[i % ${#CALLERS[@]}]}
            t=$(time_to_connected netlab_exec "$from" "$BIN/zorvo-call" call bob \
                --service "$WORLD_SERVICE" --user "$caller" --pass "pw$caller" \
                --mic "$WORLD/tone-a.wav" \
                --speaker none --hangup-after 1 --timeout 30 "$@")
        else
            netlab_spawn "$to" "$name-$i-listen" "$BIN/zorvo-call" listen --user bob \
                --mic "$WORLD/tone-b.wav" --speaker none --timeout 30
            WORLD_LAST_LISTENER=$NETLAB_LAST_PID
            netlab_wait_port "$to" udp 1720 5
            t=$(time_to_connected netlab_exec "$from" "$BIN/zorvo-call" call "$callee" \
                --user alice --mic "$WORLD/tone-a.wav" --speaker none --hangup-after 1 \
                --timeout 30)
        fi
        wait "$WORLD_LAST_LISTENER" 2>/dev/null
        if [ -n "$t" ]; then
            echo "$t" >>"$WORLD/$name.times"
        else
            echo "$name: call $i did not come up:" >&2
            tail -n 5 "$WORLD/last.out" >&2
        fi
    done
    printf '%-16s median %6.3f s over %d calls (%s)\n' "$name" \
        "$(median <"$WORLD/$name.times")" "$(wc -l <"$WORLD/$name.times")" \
        "$(grep -h '^[0-9.]* PATH' "$WORLD/last.out" | awk '{ print $3 }')"
}

# Mean round trip (ms) of a call of SECONDS from CALLER on one host to bob on another.
round_trip() {
    local from=$1 to=$2 seconds=$3 tag=$4 caller=$5
    world_listen "$to" bob "$tag-bob" --timeout 90
    world_wait_registered "$tag-bob" >/dev/null
    world_call "$from" "$caller" "$tag" bob --hangup-after "$seconds" --speaker none
    wait "$WORLD_LAST_LISTENER"
    awk '$1 == "STATUS_ROUND_TRIP" { s += $2; n++ } END { if (n) printf "%.2f", s / n }' \
        "$WORLD/$tag.out"
}

turn_cpu_ticks() {
    local pid
    pid=$(cat "$NETLAB_DIR/turnserver.pid" 2>/dev/null)
    awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null || echo 0
}

world_init upnp
netlab_add_public p1 198.18.0.3
netlab_add_public p2 198.18.0.4
netlab_add_home 1
netlab_add_home 2
netlab_add_home 3 symmetric
netlab_add_home 4 symmetric
netlab_add_home 5 upnp

echo "# time from dialling to connected (the callee answers at its first decision poll)"
measure direct p2 p1 198.18.0.3
measure punched h1a h2a bob
measure mapped h1a h5a bob
measure relayed h3a h4a bob

echo "# the relay's added delay and coturn's load"
punched=$(round_trip h1a h2a 32 rtt-punched carol)
before=$(turn_cpu_ticks)
relayed=$(round_trip h3a h4a 32 rtt-relayed dave)
after=$(turn_cpu_ticks)
hz=$(getconf CLK_TCK)
echo "mean round trip: punched ${punched:-?} ms, relayed ${relayed:-?} ms"
awk -v t=$((after - before)) -v hz="$hz" \
    'BEGIN { printf "coturn CPU: %.3f s for one relayed call of 32 s (%.2f%% of a core)\n", t / hz, 100 * t / hz / 32 }'
