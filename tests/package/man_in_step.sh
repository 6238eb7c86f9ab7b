#!/usr/bin/env bash
# Keeps a manual page in step with its executable: every long option that `EXECUTABLE --help`
# prints is documented in the page and every long option the page documents is printed, so an
# option added or dropped without its documentation fails here. The page must also render
# without a warning from man or groff.
#   man_in_step.sh EXECUTABLE PAGE
set -euo pipefail

readonly executable=$1 page=$2

long_options() {
    grep -oE -- '--[a-z][a-z0-9-]*' | sort -u
}

# troff writes a hyphen as \- and may switch fonts (\fB) in the middle of an option.
page_text() {
    sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' "$page"
}

status=0

warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
if [[ -n $warnings ]]; then
    echo "FAIL: $page renders with warnings:" >&2
    echo "$warnings" >&2
    status=1
fi

if ! help=$(timeout 60 "$executable" --help </dev/null); then
    echo "FAIL: $executable --help failed" >&2
    exit 1
fi
if ! diff -u --label "options printed by $(basename "$executable") --help" \
    --label "options documented in $page" \
    <(long_options <<<"$help") <(page_text | long_options); then
    echo "FAIL: the manual page and --help name different long options" >&2
    status=1
fi
exit $status
