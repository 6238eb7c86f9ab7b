#!/usr/bin/env bash
# The test command: set-up, build, the local Firebird test server, every test; then each fuzzer
# for a bounded time, then every test again under the sanitizers.
#   test.sh [--suite-only]
# --suite-only stops after the tests (for a second release or engine, where the fuzzers and the
# sanitizers would only repeat themselves). KORVEX_TEST_SERVER_VERSION (3 or 4) picks the
# server's engine; by default that of fbserver.sh. KORVEX_TEST_RETRIES=N runs a failed test up
# to N times more (only where a peer is known to drop a connect now and then).
set -euo pipefail

suite_only=false
case ${1:-} in
--suite-only) suite_only=true ;;
"") ;;
*) echo "usage: $0 [--suite-only]" >&2; exit 2 ;;
esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
bash scripts/build.sh
bash scripts/fbserver.sh start ${KORVEX_TEST_SERVER_VERSION:+--version "$KORVEX_TEST_SERVER_VERSION"}
ctest --test-dir build --output-on-failure -j2 \
    ${KORVEX_TEST_RETRIES:+--repeat until-pass:$((KORVEX_TEST_RETRIES + 1))}
$suite_only && exit 0
bash scripts/fuzz.sh
bash scripts/sanitize.sh
