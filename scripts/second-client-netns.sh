#!/bin/bash
# Starts a second Zorvo client in a network namespace of its own, so that two clients on one
# machine can log in and call each other by name. The namespace gets an address from the
# benchmarking range 198.18.0.0/15, which the client does not count as a private (LAN) address;
# the host side of the veth pair gets 198.18.0.1 and the directory service must listen there
# (for example: zorvo-directory --listen 198.18.0.1:8080). Needs root. The namespace and the
# veth pair are removed when the client ends.
#
#   sudo scripts/second-client-netns.sh [path/to/Zorvo] [-- client arguments]
set -euo pipefail

NS=zorvo-second
HOST_IF=zorvo-veth0
NS_IF=zorvo-veth1
HOST_ADDR=198.18.0.1
NS_ADDR=198.18.0.2
CLIENT=${1:-$(dirname "$0")/../build/release/bin/Zorvo}
[[ $# -gt 0 ]] && shift
[[ ${1:-} == -- ]] && shift

case ${CLIENT} in
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --version) echo "second-client-netns.sh 0.1.0"; exit 0 ;;
esac
if [[ $(id -u) -ne 0 ]]; then
    echo "second-client-netns.sh: must run as root (it creates a network namespace)" >&2
    exit 1
fi
if [[ ! -x ${CLIENT} ]]; then
    echo "second-client-netns.sh: no client program at ${CLIENT}" >&2
    exit 1
fi

cleanup() {
    ip link del "${HOST_IF}" 2>/dev/null || true
    ip netns del "${NS}" 2>/dev/null || true
}
trap cleanup EXIT
cleanup

if ! ip netns add "${NS}" 2>/dev/null; then
    echo "second-client-netns.sh: network namespaces cannot be created here" >&2
    exit 1
fi
ip link add "${HOST_IF}" type veth peer name "${NS_IF}"
ip link set "${NS_IF}" netns "${NS}"
ip addr add "${HOST_ADDR}/30" dev "${HOST_IF}"
ip link set "${HOST_IF}" up
ip netns exec "${NS}" ip addr add "${NS_ADDR}/30" dev "${NS_IF}"
ip netns exec "${NS}" ip link set "${NS_IF}" up
ip netns exec "${NS}" ip link set lo up

# The second client keeps its own settings; it reaches the X server through its file socket.
CONFIG=$(mktemp -d)
RUNTIME=$(mktemp -d)
chmod 700 "${RUNTIME}"
echo "second client at ${NS_ADDR}; service expected at ${ZORVO_SERVICE_HOST:-${HOST_ADDR}:8080}"
set +e
ip netns exec "${NS}" env ZORVO_CONFIG_DIR="${CONFIG}" XDG_RUNTIME_DIR="${RUNTIME}" \
    ZORVO_SERVICE_HOST="${ZORVO_SERVICE_HOST:-${HOST_ADDR}:8080}" \
    DISPLAY="${DISPLAY:-:0}" "${CLIENT}" "$@"
status=$?
rm -rf "${CONFIG}" "${RUNTIME}"
exit ${status}
