#!/usr/bin/env bash
# Runs the README's examples as written and compares what they print.
#
# A fenced block is tested when the line before its opening fence is
# "<!-- readme-test -->". In such a block each line that begins with "$ " is a
# command; the lines after it, up to the next command or the closing fence,
# are what it must print. Commands run one after another in one scratch
# directory holding copies of the example files, with velkor and avqdump
# from the build first in PATH. They run on a pseudo-terminal (script(1)), so
# that standard output and standard error interleave as on the user's
# screen. A command must exit with status 0, unless it ends in the comment
# "# exit status N".
#
# Usage: run_readme_examples.sh README BIN_DIR SOURCE_DIR
set -u
readme=$1
bindir=$(realpath "$2")
srcdir=$(realpath "$3")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$srcdir"/examples/station-*.txt "$work"/ || exit 1
export PATH="$bindir:$PATH" SHELL=/bin/bash LC_ALL=C.UTF-8 TZ=UTC

commands=0
failures=0
cmd=
expected=
have_cmd=0

run_pending() {
    ((have_cmd)) || return 0
    have_cmd=0
    commands=$((commands + 1))
    local want_status=0
    if [[ $cmd =~ \#\ exit\ status\ ([0-9]+)$ ]]; then
        want_status=${BASH_REMATCH[1]}
    fi
    (cd "$work" && script -qec "$cmd" /dev/null </dev/null) >"$work/.out" 2>&1
    local status=$?
    local got
    got=$(tr -d '\r' <"$work/.out")
    local want=${expected%$'\n'}
    if [[ $status -ne $want_status ]]; then
        echo "FAIL: \$ $cmd"
        echo "  exit status $status, expected $want_status"
        failures=$((failures + 1))
    elif [[ $got != "$want" ]]; then
        echo "FAIL: \$ $cmd"
        diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") | sed 's/^/  /'
        failures=$((failures + 1))
    fi
}

marked=0
in_block=0
lineno=0
while IFS= read -r line || [[ -n $line ]]; do
    lineno=$((lineno + 1))
    if ((in_block)); then
        if [[ $line == '```'* ]]; then
            run_pending
            in_block=0
        elif [[ $line == '$ '* ]]; then
            run_pending
            cmd=${line#'$ '}
            expected=
            have_cmd=1
        elif ((have_cmd)); then
            expected+=$line$'\n'
        else
            echo "FAIL: README line $lineno: output before any command"
            failures=$((failures + 1))
        fi
        continue
    fi
    if [[ $line == '<!-- readme-test -->' ]]; then
        marked=1
    elif ((marked)) && [[ $line == '```'* ]]; then
        in_block=1
        marked=0
    elif [[ -n $line ]]; then
        marked=0
    fi
done <"$readme"

if ((commands == 0)); then
    echo "FAIL: no tested example found in $readme"
    exit 1
fi
echo "$commands README commands run, $failures failed"
((failures == 0))
