# The lab's own check (netlab check): builds four homes and shows that they behave as home
# routers do. Home 1: cone NAT with miniupnpd, two hosts, UDP flows forgotten after 20 s;
# home 2: cone NAT; homes 3 and 4: symmetric NAT. Sourced by the netlab driver after netlab.sh;
# "here" is the driver's folder.
# shellcheck disable=SC2154 # here

netlab_checks_passed=0
netlab_checks_failed=0

# check_that TEXT COMMAND...: runs COMMAND, counts and reports the outcome.
check_that() {
    local text=$1
    shift
    if "$@"; then
        echo "ok - $text"
        netlab_checks_passed=$((netlab_checks_passed + 1))
    else
        echo "not ok - $text"
        netlab_checks_failed=$((netlab_checks_failed + 1))
    fi
}

probe() {
    local where=$1
    shift
    netlab_exec "$where" python3 "$here/udpprobe.py" "$@"
}

# turnutils_stunclient sends one request and waits for ever: bounded, and tried three times.
stun_shows_router_address() {
    local out
    for _ in 1 2 3; do
        out=$(timeout 3 ip netns exec "$(netlab_ns h2a)" turnutils_stunclient \
            -p "$NETLAB_TURN_PORT" "$NETLAB_DIR_IP" 2>&1)
        grep -q "UDP reflexive addr: $(netlab_router_ip 2):" <<<"$out" && return 0
    done
    return 1
}

mapping_is() {
    local out
    out=$(timeout 20 ip netns exec "$(netlab_ns "$1")" turnutils_natdiscovery -m "$NETLAB_DIR_IP" \
        2>&1)
    grep -q "$2" <<<"$out"
}

# A datagram from the public side reaches a host only as the answer to the host's own flow:
# the stranger (another port of the same public host) is dropped, the answer arrives.
only_answers_get_in() {
    local out
    probe h2a sendrecv "$NETLAB_DIR_IP" 6000 hello --from 5000 --seconds 3 >"$NETLAB_DIR/filter" &
    sleep 0.5
    probe dir send "$(netlab_router_ip 2)" 5000 stranger --from 6001
    sleep 0.2
    probe dir send "$(netlab_router_ip 2)" 5000 answer --from 6000
    wait $!
    out=$(cat "$NETLAB_DIR/filter")
    [ "$out" = "FROM $NETLAB_DIR_IP:6000 answer" ]
}

unsolicited_is_dropped() {
    probe h2a recv 5001 1.5 >"$NETLAB_DIR/unsolicited" &
    sleep 0.3
    probe dir send "$(netlab_router_ip 2)" 5001 unsolicited
    wait $!
    [ "$(cat "$NETLAB_DIR/unsolicited")" = NOTHING ]
}

# punch HOST HOST: both sides learn their public address by STUN and send to each other's.
punch() {
    local stun="$NETLAB_DIR_IP:$NETLAB_TURN_PORT" a="$NETLAB_DIR/punch-$1" b="$NETLAB_DIR/punch-$2"
    local first second
    rm -f "$a" "$b"
    probe "$1" punch --local 4000 --stun "$stun" --me "$a" --peer "$b" --seconds 4 \
        >"$a.out" &
    probe "$2" punch --local 4000 --stun "$stun" --me "$b" --peer "$a" --seconds 4 >"$b.out"
    second=$?
    wait $!
    first=$?
    [ $first -eq 0 ] && [ $second -eq 0 ]
}

punch_fails() { ! punch "$1" "$2"; }

same_home_hosts_meet() {
    probe h1a recv 5002 2 >"$NETLAB_DIR/lan" &
    sleep 0.3
    probe h1b send "$(netlab_host_ip 1 a)" 5002 neighbour --from 5003
    wait $!
    [ "$(cat "$NETLAB_DIR/lan")" = "FROM $(netlab_host_ip 1 b):5003 neighbour" ]
}

# delivered PORT: a datagram from the public side to router 1's PORT reaches h1a's PORT.
delivered() {
    probe h1a recv "$1" 1.5 >"$NETLAB_DIR/mapped" &
    sleep 0.3
    probe dir send "$(netlab_router_ip 1)" "$1" mapped
    wait $!
    grep -q "^FROM $NETLAB_DIR_IP:[0-9]* mapped$" "$NETLAB_DIR/mapped"
}

upnp_mapping_forwards_until_removed() {
    netlab_exec h1a upnpc -i -a "$(netlab_host_ip 1 a)" 5004 5004 UDP >/dev/null 2>&1 &&
        delivered 5004 &&
        netlab_exec h1a upnpc -i -d 5004 UDP >/dev/null 2>&1 &&
        ! delivered 5004
}

natpmp_mapping_forwards() {
    local out
    out=$(netlab_exec h1a natpmpc -a 5005 5005 udp 60 2>&1)
    grep -q "Mapped public port 5005" <<<"$out" && delivered 5005
}

udp_timeout_is() {
    [ "$(netlab_exec r1 sysctl -n net.netfilter.nf_conntrack_udp_timeout)" = "$1" ] &&
        [ "$(netlab_exec r1 sysctl -n net.netfilter.nf_conntrack_udp_timeout_stream)" = "$1" ]
}

nothing_left() {
    local namespaces
    namespaces=$(ip netns list)
    ! grep -q "^$NETLAB_PREFIX-" <<<"$namespaces" && [ ! -d "$NETLAB_DIR" ]
}

netlab_self_check() {
    command -v python3 >/dev/null || netlab_skip "python3 is not installed"
    command -v turnserver >/dev/null || netlab_skip "coturn is not installed"
    netlab_init
    netlab_start_turn || return 1
    netlab_add_home 1 upnp hosts=ab timeout=20 || return 1
    netlab_add_home 2 || return 1
    netlab_add_home 3 symmetric || return 1
    netlab_add_home 4 symmetric || return 1

    check_that "STUN from a home shows its router's public address" stun_shows_router_address
    check_that "a MASQUERADE router keeps one public port for all destinations" \
        mapping_is h2a "Endpoint Independent Mapping"
    check_that "a --random-fully router takes a new public port per destination" \
        mapping_is h3a "Address and Port Dependent Mapping"
    check_that "unsolicited UDP from the public segment is dropped" unsolicited_is_dropped
    check_that "only the answer of the addressed port gets back in" only_answers_get_in
    check_that "two cone homes punch through to each other" punch h1a h2a
    check_that "two symmetric homes cannot punch through" punch_fails h3a h4a
    check_that "two hosts of one home reach each other at their own addresses" \
        same_home_hosts_meet
    check_that "a UPnP mapping forwards datagrams until it is deleted" \
        upnp_mapping_forwards_until_removed
    check_that "a NAT-PMP mapping forwards datagrams" natpmp_mapping_forwards
    check_that "the router forgets idle UDP flows after the configured time" udp_timeout_is 20
    netlab_teardown
    check_that "teardown leaves no namespace and no folder" nothing_left
    echo "$netlab_checks_passed passed, $netlab_checks_failed failed"
    [ "$netlab_checks_failed" -eq 0 ]
}
