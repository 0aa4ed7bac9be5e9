#!/usr/bin/env bash
# The campaign of `make fuzz`: each target of fuzz/targets.txt runs until it has executed
# FUZZ_RUNS inputs (10 million by default), in two processes that share one corpus
# (build/fuzz/corpus/<name>, grown from the seeds in fuzz/corpus/<name>). Prints each
# target's executions, time and executions per second; findings land in build/fuzz/findings,
# each worker's log in build/fuzz/logs. `fuzz/campaign.sh NAME...` runs only those targets;
# FUZZ_SECONDS=N stops each target after N seconds even if it has not run FUZZ_RUNS inputs.
# Exits non-zero when a target had a finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
runs=${FUZZ_RUNS:-10000000}
seconds=${FUZZ_SECONDS:-0}  # 0: no limit
workers=2
mkdir -p "$build/findings" "$build/logs"

found=0
total=0
printf '%-14s %12s %9s %10s\n' target executions seconds execs/s
while read -r name max_len _; do
  [[ -z $name || $name == \#* ]] && continue
  if (($# > 0)) && [[ " $* " != *" $name "* ]]; then continue; fi
  mkdir -p "$build/corpus/$name"
  start=$(date +%s)
  pids=()
  for worker in $(seq 1 $workers); do
    "$build/fuzz_$name" -runs=$(((runs + workers - 1) / workers)) -seed="$worker" -max_len="$max_len" -len_control=0 \
      -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/$name-" \
      "$build/corpus/$name" "$root/fuzz/corpus/$name" >"$build/logs/$name.$worker" 2>&1 &
    pids+=($!)
  done
  status=ok
  for pid in "${pids[@]}"; do wait "$pid" || status=finding; done
  took=$(($(date +%s) - start))
  executed=$(awk '/stat::number_of_executed_units/ {sum += $2} END {print sum + 0}' "$build/logs/$name".*)
  total=$((total + executed))
  printf '%-14s %12d %9d %10d %s\n' "$name" "$executed" "$took" $((executed / (took > 0 ? took : 1))) \
    "$([[ $status == ok ]] && echo "" || echo "FINDING: see $build/logs/$name.*")"
  [[ $status == ok ]] || found=1
done <"$root/fuzz/targets.txt"
printf '%-14s %12d\n' total "$total"
exit $found
