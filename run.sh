#!/usr/bin/env bash
# Installs what is missing, builds Zorvo and starts the desktop client, with a local directory
# service beside it. Without a display the client runs on a virtual one (Xvfb :99); look at it
# with a VNC viewer or take screenshots (import -window root shot.png with DISPLAY=:99).
# For a headless demonstration call between two engines instead: ./scripts/demo-call.sh
set -euo pipefail
cd "$(dirname "$0")"

export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/tmp/zorvo-runtime-$(id -u)}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
bin=build/release/bin

pids=()
cleanup() { [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true; }
trap cleanup EXIT

if [ -x "$bin/zorvo-directory" ]; then
    # Plain http for clients from before TLS, https (a self-signed certificate made on the first
    # start; the client asks once whether to trust its fingerprint) for everyone else.
    listen=${ZORVO_DIRECTORY_LISTEN:-127.0.0.1:8080}
    tls_listen=${ZORVO_DIRECTORY_TLS_LISTEN:-127.0.0.1:8443}
    "$bin/zorvo-directory" --listen "$listen" --tls-listen "$tls_listen" &
    pids+=($!)
    export ZORVO_SERVICE_HOST=${ZORVO_SERVICE_HOST:-https://$tls_listen}
    echo "directory service on https://$tls_listen/ and http://$listen/" \
        "(register at https://$tls_listen/register.asp)"
fi

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "no display: starting a virtual one on :99"
    Xvfb :99 -screen 0 1280x800x24 >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY=:99
    sleep 1
fi

echo "starting Zorvo (call port ${ZORVO_CALL_PORT:-1720}; Exit from its File menu or tray ends it)"
"$bin/Zorvo" "$@"
