#!/bin/bash
# Runs inside the benchmark's private /dev/ttyS0. Times each candidate in
# interleaved rounds and prints one line per candidate and round:
#   ROUND NAME RUNS START END        (START and END in seconds, $EPOCHREALTIME)
# usage: update_bench.sh ROUNDS RUNS NOOP_STATIC NOOP_DYNAMIC DUALROW DUALROW_STATIC RECIPE_PY
set -u
rounds=$1 runs=$2 noop_static=$3 noop_dynamic=$4 dualrow=$5 dualrow_static=$6 recipe_py=$7

# shellcheck source=bench/recipe.sh
source "$(dirname "$0")/recipe.sh"

measure() {
  local name=$1 n=$2 i start end
  shift 2
  start=$EPOCHREALTIME
  for ((i = 0; i < n; i++)); do "$@" >/dev/null || exit 1; done
  end=$EPOCHREALTIME
  echo "$round $name $n $start $end"
}

for ((round = 1; round <= rounds; round++)); do
  measure noop_static "$runs" "$noop_static"
  measure noop_dynamic "$runs" "$noop_dynamic"
  measure dualrow_static "$runs" "$dualrow_static" Hello World
  measure dualrow "$runs" "$dualrow" Hello World
  measure shell_recipe "$runs" recipe
  measure python3 $(((runs + 9) / 10)) /usr/bin/python3 "$recipe_py"
done
