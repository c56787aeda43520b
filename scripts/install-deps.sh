#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Zorvo need, when missing.
set -euo pipefail

packages=(
    # build, tests, benchmarks, fuzzing, formatting
    g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    # speech codec and its reference tools
    libgsm1-dev libgsm-tools
    # audio devices, mixer, WAV files, echo cancellation and noise suppression
    portaudio19-dev libasound2-dev libsndfile1-dev libspeexdsp-dev
    # the volume of the program's own streams on a sound server (PulseAudio, PipeWire)
    libpulse-dev
    # directory client and service
    libcurl4-openssl-dev libcpp-httplib-dev libsqlite3-dev libsodium-dev libpq-dev
    # a real PostgreSQL server for the directory service's tests
    postgresql
    # a TLS-terminating front (nginx) for the directory service's tests
    nginx
    # option parsing
    libcli11-dev
    # quality and packaging checks
    pmccabe desktop-file-utils systemd file dpkg-dev
    # desktop client
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # the desktop's keyring for the saved password
    qtkeychain-qt6-dev
    # installing and packaging: desktop entry and unit checks, Debian package
    desktop-file-utils systemd dpkg-dev file
    # screens, sound and load for tests
    xvfb xauth x11-apps imagemagick espeak-ng sox wrk
    # a private sound server, its ALSA plugins and mixer tools; a keyring in a private session
    # bus; starting desktop entries
    pulseaudio libasound2-plugins alsa-utils gnome-keyring dbus libglib2.0-bin
    # calls across home routers: STUN/TURN message integrity (OpenSSL, zlib), router port
    # mapping (UPnP IGD, NAT-PMP); for the tests, a small internet in network namespaces with
    # NAT routers, a TURN relay and a port-mapping router
    libssl-dev zlib1g-dev libminiupnpc-dev libnatpmp-dev
    iproute2 iptables coturn miniupnpd-iptables miniupnpc natpmpc
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${missing[*]}); run as root or install them" >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
