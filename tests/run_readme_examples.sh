#!/usr/bin/env bash
# Runs the README's examples as written and compares what they print.
#
# A fenced block is tested when the line before its opening fence is
# "<!-- readme-test -->" or "<!-- readme-test top -->". In such a block each
# line that begins with "$ " is a command; the lines after it, up to the next
# command or the closing fence, are what it must print. A command must exit
# with status 0, unless it ends in the comment "# exit status N".
#
# Commands run one after another in a scratch copy of the places the README
# describes: the top of the source tree (blocks marked "top"), with the
# example files under examples/ and the built programs under build/release/,
# and the directory "try" below it (all other blocks), holding copies of the
# example files. So the examples may name the programs as built
# (./build/release/velkor at the top, ../build/release/velkor in try) or as
# installed (velkor, avqdump): the programs of BIN_DIR come first in PATH.
# The README's first command, "cmake --workflow --preset release && ...",
# runs first, at the top, without its build step (BIN_DIR is built already).
# Commands run on a pseudo-terminal (script(1)), so that standard output and
# standard error interleave as on the user's screen.
#
# A fenced block after "<!-- readme-test python -->" is a Python script: it
# runs in "try" with the interpreter of VELKOR_PYTHON (default
# /usr/bin/python3; it may be a command with words before it, such as
# "env LD_PRELOAD=... /usr/bin/python3"), with matplotlib drawing into files
# only, and must exit with status 0 and print nothing. It is skipped, with a
# note, when that interpreter cannot import avq and matplotlib.
#
# Usage: run_readme_examples.sh README BIN_DIR SOURCE_DIR
# (SOURCE_DIR holds the examples/ directory; for an installed package that is
# /usr/share/doc/velkor, with BIN_DIR /usr/bin.)
set -u
readme=$1
bindir=$(realpath "$2")
srcdir=$(realpath "$3")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/examples" "$work/try" "$work/build" || exit 1
cp "$srcdir"/examples/station-*.txt "$work/examples/" || exit 1
cp "$srcdir"/examples/station-*.txt "$work/try/" || exit 1
ln -s "$bindir" "$work/build/release" || exit 1
export PATH="$bindir:$PATH" SHELL=/bin/bash LC_ALL=C.UTF-8 TZ=UTC

python=${VELKOR_PYTHON:-/usr/bin/python3}
commands=0
failures=0
script=
in_python=0
cmd=
cmd_dir=
block_dir=
expected=
have_cmd=0

# run_command DIR CMD: runs CMD in DIR (under the scratch tree) on a
# pseudo-terminal; sets $status and $got (what it printed, without carriage
# returns).
run_command() {
    (cd "$work/$1" && script -qec "$2" /dev/null </dev/null) >"$work/.out" 2>&1
    status=$?
    got=$(tr -d '\r' <"$work/.out")
}

run_pending() {
    ((have_cmd)) || return 0
    have_cmd=0
    commands=$((commands + 1))
    local want_status=0
    if [[ $cmd =~ \#\ exit\ status\ ([0-9]+)$ ]]; then
        want_status=${BASH_REMATCH[1]}
    fi
    run_command "$cmd_dir" "$cmd"
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

# The conversion of the first command: what it prints is not shown in the
# README, so only its status is checked; the examples check its output file.
first=$(grep -m 1 -E '^    cmake --workflow --preset release && ' "$readme")
if [[ -n $first ]]; then
    first=${first#'    cmake --workflow --preset release && '}
    commands=$((commands + 1))
    run_command . "$first"
    if [[ $status -ne 0 ]]; then
        echo "FAIL: \$ $first"
        echo "  exit status $status, expected 0"
        printf '%s\n' "$got" | sed 's/^/  /'
        failures=$((failures + 1))
    fi
fi

# run_python: runs the Python block gathered in $script.
run_python() {
    commands=$((commands + 1))
    # shellcheck disable=SC2086 # the interpreter may be a command of words
    if ! (cd "$work/try" && $python -c 'import avq, matplotlib; avq.read') >/dev/null 2>&1; then
        echo "skipped: the Python example before README line $lineno ($python cannot import avq and matplotlib)"
        return 0
    fi
    printf '%s' "$script" >"$work/.example.py"
    # shellcheck disable=SC2086
    (cd "$work/try" && MPLBACKEND=Agg $python "$work/.example.py") >"$work/.out" 2>&1
    status=$?
    if [[ $status -ne 0 || -s $work/.out ]]; then
        echo "FAIL: the Python example before README line $lineno (exit status $status)"
        sed 's/^/  /' "$work/.out"
        failures=$((failures + 1))
    fi
}

marked=0
in_block=0
lineno=0
while IFS= read -r line || [[ -n $line ]]; do
    lineno=$((lineno + 1))
    if ((in_python)); then
        if [[ $line == '```'* ]]; then
            run_python
            in_python=0
        else
            script+=$line$'\n'
        fi
        continue
    fi
    if ((in_block)); then
        if [[ $line == '```'* ]]; then
            run_pending
            in_block=0
        elif [[ $line == '$ '* ]]; then
            run_pending
            cmd=${line#'$ '}
            cmd_dir=$block_dir
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
        block_dir=try
    elif [[ $line == '<!-- readme-test top -->' ]]; then
        marked=1
        block_dir=.
    elif [[ $line == '<!-- readme-test python -->' ]]; then
        marked=2
    elif ((marked == 2)) && [[ $line == '```'* ]]; then
        in_python=1
        script=
        marked=0
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
