#!/usr/bin/env bash
# Lines of the worker and session code that the server fuzz target reaches from a corpus:
# builds the target with clang's source-based coverage into build-fuzz-cov/, runs every
# input once (each in a process of its own, so that an input that ends the process loses
# only its own counts) and prints llvm-cov's per-file report.
#
#   tools/fuzz-coverage.sh                          # the committed seeds, fuzz/corpus/server/
#   tools/fuzz-coverage.sh fuzz/corpus/server build-fuzz/corpus/server   # and what runs found
#   FUZZ_TARGET=server2 tools/fuzz-coverage.sh fuzz/corpus/server2 build-fuzz/corpus/server2
#                                                   # the two-worker target, with lending
set -uo pipefail
cd "$(dirname "$0")/.."

target=${FUZZ_TARGET:-server}
[ $# -gt 0 ] || set -- "fuzz/corpus/$target"
defines=()
[ "$target" != server2 ] || defines=(-DVH_FUZZ_TWO_WORKERS)
tools/install-deps.sh clang-14 libclang-rt-14-dev llvm-14 || exit 1

out=build-fuzz-cov
rm -rf "$out/profiles"
mkdir -p "$out/profiles"
# The server library's sources, as CMakeLists.txt lists them.
mapfile -t sources < <(sed -n '/^add_library(varnholt_core/,/)/p' CMakeLists.txt |
                       grep -o 'src/http/src/[a-z_]*\.cpp')
# shellcheck disable=SC2046
clang++-14 -std=c++20 -O1 -g -fprofile-instr-generate -fcoverage-mapping -fsanitize=fuzzer \
    "${defines[@]}" -Isrc/http/src $(pkg-config --cflags glib-2.0) fuzz/server_fuzz.cpp \
    "${sources[@]}" \
    $(pkg-config --libs glib-2.0 libsystemd) -lboost_json -lcrypto -lpthread -o "$out/server_fuzz" || exit 1

find "$@" -type f | while read -r input; do
    LLVM_PROFILE_FILE="$out/profiles/%p.profraw" "$out/server_fuzz" "$input" >/dev/null 2>&1
done
llvm-profdata-14 merge -sparse "$out"/profiles/*.profraw -o "$out/server.profdata" || exit 1
llvm-cov-14 report "$out/server_fuzz" -instr-profile="$out/server.profdata" \
    src/http/src/main_thread.cpp src/http/src/session.cpp src/http/src/session_test.cpp \
    src/http/src/connection.cpp src/http/src/timers.cpp src/http/src/lending.cpp \
    src/http/src/workers.cpp
