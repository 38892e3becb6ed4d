#!/usr/bin/env bash
# Builds the server and runs it in the foreground on embedded defaults:
# port 8080, a 64 MiB test file and a log directory, both in the build tree.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target varnholt-httpd varnholt-client

payload=build/payload.bin
if [ ! -s "$payload" ] || [ "$(stat -c %s "$payload")" -ne 67108864 ]; then
    head -c 67108864 /dev/urandom > "$payload.tmp"
    mv "$payload.tmp" "$payload"
fi
mkdir -p build/logs

exec build/varnholt-httpd --service 8080 --file "$payload" --log-directory build/logs "$@"
