#!/usr/bin/env bash
# Converts a small station archive the way the README's recipe does: 50 daily
# four-column files, four velkor runs at a time with `xargs -P 4` (and GNU
# parallel when installed), all in one working directory. Every output must
# be, byte for byte, what the same day gives converted on its own; no
# temporary file may be left; and the log must have gained exactly one whole
# line per run, naming its day, after the line it held before.
#
# Usage: check_parallel_archive.sh VELKOR
set -u
velkor=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C TZ=UTC

DAYS=50
OPTIONS=(-s 1000 -4)
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Day N of the station, 20 Hz from midnight, 300 + 37 N rows (so that the
# last block is partial on most days), values that differ from day to day;
# odd days begin with a "!" comment that names the day, even days have none,
# so that velkor builds their header.
mkdir "$work/data" "$work/reference"
for n in $(seq 1 "$DAYS"); do
    day=$(printf 'day%03d' "$n")
    awk -v n="$n" 'BEGIN {
        if (n % 2) printf "! station IS99 day %03d, pressure in Pa, 20 Hz\n", n
        t0 = 1767312000 + 86400 * n
        for (i = 0; i < 300 + 37 * n; i++) {
            t = i / 20
            printf "%.2f %.4f %.4f %.4f\n", t0 + t, 0.3 * sin(0.2 * t + n),
                0.2 * sin(0.03 * t * n), 0.1 * n / 50 - 0.05 * cos(t)
        }
    }' >"$work/data/$day.txt"
    echo "$day" >>"$work/days"
    # The reference: each day converted alone.
    (cd "$work/reference" && "$velkor" "${OPTIONS[@]}" ../data/$day.txt $day.avq >/dev/null 2>&1) ||
        fail "converting $day alone"
done

# A log line of an earlier run, which the runs must append to.
EARLIER="12/07/26 10:00:00 velkor -s 1000 -4 earlier.txt earlier.avq"
STAMP='[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}'

# check_tool NAME COMMAND...: runs COMMAND, which converts the days named on
# its standard input, in a fresh copy of the archive, and checks the outputs,
# the temporary files and the log.
check_tool() {
    local tool=$1 dir="$work/${1%% *}" day bad=0
    shift
    mkdir "$dir"
    cp "$work"/data/*.txt "$dir/"
    echo "$EARLIER" >"$dir/logfile"
    (cd "$dir" && "$@" <"$work/days") >"$dir.out" 2>&1 ||
        fail "$tool ended with status $?: $(tail -n 3 "$dir.out")"
    while read -r day; do
        cmp -s "$dir/$day.avq" "$work/reference/$day.avq" || bad=$((bad + 1))
    done <"$work/days"
    ((bad == 0)) || fail "$tool: $bad of $DAYS outputs differ from the day converted alone"
    [[ -z $(find "$dir" -name '.velkor-*') ]] || fail "$tool: temporary files left"
    [[ $(head -n 1 "$dir/logfile") == "$EARLIER" ]] || fail "$tool: the earlier log line changed"
    [[ $(tail -c 1 "$dir/logfile") == '' ]] || fail "$tool: the log does not end in a whole line"
    # After the time stamp, each new line is one whole run of one day.
    [[ -z $(tail -n +2 "$dir/logfile" | grep -vE "^$STAMP ") ]] || fail "$tool: a line lost its stamp"
    diff <(tail -n +2 "$dir/logfile" | cut -c19- | sort) \
        <(awk -v run="$velkor ${OPTIONS[*]}" '{ print run " " $0 ".txt " $0 ".avq" }' "$work/days" |
            sort) >"$dir.diff" || fail "$tool: not one whole log line per day: $(head -n 4 "$dir.diff")"
}

check_tool "xargs -P 4" xargs -d '\n' -P 4 -I{} "$velkor" "${OPTIONS[@]}" {}.txt {}.avq
checked="xargs -P 4"
if command -v parallel >/dev/null; then
    check_tool "parallel -j 4" parallel -j 4 "$velkor" "${OPTIONS[@]}" {}.txt {}.avq :::: -
    checked+=" and parallel -j 4"
else
    echo "GNU parallel is not installed: only xargs checked"
fi

if ((failures > 0)); then
    echo "$failures failures"
    exit 1
fi
echo "PASS: $DAYS days converted by $checked, each output as converted alone, one whole log line per run"
