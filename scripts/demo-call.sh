#!/usr/bin/env bash
# A short demonstration call on loopback between two zorvo-call processes: the caller speaks a
# sentence from a WAV file, the callee writes what it hears to a WAV file.
set -euo pipefail
bin=${1:-build/release/bin}
out=${ZORVO_DEMO_DIR:-/tmp/zorvo-demo}
mkdir -p "$out"

espeak-ng -w "$out/voice.wav" "Hello. This is a Zorvo call over the loopback network. \
The speech you hear was compressed, sent as datagrams and played back." 2>/dev/null
sox "$out/voice.wav" -r 8000 -c 1 -b 16 "$out/speech.wav"
seconds=$(soxi -D "$out/speech.wav" | awk '{ printf "%d", $1 + 3 }')
port=${ZORVO_DEMO_PORT:-17200}

"$bin/zorvo-call" listen --port "$port" --user bob --mic none --speaker "$out/received.wav" \
    --timeout 30 >"$out/callee.log" 2>&1 &
callee=$!
sleep 0.5
echo "calling bob on 127.0.0.1:$port for ${seconds}s ..."
"$bin/zorvo-call" call 127.0.0.1 --port "$port" --user alice --mic "$out/speech.wav" \
    --speaker none --hangup-after "$seconds" | grep -vE 'STATUS_(MIC|NET)_FRAME|STATUS_BYTES' \
    | sed 's/^/  caller: /'
wait "$callee" || true
echo
echo "the callee heard $(soxi -D "$out/received.wav") s of speech: $out/received.wav"
echo "(sent: $out/speech.wav; both engines' notifications: $out/callee.log and above)"
