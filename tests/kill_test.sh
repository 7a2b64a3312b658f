#!/usr/bin/env bash
# kill_test.sh BIN_DIR: kills reqpack and payrise with SIGKILL at random moments of a
# large run and checks that the previous output survives whole or the new one stands
# complete: an interrupted run never leaves a torn file. Only what is read back from the
# output decides, and each run's output is named as it was found; a busy machine only
# moves the moments.
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
kills=${KILL_TEST_KILLS:-5}
previous='previous output, never to be cut'
torn=0
interrupted=0
never_landed=0

# A kill that comes after the run ended tests nothing: it is tried again, at most this
# many times, each time sooner than the kill that came late.
tries=${KILL_TEST_TRIES:-8}

# found FILE COMPLETE: what stands at FILE, in a word: new, previous, missing, or torn.
found() {
  if [ ! -e "$1" ]; then
    echo missing
  elif cmp -s "$1" "$2"; then
    echo new
  elif [ "$(cat "$1")" = "$previous" ]; then
    echo previous
  else
    echo torn
  fi
}

# race PROGRAM INPUT_NAME OUTPUT GENERATOR_KIND COUNT
race() {
  local program=$1 input=$2 output=$3 kind=$4 count=$5
  local dir=$work/$program complete=$work/$program.complete
  mkdir -p "$dir"
  "$bin/bench_gen" "$kind" "$count" >"$dir/$input"
  # The complete output, and how long a whole run takes.
  local start end
  start=$(date +%s%N)
  (cd "$dir" && "$bin/$program" >/dev/null)
  end=$(date +%s%N)
  mv "$dir/$output" "$complete"
  local bound=$(((end - start) / 1000))
  local k try delay status pid what landed=0 late=0 seen=""
  for ((k = 0; k < kills; k++)); do
    for ((try = 1; ; try++)); do
      printf '%s\n' "$previous" >"$dir/$output"
      delay=$((RANDOM * RANDOM % (bound + 1)))
      (cd "$dir" && exec "$bin/$program" >/dev/null) &
      pid=$!
      sleep "$(printf '0.%06d' "$delay")"
      kill -9 "$pid" 2>/dev/null || true
      status=0
      wait "$pid" 2>/dev/null || status=$?
      interrupted=$((interrupted + 1))
      what=$(found "$dir/$output" "$complete")
      seen+=" $what"
      if [ "$what" = torn ] || [ "$what" = missing ]; then
        echo "FAIL: $program killed after ${delay} us (status $status): $output is $what:" \
          "$(stat -c %s "$dir/$output" 2>/dev/null || echo no) bytes;" \
          "$(cmp "$dir/$output" "$complete" 2>&1 | head -n 1)"
        torn=$((torn + 1))
      fi
      if [ "$status" = 137 ]; then
        landed=$((landed + 1))
        break
      fi
      late=$((late + 1))
      bound=$delay
      if [ "$try" -ge "$tries" ]; then
        echo "FAIL: $program: $tries kills in a row came after the run had ended, the last after $delay us"
        never_landed=$((never_landed + 1))
        break
      fi
    done
  done
  echo "$program: $landed kills landed within a run of $(((end - start) / 1000000)) ms;" \
    "$late more came after its end and were tried again, sooner; $output read back:$seen"
}

race reqpack input.txt Records.bin requests 1000000
race payrise input1.txt binary_f.bin staff 1000000
echo "$interrupted interrupted runs, $torn torn or missing outputs"
[ "$torn" = 0 ] && [ "$never_landed" = 0 ]
