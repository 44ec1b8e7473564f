#!/usr/bin/env bash
# Reading and writing speed of velkor against the limit kernel and the
# straightforward reader, in all three input layouts.
#
#   bench/run.sh [ROWS [REPETITIONS]]      (defaults: 4000000 rows, 5 repetitions)
#
# Builds velkor (Release) and the bench programs under a scratch directory
# ($VELKOR_BENCH_DIR, default /tmp/velkor-bench; never inside the
# repository), generates the data there once per row count, then runs the
# programs of each layout alternately, REPETITIONS times, and prints median
# wall time, input MB/s, peak resident memory and the ratios that matter:
#   velkor/limit     binary conversion against the limit kernel     (goal <= 1.25)
#   fgets/velkor     straightforward reader against velkor          (goal >= 3)
#   ascii/binary     velkor --ascii against velkor binary           (goal <= 3)
#   ostream/ascii    reference ostream writer against velkor --ascii (goal >= 3)
#   RSS budget       1.2 x 48 B x rows + 16 MiB                     (goal: peak below it)
# VELKOR_SOURCE names another source tree to build velkor from (to compare
# an older version: git archive REV | tar -x -C DIR).
set -euo pipefail

rows=${1:-4000000}
reps=${2:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${VELKOR_BENCH_DIR:-/tmp/velkor-bench}
case "$scratch" in "$root"|"$root"/*) echo "scratch directory must lie outside the repository" >&2; exit 2;; esac
mkdir -p "$scratch/bin" "$scratch/run"
cxx=${CXX:-c++}

echo "== building (Release)" >&2
src=${VELKOR_SOURCE:-$root}
build="$scratch/build-$(printf '%s' "$src" | cksum | cut -d' ' -f1)"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKOR_TESTS=OFF >/dev/null
cmake --build "$build" --target velkor -j2 >/dev/null
velkor="$build/velkor"
for p in gen limit naive ostream_writer; do
    "$cxx" -std=c++20 -O2 -o "$scratch/bin/$p" "$root/bench/$p.cpp"
done

data="$scratch/data-$rows"
if [ ! -f "$data/done" ]; then
    echo "== generating $rows rows per file into $data" >&2
    mkdir -p "$data"
    "$scratch/bin/gen" "$data" "$rows"
    touch "$data/done"
fi

# Wall time in microseconds, peak RSS in KiB and CPU seconds (user + system)
# of one run; output goes to
# /dev/null, standard error is shown only when a run fails (velkor's output
# file and logfile land in $scratch/run).
measure() {
    local start end rss
    start=$(date +%s%N)
    if ! /usr/bin/time -f "%M %U %S" -o "$scratch/rss" "$@" >/dev/null 2>"$scratch/stderr"; then
        echo "failed: $*" >&2
        cat "$scratch/stderr" >&2
        exit 1
    fi
    end=$(date +%s%N)
    rss=$(tail -n 1 "$scratch/rss")
    echo "$(( (end - start) / 1000 )) $rss" | awk '{ print $1, $2, $3 + $4 }'
}

results="$scratch/results.txt"
: >"$results"
cd "$scratch/run"
for layout in 4 2 1; do
    case $layout in
    4) inputs=("$data/four.txt"); vin=(-4 "$data/four.txt"); bin=(-4 "$data/four.txt") ;;
    2) inputs=("$data/ch1.txt" "$data/ch2.txt" "$data/ch3.txt")
       vin=(-2 "${inputs[@]}"); bin=(-2 "${inputs[@]}") ;;
    1) inputs=("$data/time.txt" "$data/v1.txt" "$data/v2.txt" "$data/v3.txt")
       vin=(-1 -t "${inputs[@]}"); bin=(-1 "${inputs[@]}") ;;
    esac
    bytes=$(cat "${inputs[@]}" | wc -c)
    echo "== layout -$layout: $bytes bytes of input" >&2
    for ((r = 1; r <= reps; r++)); do
        echo "$layout limit $bytes $(measure "$scratch/bin/limit" "${bin[@]}")" >>"$results"
        echo "$layout velkor $bytes $(measure "$velkor" "${vin[@]}" out.avq)" >>"$results"
        echo "$layout ascii $bytes $(measure "$velkor" --ascii "${vin[@]}" out.txt)" >>"$results"
        echo "$layout fgets $bytes $(measure "$scratch/bin/naive" "${bin[@]}")" >>"$results"
        if [ "$layout" = 4 ]; then
            echo "$layout ostream $bytes $(measure "$scratch/bin/ostream_writer" "$data/four.txt" ref.txt)" >>"$results"
        fi
        echo "   repetition $r done" >&2
    done
done
rm -f out.avq out.txt ref.txt

echo
echo "$rows rows per file, median of $reps runs; $(nproc) cores; velkor from $src$( [ "$src" != "$root" ] || echo " at $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD -- src || echo ' with uncommitted changes')")"
awk -v rows="$rows" '
function ratio(a, b) { return sprintf("%.2f (%.2f)", w[a] / w[b], c[b] > 0 ? c[a] / c[b] : 0) }
function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
{ key = $1 " " $2; wall[key] = wall[key] " " $4; rss[key] = rss[key] " " $5; cpu[key] = cpu[key] " " $6; bytes[$1] = $3 }
END {
    budget = (1.2 * 48 * rows + 16 * 1048576) / 1048576
    printf "%-7s %-16s %9s %8s %9s %9s\n", "layout", "program", "wall s", "MB/s", "CPU s", "peak MiB"
    split("4 2 1", layouts, " ")
    split("limit velkor ascii fgets ostream", progs, " ")
    names["limit"] = "limit kernel"; names["velkor"] = "velkor binary"; names["ascii"] = "velkor --ascii"
    names["fgets"] = "fgets+sscanf"; names["ostream"] = "ostream writer"
    for (l = 1; l <= 3; l++) {
        L = layouts[l]
        for (p = 1; p <= 5; p++) {
            k = L " " progs[p]
            if (!(k in wall)) continue
            w[k] = median(wall[k]) / 1e6; m[k] = median(rss[k]) / 1024; c[k] = median(cpu[k])
            printf "-%-6s %-16s %9.3f %8.1f %9.2f %9.1f\n", L, names[progs[p]], w[k], bytes[L] / w[k] / 1e6, c[k], m[k]
        }
    }
    print "\nRatios of median wall times (of median CPU times in brackets)"
    printf "%-7s %15s %15s %15s %15s %22s\n", "layout", "velkor/limit", "fgets/velkor", "ascii/binary", "ostream/ascii", "velkor bin/ascii MiB"
    printf "%-7s %15s %15s %15s %15s %22s\n", "goal", "<= 1.25", ">= 3", "<= 3", ">= 3", sprintf("<= %.1f", budget)
    for (l = 1; l <= 3; l++) {
        L = layouts[l]
        os = (L " ostream") in w ? ratio(L " ostream", L " ascii") : "-"
        printf "-%-6s %15s %15s %15s %15s %22s\n", L, ratio(L " velkor", L " limit"),
            ratio(L " fgets", L " velkor"), ratio(L " ascii", L " velkor"), os,
            sprintf("%.1f / %.1f", m[L " velkor"], m[L " ascii"])
    }
}' "$results"
