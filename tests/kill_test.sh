#!/usr/bin/env bash
# kill_test.sh BIN_DIR: kills reqpack and payrise with SIGKILL at random moments of a
# large run and checks that the previous output survives whole or the new one stands
# complete: an interrupted run never leaves a torn file.
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
kills=${KILL_TEST_KILLS:-5}
previous='previous output, never to be cut'
failures=0
torn_checks=0

# race PROGRAM INPUT_NAME OUTPUT GENERATOR_KIND COUNT
race() {
  local program=$1 input=$2 output=$3 kind=$4 count=$5
  local dir=$work/$program
  mkdir -p "$dir"
  "$bin/bench_gen" "$kind" "$count" >"$dir/$input"
  # The complete output, and how long a whole run takes.
  local start end
  start=$(date +%s%N)
  (cd "$dir" && "$bin/$program" >/dev/null)
  end=$(date +%s%N)
  mv "$dir/$output" "$work/$program.complete"
  local micros=$(((end - start) / 1000))
  local k delay status killed=0
  for ((k = 0; k < kills; k++)); do
    printf '%s\n' "$previous" >"$dir/$output"
    delay=$((RANDOM * RANDOM % (micros + 1)))
    (cd "$dir" && exec "$bin/$program" >/dev/null) &
    local pid=$!
    sleep "$(printf '0.%06d' "$delay")"
    kill -9 "$pid" 2>/dev/null || true
    status=0
    wait "$pid" 2>/dev/null || status=$?
    [ "$status" = 137 ] && killed=$((killed + 1))
    torn_checks=$((torn_checks + 1))
    if ! cmp -s "$dir/$output" "$work/$program.complete" && [ "$(cat "$dir/$output")" != "$previous" ]; then
      echo "FAIL: $program killed after ${delay} us (status $status): $output is torn ($(stat -c %s "$dir/$output") bytes)"
      failures=$((failures + 1))
    fi
  done
  echo "$program: $kills kills within a run of $((micros / 1000)) ms, $killed of them before it ended"
}

race reqpack input.txt Records.bin requests 1000000
race payrise input1.txt binary_f.bin staff 1000000
echo "$torn_checks interrupted runs, $failures torn outputs"
[ "$failures" = 0 ]
