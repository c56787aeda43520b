#!/usr/bin/env bash
# Two whole clients and the real directory service, each client in a network namespace of its
# own with an address from the benchmarking range 198.18.0.0/15 (which the client does not count
# as a private LAN address), joined by a bridge that carries the service's address. Both log in,
# see each other online after a Refresh, one calls the other by name, speech arrives, the
# service keeps the call record, Hang Up ends both sides, and a logoff takes the user off the
# other's list at the next heartbeat. The clients run on Qt's offscreen platform with WAV audio
# and are driven through zorvo-client-driver.
#
# Needs root (namespaces, veth pairs, a bridge); where they cannot be made the test says so and
# ends with 77, which CTest reports as skipped.
#
#   two-clients.sh DRIVER DIRECTORY [SHOT_DIR]
set -u
driver=${1:?usage: two-clients.sh path/to/zorvo-client-driver path/to/zorvo-directory [shots]}
directory=${2:?usage: two-clients.sh path/to/zorvo-client-driver path/to/zorvo-directory [shots]}
shots=${3:-}
skip() {
    echo "SKIPPED: $*"
    exit 77
}

tag=$(printf '%04x' $((($$ + RANDOM) % 65536)))
br=zvbr$tag
nsA=zorvo-a-$tag
nsB=zorvo-b-$tag
heartbeat_ms=3000
port=$((20000 + RANDOM % 20000))
service=198.18.0.1:$port
work=$(mktemp -d /tmp/zorvo-two-clients.XXXXXX)
pids=()

cleanup() {
    exec 3>&- 4<&- 5>&- 6<&- 2>/dev/null
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    ip netns del "$nsA" 2>/dev/null
    ip netns del "$nsB" 2>/dev/null
    ip link del "$br" 2>/dev/null
    ip link del "va$tag" 2>/dev/null
    ip link del "vb$tag" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
command -v ip >/dev/null || skip "the ip tool is missing"
ip netns add "$nsA" 2>/dev/null || skip "network namespaces cannot be created here"
ip netns add "$nsB" 2>/dev/null || skip "network namespaces cannot be created here"
ip link add "$br" type bridge 2>/dev/null || skip "a bridge cannot be created here"
ip addr add 198.18.0.1/24 dev "$br"
ip link set "$br" up
join() {  # namespace, veth name, address
    ip link add "$2" type veth peer name "${2}n" || return 1
    ip link set "$2" master "$br" && ip link set "$2" up
    ip link set "${2}n" netns "$1"
    ip -n "$1" addr add "$3/24" dev "${2}n"
    ip -n "$1" link set "${2}n" up
    ip -n "$1" link set lo up
}
join "$nsA" "va$tag" 198.18.0.2 || skip "veth pairs cannot be created here"
join "$nsB" "vb$tag" 198.18.0.3 || skip "veth pairs cannot be created here"

passed=0
failed=0
check() {  # description, then a command that must succeed
    local name=$1
    shift
    if "$@"; then
        echo "PASS: $name"
        passed=$((passed + 1))
    else
        echo "FAIL: $name" >&2
        failed=$((failed + 1))
    fi
}

# The service on the bridge's address.
"$directory" --listen "$service" --db "$work/dir.db" --hash-cost min --log "$work/requests.log" \
    2>"$work/service.err" &
service_pid=$!
pids+=($service_pid)
for _ in $(seq 100); do grep -q listening "$work/service.err" && break; sleep 0.05; done
grep -q listening "$work/service.err" || { cat "$work/service.err" >&2; exit 1; }
for user in alice bob; do
    curl -s "http://$service/register.asp?User=$user&Pass=pw-$user" | grep -q 'is ready' ||
        { echo "cannot register $user" >&2; exit 1; }
done

# A second of speech-like sound for the caller's microphone: a warbling tone.
sox -n -r 8000 -c 1 -b 16 "$work/speech.wav" synth 20 sine 300-900 tremolo 4 60 2>/dev/null ||
    { echo "sox is missing" >&2; exit 1; }

# start NAME NAMESPACE MIC SPEAKER IN_FD OUT_FD: a client with its own settings and channel.
start() {
    local name=$1 ns=$2
    mkdir -p "$work/$name/config" "$work/$name/run"
    chmod 700 "$work/$name/run"
    mkfifo "$work/$name/in" "$work/$name/out"
    ip netns exec "$ns" env QT_QPA_PLATFORM=offscreen ZORVO_SOUND_OUT=none \
        ZORVO_MIC="$3" ZORVO_SPEAKER="$4" ZORVO_SERVICE_HOST="$service" \
        ZORVO_CONFIG_DIR="$work/$name/config" XDG_RUNTIME_DIR="$work/$name/run" \
        ZORVO_INSTANCE_NAME="zorvo-e2e-$name-$tag" \
        "$driver" <"$work/$name/in" >"$work/$name/out" 2>"$work/$name/err" &
    pids+=($!)
}
start alice "$nsA" "$work/speech.wav" none
start bob "$nsB" none "$work/received.wav"
exec 3>"$work/alice/in" 4<"$work/alice/out" 5>"$work/bob/in" 6<"$work/bob/out"

# ask CLIENT COMMAND...: sends one command and prints the answer ("ok ..." or "fail ...");
# box lines met on the way are kept in the client's box log.
ask() {
    local who=$1 in out line
    shift
    if [ "$who" = alice ]; then in=3 out=4; else in=5 out=6; fi
    echo "$*" >&$in
    echo "$who> $*" >>"$work/transcript"
    while IFS= read -r -t 60 line <&$out; do
        case $line in
            box\ *) echo "${line#box }" >>"$work/$who/boxes" ;;
            ok* | fail*) echo "$line" | tee -a "$work/transcript"; return 0 ;;
        esac
    done
    echo "fail no answer" | tee -a "$work/transcript"
}
is_ok() { [[ $1 == ok* ]]; }

ready() {  # the first line a client writes once its window is up
    local line
    IFS= read -r -t 30 line <&"$1" && [ "$line" = "ok ready" ]
}
check "alice's client is up" ready 4
check "bob's client is up" ready 6
for who in alice bob; do ask $who timings 300 $heartbeat_ms >/dev/null; done

ask alice begin-login alice pw-alice >/dev/null
[ -n "$shots" ] && ask alice shot "$shots/login-busy.png" >/dev/null
check "alice logs in" test "$(ask alice wait-login)" = "ok 6"
check "bob logs in" test "$(ask bob login bob pw-bob)" = "ok 6"
check "alice adds bob to her buddies" test "$(ask alice add-buddy bob)" = "ok bob"
check "bob adds alice to his buddies" test "$(ask bob add-buddy Alice)" = "ok alice"
state=$(ask alice state)
check "the title names the user" grep -q 'title=Mervane-alice' <<<"$state"
check "pane 0 shows the service" grep -q "pane0=$service" <<<"$state"
check "pane 1 shows alice's own address" grep -q 'pane1=Your IP:198.18.0.2' <<<"$state"

ask alice refresh >/dev/null
ask bob refresh >/dev/null
start_ms=$(date +%s%3N)
a=$(ask alice wait-online bob yes $heartbeat_ms)
b=$(ask bob wait-online alice yes $heartbeat_ms)
check "alice sees bob online within one heartbeat" test "$a" = "ok Buddies Online (1/1)"
check "bob sees alice online within one heartbeat" test "$b" = "ok Buddies Online (1/1)"
echo "both online after $(($(date +%s%3N) - start_ms)) ms"
if [ -n "$shots" ]; then
    ask bob page online >/dev/null
    ask bob shot "$shots/logged-in-online.png" >/dev/null
    ask bob page buddies >/dev/null
    ask bob shot "$shots/logged-in-buddies.png" >/dev/null
    ask bob page online >/dev/null
fi

check "alice calls bob by name" is_ok "$(ask alice talk bob)"
check "bob's client rings for alice" test "$(ask bob wait-ringing 10000)" = "ok alice"
[ -n "$shots" ] && ask alice shot "$shots/call-placed-from-online.png" >/dev/null
check "bob accepts" is_ok "$(ask bob accept)"
check "alice is in the call with bob" test "$(ask alice wait-call 10000)" = "ok with bob"
check "bob is in the call with alice" test "$(ask bob wait-call 10000)" = "ok with alice"
# Each published its identity key at login: each side's key is verified with the directory's.
check "alice's call is encrypted and bob's key verified" \
    test "$(ask alice wait-security verified 10000)" = "ok Encrypted · verified bob"
check "bob's side is encrypted and alice's key verified" \
    test "$(ask bob wait-security verified 10000)" = "ok Encrypted · verified alice"
check "alice's speech arrives at bob" is_ok "$(ask bob wait-received 4000 10000)"
[ -n "$shots" ] && ask alice shot "$shots/in-call.png" >/dev/null

check "Hang Up ends alice's side" is_ok "$(ask alice hangup)"
check "alice listens again" is_ok "$(ask alice wait-idle 10000)"
check "the hang-up ends bob's side" is_ok "$(ask bob wait-idle 10000)"

# The reports go out from the presence thread: give the closing one a moment. Each party
# reports its side of the call; the caller's two opening reports and its closing report all
# land in one record.
sleep 1
calls() {
    sqlite3 "$work/dir.db" "SELECT user || ' ' || remote || ' ' || minutes FROM calls WHERE user = '$1'"
}
check "the service holds one record of alice's call to bob, 0 minutes" test "$(calls alice)" = \
    "alice bob 0"
check "and one of bob's side of it" test "$(calls bob)" = "bob alice 0"
echo "call records: $(sqlite3 "$work/dir.db" 'SELECT user, remote, minutes FROM calls' | tr '\n' ' ')"
check "bob heard sound" test "$(sox "$work/received.wav" -n stat 2>&1 |
    awk '/RMS +amplitude/ { print ($3 > 0.001) }')" = 1

check "alice logs off" test "$(ask alice logoff)" = "ok logged off"
check "bob's list loses alice at the next heartbeat" \
    test "$(ask bob wait-online alice no $((heartbeat_ms + 1000)))" = "ok Buddies Online (0/1)"
state=$(ask alice state)
check "after the logoff pane 0 asks for a login" grep -q 'pane0=Please Login' <<<"$state"

ask alice quit >/dev/null
ask bob quit >/dev/null
# The service writes its request log when it ends.
kill -TERM "$service_pid" && wait "$service_pid"
check "alice's closing report names the call's record" \
    grep -Eq 'iamtalking\.asp\?User=alice&RemUser=bob&Minutes=0&SessionID=[1-9]' "$work/requests.log"
check "no password reaches the service's log" test -z "$(grep -E 'pw-(alice|bob)' "$work/requests.log")"
for name in alice bob; do
    if [ -s "$work/$name/boxes" ]; then
        echo "$name's boxes:" && sed 's/^/  /' "$work/$name/boxes"
    fi
done
if [ "$failed" -ne 0 ]; then
    echo "--- commands and answers" && cat "$work/transcript"
    for name in alice bob; do echo "--- $name's stderr" && tail -20 "$work/$name/err"; done
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
