#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, two at a time, each from its
# committed seed corpus (new inputs go to a scratch corpus, never into the
# repository). Prints one line per target with its executions and exits
# non-zero if any target found a fault; crash inputs and logs are kept in
# the artifact directory.
#
# usage: fuzz/run.sh [build-dir [seconds [artifact-dir]]]
#   build-dir     the fuzz preset's build directory (default build/fuzz)
#   seconds       fuzzing time per target (default 30)
#   artifact-dir  where crash inputs and logs go (default BUILD/fuzz-artifacts)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build/fuzz}" && pwd)"
seconds="${2:-30}"
art="${3:-$build/fuzz-artifacts}"
mkdir -p "$art"
art="$(cd "$art" && pwd)"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/velkor-fuzz-run-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch" # the targets' own temporary directories go here too

targets=(numscan convert argfile logline)
declare -A max_len=([numscan]=256 [convert]=49152 [argfile]=8192 [logline]=1024)
# Groups of more than one 512-row block need inputs of several kilobytes from
# the start, not after libFuzzer's slow growth of the input length.
declare -A extra=([numscan]="" [convert]="-len_control=0" [argfile]="" [logline]="")

run_one() {
    local t="$1" bin="$build/fuzz/fuzz_$1"
    mkdir -p "$scratch/corpus-$t"
    # -timeout: one input taking this long counts as a hang.
    "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len="${max_len[$t]}" ${extra[$t]} \
        -print_final_stats=1 -artifact_prefix="$art/$t-" \
        "$scratch/corpus-$t" "$here/corpus/$t" >"$art/$t.log" 2>&1
}

status=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
    pids=()
    for t in "${targets[@]:i:2}"; do
        run_one "$t" &
        pids+=("$!")
    done
    j=0
    for t in "${targets[@]:i:2}"; do
        if wait "${pids[$j]}"; then result=ok; else result=FAILED; status=1; fi
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$art/$t.log")
        corpus=$(ls "$scratch/corpus-$t" | wc -l)
        echo "fuzz_$t: $result, ${execs:-?} executions in ${seconds} s, $corpus new corpus inputs"
        if [ "$result" != ok ]; then
            grep -E -m5 'FUZZ FINDING|ERROR:|SUMMARY|Test unit written' "$art/$t.log" | sed 's/^/    /'
        fi
        j=$((j + 1))
    done
done
exit $status
