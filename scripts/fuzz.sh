#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in <repo>/build-fuzz and runs each for a bounded time
# from a fixed seed, starting from its corpus in tests/fuzz/corpus/<target>/. New interesting
# inputs stay in build-fuzz/corpus/; a crashing input is written to build-fuzz/crashes/ and
# fails the run: fix the fault, then add the input to the target's corpus as a regression test.
#   FUZZ_SECONDS   time per target (default 25)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
seconds=${FUZZ_SECONDS:-25}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKORVEX_FUZZ=ON
cmake --build build-fuzz --parallel "$(nproc)" --target korvex_fuzzers

for corpus in tests/fuzz/corpus/*/; do
    target=$(basename "$corpus")
    mkdir -p "build-fuzz/corpus/$target" "build-fuzz/crashes/$target"
    echo "fuzz: $target for ${seconds}s"
    "build-fuzz/tests/fuzz/fuzz_$target" -seed=1 -max_total_time="$seconds" -timeout=10 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="build-fuzz/crashes/$target/" \
        "build-fuzz/corpus/$target" "$corpus"
done
