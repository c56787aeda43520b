#!/usr/bin/env bash
# Load benchmark of zorvo-directory on loopback, on both storage backends in one run:
#   sqlite    one service process on a SQLite file (presence in its memory);
#   postgres  two service processes on one PostgreSQL database (presence in the database), with
#             the load spread over both.
# Each run seeds USERS registered users of which ONLINE are logged in with buddy lists, runs wrk
# against "iamup.asp" and "GetUserList.asp" of the online users, then checks that concurrent
# syncs, heartbeats and logins lose no write (with PostgreSQL: synced on one process, read back
# from the other). Prints the figures side by side; exits non-zero when a target (10000
# requests/s, p99 under 10 ms, every request accepted, no lost write, clean stop) is missed.
#
# With --tls: one process on SQLite with a plain and an HTTPS listener (its self-signed
# certificate), heartbeats ("iamup.asp") over kept-alive connections to each in turn; prints both
# figures and their ratio (target: HTTPS at least 70% of plain HTTP).
#
# Usage: bench/directory/load.sh [--tls] [BIN_DIR]   (default build/release/bin)
# Environment: USERS (100000), ONLINE (10000), DURATION (10s), CONNECTIONS (16, over all
#              processes), WRK_THREADS (2), SERVER_THREADS (32), ROUNDS (3, write check rounds
#              per user), CHECK_USERS (2000), BACKENDS ("sqlite postgres"), WARMUP (10s, the
#              heartbeats that let every process meet every online user)
# PostgreSQL runs from a throw-away cluster (testsupport/postgres-server.sh, durable settings).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tls=no
if [ "${1:-}" = --tls ]; then
    tls=yes
    shift
fi
bin=${1:-$here/../../build/release/bin}
users=${USERS:-100000}
online=${ONLINE:-10000}
duration=${DURATION:-10s}
connections=${CONNECTIONS:-16}
wrk_threads=${WRK_THREADS:-2}
server_threads=${SERVER_THREADS:-32}
rounds=${ROUNDS:-3}
check_users=${CHECK_USERS:-2000}
backends=${BACKENDS:-sqlite postgres}
warmup=${WARMUP:-10s}
order=random
pg_script=$here/../../testsupport/postgres-server.sh
min_rps=10000
max_p99_ms=10
min_tls_percent=70
scheme=http

for tool in "$bin/zorvo-directory" "$bin/zorvo-directory-seed"; do
    [ -x "$tool" ] || { echo "load.sh: $tool is missing; build first" >&2; exit 1; }
done
command -v wrk >/dev/null || { echo "load.sh: wrk is not installed" >&2; exit 1; }

work=$(mktemp -d)
chmod 755 "$work"
pids=()
pg_started=no
cleanup() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ $pg_started = yes ]; then
        "$pg_script" stop "$work/pg" || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Starts a service process on database $1 with its stderr in $2; adds its host:port to hosts
# (with --tls, its HTTPS host:port to tls_hosts).
start_service() {
    local more=()
    if [ $tls = yes ]; then
        more=(--tls-listen 127.0.0.1:0 --state-dir "$work")
    fi
    "$bin/zorvo-directory" --listen 127.0.0.1:0 --db "$1" --hash-cost min --log none \
        --threads "$server_threads" "${more[@]}" >/dev/null 2>"$2" &
    pids+=($!)
    local host=""
    for _ in $(seq 100); do
        host=$(grep -o 'listening on 127\.0\.0\.1:[0-9]*' "$2" | cut -d' ' -f3 || true)
        [ -n "$host" ] && break
        sleep 0.1
    done
    [ -n "$host" ] || { echo "load.sh: the service did not start:" >&2; cat "$2" >&2; exit 1; }
    hosts+=("$host")
    if [ $tls = yes ]; then
        tls_hosts+=("$(grep -o '127\.0\.0\.1:[0-9]* (https)' "$2" | cut -d' ' -f1)")
    fi
}

# Converts a wrk latency ("812.00us", "2.31ms", "1.20s") to milliseconds.
to_ms() {
    awk -v v="$1" 'BEGIN {
        n = v + 0
        if (v ~ /us$/) n = n / 1000; else if (v ~ /ms$/) n = n; else if (v ~ /m$/) n = n * 60000;
        else if (v ~ /s$/) n = n * 1000
        printf "%.2f", n }'
}

# Runs wrk on page $1 against every host given after it at once, the connections and threads
# shared out; prints "requests/s p99-ms non-2xx socket-errors" summed (p99: the worst).
run_wrk() {
    local page=$1
    shift
    local n=$# i=0 t c runs=()
    t=$(( wrk_threads / n > 0 ? wrk_threads / n : 1 ))
    c=$(( connections / n > t ? connections / n : t ))
    for host in "$@"; do
        ZORVO_BENCH_PAGE=$page ZORVO_BENCH_USERS=$online ZORVO_BENCH_ORDER=$order \
            wrk -t"$t" -c"$c" -d"$duration" --latency -s "$here/directory.lua" "$scheme://$host" \
            >"$work/wrk-$page-$i.txt" &
        runs+=($!)
        i=$((i + 1))
    done
    for run in "${runs[@]}"; do
        wait "$run"
    done
    local rps=0 p99=0 bad=0 errors=0
    for ((i = 0; i < n; i++)); do
        local f="$work/wrk-$page-$i.txt" r p b e
        r=$(awk '/^Requests\/sec:/ {print $2}' "$f")
        p=$(to_ms "$(awk '$1 == "99%" {print $2}' "$f")")
        b=$(awk '/Non-2xx or 3xx responses:/ {print $5}' "$f")
        e=$(grep -c 'Socket errors' "$f" || true)
        rps=$(awk -v a="$rps" -v b="$r" 'BEGIN {printf "%.0f", a + b}')
        p99=$(awk -v a="$p99" -v b="$p" 'BEGIN {print (b + 0 > a + 0) ? b : a}')
        bad=$((bad + ${b:-0}))
        errors=$((errors + e))
    done
    echo "$rps $p99 $bad $errors"
}

declare -A result
hosts=()
tls_hosts=()
status=0

bench_backend() {
    local backend=$1 db
    hosts=()
    if [ "$backend" = postgres ]; then
        echo "== starting PostgreSQL"
        ZORVO_PG_DURABLE=1 "$pg_script" start "$work/pg" >/dev/null
        pg_started=yes
        "$pg_script" psql "$work/pg" -c "CREATE DATABASE bench OWNER zorvo"
        db="$(cat "$work/pg/uri")/bench"
        start_service "$db" "$work/server-pg-0.err"
        start_service "$db" "$work/server-pg-1.err"
    else
        db="$work/bench.db"
        start_service "$db" "$work/server-sqlite.err"
    fi
    echo "== $backend: ${#hosts[@]} process(es) at ${hosts[*]}; seeding $users users, $online online"
    local started=$SECONDS
    "$bin/zorvo-directory-seed" --host "${hosts[0]}" --users "$users" --online "$online" \
        --buddies 10 --threads 8
    echo "   seeded in $((SECONDS - started)) s"
    if [ "$backend" = postgres ]; then
        # As after any bulk load: statistics for the planner, dead rows and dirty pages out of
        # the way, so that the figures are those of a running directory, not of autovacuum and
        # a checkpoint catching up with the seeding. The template databases too: a new
        # cluster's first autovacuum round over their catalogues would fall into the run.
        for database in template1 postgres; do
            "$pg_script" psql "$work/pg" -d "$database" -c "VACUUM ANALYZE"
        done
        "$pg_script" psql "$work/pg" -d bench -c "VACUUM ANALYZE" -c "CHECKPOINT"
    fi
    # A process checks a user's password the slow way the first time it meets him (a few
    # round trips to the database) and keeps a digest for the next requests; it also prepares
    # its statements. A running directory has met its users at their logins: let every process
    # meet every online user first (heartbeats in turn, time for at least two rounds), then
    # ask for lists a while.
    local measured=$duration
    duration=$warmup
    order=sequential
    run_wrk iamup "${hosts[@]}" >/dev/null
    duration=3s
    order=random
    run_wrk GetUserList "${hosts[@]}" >/dev/null
    duration=$measured
    for page in iamup GetUserList; do
        echo "== $backend: wrk -c$connections -d$duration over ${#hosts[@]} process(es) ($page.asp)"
        read -r rps p99 bad errors < <(run_wrk "$page" "${hosts[@]}")
        result[$backend-$page]="$rps $p99 $bad $errors"
        printf '   %-16s %8s requests/s   p99 %7s ms   non-2xx %s   socket errors %s\n' \
            "$page.asp" "$rps" "$p99" "$bad" "$errors"
        if ! awk -v r="$rps" -v p="$p99" -v mr="$min_rps" -v mp="$max_p99_ms" \
            'BEGIN { exit !(r + 0 >= mr && p + 0 < mp) }' || [ "$bad" != 0 ] ||
            [ "$errors" != 0 ]; then
            echo "   FAIL (target: >= $min_rps requests/s, p99 < $max_p99_ms ms, all accepted)"
            sed 's/^/   | /' "$work"/wrk-"$page"-*.txt
            status=1
        fi
    done
    echo "== $backend: concurrent syncs, heartbeats and logins ($rounds rounds, $check_users users)"
    local other=()
    if [ ${#hosts[@]} -gt 1 ]; then
        other=(--other-host "${hosts[1]}")
    fi
    local check
    if check=$("$bin/zorvo-directory-seed" --host "${hosts[0]}" "${other[@]}" \
        --users "$check_users" --threads 16 --check-writes "$rounds" | grep 'write check'); then
        echo "   $check"
        result[$backend-lost]=$(echo "$check" | sed 's/.*lost writes: //')
    else
        echo "   FAIL: writes were lost"
        result[$backend-lost]="lost"
        status=1
    fi
    echo "== $backend: stopping (SIGTERM)"
    for pid in "${pids[@]}"; do
        if kill -TERM "$pid" && wait "$pid"; then
            echo "   process $pid stopped cleanly"
        else
            echo "   FAIL: process $pid did not stop cleanly"
            status=1
        fi
    done
    pids=()
    if [ "$backend" = postgres ]; then
        "$pg_script" stop "$work/pg"
        pg_started=no
    fi
}

# Heartbeats over plain HTTP and over HTTPS to one process on SQLite, the same connections kept
# alive for the whole run (so the TLS handshakes are a few, and what is measured is the cost of
# encrypting and decrypting each request and reply).
bench_tls() {
    hosts=()
    tls_hosts=()
    start_service "$work/bench.db" "$work/server-tls.err"
    grep 'TLS' "$work/server-tls.err" | sed 's/^/   /'
    echo "== tls: 1 process at ${hosts[0]} (http) and ${tls_hosts[0]} (https);" \
        "seeding $users users, $online online"
    "$bin/zorvo-directory-seed" --host "${hosts[0]}" --users "$users" --online "$online" \
        --buddies 10 --threads 8
    local measured=$duration
    duration=$warmup
    order=sequential
    run_wrk iamup "${hosts[0]}" >/dev/null
    duration=3s
    order=random
    scheme=https
    run_wrk iamup "${tls_hosts[0]}" >/dev/null
    duration=$measured
    local s host rps p99 bad errors
    for s in http https; do
        scheme=$s
        host=${hosts[0]}
        if [ $s = https ]; then
            host=${tls_hosts[0]}
        fi
        echo "== tls: wrk -c$connections -d$duration over $s (iamup.asp, kept-alive connections)"
        read -r rps p99 bad errors < <(run_wrk iamup "$host")
        result[tls-$s]="$rps $p99 $bad $errors"
        printf '   %-6s %8s requests/s   p99 %7s ms   non-2xx %s   socket errors %s\n' \
            "$s" "$rps" "$p99" "$bad" "$errors"
        if [ "$bad" != 0 ] || [ "$errors" != 0 ]; then
            echo "   FAIL (every request must be accepted)"
            sed 's/^/   | /' "$work"/wrk-iamup-*.txt
            status=1
        fi
    done
    scheme=http
    for pid in "${pids[@]}"; do
        if ! kill -TERM "$pid" || ! wait "$pid"; then
            echo "   FAIL: process $pid did not stop cleanly"
            status=1
        fi
    done
    pids=()
    local plain secure percent
    read -r plain _ <<<"${result[tls-http]}"
    read -r secure _ <<<"${result[tls-https]}"
    percent=$(awk -v a="$secure" -v b="$plain" 'BEGIN {printf "%.0f", (b > 0 ? 100 * a / b : 0)}')
    echo
    echo "== figures ($users users, $online online, $connections connections, $duration each)"
    printf '%-8s %12s %10s\n' scheme requests/s "p99 ms"
    for s in http https; do
        read -r rps p99 _ <<<"${result[tls-$s]}"
        printf '%-8s %12s %10s\n' "$s" "$rps" "$p99"
    done
    echo "https/http: $percent% (target: at least $min_tls_percent%)"
    if [ "$percent" -lt "$min_tls_percent" ]; then
        echo "FAIL: HTTPS below $min_tls_percent% of plain HTTP"
        status=1
    fi
}

if [ $tls = yes ]; then
    bench_tls
    exit $status
fi

for backend in $backends; do
    bench_backend "$backend"
done

echo
echo "== figures ($users users, $online online, $connections connections, $duration per page)"
printf '%-10s %-16s %12s %10s %9s %11s\n' backend page requests/s "p99 ms" non-2xx "lost writes"
for backend in $backends; do
    for page in iamup GetUserList; do
        read -r rps p99 bad _ <<<"${result[$backend-$page]}"
        printf '%-10s %-16s %12s %10s %9s %11s\n' "$backend" "$page.asp" "$rps" "$p99" "$bad" \
            "${result[$backend-lost]}"
    done
done
exit $status
