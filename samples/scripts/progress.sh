#!/bin/bash
# progress: runs for a minute (or for the number of seconds in JOB_ARGS) and prints one progress
# line every few seconds, to follow a running job live through the job's output.
#SBATCH --time=15
set -eu
seconds=${JOB_ARGS:-60}
case "$seconds" in '' | *[!0-9]*) echo "JOB_ARGS must be a number of seconds, not '$seconds'"; exit 2 ;; esac
steps=10
echo "progress: working for $seconds s on $(hostname)"
for i in $(seq 1 $steps); do
    sleep "$(awk -v s="$seconds" -v n=$steps 'BEGIN { printf "%.2f", s / n }')"
    echo "progress: $((i * 100 / steps))% ($i/$steps)"
done
echo "progress: done" | tee progress.txt
