#!/usr/bin/env bash
# Measures the server on loopback, side by side with a minimal reference server of the same
# design, nginx and iperf3, and prints the tables described in the README's performance
# section. Installs what is missing and builds into build-bench/ (Release).
#
#   bench/run.sh [--quick] [vh-bench options, e.g. --rounds 3 --only down-1,up-4]
#
# The whole run, builds included, stays within about ten minutes: the number of rounds is
# cut when time runs short, and the live sessions (the last figure, "live") use fewer or
# shorter steps. --quick does one short round as a smoke test. With --only, the
# microbenchmarks are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

quick=0
only=0
for arg in "$@"; do
    if [ "$arg" = "--quick" ]; then quick=1; fi
    if [ "$arg" = "--only" ]; then only=1; fi
done

# nginx is installed without starting its own service: the benchmark runs its own.
tools/install-deps.sh --no-services libbenchmark-dev nginx iperf3 openssl

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVH_BENCH=ON >/dev/null
cmake --build "$build" --target varnholt-httpd vh-ref-server vh-bench vh-microbench

# The file every server sends (64 MiB, made once) and nginx's small file.
www="$PWD/$build/www"
mkdir -p "$www" "$build/bench-work"
if [ ! -s "$www/payload.bin" ] || [ "$(stat -c %s "$www/payload.bin")" -ne 67108864 ]; then
    head -c 67108864 /dev/urandom >"$www/payload.tmp"
    mv "$www/payload.tmp" "$www/payload.bin"
fi
if [ ! -s "$www/1k.bin" ]; then head -c 1024 /dev/urandom >"$www/1k.bin"; fi
cat "$www/payload.bin" >/dev/null # into the page cache before anything is measured

# Every figure is a ratio measured side by side, yet a busy machine widens their spread:
# wait a little for a quieter moment, then go on regardless.
if [ "$quick" = 0 ]; then
    for attempt in 1 2 3; do
        load=$(cut -d' ' -f1 /proc/loadavg)
        if awk -v l="$load" 'BEGIN { exit !(l < 1.5) }'; then break; fi
        echo "load average $load is above 1.5: waiting 20 s ($attempt/3)"
        sleep 20
    done
fi

results="$build/bench-results.txt"
{
    if [ "$only" = 0 ]; then
        echo "== Microbenchmarks (Google Benchmark, medians of 5 repetitions)"
        if [ "$quick" = 1 ]; then
            "$build/vh-microbench" --benchmark_min_time=0.01 --benchmark_repetitions=1
        else
            "$build/vh-microbench"
        fi
        echo
    fi
    # What is left of the ten minutes, less a margin for the last round and the report.
    deadline=$((540 - (SECONDS - started)))
    if [ "$deadline" -lt 120 ]; then deadline=120; fi
    "$build/vh-bench" --server "$build/varnholt-httpd" --ref "$build/vh-ref-server" \
        --www "$www" --work "$PWD/$build/bench-work" --deadline "$deadline" "$@"
} 2>&1 | tee "$results"
echo "(saved in $results; the whole run took $((SECONDS - started)) s)"
