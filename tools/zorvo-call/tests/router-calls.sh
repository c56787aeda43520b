#!/usr/bin/env bash
# Calls by name between homes behind NAT routers that drop unsolicited traffic, as home routers
# do: each case a call with speech both ways, a clean hang-up and its call record, and the path it
# took. Needs root (network namespaces, iptables); skips with one line where they cannot be made.
# usage: router-calls.sh BIN_DIR [CASE...]   (cases: cone symmetric-cone symmetric upnp
#        same-router by-address silence; default all)
set -uo pipefail
BIN=$(cd "$1" && pwd)
shift
# shellcheck source=router-world.sh
source "$(dirname "$0")/router-world.sh"

failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   - $what"
    else
        echo "FAIL - $what"
        failures=$((failures + 1))
    fi
}

path_of() { awk '/^PATH / { print $2 }' "$WORLD/$1.out" | tail -n 1; }

# call_case TAG CALLER_HOST CALLEE_HOST PATHS... [--listening]: bob listens (or, with
# --listening, already does as TAG-bob), alice calls him by name and hangs up after 4 s of speech;
# the path must be one of PATHS.
call_case() {
    local tag=$1 from=$2 to=$3 status path
    shift 3
    if [ "${*: -1}" = --listening ]; then
        set -- "${@:1:$#-1}"
    else
        world_listen "$to" bob "$tag-bob"
    fi
    world_wait_registered "$tag-bob" || { failures=$((failures + 1)); return; }
    world_call "$from" alice "$tag-alice" bob --hangup-after 4
    status=$?
    wait "$WORLD_LAST_LISTENER"
    cp "$NETLAB_DIR/$tag-bob.log" "$WORLD/$tag-bob.out"
    path=$(path_of "$tag-alice")
    check "$tag: the call came up and ended cleanly (status $status)" test "$status" -eq 0
    check "$tag: path '$path' is one of: $*" bash -c '[[ " $* " == *" $0 "* ]]' "$path" "$@"
    check "$tag: bob heard the hang-up" grep -qx 'STATUS_REMOTE_HANGUP 0' "$WORLD/$tag-bob.out"
    check "$tag: alice heard bob" world_loud "$WORLD/$tag-alice.wav"
    check "$tag: bob heard alice" world_loud "$WORLD/$tag-bob.wav"
    check "$tag: the directory keeps the call" world_recent_call alice bob
    check "$tag: both sides encrypted the call with one authentication string" \
        test "$(grep -h '^SAS ' "$WORLD/$tag-alice.out" "$WORLD/$tag-bob.out" | sort -u | wc -l)" \
        -eq 1 -a "$(cat "$WORLD/$tag-alice.out" "$WORLD/$tag-bob.out" | grep -cx 'ENCRYPTED yes')" \
        -eq 2
    if [ "$failures" -gt 0 ]; then
        echo "--- $tag: alice"; tail -n 25 "$WORLD/$tag-alice.out" "$WORLD/$tag-alice.err"
        echo "--- $tag: bob"; tail -n 25 "$WORLD/$tag-bob.out"
    fi
}

case_cone() {
    netlab_add_home 1
    netlab_add_home 2
    call_case cone h1a h2a punched
}

case_symmetric_cone() {
    netlab_add_home 3 symmetric
    [ -n "$(ip netns list | grep -w "$(netlab_ns r2)")" ] || netlab_add_home 2
    call_case symmetric-cone h3a h2a punched relayed
}

case_symmetric() {
    [ -n "$(ip netns list | grep -w "$(netlab_ns r3)")" ] || netlab_add_home 3 symmetric
    netlab_add_home 4 symmetric
    call_case symmetric h3a h4a relayed
}

case_upnp() {
    [ -n "$(ip netns list | grep -w "$(netlab_ns r1)")" ] || netlab_add_home 1
    netlab_add_home 5 upnp
    world_listen h5a bob upnp-bob
    world_wait_mapped upnp-bob || { failures=$((failures + 1)); return; }
    call_case upnp h1a h5a mapped --listening
    # A client that knows only addresses calls bob at his router's public address.
    world_listen h5a bob upnp-old-bob
    world_wait_registered upnp-old-bob || { failures=$((failures + 1)); return; }
    netlab_exec h1a "$BIN/zorvo-call" call "$(netlab_router_ip 5)" --user olduser \
        --mic "$WORLD/tone-a.wav" --speaker "$WORLD/upnp-old.wav" --hangup-after 3 \
        --timeout 30 >"$WORLD/upnp-old.out" 2>&1
    check "upnp: an old client calls the mapped address ($?)" \
        grep -qx 'STATUS_CONNECTED 0' "$WORLD/upnp-old.out"
    wait "$WORLD_LAST_LISTENER"
    check "upnp: the old client heard bob" world_loud "$WORLD/upnp-old.wav"
}

case_same_router() {
    netlab_add_home 6 hosts=ab
    call_case same-router h6a h6b local
}

# A new client and one without the extension, on the public segment: calls by address both ways
# are what they always were.
case_by_address() {
    netlab_add_public p1 198.18.0.3
    netlab_add_public p2 198.18.0.4
    world_listen p1 bob by-address-new
    world_wait_registered by-address-new || { failures=$((failures + 1)); return; }
    netlab_exec p2 "$BIN/zorvo-call" call 198.18.0.3 --user olduser --mic "$WORLD/tone-a.wav" \
        --speaker "$WORLD/by-address-old.wav" --hangup-after 3 --timeout 30 \
        >"$WORLD/by-address-old.out" 2>&1
    wait "$WORLD_LAST_LISTENER"
    check "by-address: an old caller reaches a new listener" \
        grep -qx 'STATUS_CONNECTED 0' "$WORLD/by-address-old.out"
    check "by-address: the old caller saw no traversal" bash -c \
        '! grep -q "Probing\|Path punched\|Relay" "$0"' "$WORLD/by-address-old.out"
    netlab_spawn p1 by-address-old-listen "$BIN/zorvo-call" listen --user olduser \
        --mic "$WORLD/tone-b.wav" --speaker "$WORLD/by-address-old-listen.wav" --timeout 30
    local old=$NETLAB_LAST_PID
    netlab_wait_port p1 udp 1720 5
    world_call p2 alice by-address-newcall 198.18.0.3 --hangup-after 3
    check "by-address: a new caller reaches an old listener" \
        grep -qx 'STATUS_CONNECTED 0' "$WORLD/by-address-newcall.out"
    check "by-address: that call is direct" test "$(path_of by-address-newcall)" = direct
    wait "$old"
    check "by-address: the old listener heard the new caller" \
        world_loud "$WORLD/by-address-old-listen.wav"
}

# Both sides silent for 60 s behind routers that forget an idle flow after 30 s; then only Alice
# speaks. Bob hears her only if the path's keep-alives held his router's mapping open: Bob sends
# nothing after the silence that would open it again.
case_silence() {
    netlab_add_home 7 timeout=30
    netlab_add_home 8 timeout=30
    # 3 s of tone, 62 s of silence (silence suppression sends nothing), then Alice's 12 s of
    # tone; Bob stays silent.
    sox -q -n -r 8000 -c 1 -b 16 "$WORLD/quiet.wav" trim 0 62
    sox -q -n -r 8000 -c 1 -b 16 "$WORLD/long-quiet.wav" trim 0 90
    sox -q "$WORLD/tone-a.wav" "$WORLD/start-a.wav" trim 0 3
    sox -q "$WORLD/tone-b.wav" "$WORLD/start-b.wav" trim 0 3
    sox -q "$WORLD/start-a.wav" "$WORLD/quiet.wav" "$WORLD/tone-a.wav" "$WORLD/silence-a.wav"
    sox -q "$WORLD/start-b.wav" "$WORLD/long-quiet.wav" "$WORLD/silence-b.wav"
    world_listen h8a bob silence-bob --mic "$WORLD/silence-b.wav" --timeout 120
    world_wait_registered silence-bob || { failures=$((failures + 1)); return; }
    world_call h7a alice silence-alice bob --mic "$WORLD/silence-a.wav" --hangup-after 72
    wait "$WORLD_LAST_LISTENER"
    cp "$NETLAB_DIR/silence-bob.log" "$WORLD/silence-bob.out"
    check "silence: the call lasted and ended cleanly" \
        grep -qx 'STATUS_REMOTE_HANGUP 0' "$WORLD/silence-bob.out"
    check "silence: alice heard bob before the silence" world_loud "$WORLD/silence-alice.wav"
    # Nothing is played while nothing arrives: the recording's last seconds are what came after
    # the silence.
    check "silence: speech after the silence was played" bash -c \
        '[ "$(soxi -D "$0" | cut -d. -f1)" -ge 8 ]' "$WORLD/silence-bob.wav"
    sox -q "$WORLD/silence-bob.wav" "$WORLD/silence-bob-end.wav" reverse trim 0 4 reverse
    check "silence: bob hears alice after the silence" world_loud "$WORLD/silence-bob-end.wav"
}

cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(cone symmetric-cone symmetric upnp same-router by-address silence)
world_init upnp
for c in "${cases[@]}"; do
    echo "# case $c"
    "case_${c//-/_}"
done
echo "$((failures == 0 ? 1 : 0)) passed, $((failures > 0 ? 1 : 0)) failed"
[ "$failures" -eq 0 ]
