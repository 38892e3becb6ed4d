#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
#
#   tools/install-deps.sh [--no-services] [more packages...]
#
# More packages are installed along with the base set. --no-services keeps the packages'
# own services from starting during the install (nginx would start on port 80). The
# optional stages name theirs: tools/test-hardening.sh the clang toolchain,
# tools/test-clickhouse.sh clickhouse-server, clickhouse-client and jq.
set -euo pipefail

no_services=0
if [ "${1:-}" = "--no-services" ]; then
    no_services=1
    shift
fi
packages=(build-essential cmake ninja-build pkg-config git
          libglib2.0-dev libsystemd-dev libboost-json1.81-dev libssl-dev libgtest-dev clang-format
          python3-jsonschema "$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
# A policy file that forbids starting services, in place for the install only, unless the
# machine has one already.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ "$no_services" = 1 ] && [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    made_policy=1
fi
status=0
$SUDO apt-get update -qq || status=$?
if [ "$status" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null ||
        status=$?
fi
if [ "$made_policy" = 1 ]; then $SUDO rm -f "$policy"; fi
exit "$status"
