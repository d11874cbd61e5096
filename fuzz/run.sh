#!/bin/sh
# Runs each fuzz target for a bounded time and keeps what it found, for `make fuzz`:
#   fuzz/run.sh <build dir> <seconds per target> <target>...
# Inputs are read from tests/fuzz/corpus/<target>/; afterwards that corpus is minimised to the
# smallest set of files that still reaches all the code it reached, the hand-written seed-*
# files always kept. A crash is written to tests/fuzz/crashes/<target>/. The exit status is 1
# when any target crashed.
set -u
build=$(cd "$1" && pwd)
seconds=$2
shift 2
source=$(cd "$(dirname "$0")/.." && pwd)
# The targets write their files many times a second; memory spares the disk and runs faster.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    TMPDIR=/dev/shm
    export TMPDIR
fi

failed=""
for target in "$@"; do
    program=$build/fuzz/$target
    kept=$source/tests/fuzz/corpus/$target
    crashes=$source/tests/fuzz/crashes/$target
    found=$build/found/$target
    merged=$build/merged/$target
    mkdir -p "$kept" "$crashes" "$found"
    echo "== $target: $seconds s"
    if ! "$program" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
            -dict="$source/fuzz/$target.dict" -artifact_prefix="$crashes/" "$found" "$kept"; then
        failed="$failed $target"
        continue
    fi
    rm -rf "$merged"
    mkdir -p "$merged"
    if ! "$program" -set_cover_merge=1 -timeout=30 -artifact_prefix="$crashes/" \
            "$merged" "$kept" "$found" 2>"$build/merge-$target.log"; then
        echo "merging the corpus of $target failed, see $build/merge-$target.log"
        failed="$failed $target"
        continue
    fi
    seeds=$(for seed in "$kept"/seed-*; do [ -f "$seed" ] && sha1sum <"$seed" | cut -c1-40; done)
    find "$kept" -maxdepth 1 -type f ! -name 'seed-*' -delete
    for file in "$merged"/*; do
        [ -f "$file" ] || continue
        echo "$seeds" | grep -qx "$(basename "$file")" || cp "$file" "$kept/"
    done
    echo "== $target: $(ls "$kept" | wc -l) files kept in tests/fuzz/corpus/$target"
done
if [ -n "$failed" ]; then
    echo "Fuzzing found crashes in:$failed (see tests/fuzz/crashes/)"
    exit 1
fi
