# A small internet for calls by name between homes behind NAT routers: the directory (with its
# rendezvous) and coturn on the public segment, homes added by the caller. Sourced by the calls
# test and the connection-time benchmark, after BIN (the folder of zorvo-directory and
# zorvo-call) is set.
#
#   world_init [upnp]             the lab, the directory, coturn, accounts alice/bob/carol/dave
#   world_listen HOST USER TAG [zorvo-call options]   a listener in the background
#   world_wait_registered TAG     until that listener's call port is registered
#   world_wait_mapped TAG         until that listener's router forwards its call port
#   world_call HOST USER TAG CALLEE [zorvo-call options]   a call in the foreground
#   world_speech_rms FILE         the RMS amplitude of a recording (sox)

WORLD_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../../testsupport/netlab/netlab.sh
source "$WORLD_HERE/../../../testsupport/netlab/netlab.sh"

WORLD_SERVICE="$NETLAB_DIR_IP:8080"
WORLD_RENDEZVOUS="$NETLAB_DIR_IP:3490"  # coturn has 3478 and 3479 on the same host

world_init() {
    command -v turnserver >/dev/null 2>&1 || netlab_skip "coturn is not installed"
    command -v sox >/dev/null 2>&1 || netlab_skip "sox is not installed"
    netlab_init "$@"
    WORLD=$NETLAB_DIR/world
    mkdir -p "$WORLD"
    netlab_start_turn || { echo "coturn did not start" >&2; exit 1; }
    printf '%s\n' "$NETLAB_TURN_SECRET" >"$WORLD/turn-secret"
    netlab_spawn dir directory "$BIN/zorvo-directory" --listen "$WORLD_SERVICE" \
        --db "$WORLD/directory.db" --hash-cost min --log none \
        --rendezvous "$WORLD_RENDEZVOUS" --turn "turn:$NETLAB_DIR_IP:$NETLAB_TURN_PORT" \
        --turn-secret-file "$WORLD/turn-secret"
    netlab_wait_port dir tcp 8080 10 || {
        echo "the directory did not start:" >&2
        cat "$NETLAB_DIR/directory.log" >&2
        exit 1
    }
    local user
    for user in alice bob carol dave; do
        netlab_exec dir curl -s "http://$WORLD_SERVICE/register.asp?User=$user&Pass=pw$user" |
            grep -q 'is ready' || { echo "cannot register $user" >&2; exit 1; }
    done
    # Two seconds of a tone each way: the recordings show whether speech crossed.
    sox -q -n -r 8000 -c 1 -b 16 "$WORLD/tone-a.wav" synth 12 sine 440 vol 0.5
    sox -q -n -r 8000 -c 1 -b 16 "$WORLD/tone-b.wav" synth 12 sine 660 vol 0.5
}

# world_listen HOST USER TAG [options]: zorvo-call listen logged in as USER, answering at once;
# output in $WORLD/TAG.out, recording in $WORLD/TAG.wav.
world_listen() {
    local host=$1 user=$2 tag=$3
    shift 3
    netlab_spawn "$host" "$tag" "$BIN/zorvo-call" listen --service "$WORLD_SERVICE" \
        --user "$user" --pass "pw$user" --mic "$WORLD/tone-b.wav" --speaker "$WORLD/$tag.wav" \
        --timeout 60 "$@"
    WORLD_LAST_LISTENER=$NETLAB_LAST_PID
}

# world_wait_line TAG REGEX WHAT: until a line of that listener's output matches REGEX (at most
# 20 s); else says what did not happen and shows the output.
world_wait_line() {
    local log="$NETLAB_DIR/$1.log" deadline=$((SECONDS + 20))
    while [ $SECONDS -le $deadline ]; do
        grep -Eq "$2" "$log" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "listener $1 $3; its output:" >&2
    tail -n 20 "$log" >&2
    return 1
}

world_wait_registered() { world_wait_line "$1" 'Registered at the rendezvous' "did not register"; }

# world_wait_mapped TAG: until that listener's router forwards its call port.
world_wait_mapped() { world_wait_line "$1" '^MAPPING (upnp|natpmp) ' "got no port mapping"; }

# world_call HOST USER TAG CALLEE [options]: zorvo-call call CALLEE logged in as USER; output in
# $WORLD/TAG.out, recording in $WORLD/TAG.wav; the exit status is zorvo-call's.
world_call() {
    local host=$1 user=$2 tag=$3 callee=$4
    shift 4
    netlab_exec "$host" "$BIN/zorvo-call" call "$callee" --service "$WORLD_SERVICE" \
        --user "$user" --pass "pw$user" --mic "$WORLD/tone-a.wav" --speaker "$WORLD/$tag.wav" \
        --timeout 40 "$@" >"$WORLD/$tag.out" 2>"$WORLD/$tag.err"
}

world_speech_rms() {
    sox "$1" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }'
}

# world_loud FILE: the recording holds speech (a tone), not silence.
world_loud() {
    local rms
    rms=$(world_speech_rms "$1")
    [ -n "$rms" ] && awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }'
}

# world_recent_call USER REMOTE: the directory holds a call record of USER with REMOTE.
world_recent_call() {
    netlab_exec dir curl -s "http://$WORLD_SERVICE/myaccount.asp?User=$1&Pass=pw$1" |
        grep -q "$2"
}
