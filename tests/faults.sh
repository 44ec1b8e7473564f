#!/usr/bin/env bash
# Fault and bad-input checks of the velkor binary: a full disk, an output
# directory that may not be written, inputs that are directories, a run
# killed while writing, 200 runs at once in one directory, and a corpus of
# malformed inputs. Every run must end either in a correct conversion or in
# a clear error (status 1, the error as the last line on standard error, or
# followed by the line it failed on; no output file); never in a crash
# (status 128 and up, a sanitizer report) or a hang (each run is limited by
# timeout).
#
# usage: tests/faults.sh [path/to/velkor]     (default build/test/velkor)
# avqdump next to velkor, when present, validates every output strictly.
# Prints one line per check and ends with "N passed, N failed"; the exit
# status is 1 when any check failed.
set -uo pipefail

velkor="${1:-build/test/velkor}"
if [ ! -x "$velkor" ]; then
    echo "faults.sh: no velkor binary at $velkor" >&2
    exit 2
fi
velkor="$(cd "$(dirname "$velkor")" && pwd)/$(basename "$velkor")"
avqdump="$(dirname "$velkor")/avqdump"
[ -x "$avqdump" ] || avqdump=""

work="$(mktemp -d "${TMPDIR:-/tmp}/velkor-faults-XXXXXX")"
cleanup() {
    chmod -R u+w "$work" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export LC_ALL=C TZ=UTC
# Sanitizer builds: stop at the first report, so that it shows as a crash.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "PASS  $*"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL  $*"
}
skip() { echo "SKIP  $*"; }

# run DIR ARGS...: runs velkor in DIR with a time limit; sets $status and
# leaves standard output and error in DIR/.out and DIR/.err.
RUN_LIMIT=30
run() {
    local dir="$1"
    shift
    (cd "$dir" && timeout -k 5 "$RUN_LIMIT" "$velkor" "$@" >.out 2>.err)
    status=$?
}

# Standard error of the last run holds no crash report.
no_crash_report() {
    ! grep -q -E 'Sanitizer|runtime error:|Segmentation|Aborted|core dumped|terminate called' "$1/.err"
}

# The last run failed clearly: status 1, the error as one non-empty last
# line on standard error (a parse error adds a last line "  line N: ..."
# that shows where), no sanitizer report.
clear_error() {
    local dir="$1"
    [ "$status" -eq 1 ] && no_crash_report "$dir" && [ -s "$dir/.err" ] &&
        [ -n "$(tail -n 1 "$dir/.err")" ] && [ "$(tail -c 1 "$dir/.err" | od -An -c | tr -d ' ')" = '\n' ]
}

# The error of the last run, and where it happened when it says so (hint
# lines in parentheses after it left out).
last_error() {
    local err last
    err=$(grep -v '^  (' "$1/.err")
    last=$(tail -n 1 <<<"$err")
    case "$last" in
    "  line "*) echo "$(tail -n 2 <<<"$err" | head -n 1) /$last" ;;
    *) echo "$last" ;;
    esac
}

# valid_avq FILE: the strict reader accepts it (when avqdump is there).
valid_avq() {
    [ -z "$avqdump" ] && return 0
    "$avqdump" --info "$1" >/dev/null 2>&1
}

describe_status() {
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "hang (killed after ${RUN_LIMIT} s)"
    elif [ "$status" -ge 128 ]; then
        echo "crash (status $status, signal $((status - 128)))"
    else
        echo "status $status: $(last_error "$1" | cut -c1-100)"
    fi
}

# A small four-column group of 1000 rows and its reference conversions.
mkdir -p "$work/ref"
awk 'BEGIN { print "!fault test station"
             for (i = 0; i < 1000; i++) printf "%.2f %d %d %d\n", 1262347509 + i * 0.05, i % 100, -(i % 77), i % 3 }' \
    >"$work/ref/in.txt"
run "$work/ref" -4 in.txt ref.avq
run "$work/ref" -4 --ascii in.txt ref.txt
if [ ! -s "$work/ref/ref.avq" ] || [ ! -s "$work/ref/ref.txt" ]; then
    echo "faults.sh: velkor cannot convert the reference input" >&2
    exit 2
fi

# ---------------------------------------------------------------------------
echo "== full disk"
for form in binary ascii; do
    d="$work/full-$form"
    mkdir -p "$d"
    cp "$work/ref/in.txt" "$d/"
    opt=()
    [ "$form" = ascii ] && opt=(--ascii)
    run "$d" -4 "${opt[@]}" in.txt /dev/full
    if clear_error "$d" && last_error "$d" | grep -q '/dev/full'; then
        pass "output /dev/full ($form): status 1, \"$(last_error "$d")\""
    else
        fail "output /dev/full ($form): $(describe_status "$d")"
    fi
done

# ---------------------------------------------------------------------------
echo "== output directory without write permission"
# Root may write into any directory; as root the runs of this check are made
# as the user nobody (through setpriv), when that is possible.
as_user=()
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null &&
    setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
d="$work/readonly"
mkdir -p "$d/out"
cp "$work/ref/in.txt" "$d/"
cp "$work/ref/ref.txt" "$d/out/old.txt"
chmod 666 "$d/out/old.txt"
chmod 555 "$d/out"
chmod 755 "$work" "$d"
if [ ${#as_user[@]} -gt 0 ] && ! "${as_user[@]}" sh -c 'test -x "$1" && test -r "$2"' sh "$velkor" "$d/in.txt"; then
    as_user=()
fi
if [ "$(id -u)" -eq 0 ] && [ ${#as_user[@]} -eq 0 ]; then
    skip "output directory without write permission: running as root, which may write into any directory, and the user nobody cannot be used (no setpriv, or it cannot reach velkor or the input)"
elif "${as_user[@]}" touch "$d/out/.probe" 2>/dev/null; then
    rm -f "$d/out/.probe"
    skip "output directory without write permission: the directory is writable all the same (file system ignores the mode)"
else
    who=""
    [ ${#as_user[@]} -gt 0 ] && who=" (run as nobody)"
    (cd "$d" && timeout -k 5 "$RUN_LIMIT" "${as_user[@]}" "$velkor" -4 in.txt out/x.avq >.out 2>.err)
    status=$?
    if clear_error "$d" && [ "$(ls -A "$d/out")" = old.txt ]; then
        pass "output directory without write permission$who: status 1, \"$(last_error "$d")\", nothing created"
    else
        fail "output directory without write permission$who: $(describe_status "$d")"
    fi
    # An existing output there that may be written cannot be replaced
    # through a new file beside it: it is rewritten in place.
    (cd "$d" && timeout -k 5 "$RUN_LIMIT" "${as_user[@]}" "$velkor" -4 in.txt out/old.txt >.out 2>.err)
    status=$?
    if [ "$status" -eq 0 ] && no_crash_report "$d" && cmp -s "$d/out/old.txt" "$work/ref/ref.avq" &&
        [ "$(ls -A "$d/out")" = old.txt ]; then
        pass "existing output in a directory without write permission$who: rewritten in place, nothing else created"
    else
        fail "existing output in a directory without write permission$who: $(describe_status "$d")"
    fi
fi
chmod 755 "$d/out"

# ---------------------------------------------------------------------------
echo "== inputs that are directories"
d="$work/dirs"
mkdir -p "$d/adir"
cp "$work/ref/in.txt" "$d/"
awk '{ if ($0 !~ /^!/) print $1, $2 }' "$d/in.txt" >"$d/c2.txt"
awk '{ if ($0 !~ /^!/) print $1 }' "$d/in.txt" >"$d/t.txt"
awk '{ if ($0 !~ /^!/) print $2 }' "$d/in.txt" >"$d/c1.txt"
check_dir_input() {
    local what="$1"
    shift
    rm -f "$d/o.avq"
    run "$d" "$@"
    if clear_error "$d" && [ ! -e "$d/o.avq" ]; then
        pass "$what: status 1, \"$(last_error "$d")\""
    else
        fail "$what: $(describe_status "$d")"
    fi
}
check_dir_input "four-column input is a directory" -4 adir o.avq
check_dir_input "channel-2 input is a directory" c2.txt adir c2.txt o.avq
check_dir_input "time file is a directory" -t adir c1.txt c1.txt c1.txt o.avq
check_dir_input "channel-3 input is a directory (one-column)" -t t.txt c1.txt c1.txt adir o.avq
# An argument file that is a directory yields no lines: its element vanishes.
rm -f "$d/o.avq"
run "$d" -4 @adir in.txt o.avq
if [ "$status" -eq 0 ] && cmp -s "$d/o.avq" "$work/ref/ref.avq"; then
    pass "argument file is a directory: no lines from it, the rest converted correctly"
else
    fail "argument file is a directory: $(describe_status "$d")"
fi

# ---------------------------------------------------------------------------
echo "== killed with SIGKILL while writing"
d="$work/kill"
mkdir -p "$d"
awk 'BEGIN { print "!large"
             for (i = 0; i < 1500000; i++) printf "%.2f %d %d %d\n", 1262347509 + i * 0.05, i % 1000, -(i % 777), i % 3 }' \
    >"$d/big.txt"
cp "$work/ref/ref.txt" "$d/out.txt"
chmod 640 "$d/out.txt"
kill_checked=0
for attempt in 1 2 3; do
    (cd "$d" && exec "$velkor" -4 --ascii big.txt out.txt >/dev/null 2>&1) &
    pid=$!
    caught=""
    # Wait until the temporary output holds data, then kill.
    while kill -0 "$pid" 2>/dev/null; do
        tmp=$(find "$d" -maxdepth 1 -name '.velkor-*' -size +64k 2>/dev/null | head -n 1)
        if [ -n "$tmp" ]; then
            kill -KILL "$pid"
            caught="$(stat -c %s "$tmp")"
            break
        fi
        sleep 0.01
    done
    wait "$pid" 2>/dev/null
    if [ -n "$caught" ]; then
        kill_checked=1
        if cmp -s "$d/out.txt" "$work/ref/ref.txt" && [ "$(stat -c %a "$d/out.txt")" = 640 ]; then
            pass "SIGKILL after $caught bytes of a large ASCII output: the earlier out.txt survives byte for byte (attempt $attempt)"
        else
            fail "SIGKILL after $caught bytes of a large ASCII output: the earlier out.txt was changed"
        fi
        break
    fi
    cp "$work/ref/ref.txt" "$d/out.txt"
    chmod 640 "$d/out.txt"
done
[ "$kill_checked" -eq 1 ] || fail "SIGKILL while writing: the write could not be caught in three attempts"
rm -f "$d"/.velkor-* # what the killed run could not remove
# The same conversion run to its end replaces the file, keeping its mode.
run "$d" -4 --ascii big.txt out.txt
if [ "$status" -eq 0 ] && [ "$(head -n 1 "$d/out.txt")" = '!large' ] && [ "$(stat -c %a "$d/out.txt")" = 640 ] &&
    [ "$(wc -l <"$d/out.txt")" -eq $((1 + 3 * 2930)) ] && [ -z "$(find "$d" -name '.velkor-*')" ]; then
    pass "the same run left to finish replaces out.txt whole (8791 lines), mode 640 kept, no temporary file left"
else
    fail "the same run left to finish: $(describe_status "$d")"
fi
rm -f "$d/big.txt"

# ---------------------------------------------------------------------------
echo "== 200 concurrent runs in one directory"
d="$work/concurrent"
mkdir -p "$d"
cp "$work/ref/in.txt" "$d/"
pids=()
for i in $(seq 1 200); do
    if [ "$i" -le 150 ]; then
        if [ $((i % 2)) -eq 0 ]; then
            (cd "$d" && timeout -k 5 60 "$velkor" -4 in.txt "out$i.avq" >/dev/null 2>&1) &
        else
            (cd "$d" && timeout -k 5 60 "$velkor" -4 --ascii in.txt "out$i.txt" >/dev/null 2>&1) &
        fi
    else
        # Fifty runs race to replace one output of the same name.
        (cd "$d" && timeout -k 5 60 "$velkor" -4 in.txt shared.avq >/dev/null 2>&1) &
    fi
    pids+=("$!")
done
bad_status=0
for p in "${pids[@]}"; do
    wait "$p" || bad_status=$((bad_status + 1))
done
bad_out=0
for i in $(seq 1 150); do
    if [ $((i % 2)) -eq 0 ]; then
        cmp -s "$d/out$i.avq" "$work/ref/ref.avq" || bad_out=$((bad_out + 1))
    else
        cmp -s "$d/out$i.txt" "$work/ref/ref.txt" || bad_out=$((bad_out + 1))
    fi
done
cmp -s "$d/shared.avq" "$work/ref/ref.avq" || bad_out=$((bad_out + 1))
strays=$(find "$d" -name '.velkor-*' | wc -l)
if [ "$bad_status" -eq 0 ] && [ "$bad_out" -eq 0 ] && [ "$strays" -eq 0 ]; then
    pass "200 concurrent runs: all ended with status 0; 150 outputs and the one raced for by 50 runs are correct, no temporary file left"
else
    fail "200 concurrent runs: $bad_status bad exit statuses, $bad_out wrong outputs, $strays temporary files left"
fi
# The log: exactly one intact line per run, "stamp velkor args".
{
    for i in $(seq 1 200); do
        if [ "$i" -gt 150 ]; then
            echo " $velkor -4 in.txt shared.avq"
        elif [ $((i % 2)) -eq 0 ]; then
            echo " $velkor -4 in.txt out$i.avq"
        else
            echo " $velkor -4 --ascii in.txt out$i.txt"
        fi
    done
} | sort >"$work/expected-log"
lines=$(wc -l <"$d/logfile")
stamps=$(grep -c -E '^[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ' "$d/logfile")
if [ "$lines" -eq 200 ] && [ "$stamps" -eq 200 ] && cut -c18- "$d/logfile" | sort | cmp -s - "$work/expected-log"; then
    pass "200 concurrent runs: logfile has exactly 200 intact lines, one per run"
else
    fail "200 concurrent runs: logfile has $lines lines, $stamps with a stamp, or lines that differ from the runs"
fi

# ---------------------------------------------------------------------------
echo "== bad inputs"
d="$work/bad"
mkdir -p "$d"
rows() { # rows N: N plain four-column rows
    awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "%d %d %d %d\n", 1262347509 + i, i, -i, 2 * i }'
}
# Each case is one file; it is tried as the four-column input, as each of
# the three two-column inputs, and as the time file and channel files of the
# one-column layout; as the four-column input also with ASCII output.
printf '1 2 3 4\n5 6\0007 8\n9 10 11 12\n' >"$d/nul-in-line"
printf '\000\000\000\000\n' >"$d/nul-only"
# Binary garbage: the same 16 KiB every run (RANDOM is seeded).
RANDOM=4711
garbage=""
for _ in $(seq 1 4096); do garbage+=$(printf '\\%03o\\%03o\\%03o\\%03o' $((RANDOM % 256)) $((RANDOM % 256)) $((RANDOM % 256)) $((RANDOM % 256))); done
printf "$garbage" >"$d/garbage"
printf '\357\273\2771262347509 1 2 3\n1262347510 4 5 6\n' >"$d/bom"
printf '\357\273\277!comment after a byte-order mark\n1262347509 1 2 3\n' >"$d/bom-comment"
{ head -c 100000 /dev/zero | tr '\0' '7'; echo " 1 2 3"; } >"$d/long-number-line"
{ head -c 1000000 /dev/zero | tr '\0' ' '; echo "1 2 3 4"; } >"$d/long-blank-line"
{ printf '!'; head -c 5000 /dev/zero | tr '\0' 'c'; echo; rows 3; } >"$d/long-comment"
rows 600 | tr '\n' '\r' >"$d/cr-only"
: >"$d/empty"
printf '!only\n!comments\n!here\n' >"$d/only-comments"
printf '1e999999999999999999 1 2 3\n' >"$d/huge-exponent-time"
printf '1262347509 1e400 -1e400 1e-400\n1262347510 1e99999999999999999999999 2 3\n' >"$d/huge-exponent-values"
printf '!c\n1262347509 0x1p99999 nan -inf\n' >"$d/special-values"
printf '!c\n9e18 1 2 3\n' >"$d/time-beyond-dates"
printf '!c\n-1e300 1 2 3\n' >"$d/negative-huge-time"
printf '\n\n\n' >"$d/empty-lines"
printf '!x\r\n1 2 3 4\r\n' >"$d/crlf"

bad_tried=0
bad_converted=0
bad_refused=0
try_bad() {
    local what="$1" outname="$2"
    shift 2
    bad_tried=$((bad_tried + 1))
    rm -f "$d/$outname"
    run "$d" "$@"
    if [ "$status" -eq 0 ] && no_crash_report "$d" && [ -e "$d/$outname" ] && valid_avq "$d/$outname"; then
        bad_converted=$((bad_converted + 1))
        echo "      ok  $what: converted"
        return 0
    fi
    if clear_error "$d" && [ ! -e "$d/$outname" ]; then
        bad_refused=$((bad_refused + 1))
        echo "      ok  $what: refused, \"$(last_error "$d" | cut -c1-90)\""
        return 0
    fi
    fail "bad input $what: $(describe_status "$d")"
    return 1
}
bad_ok=1
for f in nul-in-line nul-only garbage bom bom-comment long-number-line long-blank-line long-comment cr-only \
    empty only-comments huge-exponent-time huge-exponent-values special-values time-beyond-dates \
    negative-huge-time empty-lines crlf; do
    try_bad "$f (four columns)" o.avq -4 "$f" o.avq || bad_ok=0
    try_bad "$f (four columns, ASCII)" o.txt -4 --ascii "$f" o.txt || bad_ok=0
    try_bad "$f (two columns, channel 1)" o.avq "$f" ../ref/in.txt ../ref/in.txt o.avq || bad_ok=0
    try_bad "$f (two columns, channel 3)" o.avq ../ref/in.txt ../ref/in.txt "$f" o.avq || bad_ok=0
    try_bad "$f (one column, time file)" o.avq -t "$f" ../ref/in.txt ../ref/in.txt ../ref/in.txt o.avq || bad_ok=0
    try_bad "$f (one column, all channels)" o.avq -t ../ref/in.txt "$f" "$f" "$f" o.avq || bad_ok=0
done

# Argument files nested 10,000 deep: a0 names a1, ..., a9999 holds the
# arguments. Nesting beyond the library's bound is not followed, and the
# element there stays a literal argument (an input that cannot be opened).
mkdir -p "$d/nest"
cp "$work/ref/in.txt" "$d/nest/"
for i in $(seq 0 9998); do echo "@a$((i + 1))" >"$d/nest/a$i"; done
printf -- '-4\nin.txt\no.avq\n' >"$d/nest/a9999"
try_bad "10,000 nested argument files" o.avq @nest/a0 || bad_ok=0
# An argument file that names itself twice: expansion is bounded.
printf '@self\n@self\n' >"$d/self"
try_bad "argument file naming itself twice" o.avq -4 @self ../ref/in.txt o.avq || bad_ok=0
# A short chain of argument files is followed to its end.
mkdir -p "$d/chain"
cp "$work/ref/in.txt" "$d/chain/"
for i in $(seq 0 8); do echo "\$c$((i + 1))" >"$d/chain/c$i"; done
printf -- '-4\nin.txt\n#a comment\no.avq\n' >"$d/chain/c9"
run "$d/chain" @c0
if [ "$status" -eq 0 ] && cmp -s "$d/chain/o.avq" "$work/ref/ref.avq"; then
    pass "argument files nested 10 deep: followed to the end, output correct"
else
    fail "argument files nested 10 deep: $(describe_status "$d/chain")"
fi

if [ "$bad_ok" -eq 1 ]; then
    pass "bad inputs: $bad_tried runs, $bad_converted converted (valid AVQ), $bad_refused refused with a clear error, no crash or hang"
fi
leftovers=$(find "$work" -name '.velkor-*' | wc -l)
if [ "$leftovers" -eq 0 ]; then
    pass "no temporary output file left behind by any failed run"
else
    fail "$leftovers temporary output files left behind"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
