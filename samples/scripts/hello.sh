#!/bin/bash
# hello: the quickest round trip. Greets whoever JOB_ARGS names and writes hello.txt into the job
# directory, which the client downloads with the output pattern "hello.txt".
#SBATCH --time=5
set -eu
name=${JOB_ARGS:-world}
echo "Hello, $name, from $(hostname) (Slurm job ${SLURM_JOB_ID:-?})"
{
    echo "Hello, $name!"
    echo "host: $(hostname)"
    echo "slurm job: ${SLURM_JOB_ID:-?}"
    echo "directory: $(pwd)"
    echo "date: $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
} > hello.txt
echo "wrote hello.txt"
