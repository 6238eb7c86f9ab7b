#!/usr/bin/env bash
# The test command: set-up, build, the local Firebird test server, every test; then each fuzzer
# for a bounded time, then every test again under the sanitizers.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
bash scripts/build.sh
bash scripts/fbserver.sh start
ctest --test-dir build --output-on-failure -j2
bash scripts/fuzz.sh
bash scripts/sanitize.sh
