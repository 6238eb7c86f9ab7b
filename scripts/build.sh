#!/usr/bin/env bash
# Installs what is missing, then configures and builds the project in <repo>/build.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
bash scripts/setup.sh
cmake -S . -B build -G Ninja
cmake --build build --parallel "$(nproc)"
