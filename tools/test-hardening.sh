#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# into build-fuzz/ and runs each one for a bounded time as a regression check. The two-worker
# server target (server2) also runs built with ThreadSanitizer, from build-fuzz-tsan/, unless
# --no-tsan is given.
#
#   tools/test-hardening.sh                 # 30 s per whole-server target, 10 s per parser target
#   tools/test-hardening.sh --long 3600     # an hour per target
#   tools/test-hardening.sh --runs 10000000 # until each target made that many executions
#   tools/test-hardening.sh --long 60 request path_style   # only the targets named
#
# Each target starts from its committed seed corpus (fuzz/corpus/<name>/) and keeps what it
# finds in build-fuzz/corpus/<name>/, so later runs go on from there. A finding leaves its
# input in build-fuzz/findings/ and counts as a failure.
set -uo pipefail
cd "$(dirname "$0")/.."

# The whole-server targets first: they run longest, and the short ones fill in beside them.
server_targets=(server server2 tls)
parser_targets=(request latency_request header_pieces path_style request_matcher token client_protocol)
all_targets=("${server_targets[@]}" "${parser_targets[@]}")
# The parser targets run tens of thousands of inputs a second through a few hundred branches;
# the whole-server targets, a few dozen a second through thousands, have the time. Longer runs:
# --long, for every target.
seconds=30
parser_seconds=10
runs=-1
with_tsan=1
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
    --long) seconds=$2; parser_seconds=$2; shift 2 ;;
    --no-tsan) with_tsan=0; shift ;;
    --runs) runs=$2; seconds=0; parser_seconds=0; shift 2 ;;
    request|latency_request|header_pieces|path_style|request_matcher|server|server2|token|tls|client_protocol) targets+=("$1"); shift ;;
    *) echo "usage: $0 [--long SECONDS | --runs COUNT] [--no-tsan] [${all_targets[*]}]" >&2; exit 2 ;;
    esac
done
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

# The compiler and its fuzzing runtime, only if missing.
tools/install-deps.sh clang-14 libclang-rt-14-dev || exit 1

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVH_FUZZ=ON >/dev/null || exit 1
cmake --build "$build" --target "${all_targets[@]/%/_fuzz}" || exit 1

tsan=build-fuzz-tsan
if [ "$with_tsan" -eq 1 ] && [[ " ${targets[*]} " == *" server2 "* ]]; then
    cmake -S . -B "$tsan" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVH_FUZZ=ON -DVH_FUZZ_SANITIZE=thread >/dev/null || exit 1
    cmake --build "$tsan" --target server2_fuzz || exit 1
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
# A report ends the ThreadSanitizer run at once (exit 66): aborting instead raced the fuzzer's
# own crash handler against the sanitizer's locks and could hang the run.
export TSAN_OPTIONS=halt_on_error=1:suppressions=$PWD/fuzz/tsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/findings"
# The targets run side by side, one per CPU: each writes its lines and its exit status to files
# of its own, shown in order once all are done.
run_target() { # name, build directory, label
    local t=$1 dir=$2 label=$3 seconds=$seconds
    [[ " ${parser_targets[*]} " != *" $t "* ]] || seconds=$parser_seconds
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    log="$build/findings/$t$label.log"
    echo "== $t$label (${seconds} s, runs ${runs})"
    # The whole-server targets run in a network namespace of their own where fd29::/64 is
    # local, so that their IPv6 clients come from many addresses of one prefix (root only;
    # elsewhere they come from ::1, and the target says so).
    local netns=() ns="vh-fuzz-$$-$t$label"
    if [[ "$t" == server* ]] && [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null &&
        ip netns add "$ns" && ip netns exec "$ns" ip link set lo up &&
        ip netns exec "$ns" ip -6 route add local fd29::/64 dev lo; then
        netns=(ip netns exec "$ns")
    fi
    # Two pieces of one peek each are the longest text a worker ever parses. The time-out
    # per input is generous: on a loaded machine a unit may wait long for its CPU.
    # A run that hangs fails instead of holding the test command up: ten minutes past its time
    # (or an hour and a half for a count of runs).
    local limit=$((seconds > 0 ? seconds + 600 : 5400))
    "${netns[@]}" timeout -k 10 "$limit" "$dir/fuzz/${t}_fuzz" -max_len=32766 -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 \
        -max_total_time="$seconds" -runs="$runs" \
        -artifact_prefix="$build/findings/$t$label-" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1
    rc=$?
    if [ ${#netns[@]} -gt 0 ]; then ip netns del "$ns"; fi
    grep -m1 '^server_fuzz: IPv6 clients' "$log" || true
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)|^Done ' "$log"
    if [ $rc -ne 0 ]; then
        echo "FAILED: $t$label (exit $rc); its log: $log"
        tail -n 40 "$log"
    fi
    echo "$rc" >"$build/findings/$t$label.rc"
}
slots=$(nproc)
names=()
launch() { # name, build directory, label: in the background once a CPU is free
    names+=("$1$3")
    rm -f "$build/findings/$1$3.rc"
    run_target "$@" >"$build/findings/$1$3.summary" 2>&1 &
    while [ "$(jobs -rp | wc -l)" -ge "$slots" ]; do wait -n; done
}
for t in "${targets[@]}"; do
    launch "$t" "$build" ""
    [ "$t" != server2 ] || [ "$with_tsan" -eq 0 ] || launch server2 "$tsan" "-tsan"
done
wait
passed=0
failed=0
for name in "${names[@]}"; do
    cat "$build/findings/$name.summary"
    if [ "$(cat "$build/findings/$name.rc" 2>/dev/null)" = 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
