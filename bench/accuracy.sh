#!/usr/bin/env bash
# The accuracy table: the server's upload figures and the client's download and round-trip
# figures on emulated lines (10/2, 100/20 and 500/50 Mbit/s; round trips 0 to 600 ms; queues
# of 20 and 200 ms; one case with loss), each beside the goodput the emulator delivered in
# the same seconds. Needs root (network namespaces and TUN devices). Takes about 30 minutes;
# not part of the test command.
#
#   bench/accuracy.sh [--cases all|quick|NAME,...]     (NAME as printed, e.g. 100/20-rtt40-q200)
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
if [ "$(id -u)" -ne 0 ]; then
    echo "bench/accuracy.sh needs root (network namespaces, TUN devices)" >&2
    exit 2
fi
tools/install-deps.sh iproute2

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target varnholt-httpd varnholt-client varnholt-pathemu

payload="$PWD/$build/www/payload.bin"
mkdir -p "$(dirname "$payload")"
if [ ! -s "$payload" ] || [ "$(stat -c %s "$payload")" -ne 67108864 ]; then
    head -c 67108864 /dev/urandom >"$payload.tmp"
    mv "$payload.tmp" "$payload"
fi

results="$build/accuracy-results.md"
python3 bench/accuracy.py --build "$build" --file "$payload" --out "$results" "$@"
echo "(saved in $results; the whole run took $((SECONDS - started)) s)"
