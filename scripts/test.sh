#!/usr/bin/env bash
# The test command: set-up, build, the local Firebird test server, then every test.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
bash scripts/build.sh
bash scripts/fbserver.sh start
exec ctest --test-dir build --output-on-failure -j2
