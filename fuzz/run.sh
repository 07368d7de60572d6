#!/usr/bin/env bash
# Runs every fuzz target of a build over its seeds, then for SECONDS more when the targets are
# libFuzzer binaries:  fuzz/run.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$1
seconds=${2:-0}
seeds="$build/fuzz/seeds"
corpus="$build/fuzz/corpus"
regressions="$(dirname "$0")/regressions"  # inputs that once failed, kept for good
"$build/fuzz/tarn_make_seeds" "$seeds" >/dev/null

# Fuzzing must not fill the user's colour-table folder.
export TARN_CACHE_DIR=

# One target: its summary on stdout, its failure's log tail too; the exit status says whether
# it found anything.
run_target() {
    local target=$1 binary="$build/fuzz/tarn_fuzz_$1" status=0
    mkdir -p "$corpus/$target" "$regressions/$target"
    if "$binary" -help=1 >/dev/null 2>&1; then
        # libFuzzer: seeds first, then mutations for the time given; findings land in the build.
        args=(-rss_limit_mb=4096 -max_len=262144 -timeout=20 -print_final_stats=1 -close_fd_mask=2
              -artifact_prefix="$build/fuzz/crash-$target-")
        if [ "$seconds" -gt 0 ]; then args+=(-max_total_time="$seconds"); else args+=(-runs=0); fi
        "$binary" "${args[@]}" "$corpus/$target" "$seeds/$target" "$regressions/$target" \
            2>"$build/fuzz/$target.log" \
            || { status=1; tail -40 "$build/fuzz/$target.log"; }
        grep -E 'stat::number_of_executed_units|Done' "$build/fuzz/$target.log" | sed "s/^/$target: /" || true
    else
        "$binary" "$seeds/$target" "$corpus/$target" "$regressions/$target" | sed "s/^/$target: /" \
            || status=1
    fi
    return $status
}

# The targets share the machine's processors (FUZZ_JOBS at once, every processor by default);
# each one's output is printed whole when it ends.
jobs=${FUZZ_JOBS:-$(nproc)}
targets=(open tiles bmp jpeg hevc)
pids=()
for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.2; done
    run_target "$target" >"$build/fuzz/$target.out" 2>&1 &
    pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
    wait "${pids[$i]}" || status=1
    cat "$build/fuzz/${targets[$i]}.out"
done
exit $status
