#!/usr/bin/env bash
# Load benchmark of zorvo-directory on loopback: seeds 1000 users (registered, logged in, with
# buddy lists), runs wrk against "iamup.asp" and "GetUserList.asp", then checks that concurrent
# logins, buddy-list syncs and heartbeats lose no write. Prints the figures; exits non-zero when
# a target (10000 requests/s, p99 under 10 ms, no lost write, clean stop) is missed.
#
# Usage: bench/directory/load.sh [BIN_DIR]   (default build/release/bin)
# Environment: USERS (1000), DURATION (15s), CONNECTIONS (16), WRK_THREADS (2),
#              SERVER_THREADS (32), ROUNDS (5, write check rounds per user)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../../build/release/bin}
users=${USERS:-1000}
duration=${DURATION:-15s}
connections=${CONNECTIONS:-16}
wrk_threads=${WRK_THREADS:-2}
server_threads=${SERVER_THREADS:-32}
rounds=${ROUNDS:-5}
min_rps=10000
max_p99_ms=10

for tool in "$bin/zorvo-directory" "$bin/zorvo-directory-seed"; do
    [ -x "$tool" ] || { echo "load.sh: $tool is missing; build first" >&2; exit 1; }
done
command -v wrk >/dev/null || { echo "load.sh: wrk is not installed" >&2; exit 1; }

work=$(mktemp -d)
server_pid=""
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

"$bin/zorvo-directory" --listen 127.0.0.1:0 --db "$work/bench.db" --hash-cost min \
    --log none --threads "$server_threads" 2>"$work/server.err" &
server_pid=$!
host=""
for _ in $(seq 100); do
    host=$(grep -o 'listening on 127\.0\.0\.1:[0-9]*' "$work/server.err" | cut -d' ' -f3 || true)
    [ -n "$host" ] && break
    sleep 0.1
done
[ -n "$host" ] || { echo "load.sh: the service did not start:" >&2; cat "$work/server.err" >&2; exit 1; }

echo "== seeding $users users on $host"
"$bin/zorvo-directory-seed" --host "$host" --users "$users" --buddies 10 --threads 4

# Converts a wrk latency ("812.00us", "2.31ms", "1.20s") to milliseconds.
to_ms() {
    awk -v v="$1" 'BEGIN {
        n = v + 0
        if (v ~ /us$/) n = n / 1000; else if (v ~ /ms$/) n = n; else if (v ~ /m$/) n = n * 60000;
        else if (v ~ /s$/) n = n * 1000
        printf "%.2f", n }'
}

status=0
for page in iamup GetUserList; do
    echo "== wrk -t$wrk_threads -c$connections -d$duration --latency ($page.asp, $users users)"
    ZORVO_BENCH_PAGE=$page ZORVO_BENCH_USERS=$users \
        wrk -t"$wrk_threads" -c"$connections" -d"$duration" --latency \
        -s "$here/directory.lua" "http://$host" >"$work/$page.txt"
    rps=$(awk '/^Requests\/sec:/ {print $2}' "$work/$page.txt")
    p99=$(awk '$1 == "99%" {print $2}' "$work/$page.txt")
    p99ms=$(to_ms "$p99")
    bad=$(awk '/Non-2xx or 3xx responses:/ {print $5}' "$work/$page.txt")
    errors=$(grep -c 'Socket errors' "$work/$page.txt" || true)
    printf '%-12s %10s requests/s   p99 %8s ms   non-2xx %s   socket errors %s\n' \
        "$page.asp" "$rps" "$p99ms" "${bad:-0}" "$errors"
    if awk -v r="$rps" -v p="$p99ms" -v mr="$min_rps" -v mp="$max_p99_ms" \
        'BEGIN { exit !(r + 0 >= mr && p + 0 < mp) }' && [ -z "$bad" ] && [ "$errors" = 0 ]; then
        echo "   PASS (target: >= $min_rps requests/s, p99 < $max_p99_ms ms, all accepted)"
    else
        echo "   FAIL (target: >= $min_rps requests/s, p99 < $max_p99_ms ms, all accepted)"
        sed 's/^/   | /' "$work/$page.txt"
        status=1
    fi
done

echo "== concurrent logins, syncs and heartbeats ($rounds rounds per user, $users users at once)"
if ! "$bin/zorvo-directory-seed" --host "$host" --users "$users" --threads 16 \
    --check-writes "$rounds" | grep 'write check'; then
    echo "   FAIL: writes were lost"
    status=1
fi

echo "== stopping the service (SIGTERM)"
kill -TERM "$server_pid"
if wait "$server_pid"; then
    echo "   stopped cleanly"
else
    echo "   FAIL: the service did not stop cleanly"
    status=1
fi
server_pid=""
exit $status
