# A small internet in network namespaces, for tests that need home routers, NAT and a public
# segment. Source this file from a bash script (as root), then:
#
#   netlab_init                       public segment and directory host; teardown on EXIT
#   netlab_add_home 1                 router r1 (cone NAT) and host h1a behind it
#   netlab_add_home 2 symmetric upnp timeout=30 hosts=ab
#   netlab_exec h1a CMD...            runs CMD in the host's namespace
#   netlab_spawn dir turn CMD...      starts CMD in the background, killed at teardown
#
# Every namespace is called "$NETLAB_PREFIX-NAME" (NAME: pub, dir, rN, hNa, ...); the prefix
# carries the shell's pid unless the caller sets NETLAB_PREFIX, so concurrent runs never meet.
# Nothing is made in the caller's own namespace: every link lives inside a lab namespace and goes
# when the namespace is deleted. State (namespaces, pids, logs, configs) lives in NETLAB_DIR, so
# that another process can tear the lab down (see the netlab driver beside this file).
#
# Addresses: public segment 198.18.0.0/24 (directory host 198.18.0.1 and 198.18.0.2, router N
# 198.18.0.1N), home N 10.0.N.0/24 (router 10.0.N.1, hosts a, b, ... from 10.0.N.2 on).

NETLAB_PREFIX=${NETLAB_PREFIX:-nl$$}
NETLAB_DIR=${NETLAB_DIR:-/tmp/netlab-${NETLAB_PREFIX}}
NETLAB_DIR_IP=198.18.0.1
NETLAB_DIR_ALT_IP=198.18.0.2
NETLAB_TURN_PORT=3478
NETLAB_TURN_SECRET=${NETLAB_TURN_SECRET:-netlabsecret}
NETLAB_TURN_REALM=${NETLAB_TURN_REALM:-netlab.test}

# Prints one line and leaves with the code test runners count as skipped.
netlab_skip() {
    echo "SKIP: $*"
    exit 77
}

netlab_ns() { echo "${NETLAB_PREFIX}-$1"; }
netlab_router_ip() { echo "198.18.0.1$1"; }

# Host letters a, b, c, ... get 10.0.N.2, 10.0.N.3, ...
netlab_host_ip() {
    local index
    index=$(($(printf '%d' "'$2") - 96))
    echo "10.0.$1.$((index + 1))"
}

# Checks that this process may build the lab, or skips: root, iproute2, namespaces, iptables
# with NAT inside a namespace. Chooses the iptables front end for the routers (NETLAB_IPT):
# miniupnpd (Debian's iptables variant) writes its rules through libiptc, that is into the
# legacy tables, and every rule of a router must live beside them, or two rule sets would each
# decide on the same packets without seeing the other. So the legacy tables when they work here,
# else the default front end (and then no router can run miniupnpd).
netlab_check() {
    local probe tool
    [ "$(id -u)" -eq 0 ] || netlab_skip "network namespaces need root"
    for tool in ip iptables sysctl ss; do
        command -v "$tool" >/dev/null 2>&1 || netlab_skip "$tool is not installed"
    done
    probe="${NETLAB_PREFIX}-probe"
    ip netns add "$probe" 2>/dev/null || netlab_skip "network namespaces cannot be made here"
    NETLAB_IPT=""
    for tool in iptables-legacy iptables; do
        if command -v "$tool" >/dev/null 2>&1 &&
            ip netns exec "$probe" "$tool" -t nat -A POSTROUTING -o lo -j MASQUERADE \
                2>/dev/null; then
            NETLAB_IPT=$tool
            break
        fi
    done
    ip netns del "$probe"
    [ -n "$NETLAB_IPT" ] || netlab_skip "iptables NAT does not work in a network namespace here"
}

# Makes an empty namespace (loopback up) and records it for teardown.
netlab_add_ns() {
    local ns
    ns=$(netlab_ns "$1")
    ip netns add "$ns" || return 1
    echo "$ns" >>"$NETLAB_DIR/namespaces"
    ip -n "$ns" link set lo up
}

# netlab_attach NS_NAME IFNAME BRIDGE_NS_NAME BRIDGE PORT ADDR/LEN
# A veth pair made inside the namespaces themselves: IFNAME in NS_NAME carries ADDR, PORT is
# enslaved to BRIDGE in BRIDGE_NS_NAME.
netlab_attach() {
    local ns bridge_ns
    ns=$(netlab_ns "$1")
    bridge_ns=$(netlab_ns "$3")
    ip -n "$bridge_ns" link add "$5" type veth peer name "$2" netns "$ns" || return 1
    ip -n "$bridge_ns" link set "$5" master "$4" up
    ip -n "$ns" addr add "$6" dev "$2"
    ip -n "$ns" link set "$2" up
}

# Public segment (bridge br0 in "pub") and the directory host "dir" on it. Installs the EXIT
# trap (a caller with its own EXIT trap calls netlab_teardown from it instead).
netlab_init() {
    netlab_check
    mkdir "$NETLAB_DIR" || netlab_skip "lab folder $NETLAB_DIR exists (prefix in use)"
    : >"$NETLAB_DIR/namespaces"
    : >"$NETLAB_DIR/pids"
    trap netlab_teardown EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    netlab_add_ns pub || netlab_skip "network namespaces cannot be made here"
    ip -n "$(netlab_ns pub)" link add br0 type bridge
    ip -n "$(netlab_ns pub)" link set br0 up
    netlab_add_public dir "$NETLAB_DIR_IP"
    ip -n "$(netlab_ns dir)" addr add "$NETLAB_DIR_ALT_IP/24" dev eth0
}

# netlab_add_public NAME ADDR: one more host on the public segment.
netlab_add_public() {
    netlab_add_ns "$1" || return 1
    netlab_attach "$1" eth0 pub br0 "$1" "$2/24"
}

# netlab_sysctl NAME KEY=VALUE...: sysctls of the namespace (network ones are per namespace).
netlab_sysctl() {
    ip netns exec "$(netlab_ns "$1")" sysctl -qw "${@:2}" >/dev/null
}

# netlab_add_home N [symmetric] [upnp] [timeout=S] [hosts=LETTERS]
#   symmetric   MASQUERADE --random-fully: a new public port per destination
#   upnp        miniupnpd on the router (UPnP IGD and NAT-PMP on the LAN side)
#   timeout=S   conntrack forgets idle UDP flows after S seconds (as home routers do)
#   hosts=ab    the hosts behind the router (default: a)
netlab_add_home() {
    local n=$1 symmetric="" upnp="" timeout="" hosts=a word router letter
    shift
    if ! [[ $n =~ ^[1-9][0-9]?$ ]]; then
        echo "netlab_add_home: home number $n is not in 1..99" >&2
        return 2
    fi
    for word in "$@"; do
        case $word in
            cone) ;;
            symmetric) symmetric=--random-fully ;;
            upnp) upnp=yes ;;
            timeout=*) timeout=${word#timeout=} ;;
            hosts=*) hosts=${word#hosts=} ;;
            *) echo "netlab_add_home: unknown option $word" >&2; return 2 ;;
        esac
    done
    if [ -n "$upnp" ]; then
        command -v miniupnpd >/dev/null 2>&1 || netlab_skip "miniupnpd is not installed"
        [ "$NETLAB_IPT" = iptables-legacy ] || netlab_skip "miniupnpd needs iptables-legacy"
        netlab_start_turn || return 1
    fi
    router="r$n"
    netlab_add_ns "$router" || return 1
    netlab_attach "$router" wan0 pub br0 "$router" "$(netlab_router_ip "$n")/24"
    ip -n "$(netlab_ns "$router")" link add lan0 type bridge
    ip -n "$(netlab_ns "$router")" addr add "10.0.$n.1/24" dev lan0
    ip -n "$(netlab_ns "$router")" link set lan0 up
    netlab_sysctl "$router" net.ipv4.ip_forward=1
    netlab_router_rules "$router" "$symmetric" "$upnp"
    if [ -n "$timeout" ]; then
        netlab_sysctl "$router" "net.netfilter.nf_conntrack_udp_timeout=$timeout" \
            "net.netfilter.nf_conntrack_udp_timeout_stream=$timeout"
    fi
    for letter in $(echo "$hosts" | grep -o .); do
        netlab_add_host "$n" "$letter"
    done
    if [ -n "$upnp" ]; then
        netlab_start_miniupnpd "$n"
    fi
}

# The router's filter and NAT rules: translation on the public side, and nothing from the public
# side gets in (to the router or through it) unless it answers a flow from inside, or a port
# mapping of miniupnpd lets it through. Dropping in INPUT also keeps an early probe from leaving
# a conntrack entry that would move the next outgoing flow to another public port.
netlab_router_rules() {
    local ns ipt
    ns=$(netlab_ns "$1")
    ipt="ip netns exec $ns $NETLAB_IPT"
    # shellcheck disable=SC2086 # $2 is empty or --random-fully
    $ipt -t nat -A POSTROUTING -o wan0 -j MASQUERADE $2
    $ipt -A INPUT -i wan0 -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT
    $ipt -A FORWARD -i wan0 -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT
    if [ -n "$3" ]; then
        # The chains miniupnpd fills (as its iptables_init.sh makes them): DNAT in nat
        # PREROUTING, ACCEPT in FORWARD, and its own POSTROUTING and mangle chains. Its filter
        # chain is also consulted for the router itself: there miniupnpd briefly opens the ports
        # of its STUN test (its mapping rules name LAN addresses and never match in INPUT).
        $ipt -t nat -N MINIUPNPD
        $ipt -t nat -A PREROUTING -i wan0 -j MINIUPNPD
        $ipt -t nat -N MINIUPNPD-POSTROUTING
        $ipt -t nat -I POSTROUTING -o wan0 -j MINIUPNPD-POSTROUTING
        $ipt -t mangle -N MINIUPNPD
        $ipt -t mangle -A PREROUTING -i wan0 -j MINIUPNPD
        $ipt -N MINIUPNPD
        $ipt -A FORWARD -i wan0 ! -o wan0 -j MINIUPNPD
        $ipt -A INPUT -i wan0 -j MINIUPNPD
    fi
    $ipt -A INPUT -i wan0 -j DROP
    $ipt -A FORWARD -i wan0 -j DROP
}

# netlab_add_host N LETTER: host hN<LETTER> on home N's LAN, default route via the router.
netlab_add_host() {
    local host="h$1$2"
    netlab_add_ns "$host" || return 1
    netlab_attach "$host" eth0 "r$1" lan0 "$host" "$(netlab_host_ip "$1" "$2")/24"
    ip -n "$(netlab_ns "$host")" route add default via "10.0.$1.1"
}

# miniupnpd on router N: listens on the LAN bridge, maps on wan0, lets hosts of the home map
# ports 1024-65535 to themselves only (secure mode), UPnP IGD and NAT-PMP both on.
# Its external address lies in a reserved range, which miniupnpd would refuse as "not public"
# and then deny every mapping; it asks the STUN server of the directory host instead (which
# is started with the first such router) and, seeing no NAT in front of wan0, allows mappings.
netlab_start_miniupnpd() {
    local n=$1 conf="$NETLAB_DIR/miniupnpd-r$1.conf"
    cat >"$conf" <<EOF
ext_ifname=wan0
listening_ip=lan0
http_port=0
enable_natpmp=yes
enable_upnp=yes
secure_mode=yes
system_uptime=yes
notify_interval=60
clean_ruleset_interval=600
uuid=$(cat /proc/sys/kernel/random/uuid)
lease_file=$NETLAB_DIR/miniupnpd-r$n.leases
upnp_forward_chain=MINIUPNPD
upnp_nat_chain=MINIUPNPD
upnp_nat_postrouting_chain=MINIUPNPD-POSTROUTING
ext_perform_stun=yes
ext_stun_host=$NETLAB_DIR_IP
ext_stun_port=$NETLAB_TURN_PORT
allow 1720 10.0.$n.0/24 1720
allow 1024-65535 10.0.$n.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
EOF
    netlab_spawn "r$n" "miniupnpd-r$n" miniupnpd -d -f "$conf" -P "$NETLAB_DIR/miniupnpd-r$n.pid"
    # It answers on the LAN only after its STUN test, which decides whether it maps at all.
    if ! netlab_wait_port "r$n" udp 5351 15 ||
        ! grep -q "Port forwarding is now enabled" "$NETLAB_DIR/miniupnpd-r$n.log"; then
        echo "netlab: miniupnpd on r$n does not map (see $NETLAB_DIR/miniupnpd-r$n.log)" >&2
        return 1
    fi
}

# coturn on the directory host: STUN and TURN on port 3478 of both its addresses (two addresses
# give it the alternate address that RFC 5780 behaviour discovery needs), shared-secret
# credentials NETLAB_TURN_SECRET in realm NETLAB_TURN_REALM. Started once per lab.
netlab_start_turn() {
    [ -e "$NETLAB_DIR/turn.started" ] && return 0
    netlab_spawn dir turnserver turnserver -n --listening-ip="$NETLAB_DIR_IP" \
        --listening-ip="$NETLAB_DIR_ALT_IP" --relay-ip="$NETLAB_DIR_IP" \
        --listening-port="$NETLAB_TURN_PORT" --use-auth-secret \
        --static-auth-secret="$NETLAB_TURN_SECRET" --realm="$NETLAB_TURN_REALM" \
        --no-tls --no-dtls --no-cli --fingerprint --allow-loopback-peers \
        --userdb="$NETLAB_DIR/turndb" --pidfile="$NETLAB_DIR/turnserver.pid" \
        --log-file=stdout --simple-log
    netlab_wait_port dir udp "$NETLAB_TURN_PORT" 10 || {
        echo "netlab: turnserver did not start (see $NETLAB_DIR/turnserver.log)" >&2
        return 1
    }
    touch "$NETLAB_DIR/turn.started"
}

# netlab_exec NAME CMD...: runs CMD in the namespace of NAME (pub, dir, r1, h1a, ...).
netlab_exec() {
    local ns
    ns=$(netlab_ns "$1")
    shift
    ip netns exec "$ns" "$@"
}

# netlab_spawn NAME TAG CMD...: starts CMD in the background in NAME's namespace, output to
# NETLAB_DIR/TAG.log; its pid is recorded (killed at teardown) and left in NETLAB_LAST_PID.
netlab_spawn() {
    local ns log
    ns=$(netlab_ns "$1")
    log="$NETLAB_DIR/$2.log"
    shift 2
    ip netns exec "$ns" "$@" </dev/null >>"$log" 2>&1 &
    NETLAB_LAST_PID=$!
    echo "$NETLAB_LAST_PID" >>"$NETLAB_DIR/pids"
}

# netlab_wait_port NAME udp|tcp PORT [SECONDS]: waits until something listens on PORT.
netlab_wait_port() {
    local ns flag=-lnu deadline
    ns=$(netlab_ns "$1")
    [ "$2" = tcp ] && flag=-lnt
    deadline=$((SECONDS + ${4:-10}))
    while [ $SECONDS -le $deadline ]; do
        if [ -n "$(ip netns exec "$ns" ss -H $flag "sport = :$3" 2>/dev/null)" ]; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Stops every process the lab started (and any other still inside its namespaces), deletes its
# namespaces (their links go with them) and its folder. Safe to call more than once.
netlab_teardown() {
    local pid pids ns left=""
    [ -d "$NETLAB_DIR" ] || return 0
    if [ -s "$NETLAB_DIR/watcher" ]; then
        pid=$(cat "$NETLAB_DIR/watcher")
        if [ "$pid" != "${BASHPID:-$$}" ]; then
            kill "$pid" 2>/dev/null || true
        fi
    fi
    pids=$(cat "$NETLAB_DIR/pids" 2>/dev/null)
    for pid in $pids; do
        kill "$pid" 2>/dev/null || true
    done
    for _ in $(seq 20); do
        left=""
        for pid in $pids; do
            kill -0 "$pid" 2>/dev/null && left="$left $pid"
        done
        [ -z "$left" ] && break
        sleep 0.1
    done
    for pid in $left; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    for ns in $(tac "$NETLAB_DIR/namespaces" 2>/dev/null); do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null || true
        done
        ip netns del "$ns" 2>/dev/null || true
    done
    rm -rf "$NETLAB_DIR"
    return 0
}
