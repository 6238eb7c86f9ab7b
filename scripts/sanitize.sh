#!/usr/bin/env bash
# Builds the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer in
# <repo>/build-asan and runs it: any finding ends the process at fault and fails its test.
# Expects the set-up and the local Firebird test server that scripts/test.sh provides.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
cmake -S . -B build-asan -G Ninja -DKORVEX_SANITIZE=ON
cmake --build build-asan --parallel "$(nproc)"
# The package is built and installed from the ordinary build only.
ctest --test-dir build-asan --output-on-failure -j2 -E '^package\.'
