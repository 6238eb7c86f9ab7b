#!/usr/bin/env bash
# Builds the Debian package into <repo>/build/package after the usual set-up and build, and
# prints its path. Install it with: sudo apt install <that path>
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
bash scripts/build.sh
rm -f build/package/*.deb
(cd build && cpack >/dev/null)
ls "$repo"/build/package/*.deb
