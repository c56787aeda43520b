#!/usr/bin/env bash
# Carries a call through the impairing relay in four cases (clean; the sender's clock 0.5% fast;
# jitter 0-80 ms with 5% loss; all three together) and prints the listener's playout latency and
# concealment for each. The cases run side by side (each call costs about 1% of a core).
#
# Usage: bench/playout/run.sh [--build DIR] [--seconds N] [--sequential] [--realtime]
#   --build DIR    build tree holding bin/bench-playout (default build/release)
#   --seconds N    length of each call (default 120)
#   --sequential   run the cases one after another
#   --realtime     run the calls at real-time priority (chrt -f 5, needs the right to), as a
#                  desktop's sound server runs audio; on a busy machine the figures then show the
#                  line's impairments rather than the machine's load
set -euo pipefail

build="build/release"
seconds=120
parallel=1
prefix=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build="$2"; shift 2 ;;
        --seconds) seconds="$2"; shift 2 ;;
        --sequential) parallel=0; shift ;;
        --realtime) prefix=(chrt -f 5); shift ;;
        -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "run.sh: unknown argument: $1" >&2; exit 2 ;;
    esac
done

bench="$build/bin/bench-playout"
if [ ! -x "$bench" ]; then
    echo "run.sh: $bench not found; build the bench-playout target first" >&2
    exit 1
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cases=(clean drift jitter-loss all)
for c in "${cases[@]}"; do
    if [ "$parallel" -eq 1 ]; then
        "${prefix[@]}" "$bench" "$c" "$seconds" >"$out/$c" 2>"$out/$c.err" &
    else
        "${prefix[@]}" "$bench" "$c" "$seconds" >"$out/$c" 2>"$out/$c.err"
    fi
done
wait
status=0
for c in "${cases[@]}"; do
    if [ -s "$out/$c" ]; then
        cat "$out/$c"
    else
        echo "$c: failed: $(head -n 1 "$out/$c.err")" >&2
        status=1
    fi
done
exit $status
