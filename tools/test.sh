#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, the AddressSanitizer and
# UndefinedBehaviorSanitizer build, and the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
jobs=$(nproc)

run_config() {
    local dir=$1; shift
    local label=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
    if [ -n "$label" ]; then
        ctest --test-dir "$dir" --output-on-failure -j "$jobs" -L "$label"
    else
        ctest --test-dir "$dir" --output-on-failure -j "$jobs"
    fi
}

export G_SLICE=always-malloc
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== build"
run_config build ""
echo "== build-asan (AddressSanitizer + UndefinedBehaviorSanitizer)"
run_config build-asan "" -DVH_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
echo "== build-tsan (ThreadSanitizer, threaded tests)"
run_config build-tsan "" -DVH_TSAN=ON -DCMAKE_BUILD_TYPE=Debug
