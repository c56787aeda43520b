#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that the installed tree works on its own:
# the files are where they belong, the desktop entry and the systemd unit validate, the programs
# load their libraries from the prefix, and the installed client rings with its installed sounds.
set -u
build=${1:?usage: install-test.sh BUILD-DIR [BINDIR LIBDIR DATADIR]}
bindir=${2:-bin}
libdir=${3:-lib}
datadir=${4:-share}
work=$(mktemp -d /tmp/zorvo-install.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
prefix=$work/prefix
passed=0
failed=0
check() {
    local name=$1
    shift
    if "$@"; then passed=$((passed + 1)); else echo "FAIL: $name" >&2; failed=$((failed + 1)); fi
}
quiet() {  # quiet COMMAND...: succeeds when the command succeeds and prints nothing
    local out
    out=$("$@" 2>&1) && [ -z "$out" ] || { echo "$out" >&2; return 1; }
}
runpath() { readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'; }

if ! "${CMAKE:-cmake}" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "install-test: cmake --install failed" >&2
    exit 1
fi

# 1. The tree: the three programs, the run-time libraries and the data files; nothing else.
for p in Zorvo zorvo-call zorvo-directory; do
    check "$p is installed" test -x "$prefix/$bindir/$p"
done
check "only the three programs are installed" \
    test "$(ls "$prefix/$bindir" | sort | tr '\n' ' ')" = "Zorvo zorvo-call zorvo-directory "
for l in util compress voxlane; do
    check "libzorvo-$l is installed" test -f "$prefix/$libdir/libzorvo-$l.so.0"
    check "libzorvo-$l has no development link" test ! -e "$prefix/$libdir/libzorvo-$l.so"
done
check "no headers are installed" test ! -e "$prefix/include"
for s in phonering hangup buddyin buddyout; do
    check "$s.wav is installed" test -s "$prefix/$datadir/zorvo/sounds/$s.wav"
done
for size in 16 22 24 32 48 64 128 256; do
    icon=$prefix/$datadir/icons/hicolor/${size}x${size}/apps/zorvo.png
    check "the ${size}px icon is a ${size}x${size} PNG" \
        grep -q "PNG image data, $size x $size," <(file "$icon")
done

# 2. The desktop entry and the unit validate, and they name the installed programs.
desktop=$prefix/$datadir/applications/zorvo.desktop
unit=$prefix/lib/systemd/system/zorvo-directory.service
check "desktop-file-validate accepts the desktop entry" quiet desktop-file-validate "$desktop"
check "the desktop entry starts the installed client" \
    grep -qx "Exec=\"$prefix/$bindir/Zorvo\"" "$desktop"
check "systemd-analyze verify accepts the unit" quiet systemd-analyze verify "$unit"
check "the unit starts the installed service with its database in its state folder" grep -qx \
    "ExecStart=$prefix/$bindir/zorvo-directory --db /var/lib/zorvo-directory/directory.db" "$unit"
for key in DynamicUser=yes StateDirectory=zorvo-directory Restart=on-failure; do
    check "the unit has $key" grep -qx "$key" "$unit"
done

# 3. The programs find their libraries relative to themselves, in the prefix.
for p in Zorvo zorvo-call zorvo-directory; do
    check "$p has the RUNPATH \$ORIGIN/../$libdir" test "$(runpath "$prefix/$bindir/$p")" = \
        "\$ORIGIN/../$libdir"
done
check "libzorvo-voxlane finds its siblings through \$ORIGIN" \
    test "$(runpath "$prefix/$libdir/libzorvo-voxlane.so.0")" = "\$ORIGIN"
loaded() {  # loaded PROGRAM LIBRARY: the file the dynamic loader takes for LIBRARY
    realpath "$(ldd "$1" | sed -n "s|^\s*$2 => \(.*\) (0x.*|\1|p")"
}
for l in util compress voxlane; do
    check "the client loads libzorvo-$l from the prefix" test "$(loaded "$prefix/$bindir/Zorvo" \
        "libzorvo-$l.so.0")" = "$(realpath "$prefix/$libdir/libzorvo-$l.so.0")"
done
check "every library of the client is found" test -z "$(ldd "$prefix/$bindir/Zorvo" | grep 'not found')"
for p in Zorvo zorvo-call zorvo-directory; do
    check "the installed $p answers --version" grep -q "^$p " <("$prefix/$bindir/$p" --version)
    check "the installed $p answers --help" test -n "$("$prefix/$bindir/$p" --help)"
done

# 4. The installed client, started on the offscreen platform, rings with its installed sound
#    when the installed zorvo-call calls it; the ringing goes to a WAV file.
export QT_QPA_PLATFORM=offscreen ZORVO_MIC=none ZORVO_SPEAKER=none ZORVO_TRACE=1
export ZORVO_CONFIG_DIR=$work/config ZORVO_INSTANCE_NAME=zorvo-install-test-$$
export ZORVO_SOUND_OUT=$work/ring.wav
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work/runtime}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset ZORVO_SOUNDS_DIR
port=$((20000 + RANDOM % 30000))
ZORVO_CALL_PORT=$port "$prefix/$bindir/Zorvo" DontShow 2>"$work/client.err" &
client=$!
for _ in $(seq 50); do grep -q 'Bind Successful' "$work/client.err" && break; sleep 0.1; done
check "the installed client listens for calls" grep -q 'Bind Successful' "$work/client.err"
"$prefix/$bindir/zorvo-call" call 127.0.0.1 --port "$port" --mic none --speaker none --timeout 4 \
    >"$work/caller.out" 2>&1
check "the installed client rings back to the caller" grep -qx 'STATUS_RINGING 0' "$work/caller.out"
kill -TERM $client
wait $client
check "the installed client ends cleanly" test $? -eq 0
sound=$prefix/$datadir/zorvo/sounds/phonering.wav
sox "$sound" -t raw "$work/phonering.raw" 2>/dev/null
sox "$work/ring.wav" -t raw "$work/ring.raw" 2>/dev/null
check "the ringing plays the installed phonering.wav" \
    cmp -s -n "$(stat -c %s "$work/phonering.raw")" "$work/ring.raw" "$work/phonering.raw"

# 5. Two installed zorvo-call processes hold a call through the installed engine and codec.
sox -n -r 8000 -c 1 -b 16 "$work/tone.wav" synth 2 sine 440 vol 0.5 2>/dev/null
port=$((20000 + RANDOM % 30000))
"$prefix/$bindir/zorvo-call" listen --port "$port" --mic none --speaker "$work/heard.wav" \
    --timeout 15 >"$work/listen.out" 2>&1 &
listener=$!
sleep 0.5
"$prefix/$bindir/zorvo-call" call 127.0.0.1 --port "$port" --mic "$work/tone.wav" --speaker none \
    --hangup-after 2 >"$work/call.out" 2>&1
check "the installed caller holds a call" test $? -eq 0
wait $listener
check "the installed callee hears the hang-up" grep -qx 'STATUS_REMOTE_HANGUP 0' "$work/listen.out"
check "the installed callee decoded voice" test "$(soxi -s "$work/heard.wav" 2>/dev/null || echo 0)" -gt 0

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
