#!/usr/bin/env bash
# Speed and memory of velkor, in all three input layouts and both output
# forms, against the velkor of a baseline commit and against three
# reference programs; and of velkor reading a four-column file from a pipe,
# as archives are read (cat FILE | velkor -4 - out, gunzip -c FILE.gz |
# velkor -4 - out), against the same file given by name and against gunzip
# alone.
#
#   bench/run.sh [ROWS [REPETITIONS]]      (defaults: 4000000 rows, 5 repetitions)
#
# Builds velkor (Release) from this tree and from the baseline commit
# ($VELKOR_BASELINE, default 1c7b104, the velkor before the conversion took
# one path and read lines with the fused row scan; 0ff4505 is the last that
# held every row in memory; taken with git archive, so the tree's own history
# is enough), and
# the bench programs, under a scratch directory ($VELKOR_BENCH_DIR, default
# /tmp/velkor-bench; never inside the repository). It generates the data
# there once per row count, then runs the programs of each layout
# alternately, REPETITIONS times, and prints median wall time, input MB/s,
# CPU time, peak resident memory and the ratios that matter:
#   new/base binary  wall and CPU time of velkor against the baseline
#   new/base ascii   the same for --ascii
#                    goals against 1c7b104 (the default): CPU time of binary -4
#                    <= 0.6, of -2 and -1 <= 0.65, of --ascii -4 <= 0.45, wall
#                    time no worse (<= 1) everywhere; against 0ff4505: binary
#                    <= 0.5, ascii <= 0.6; against another baseline: <= 1
#   peak MiB         maximum resident set size of velkor, new and base      (goal: new no
#                    higher than base, and <= 32)
#   velkor/limit     binary conversion against the limit kernel
#   fgets/velkor     straightforward reader against velkor
#   ostream/ascii    reference ostream writer against velkor --ascii
#   pipe/file        CPU time of velkor reading four.txt from cat, against
#                    reading it by name (goal <= 1.2)
#   gunzip|velkor    wall time of gunzip -c four.txt.gz | velkor -4 - out,
#                    against gunzip -c four.txt.gz > /dev/null (goal <= 1.3)
# (The CPU time and peak memory of a pipe case are velkor's alone, the wall
# time the whole pipeline's.) Then it converts $VELKOR_BENCH_BIG rows
# (default 40000000; 0 skips it) once per layout and form with both builds,
# and once from a pipe, and prints their peak memory.
#
# VELKOR_SOURCE names another source tree to build the new velkor from.
# VELKOR_BENCH_REFERENCES=0 leaves out the three reference programs.
set -euo pipefail

rows=${1:-4000000}
reps=${2:-5}
big_rows=${VELKOR_BENCH_BIG:-40000000}
baseline=${VELKOR_BASELINE:-1c7b104}
references=${VELKOR_BENCH_REFERENCES:-1}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${VELKOR_BENCH_DIR:-/tmp/velkor-bench}
case "$scratch" in "$root"|"$root"/*) echo "scratch directory must lie outside the repository" >&2; exit 2;; esac
mkdir -p "$scratch/bin" "$scratch/run"
cxx=${CXX:-c++}

# Builds velkor from the source tree $1 and prints the binary's path.
build_velkor() {
    local src=$1 build
    build="$scratch/build-$(printf '%s' "$src" | cksum | cut -d' ' -f1)"
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKOR_TESTS=OFF >/dev/null
    cmake --build "$build" --target velkor -j2 >/dev/null
    echo "$build/velkor"
}

echo "== building (Release): this tree and baseline $baseline" >&2
src=${VELKOR_SOURCE:-$root}
velkor=$(build_velkor "$src")
base_src="$scratch/baseline-$baseline"
if [ ! -f "$base_src/CMakeLists.txt" ]; then
    rm -rf "$base_src" && mkdir -p "$base_src"
    git -C "$root" archive "$baseline" | tar -x -C "$base_src"
fi
base=$(build_velkor "$base_src")
for p in gen limit naive ostream_writer; do
    "$cxx" -std=c++20 -O2 -o "$scratch/bin/$p" "$root/bench/$p.cpp"
done

# Generates ROWS rows of every layout once and prints the data directory.
make_data() {
    local n=$1 data="$scratch/data-$1"
    if [ ! -f "$data/done" ]; then
        echo "== generating $n rows per file into $data" >&2
        mkdir -p "$data"
        "$scratch/bin/gen" "$data" "$n"
        gzip -c "$data/four.txt" >"$data/four.txt.gz"
        touch "$data/done"
    fi
    echo "$data"
}

# Wall time in microseconds, then peak RSS in KiB and CPU seconds (user +
# system) as /usr/bin/time wrote them to $scratch/rss, of the command "$@"
# after the label $1. Output goes to /dev/null; standard error is shown only
# when a run fails (velkor's output file and logfile land in $scratch/run).
timed() {
    local what=$1 start end rss
    shift
    start=$(date +%s%N)
    if ! "$@" >/dev/null 2>"$scratch/stderr"; then
        echo "failed: $what" >&2
        cat "$scratch/stderr" >&2
        exit 1
    fi
    end=$(date +%s%N)
    rss=$(tail -n 1 "$scratch/rss")
    echo "$(( (end - start) / 1000 )) $rss" | awk '{ print $1, $2, $3 + $4 }'
}

# The same of one run of PROGRAM ARGS...
measure() {
    timed "$*" /usr/bin/time -f "%M %U %S" -o "$scratch/rss" "$@"
}

# The same for the pipeline "$1 | PROGRAM ARGS...": the wall time of the
# whole pipeline, and the peak RSS and CPU seconds of PROGRAM alone.
measure_piped() {
    local feed=$1
    shift
    timed "$feed | $*" sh -c "$feed | /usr/bin/time -f '%M %U %S' -o '$scratch/rss' \"\$@\"" sh "$@"
}

# Sets inputs, vin (velkor's arguments) and refin (the reference programs'
# arguments) for layout $1 and data directory $2.
layout_args() {
    local data=$2
    case $1 in
    4) inputs=("$data/four.txt"); vin=(-4 "$data/four.txt"); refin=(-4 "$data/four.txt") ;;
    2) inputs=("$data/ch1.txt" "$data/ch2.txt" "$data/ch3.txt")
       vin=(-2 "${inputs[@]}"); refin=(-2 "${inputs[@]}") ;;
    1) inputs=("$data/time.txt" "$data/v1.txt" "$data/v2.txt" "$data/v3.txt")
       vin=(-1 -t "${inputs[@]}"); refin=(-1 "${inputs[@]}") ;;
    esac
}

data=$(make_data "$rows")
results="$scratch/results.txt"
: >"$results"
cd "$scratch/run"
for layout in 4 2 1; do
    layout_args "$layout" "$data"
    bytes=$(cat "${inputs[@]}" | wc -c)
    echo "== layout -$layout: $bytes bytes of input" >&2
    for ((r = 1; r <= reps; r++)); do
        echo "$layout velkor $bytes $(measure "$velkor" "${vin[@]}" out.avq)" >>"$results"
        echo "$layout base $bytes $(measure "$base" "${vin[@]}" out.avq)" >>"$results"
        echo "$layout ascii $bytes $(measure "$velkor" --ascii "${vin[@]}" out.txt)" >>"$results"
        echo "$layout baseascii $bytes $(measure "$base" --ascii "${vin[@]}" out.txt)" >>"$results"
        if [ "$layout" = 4 ]; then
            echo "$layout pipe $bytes $(measure_piped "cat '$data/four.txt'" "$velkor" -4 - out.avq)" >>"$results"
            echo "$layout gunzippipe $bytes $(measure_piped "gunzip -c '$data/four.txt.gz'" "$velkor" -4 - out.avq)" >>"$results"
            echo "$layout gunzip $bytes $(measure sh -c "gunzip -c '$data/four.txt.gz'")" >>"$results"
        fi
        if [ "$references" != 0 ]; then
            echo "$layout limit $bytes $(measure "$scratch/bin/limit" "${refin[@]}")" >>"$results"
            echo "$layout fgets $bytes $(measure "$scratch/bin/naive" "${refin[@]}")" >>"$results"
            if [ "$layout" = 4 ]; then
                echo "$layout ostream $bytes $(measure "$scratch/bin/ostream_writer" "$data/four.txt" ref.txt)" >>"$results"
            fi
        fi
        echo "   repetition $r done" >&2
    done
done
rm -f out.avq out.txt ref.txt

big_results="$scratch/results-big.txt"
: >"$big_results"
if [ "$big_rows" != 0 ]; then
    big_data=$(make_data "$big_rows")
    for layout in 4 2 1; do
        layout_args "$layout" "$big_data"
        echo "== $big_rows rows, layout -$layout" >&2
        echo "$layout velkor $(measure "$velkor" "${vin[@]}" out.avq)" >>"$big_results"
        echo "$layout ascii $(measure "$velkor" --ascii "${vin[@]}" out.txt)" >>"$big_results"
        echo "$layout base $(measure "$base" "${vin[@]}" out.avq)" >>"$big_results"
        echo "$layout baseascii $(measure "$base" --ascii "${vin[@]}" out.txt)" >>"$big_results"
        if [ "$layout" = 4 ]; then
            echo "$layout pipe $(measure_piped "cat '$big_data/four.txt'" "$velkor" -4 - out.avq)" >>"$big_results"
        fi
        rm -f out.avq out.txt
    done
fi

tip=""
if [ "$src" = "$root" ]; then
    tip=" at $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD -- src argutil || echo ' with uncommitted changes')"
fi
echo
echo "$rows rows per file, median of $reps alternated runs; $(nproc) cores"
echo "new: velkor from $src$tip; base: velkor of $baseline"
awk -v big_rows="$big_rows" -v baseline="$baseline" '
function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
function ratio(a, b) { return sprintf("%.2f (%.2f)", w[a] / w[b], c[b] > 0 ? c[a] / c[b] : 0) }
FNR == 1 { file++ }
file == 1 { key = $1 " " $2; wall[key] = wall[key] " " $4; rss[key] = rss[key] " " $5; cpu[key] = cpu[key] " " $6; bytes[$1] = $3 }
file == 2 { bigw[$1 " " $2] = $3 / 1e6; bigm[$1 " " $2] = $4 / 1024 }
END {
    split("4 2 1", layouts, " ")
    split("velkor base ascii baseascii pipe gunzippipe gunzip limit fgets ostream", progs, " ")
    names["velkor"] = "new binary"; names["base"] = "base binary"
    names["ascii"] = "new --ascii"; names["baseascii"] = "base --ascii"
    names["pipe"] = "cat | new"; names["gunzippipe"] = "gunzip -c | new"; names["gunzip"] = "gunzip -c"
    names["limit"] = "limit kernel"; names["fgets"] = "fgets+sscanf"; names["ostream"] = "ostream writer"
    printf "%-7s %-16s %9s %8s %9s %9s\n", "layout", "program", "wall s", "MB/s", "CPU s", "peak MiB"
    for (l = 1; l <= 3; l++) {
        L = layouts[l]
        for (p = 1; p <= 10; p++) {
            k = L " " progs[p]
            if (!(k in wall)) continue
            w[k] = median(wall[k]) / 1e6; m[k] = median(rss[k]) / 1024; c[k] = median(cpu[k])
            printf "-%-6s %-16s %9.3f %8.1f %9.2f %9.1f\n", L, names[progs[p]], w[k], bytes[L] / w[k] / 1e6, c[k], m[k]
        }
    }
    print "\nNew against base: ratios of median wall times and of median CPU times; peak memory (MiB)"
    printf "%-7s %11s %11s %11s %11s %24s\n", "layout", "binary wall", "binary CPU", "ascii wall", "ascii CPU", "peak new/base bin, ascii"
    for (l = 1; l <= 3; l++) {
        L = layouts[l]
        if (baseline == "1c7b104") { gbw = "<= 1"; gbc = L == "4" ? "<= 0.6" : "<= 0.65"; gaw = "<= 1"; gac = L == "4" ? "<= 0.45" : "<= 1" }
        else if (baseline == "0ff4505") { gbw = gbc = "<= 0.5"; gaw = gac = "<= 0.6" }
        else { gbw = gbc = gaw = gac = "<= 1" }
        printf "-%-6s %11s %11s %11s %11s %24s\n", L,
            sprintf("%.2f", w[L " velkor"] / w[L " base"]), sprintf("%.2f", c[L " velkor"] / c[L " base"]),
            sprintf("%.2f", w[L " ascii"] / w[L " baseascii"]), sprintf("%.2f", c[L " ascii"] / c[L " baseascii"]),
            sprintf("%.1f/%.1f, %.1f/%.1f", m[L " velkor"], m[L " base"], m[L " ascii"], m[L " baseascii"])
        printf "%-7s %11s %11s %11s %11s %24s\n", "  goal", gbw, gbc, gaw, gac, "new <= base, <= 32"
    }
    if (("4 pipe") in w) {
        print "\nPipes (-4): velkor reading four.txt from cat against by name, CPU time (wall in brackets);"
        print "gunzip -c four.txt.gz | velkor against gunzip -c alone, wall time (CPU in brackets); peak MiB"
        printf "%-7s %22s %22s %22s\n", "layout", "pipe/file CPU", "gunzip|velkor wall", "peak MiB pipe/gunzip"
        printf "%-7s %22s %22s %22s\n", "goal", "<= 1.2", "<= 1.3", "<= 32 / 32"
        printf "-%-6s %22s %22s %22s\n", "4", sprintf("%.2f (%.2f)", c["4 pipe"] / c["4 velkor"], w["4 pipe"] / w["4 velkor"]),
            ratio("4 gunzippipe", "4 gunzip"), sprintf("%.1f / %.1f", m["4 pipe"], m["4 gunzippipe"])
    }
    if ((L " limit") in w) {
        print "\nAgainst the reference programs: ratios of median wall times (CPU in brackets)"
        printf "%-7s %15s %15s %15s\n", "layout", "velkor/limit", "fgets/velkor", "ostream/ascii"
        for (l = 1; l <= 3; l++) {
            L = layouts[l]
            os = (L " ostream") in w ? ratio(L " ostream", L " ascii") : "-"
            printf "-%-6s %15s %15s %15s\n", L, ratio(L " velkor", L " limit"), ratio(L " fgets", L " velkor"), os
        }
    }
    if (length(bigm) > 0) {
        printf "\n%d rows, one run each: wall s and peak MiB\n", big_rows
        printf "%-7s %22s %22s %22s %22s\n", "layout", "new binary", "new --ascii", "base binary", "base --ascii"
        for (l = 1; l <= 3; l++) {
            L = layouts[l]
            printf "-%-6s", L
            split("velkor ascii base baseascii", bp, " ")
            for (p = 1; p <= 4; p++) printf " %22s", sprintf("%.2f s %8.1f MiB", bigw[L " " bp[p]], bigm[L " " bp[p]])
            printf "\n"
        }
        if (("4 pipe") in bigm)
            printf "-4 from a pipe (cat | new): %.2f s %.1f MiB\n", bigw["4 pipe"], bigm["4 pipe"]
    }
}' "$results" "$big_results"
