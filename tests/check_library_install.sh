#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds the example program
# examples/avq_first_samples.cpp against the installed libavq as a user's
# program would be built: with pkg-config, and as a CMake project that calls
# find_package(avq). Both builds run on files that the installed velkor
# converts from the examples (binary, binary with Unix times, ASCII); their
# output must agree with what the installed avqdump reads from the files
# (its sample rows, and the runs of --info for the sample times).
#
# usage: tests/check_library_install.sh BUILD_DIR SOURCE_DIR
# CXXFLAGS, when set, go to both builds (a sanitizer build's library needs
# its sanitizer flags in the program that links it).
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
flags=${CXXFLAGS:-}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/velkor-libavq-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name avq.pc)
[[ -n $pc ]] || fail "no avq.pc installed under $prefix"
for f in include/avq/avq.h include/avq/reader.h include/avq/timeline.h include/avq/writer.h include/avq/output.h; do
    [[ -f $prefix/$f ]] || fail "$f is not installed"
done

# A user's program, built with pkg-config.
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046,SC2086 # the flags are words
c++ $flags -o "$work/first-pc" "$src/examples/avq_first_samples.cpp" $(pkg-config --cflags --libs avq)

# The same program as a CMake project.
mkdir "$work/user"
cat >"$work/user/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(user_of_avq CXX)
find_package(avq 1 REQUIRED)
add_executable(first "$src/examples/avq_first_samples.cpp")
target_link_libraries(first PRIVATE avq::avq)
CMAKE
cmake -S "$work/user" -B "$work/user/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/user/build" >/dev/null

# What the example must print, from avqdump's rows of the first block:
# "block sample time1 time2 ch1 ch2 ch3".
expected() {
    local file=$1 form=$2 n=$3 unix=$4
    local rows
    rows=$("$prefix/bin/avqdump" "$file" | head -n "$n")
    echo "form: $form"
    echo "header: $(head -c 200 "$file" | tr '\r' '\n' | head -n 1)"
    # "runs: 1, at 20 samples per second (...)" and "run 1: block 0, START"
    local info runs fs start
    info=$("$prefix/bin/avqdump" --info "$file")
    runs=$(sed -n 's/^runs: \([0-9]*\), at \([^ ]*\) samples per second.*/\1 \2/p' <<<"$info")
    start=$(sed -n 's/^run 1: block 0, //p' <<<"$info")
    read -r runs fs <<<"$runs"
    echo "sample times: $runs run$([[ $runs == 1 ]] || echo s) at $fs samples per second from $start"
    read -r _ _ t1 t2 _ <<<"$(head -n 1 <<<"$rows")"
    if [[ $unix == unix ]]; then
        echo "block time: $t1 $t2 ($(date -u -d "@$((t1 + 65536 * t2))" +%Y-%m-%dT%H:%M:%SZ))"
    else
        echo "block time: $t1 $t2"
    fi
    cut -d' ' -f2,5- <<<"$rows"
}

cd "$work"
input=$src/examples/station-4col.txt
"$prefix/bin/velkor" -s 10000 -4 "$input" day.avq >/dev/null 2>&1
"$prefix/bin/velkor" -s 10000 --unixtime -4 "$input" day-unix.avq >/dev/null 2>&1
"$prefix/bin/velkor" --ascii -4 "$input" day.txt >/dev/null 2>&1
for conversion in "day.avq binary minsec" "day-unix.avq binary unix" "day.txt ASCII minsec"; do
    read -r file form unix <<<"$conversion"
    want=$(expected "$file" "$form" 7 "$unix")
    got=$("$work/first-pc" "$file" 7) || fail "the pkg-config build failed on $file"
    [[ $got == "$want" ]] || fail "$file: the example printed
$got
where avqdump reads
$want"
    got_cmake=$("$work/user/build/first" "$file" 7) || fail "the CMake build failed on $file"
    [[ $got_cmake == "$got" ]] || fail "$file: the CMake package build printed something else"
done
# A file written with the library's writer reads back as avqdump reads it.
got=$("$work/first-pc" --write ramp.avq 7 2>ramp.err) || fail "the example could not write ramp.avq"
want=$(expected ramp.avq binary 7 minsec)
[[ $got == "$want" ]] || fail "ramp.avq: the example printed
$got
where avqdump reads
$want"
[[ $(cat ramp.err) == "ramp.avq: 479 values clipped" ]] || fail "ramp.avq: $(cat ramp.err)"
if out=$("$work/first-pc" "$input" 2>/dev/null) || [[ -n $out ]]; then
    fail "the example did not refuse a text file cleanly: $out"
fi
echo "libavq installed; the example built with pkg-config and with find_package(avq) reads 3 files as avqdump does, and writes one that reads back"
