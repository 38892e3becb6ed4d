#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, the AddressSanitizer and
# UndefinedBehaviorSanitizer build, the threaded tests under ThreadSanitizer, the
# fuzz regression runs, the packaging tests and the loading of the results archive
# into ClickHouse.
#
# Usage: tools/test.sh [--long]   (--long also runs the minute-long tests in the
#                                  sanitizer builds and longer fuzz runs)
set -euo pipefail
cd "$(dirname "$0")/.."

long=0
if [ "${1:-}" = "--long" ]; then long=1; fi

tools/install-deps.sh
jobs=$(nproc)
# A busy test takes `weight` of ctest's slots, one that spends its minute waiting a single slot
# (tests/CMakeLists.txt, IDLE): with `weight` slots per CPU and 4 more, one busy test runs per
# CPU and up to four idle ones beside them.
weight=8

# Each stage says when it starts, so a run shows where its time goes.
stage() { echo "== $1 (at ${SECONDS} s)"; }

failures=0
run_config() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DVH_TEST_WEIGHT=$weight "$@" >/dev/null
    cmake --build "$dir"
    if ! ctest --test-dir "$dir" --output-on-failure -j $((jobs * weight + 4)) --timeout 600; then
        failures=$((failures + 1))
    fi
}

export G_SLICE=always-malloc
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

stage "archive schema (generated files up to date)"
python3 tools/archive_schema.py --check || failures=$((failures + 1))
stage "build"
run_config build
# The minute-long time-out tests run once, in the plain build, unless asked.
if [ "$long" -eq 0 ]; then export VH_SKIP_SLOW=1; fi
stage "build-asan (AddressSanitizer + UndefinedBehaviorSanitizer)"
run_config build-asan -DVH_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
stage "build-tsan (ThreadSanitizer, threaded tests)"
run_config build-tsan -DVH_TSAN=ON -DCMAKE_BUILD_TYPE=Debug
unset VH_SKIP_SLOW

if [ -x tools/test-hardening.sh ]; then
    stage "fuzz regression"
    if [ "$long" -eq 1 ]; then
        tools/test-hardening.sh --long 600 || failures=$((failures + 1))
    else
        tools/test-hardening.sh || failures=$((failures + 1))
    fi
fi

stage "packaging"
if [ "$(id -u)" -eq 0 ]; then
    tools/test-packaging.sh || failures=$((failures + 1))
else
    echo "packaging tests need root: skipped"
fi

stage "ClickHouse archive loading"
tools/test-clickhouse.sh || failures=$((failures + 1))

if [ "$failures" -ne 0 ]; then
    echo "$failures test stage(s) failed (${SECONDS} s)"
    exit 1
fi
echo "all test stages passed in ${SECONDS} s"
