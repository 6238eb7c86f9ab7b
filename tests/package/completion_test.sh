#!/usr/bin/env bash
# The bash completion of korvex-reports against the executable: it offers every command and
# every long option that --help names, and files or folders where the command line takes them.
#   completion_test.sh EXECUTABLE COMPLETION
set -uo pipefail
export LC_ALL=C

executable=$(realpath "$1")
readonly executable completion=$2
readonly BASH_COMPLETION=/usr/share/bash-completion/bash_completion

if [[ ! -r $BASH_COMPLETION ]]; then
    echo "FAIL: $BASH_COMPLETION is missing; install bash-completion (scripts/setup.sh)" >&2
    exit 1
fi
# shellcheck source=/dev/null
source "$BASH_COMPLETION"
# shellcheck source=/dev/null
source "$completion"

status=0

# What the completion offers for the words after the executable, the last being completed; one
# offer a line, sorted.
offers() {
    COMP_WORDS=("$executable" "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _korvex_reports "$executable" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    if ((${#COMPREPLY[@]})); then printf '%s\n' "${COMPREPLY[@]}" | sort; fi
}

expect() {
    local wanted=$1
    shift
    local got
    got=$(offers "$@" | paste -sd ' ')
    if [[ $got != "$wanted" ]]; then
        echo "FAIL: completing '$*' offers '$got', not '$wanted'" >&2
        status=1
    fi
}

help=$("$executable" --help </dev/null) || {
    echo "FAIL: $executable --help failed" >&2
    exit 1
}
# The commands as the positional argument's lines name them: "list, export, replace or restore."
commands=$(sed -n '/^  command  /,/\.$/p' <<<"$help" | sed -e 's/^  command  *//' -e 's/^  *//' |
    paste -sd ' ' | sed -e 's/\.$//' -e 's/, / /g' -e 's/ or / /' | tr ' ' '\n' | sort)
if ! diff -u --label "commands of --help" --label "commands completed" \
    <(echo "$commands") <(offers ""); then
    status=1
fi
if ! diff -u --label "long options of --help" --label "long options completed" \
    <(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u) <(offers - | grep -- '^--'); then
    status=1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
mkdir keys
touch offices.txt kept.fr3
expect "--targets --timeout" --t
expect "offices.txt" --targets o
expect "offices.txt" --targets=o
expect "keys" --backup-dir k
expect "kept.fr3 keys" replace INVOICE k
expect "" replace k
expect "" -d k
expect "diff export history list replace restore status undo" -d office:/srv/K.FDB --jobs 2 ""
expect "kept.fr3 keys" --jobs 2 restore INVOICE k
expect "--dry-run" replace INVOICE new.fr3 --dr
expect "kept.fr3 keys" diff INVOICE k
expect "keys" status INVOICE --versions k
printf '%s\n' '{"run":"20261210T120000Z-abcdef","time":"2026-12-10T12:00:00.000Z","event":"outcome","outcome":"replaced"}' \
    >keys/korvex-journal.jsonl
expect "20261210T120000Z-abcdef" history --backup-dir keys 2026
expect "20261210T120000Z-abcdef" undo --backup-dir=keys ""
expect "" history --id INVOICE 2026
exit $status
