#!/usr/bin/env bash
# Checks the bash completion of velkor and avqdump by calling the completion
# functions as bash would, in a scratch directory of known files.
# Usage: check_completion.sh COMPLETION_FILE
set -u
completion=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
mkdir data
touch data/ch1.txt data/ch2.txt times.txt run.args out.avq

# shellcheck source=/dev/null
source "$completion" || exit 1

failures=0
# complete FUNCTION WORD... : fills COMPREPLY for the last word.
complete_words() {
    local fn=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$fn"
}
# expect "description" "expected replies, sorted, space-separated" FUNCTION WORD...
expect() {
    local what=$1 want=$2
    shift 2
    complete_words "$@"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//')
    if [[ $got != "$want" ]]; then
        echo "FAIL: $what: expected [$want], got [$got]"
        failures=$((failures + 1))
    fi
}

expect "long option prefix" "--ascii" _velkor velkor --as
expect "long options sharing a prefix" "--minutes --minutes-in-day --minutes-of-day" \
    _velkor velkor --minu
expect "option with argument ends in =" "--scale=" _velkor velkor --sc
expect "options beginning with s" "--scale= --seconds --station= --strict --summary" _velkor velkor --s
expect "summary" "--summary" _velkor velkor --su
expect "short options" "-- -1 -2 -4 -f -h -o -q -s -t -v" _velkor velkor -
expect "options of reading exports" "--debug --decimal-comma --delimiter=" _velkor velkor --de
expect "delimiters after --delimiter" ", ; tab" _velkor velkor --delimiter ""
expect "delimiter after --delimiter= in one word" "--delimiter=tab" _velkor velkor --delimiter=t
expect "delimiter after --delimiter split at =" "tab" _velkor velkor --delimiter = t
expect "nothing after the station" "" _velkor velkor --station ""
expect "quiet" "--quiet" _velkor velkor --q
expect "force" "--force" _velkor velkor --fo
expect "file after -t" "times.txt" _velkor velkor -t ti
expect "file after -o" "out.avq" _velkor velkor -4 -o ou
expect "file after -T" "times.txt" _velkor velkor -T ti
expect "file after --time split at =" "times.txt" _velkor velkor --time = ti
expect "file after --time= in one word" "--time=times.txt" _velkor velkor --time=ti
expect "file after --output=" "" _velkor velkor --output = zz
expect "nothing after the scale" "" _velkor velkor -s ""
expect "nothing after --scale=" "" _velkor velkor --scale = ""
expect "positional file names" "data" _velkor velkor -4 da
expect "files within a directory" "data/ch1.txt data/ch2.txt" _velkor velkor data/c
expect "argument file after @" "@run.args" _velkor velkor @ru
expect "argument file directory after @" "@data/" _velkor velkor @da
expect "argument file after \$" "\$run.args" _velkor velkor '$ru'
expect "avqdump options" "--info" _avqdump avqdump --in
expect "avqdump files" "out.avq" _avqdump avqdump --info o
expect "avqdump output options" "--csv" _avqdump avqdump --c
expect "avqdump --json" "--json" _avqdump avqdump --info --j
expect "avqdump -v" "-v" _avqdump avqdump -v
expect "avqdump picture after --plot" "out.avq" _avqdump avqdump --plot ou
expect "avqdump picture after --plot=" "--plot=out.avq" _avqdump avqdump --plot=ou
expect "avqdump picture after --plot =" "out.avq" _avqdump avqdump --plot = ou

# A file whose name looks like an option, after "--".
touch -- --ascii-file
expect "files only after --" "--ascii-file" _velkor velkor -- --asc

# The functions are registered for both commands.
complete -p velkor | grep -q _velkor || { echo "FAIL: velkor not registered"; failures=$((failures + 1)); }
complete -p avqdump | grep -q _avqdump || { echo "FAIL: avqdump not registered"; failures=$((failures + 1)); }

if ((failures > 0)); then
    echo "$failures completion check(s) failed"
    exit 1
fi
echo "all completion checks passed"
