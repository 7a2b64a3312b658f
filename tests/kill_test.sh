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

# A kill that comes after the run ended tests nothing: such a try is made again, up to
# this many times, and a kill that never lands mid-run fails the test.
tries=${KILL_TEST_TRIES:-8}

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
  local k try delay status pid landed=0 late=0
  for ((k = 0; k < kills; k++)); do
    for ((try = 1; ; try++)); do
      printf '%s\n' "$previous" >"$dir/$output"
      delay=$((RANDOM * RANDOM % (micros + 1)))
      (cd "$dir" && exec "$bin/$program" >/dev/null) &
      pid=$!
      sleep "$(printf '0.%06d' "$delay")"
      kill -9 "$pid" 2>/dev/null || true
      status=0
      wait "$pid" 2>/dev/null || status=$?
      torn_checks=$((torn_checks + 1))
      if ! cmp -s "$dir/$output" "$work/$program.complete" && [ "$(cat "$dir/$output")" != "$previous" ]; then
        echo "FAIL: $program killed after ${delay} us (status $status): $output is torn ($(stat -c %s "$dir/$output") bytes)"
        failures=$((failures + 1))
      fi
      if [ "$status" = 137 ]; then
        landed=$((landed + 1))
        break
      fi
      late=$((late + 1))
      if [ "$try" -ge "$tries" ]; then
        echo "FAIL: $program: $tries kills in a row came after the run had ended (status $status)"
        failures=$((failures + 1))
        break
      fi
    done
  done
  echo "$program: $landed kills landed within a run of $((micros / 1000)) ms; $late more came after its end and were tried again"
}

race reqpack input.txt Records.bin requests 1000000
race payrise input1.txt binary_f.bin staff 1000000
echo "$torn_checks interrupted runs, $failures torn outputs"
[ "$failures" = 0 ]
