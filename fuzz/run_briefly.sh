#!/usr/bin/env bash
# One fuzz target for `make test`: its seeds, then RUNS inputs from a fixed seed, with new
# inputs kept in a scratch corpus made fresh each time (libFuzzer writes to its first corpus
# directory; the seeds in the tree stay as they are).
# run_briefly.sh FUZZER SCRATCH_DIR SEED_DIR RUNS MAX_LEN
set -euo pipefail
fuzzer=$1 scratch=$2 seeds=$3 runs=$4 max_len=$5
rm -rf "$scratch"
mkdir -p "$scratch"
exec "$fuzzer" -runs="$runs" -seed=1 -max_len="$max_len" -len_control=0 -artifact_prefix="$scratch/" "$scratch" "$seeds"
