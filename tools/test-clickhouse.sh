#!/usr/bin/env bash
# The results archive loaded into ClickHouse, end to end: two ClickHouse servers on
# loopback ports form the two shards of the cluster "varnholt" and get the tables of
# schema/clickhouse.sql; a real varnholt-httpd with --archive-dir runs downloads,
# uploads and latency tests of varnholt-client from several unit ids; the archive is
# shipped with deploy/clickhouse/varnholt-archive-ship (after a run that a stopped shard
# and one that a broken file make fail), then the same day's records a second time;
# what the Distributed table answers is compared with what the JSON files say.
#
# Usage: tools/test-clickhouse.sh  (build directory: $VH_BUILD_DIR, default build)
# Installs clickhouse-server, clickhouse-client and jq when missing (sudo when not root).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VH_BUILD_DIR:-build}
ship=deploy/clickhouse/varnholt-archive-ship
client=$build/varnholt-client
passed=0
failed=0
work=
server_pid=
ch_pids=()

pass() {
    passed=$((passed + 1))
    echo "ok   $1"
}

fail() {
    failed=$((failed + 1))
    echo "FAIL $1"
}

# check NAME COMMAND...: one test; the command's output is shown only on failure.
check() {
    local name=$1 out
    shift
    if out=$("$@" 2>&1); then
        pass "$name"
    else
        fail "$name"
        printf '%s\n' "$out" | head -n 40 | sed 's/^/     /'
    fi
}

summarized=0
summary() {
    summarized=1
    echo "$passed passed, $failed failed (${SECONDS} s)"
}

cleanup() {
    local status=$? pid
    if [ "$summarized" = 0 ]; then
        fail "stopped early (status $status)"
        summary
    fi
    for pid in $server_pid "${ch_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in $server_pid "${ch_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    if [ -n "$work" ]; then
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap "exit 130" INT TERM

# --no-services: Debian's own ClickHouse service must not start and take port 9000.
tools/install-deps.sh --no-services clickhouse-server clickhouse-client jq iproute2 python3

generator=()
if [ ! -f "$build/CMakeCache.txt" ]; then
    generator=(-G Ninja)
fi
cmake -S . -B "$build" "${generator[@]}" >/dev/null
cmake --build "$build" --target varnholt-httpd varnholt-client >/dev/null

if ! "$build/varnholt-httpd" --help | grep -q -- '--archive-dir'; then
    echo "varnholt-httpd has no --archive-dir: nothing to load, stage skipped"
    summarized=1
    echo "0 passed, 0 failed, 1 skipped"
    exit 0
fi

work=$(mktemp -d /tmp/vh-clickhouse.XXXXXX)

# Below the ephemeral range, and used by no socket at all.
used_ports=" "
free_port() {
    local p
    for _ in $(seq 50); do
        p=$((20000 + RANDOM % 12000))
        if [ -z "$(ss -Htuan "sport = :$p")" ] && [[ $used_ports != *" $p "* ]]; then
            used_ports+="$p "
            echo "$p"
            return 0
        fi
    done
    return 1
}

# --- two ClickHouse servers, one shard each -------------------------------------
# Started directly with their own configuration (not through Debian's service), as
# whichever user runs the test; everything they keep is under $work.
ch_port=("$(free_port)" "$(free_port)")
cat >"$work/users.xml" <<'EOF'
<?xml version="1.0"?>
<clickhouse>
    <profiles><default><max_memory_usage>2000000000</max_memory_usage></default></profiles>
    <users>
        <default>
            <password></password>
            <networks><ip>127.0.0.1</ip><ip>::1</ip></networks>
            <profile>default</profile>
            <quota>default</quota>
        </default>
    </users>
    <quotas><default></default></quotas>
</clickhouse>
EOF
start_shard() {
    local i=$1 dir=$work/shard$1
    clickhouse-server --config-file="$dir/config.xml" >"$dir/stdout" 2>&1 &
    ch_pids[i]=$!
}
for i in 0 1; do
    dir=$work/shard$i
    mkdir -p "$dir"
    cat >"$dir/config.xml" <<EOF
<?xml version="1.0"?>
<clickhouse>
    <logger>
        <level>warning</level>
        <log>$dir/server.log</log>
        <errorlog>$dir/error.log</errorlog>
    </logger>
    <listen_host>127.0.0.1</listen_host>
    <tcp_port>${ch_port[i]}</tcp_port>
    <path>$dir/data/</path>
    <tmp_path>$dir/tmp/</tmp_path>
    <user_files_path>$dir/user_files/</user_files_path>
    <format_schema_path>$dir/format_schemas/</format_schema_path>
    <users_config>$work/users.xml</users_config>
    <default_profile>default</default_profile>
    <default_database>default</default_database>
    <timezone>UTC</timezone>
    <mark_cache_size>67108864</mark_cache_size>
    <remote_servers>
        <varnholt>
            <shard><replica><host>127.0.0.1</host><port>${ch_port[0]}</port></replica></shard>
            <shard><replica><host>127.0.0.1</host><port>${ch_port[1]}</port></replica></shard>
        </varnholt>
    </remote_servers>
</clickhouse>
EOF
done
start_shard 0
start_shard 1

# ch I ARGS...: clickhouse-client on shard I.
ch() {
    local i=$1
    shift
    clickhouse-client --port "${ch_port[i]}" "$@" </dev/null
}
wait_shard() {
    for _ in $(seq 150); do
        ch "$1" --query 'SELECT 1' >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    echo "shard $1 does not answer on port ${ch_port[$1]}:"
    tail -n 20 "$work/shard$1/stdout" "$work/shard$1/error.log" 2>/dev/null
    return 1
}
both_answer() {
    wait_shard 0 && wait_shard 1
}
check "two ClickHouse servers answer" both_answer
create_tables() {
    local i
    for i in 0 1; do
        clickhouse-client --port "${ch_port[i]}" --multiquery <schema/clickhouse.sql || return 1
    done
    # The cluster as the Distributed table sees it: two shards.
    [ "$(ch 0 --query "SELECT count() FROM system.clusters WHERE cluster = 'varnholt'")" = 2 ]
}
check "schema/clickhouse.sql creates the tables on both shards" create_tables

# --- a real server writing an archive ------------------------------------------
archive=$work/archive
mkdir -p "$archive" "$work/logs"
head -c 8388608 /dev/urandom >"$work/payload.bin"
port=$(free_port)
"$build/varnholt-httpd" -s "$port" -f "$work/payload.bin" -l "$work/logs" \
    --archive-dir="$archive" 2>"$work/httpd.log" &
server_pid=$!
listening() {
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$work/httpd.log"
    return 1
}
check "varnholt-httpd with --archive-dir listens" listening

units=(7 65536 4294967295)
quick_upload=(--connections 2 --warmup-samples 2 --max-warmup-samples 4 --warmup-sample-time 100
    --warmup-tolerance 100 --intervals 2 --interval-period 1)
# One unit's tests, one after another: a download, two uploads, a latency test (its
# latency id carries the unit id in its upper 32 bits) and, for the first unit, an
# upload that the client abandons halfway.
unit_tests() {
    local unit=$1 target=127.0.0.1:$port latency_id
    latency_id=$(python3 -c "print(($unit << 32) | 5)")
    timeout 30 "$client" download --duration 1 --connections 2 --unit-id "$unit" "$target" &&
        timeout 30 "$client" upload "${quick_upload[@]}" --unit-id "$unit" "$target" &&
        timeout 30 "$client" upload "${quick_upload[@]}" --unit-id "$unit" "$target" &&
        timeout 30 "$client" latency --duration 1 --connections 2 --latency-id "$latency_id" \
            "$target" || return 1
    if [ "$unit" = "${units[0]}" ]; then
        timeout -s KILL 1.5 "$client" upload --connections 2 --intervals 10 --unit-id "$unit" \
            "$target" || true
    fi
}
run_tests() {
    local unit pids=() pid bad=0
    for unit in "${units[@]}"; do
        unit_tests "$unit" >"$work/client-$unit.log" 2>&1 &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || bad=1
    done
    [ "$bad" = 0 ] || tail -n 5 "$work"/client-*.log
    return $bad
}
check "client tests from ${#units[@]} unit ids" run_tests
expected=$((${#units[@]} * 4 + 1))
records() {
    find "$archive" -type f -name '*.json' | wc -l
}
# The abandoned upload is written when the server sees its connections close.
all_written() {
    for _ in $(seq 200); do
        [ "$(records)" -ge "$expected" ] && return 0
        sleep 0.1
    done
    echo "$(records) records in the archive, expected $expected"
    find "$archive" -type f
    return 1
}
check "the archive holds one record per test" all_written
kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=

# The records as written, kept for the checks and for the second load.
cp -a "$archive" "$work/written"

# --- shipping --------------------------------------------------------------------
rows() {
    ch 0 --query "SELECT count() FROM varnholt.tests"
}
# A broken record fails the whole run before anything is sent.
broken_file_fails() {
    local copy=$work/broken day
    cp -a "$archive" "$copy"
    day=$(dirname "$(find "$copy" -type f -name '*.json' | head -n 1)")
    echo '{"schema_version":1,' >"$day/zz-broken.json"
    if "$ship" "$copy" --port "${ch_port[0]}"; then
        echo "shipping succeeded"
        return 1
    fi
    [ "$(find "$copy" -type f -name '*.json' | wc -l)" = $((expected + 1)) ] || {
        echo "files were removed"
        return 1
    }
    [ "$(rows)" = 0 ] || {
        echo "$(rows) rows inserted"
        return 1
    }
}
check "a record that is not JSON: shipping fails, sends and removes nothing" broken_file_fails
# A shard that does not answer fails the run; what reached the other shard stays, and
# is not doubled by the run that follows.
stopped_shard_fails() {
    kill "${ch_pids[1]}"
    # Gone when its port is free.
    for _ in $(seq 100); do
        ch 1 --query 'SELECT 1' >/dev/null 2>&1 || break
        sleep 0.1
    done
    if "$ship" "$archive" --port "${ch_port[0]}"; then
        echo "shipping succeeded with a shard stopped"
        return 1
    fi
    [ "$(records)" = "$expected" ] || {
        echo "$(records) files left of $expected"
        return 1
    }
}
check "a stopped shard: shipping fails and removes nothing" stopped_shard_fails
wait "${ch_pids[1]}" 2>/dev/null || true
start_shard 1
check "the stopped shard answers again" wait_shard 1
ship_once() {
    "$ship" "$archive" --port "${ch_port[0]}" || return 1
    [ "$(records)" = 0 ] || {
        echo "$(records) files left after shipping"
        return 1
    }
}
check "shipping loads the archive and removes the files" ship_once
# The same day's records again, as an operator putting a day back would.
ship_again() {
    local again=$work/again days day
    mkdir -p "$again"
    days=$(cd "$work/written" && find . -mindepth 4 -maxdepth 4 -type d)
    [ "$(wc -l <<<"$days")" -ge 3 ] || {
        echo "expected a day of each kind, found: $days"
        return 1
    }
    while read -r day; do
        mkdir -p "$again/$day"
        cp -a "$work/written/$day/." "$again/$day/"
    done <<<"$days"
    "$ship" "$again" --port "${ch_port[1]}"
}
check "shipping the same day's records a second time" ship_again

# --- the answers against the files ------------------------------------------------
# medianExact is quantileExact(0.5): of n values in order, the one at index n / 2
# (rounded down), with no interpolation, the upper middle one when n is even.
by_kind='SELECT kind, count() FROM varnholt.tests FINAL GROUP BY kind ORDER BY kind FORMAT JSONCompact'
medians='SELECT unit_id, medianExact(measured_bps) FROM varnholt.tests FINAL
         WHERE measured_bps IS NOT NULL GROUP BY unit_id ORDER BY unit_id FORMAT JSONCompact'
all_rows='SELECT * FROM varnholt.tests FINAL ORDER BY test_id FORMAT JSONEachRow'
compare() {
    ch 0 --query "$by_kind" >"$work/by_kind.json" &&
        ch 1 --query "$medians" >"$work/medians.json" &&
        ch 0 --output_format_json_quote_64bit_integers=0 --query "$all_rows" >"$work/rows.json" ||
        return 1
    python3 - "$work/written" "$work" "$expected" "${units[@]}" <<'EOF'
import collections, json, pathlib, sys

written, work, expected, units = (pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]),
                                  int(sys.argv[3]), [int(u) for u in sys.argv[4:]])
scalars = ["schema_version", "test_id", "kind", "server_host", "server_version",
           "server_revision", "family", "client_address", "client_port", "server_address",
           "server_port", "transport", "tls_version", "tls_cipher", "kernel_tls", "start_time",
           "end_time", "start_time_us", "end_time_us", "outcome", "reason", "unit_id", "session_id", "connection_count", "total_bytes", "data_bytes",
           "measured_bps"]
records = [json.loads(p.read_text()) for p in sorted(written.rglob("*.json"))]
problems = []
if len(records) != expected:
    problems.append(f"{len(records)} records, expected {expected}")

kinds = collections.Counter(r["kind"] for r in records)
if kinds != {"download": len(units), "upload": 2 * len(units) + 1, "latency": len(units)}:
    problems.append(f"records per kind: {dict(kinds)}")
got = {k: int(n) for k, n in json.loads((work / "by_kind.json").read_text())["data"]}
if got != dict(kinds):
    problems.append(f"tests per kind: ClickHouse {got}, files {dict(kinds)}")

values = collections.defaultdict(list)
for r in records:
    if r["measured_bps"] is not None:
        values[r["unit_id"]].append(float(r["measured_bps"]))
want = {u: sorted(v)[len(v) // 2] for u, v in values.items()}
got = {int(u): m for u, m in json.loads((work / "medians.json").read_text())["data"]}
if got != want:
    problems.append(f"median measured_bps per unit: ClickHouse {got}, files {want}")
if set(want) != set(units):
    problems.append(f"units with a measured upload: {sorted(want)}, ran {units}")
if not any(r["measured_bps"] is None and r["kind"] == "upload" for r in records):
    problems.append("no upload without a result (the abandoned one)")

rows = [json.loads(line) for line in (work / "rows.json").read_text().splitlines()]
by_id = {r["test_id"]: {k: r[k] for k in scalars} for r in records}
if len(rows) != len(by_id):
    problems.append(f"{len(rows)} rows for {len(by_id)} test ids")
for row in rows:
    if row != by_id.get(row["test_id"]):
        problems.append(f"row differs from its file: {row} / {by_id.get(row['test_id'])}")
        break

for p in problems:
    print(p)
summary = (f"{len(records)} records: {dict(sorted(kinds.items()))}; "
           f"median bit/s per unit: {dict(sorted(want.items()))}")
(work / "summary.txt").write_text(summary + "\n")
sys.exit(1 if problems else 0)
EOF
}
check "counts per kind, medians per unit and every row match the files" compare
# Once the shards have merged, each test id is one row, on one shard.
merged_once() {
    local i n sum=0
    for i in 0 1; do
        ch "$i" --query "OPTIMIZE TABLE varnholt.tests_local FINAL" || return 1
        n=$(ch "$i" --query "SELECT count() FROM varnholt.tests_local")
        echo "shard $i: $n rows" | tee -a "$work/summary.txt"
        sum=$((sum + n))
    done
    [ "$sum" = "$expected" ] && [ "$(rows)" = "$expected" ] &&
        [ "$(ch 1 --query "SELECT uniqExact(test_id) FROM varnholt.tests")" = "$expected" ]
}
check "loaded twice, merged: one row per test across the shards" merged_once

sed 's/^/     /' "$work/summary.txt" 2>/dev/null || true
summary
[ "$failed" -eq 0 ]
