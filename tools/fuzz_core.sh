#!/usr/bin/env bash
# Coverage-guided fuzzing of the reading core on its own (no interpreter),
# with AddressSanitizer and UndefinedBehaviorSanitizer: tools/fuzz_core.cpp
# built with clang's libFuzzer into build-fuzz-core/fuzz_core.
#
#   tools/fuzz_core.sh --minutes 10 [libFuzzer options]
#   tools/fuzz_core.sh --run FILE...      # replay inputs (crash files, a corpus)
#
# Needs clang and its runtimes (apt-get install clang libclang-rt-14-dev).
# The corpus grows in build-fuzz-core/corpus, seeded with the example file
# and tools/fuzz_core_seeds;
# crashing inputs are written to fuzz-crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang++ >/dev/null || { echo "clang++ is needed: apt-get install clang libclang-rt-14-dev" >&2; exit 2; }

out=build-fuzz-core
mkdir -p "$out/corpus" fuzz-crashes
src=tremix/core/src
# Node and element walks are shared with a second thread from 64 lines on,
# element tables hold at most 4096 node ids, files are read 100 bytes at a
# time on a second thread, a vector's values outgrow the room first asked
# for from 8 values on, and the text of files over 512 bytes is kept in
# mapped room rather than room from malloc(), so that inputs of a few
# kilobytes reach all five (the harness compares shared and one-thread
# walks, reading in place and in pieces, and each vector's values read on
# their own and in the full reading).
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -D_GLIBCXX_ASSERTIONS -I"$src" \
    -DTREMIX_MIN_SHARED_LINES=64 -DTREMIX_MAX_ELEMENT_NODE_IDS=4096 -DTREMIX_READ_PIECE=100 -DTREMIX_MIN_READ_AHEAD=1 -DTREMIX_MOST_VALUES_RESERVED=8 -DTREMIX_MOST_ALLOCATED_ROOM=512 \
    tools/fuzz_core.cpp "$src"/reading/*.cpp -o "$out/fuzz_core"

if [[ "${1:-}" == "--run" ]]; then
    shift
    exec "$out/fuzz_core" "$@"
fi
minutes=5
if [[ "${1:-}" == "--minutes" ]]; then
    minutes=$2
    shift 2
fi
# Seeds: the example file behind each encoding choice (the first two bytes
# pick the piece sizes and the encoding).
for enc in 0 1 2; do
    printf "\x07\x0$enc" | cat - tremix/data/example.neu > "$out/corpus/seed-example-$enc"
done
# And pieces of generated files, as they are and with their line ends,
# bytes, numbers and end-of-data lines bent (each behind its two bytes):
# with them a run starts with about a thousand more edges covered than the
# example file gives.
cp tools/fuzz_core_seeds/* "$out/corpus/"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec "$out/fuzz_core" -max_total_time=$((minutes * 60)) -max_len=65536 -timeout=20 -dict=tools/fuzz_core.dict \
    -artifact_prefix=fuzz-crashes/ "$@" "$out/corpus"
