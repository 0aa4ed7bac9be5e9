#!/usr/bin/env bash
# Runs the descriptor fuzzer for longer than `make test` does: fuzz/run.sh [SECONDS] (600 by
# default). Needs the host tree (make build); new inputs accumulate in build/fuzz/corpus,
# findings land in the current directory as crash-* files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
cmake --build "$root/build" --target fuzzers
"$root/fuzz/make_corpus.sh" "$root/build/fuzz" "$root/build/fuzz/seeds" "$root"/profiles/*.profile
mkdir -p "$root/build/fuzz/corpus"
exec "$root/build/fuzz/fuzz_descriptors" -max_total_time="$seconds" -max_len=4200 -print_final_stats=1 \
  "$root/build/fuzz/corpus" "$root/build/fuzz/seeds"
