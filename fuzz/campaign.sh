#!/usr/bin/env bash
# The campaign of `make fuzz`: each target of fuzz/targets.txt runs until it has executed
# FUZZ_RUNS inputs (10 million by default), in two processes that share one corpus
# (build/fuzz/corpus/<name>, grown from the seeds in fuzz/corpus/<name>), each pinned to a
# processor of its own.
# FUZZ_SECONDS=N stops each target after N seconds of this run; the campaign is resumable:
# build/fuzz/ledger/<name> keeps one line per run (date, commit, executions, seconds), and a
# later run goes on, from the grown corpus, until the ledger reaches FUZZ_RUNS (FUZZ_RESET=1
# starts the ledger afresh). Prints each target's executions and rate in this run and its
# total; findings land in build/fuzz/findings, each worker's log in build/fuzz/logs.
# `fuzz/campaign.sh NAME...` runs only those targets. An interrupt (Ctrl-C) stops the workers,
# still records what they ran, and ends the campaign. Exits non-zero when a target had a
# finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
runs=${FUZZ_RUNS:-10000000}
seconds=${FUZZ_SECONDS:-0}  # 0: no limit
workers=2
processors=$(nproc)
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
# Allocation stacks off: a fifth of every input's time. A finding replays with them.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0}
mkdir -p "$build/findings" "$build/logs" "$build/ledger"
[[ ${FUZZ_RESET:-0} == 1 ]] && rm -f "$build"/ledger/*

ledger_total() { awk '{sum += $3} END {print sum + 0}' "$build/ledger/$1" 2>/dev/null || echo 0; }

# libFuzzer's exit code when it was interrupted.
interrupted_code=72
found=0
stop=0
pids=()
trap 'stop=1; kill -INT "${pids[@]}" 2>/dev/null || true' INT TERM
printf '%-14s %12s %9s %9s %14s\n' target executions seconds execs/s "ledger total"
while ((stop == 0)) && read -r name max_len _; do
  [[ -z $name || $name == \#* ]] && continue
  if (($# > 0)) && [[ " $* " != *" $name "* ]]; then continue; fi
  remaining=$((runs - $(ledger_total "$name")))
  if ((remaining <= 0)); then
    printf '%-14s %12s %9s %9s %14d\n' "$name" - - - "$(ledger_total "$name")"
    continue
  fi
  mkdir -p "$build/corpus/$name"
  start=$(date +%s)
  pids=()
  for worker in $(seq 1 $workers); do
    taskset -c $(((worker - 1) % processors)) \
      "$build/fuzz_$name" -runs=$(((remaining + workers - 1) / workers)) -seed="$RANDOM$worker" -max_len="$max_len" \
      -len_control=0 -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/$name-" \
      "$build/corpus/$name" "$root/fuzz/corpus/$name" >"$build/logs/$name.$worker" 2>&1 &
    pids+=($!)
  done
  status=ok
  for pid in "${pids[@]}"; do
    # An interrupt ends the wait early; the worker, interrupted too, is waited for again.
    while :; do
      code=0
      wait "$pid" || code=$?
      ((code > 128 && stop == 1)) && kill -0 "$pid" 2>/dev/null && continue
      break
    done
    if ((code == interrupted_code)); then stop=1; elif ((code != 0)); then status=finding; fi
  done
  took=$(($(date +%s) - start))
  executed=$(awk '/stat::number_of_executed_units/ {sum += $2} END {print sum + 0}' "$build/logs/$name".*)
  echo "$(date -u +%FT%TZ) $commit $executed $took" >>"$build/ledger/$name"
  printf '%-14s %12d %9d %9d %14d %s\n' "$name" "$executed" "$took" $((executed / (took > 0 ? took : 1))) \
    "$(ledger_total "$name")" "$([[ $status == ok ]] && echo "" || echo "FINDING: see $build/logs/$name.*")"
  [[ $status == ok ]] || found=1
done <"$root/fuzz/targets.txt"
exit $found
