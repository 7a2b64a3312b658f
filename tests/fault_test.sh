#!/usr/bin/env bash
# fault_test.sh BIN_DIR: fails each file call of a small run of every program in turn,
# with strace's fault injection, and checks what a user is promised: the run either
# fails with status 1 and a message, or succeeds with exactly the bytes of a run without
# the fault; the previous output is intact or wholly replaced, never cut; the inputs
# are untouched; no temporary file is left behind.
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

command -v strace >/dev/null || { echo "strace is missing (Debian package strace)"; exit 1; }

# The calls to fail, and the first call the program itself makes: start-up asks whether
# descriptor 0 is open. Calls before it belong to the loader.
calls=(openat read write close fsync rename renameat renameat2 stat lstat fstat newfstatat statx readlinkat linkat ioctl
       fchown fchmod flistxattr fremovexattr)
# A failed sync, rename or link of an output is never covered by a fallback: when one was
# injected, the run must fail.
must_fail='^(fsync|rename|renameat|renameat2|linkat)$'
marker='fcntl(0, F_GETFD'
previous='previous output, never to be cut'

runs=0
failed_runs=0
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# prepare DIR INPUTS OUTPUT...: the inputs and a previous version of each output.
prepare() {
  local dir=$1 inputs=$2
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -r "$inputs"/. "$dir"/
  local out
  for out in "$@"; do
    printf '%s\n' "$previous" >"$dir/$out"
  done
}

# check PROGRAM INPUTS CLEAN DIR STATUS WHAT OUTPUT...: one faulted run against the clean one.
check() {
  local program=$1 inputs=$2 clean=$3 dir=$4 status=$5 what=$6 out
  shift 6
  runs=$((runs + 1))
  case $status in
    0)
      cmp -s "$dir.out" "$clean.out" || fail "$what: status 0 but standard output differs"
      for out in "$@"; do
        cmp -s "$dir/$out" "$clean/$out" || fail "$what: status 0 but $out differs"
      done
      ;;
    1)
      failed_runs=$((failed_runs + 1))
      # A message that could not be written fails the run, with nothing more said.
      [ -s "$dir.trace" ] && grep -q '^write(2,.*(INJECTED)$' "$dir.trace" ||
        grep -q "^$program: " "$dir.err" || fail "$what: status 1 without a message: $(cat "$dir.err")"
      ;;
    *) fail "$what: status $status" ;;
  esac
  for out in "$@"; do
    if ! cmp -s "$dir/$out" "$clean/$out" && [ "$(cat "$dir/$out")" != "$previous" ]; then
      fail "$what: $out is neither the previous nor the new output"
    fi
  done
  local name
  for name in $(ls "$inputs"); do
    cmp -s "$dir/$name" "$inputs/$name" || fail "$what: input $name changed"
  done
  local expected found
  expected=$( (ls -A "$inputs"; [ $# -eq 0 ] || printf '%s\n' "$@") | sort -u)
  found=$(ls -A "$dir" | sort)
  [ "$expected" = "$found" ] || fail "$what: files left: $(comm -13 <(echo "$expected") <(echo "$found") | tr '\n' ' ')"
}

# scenario PROGRAM INPUTS "OUTPUT..." [ARGS...]
scenario() {
  local program=$1 inputs=$2 outputs=($3)
  shift 3
  local base clean status
  base=$(mktemp -d "$work/$program.XXXX")
  clean=$base/clean
  prepare "$clean" "$inputs" "${outputs[@]}"
  status=0
  (cd "$clean" && "$bin/$program" "$@" >"$clean.out" 2>"$clean.err") || status=$?
  [ "$status" = 0 ] || { fail "$program: the run without faults ended with $status"; return; }

  # Run with standard input and output closed, no output file may take their place: a
  # run that prints nothing still succeeds with the clean run's outputs; one that prints
  # fails with the message of coreutils and keeps every previous output.
  local dir=$base/closed what="$program: closed standard descriptors" out
  prepare "$dir" "$inputs" "${outputs[@]}"
  status=0
  (cd "$dir" && "$bin/$program" "$@" <&- >&- 2>"$dir.err") || status=$?
  : >"$dir.out"
  if [ -s "$clean.out" ]; then
    [ "$status" = 1 ] || fail "$what: status $status, not 1, though standard output is closed"
    [ "$(cat "$dir.err")" = "$program: standard output: Bad file descriptor" ] ||
      fail "$what: says '$(cat "$dir.err")'"
    for out in "${outputs[@]}"; do
      [ "$(cat "$dir/$out")" = "$previous" ] || fail "$what: $out was replaced by a failed run"
    done
  else
    [ "$status" = 0 ] || fail "$what: status $status, though nothing is printed"
  fi
  check "$program" "$inputs" "$clean" "$dir" "$status" "$what" "${outputs[@]}"

  local trace=$base/trace
  prepare "$base/count" "$inputs" "${outputs[@]}"
  (cd "$base/count" && strace -qq -o "$trace" -e trace="fcntl,$(IFS=,; echo "${calls[*]}")" \
    "$bin/$program" "$@" >/dev/null 2>&1)
  local start
  start=$(grep -n -m1 -F "$marker" "$trace" | cut -d: -f1 || true)
  [ -n "$start" ] || { fail "$program: start-up marker not found in the trace"; return; }

  # Each new output is synced before the first rename puts one in place.
  if [ ${#outputs[@]} -gt 0 ]; then
    local renamed synced
    renamed=$(grep -n -m1 -E '^rename(at2?)?\(' "$trace" | cut -d: -f1 || true)
    synced=$(head -n "${renamed:-0}" "$trace" | grep -c '^fsync(' || true)
    [ -n "$renamed" ] && [ "$synced" -ge ${#outputs[@]} ] ||
      fail "$program: $synced fsync calls before the first rename, for ${#outputs[@]} outputs"
  fi

  local call before total k error
  for call in "${calls[@]}"; do
    before=$(head -n "$start" "$trace" | grep -c "^$call(" || true)
    total=$(grep -c "^$call(" "$trace" || true)
    for ((k = before + 1; k <= total; k++)); do
      for error in EIO ENOSPC; do
        [ "$error" = ENOSPC ] && [[ $call != write && $call != fsync && $call != close ]] && continue
        dir=$base/run
        prepare "$dir" "$inputs" "${outputs[@]}"
        status=0
        (cd "$dir" && strace -qq -o "$dir.trace" -e trace="$call" -e inject="$call:error=$error:when=$k" \
          "$bin/$program" "$@" >"$dir.out" 2>"$dir.err") || status=$?
        if [[ $call =~ $must_fail ]] && grep -q INJECTED "$dir.trace" && [ "$status" != 1 ]; then
          fail "$program: $call #$k fails with $error: injected, yet status $status"
        fi
        check "$program" "$inputs" "$clean" "$dir" "$status" "$program: $call #$k fails with $error" "${outputs[@]}"
      done
    done
  done
}

mkdir -p "$work/in/slotplan" "$work/in/reqpack" "$work/in/payrise"
printf '1 2 Ann Lee A\n3 4 Bob Ray B\n' >"$work/in/slotplan/People.txt"
printf '1 2 2025 3 14 10:30\n3 4 2025 3 12 9:00\n5 6 2025 3 14 10:30\n' >"$work/in/slotplan/AppointmentReqs.txt"
printf '1 100 9\n2 101 10\n3 102 11\n' >"$work/in/reqpack/input.txt"
printf 'I Ann Lee,Sales,Oslo,Clerk,2000\nE Bob Ray,3000,a\nx skipped\n' >"$work/in/payrise/input1.txt"

scenario slotplan "$work/in/slotplan" "Appointments.txt"
scenario reqpack "$work/in/reqpack" "Records.bin"
scenario payrise "$work/in/payrise" "binary_f.bin"

# The binary outputs read back: --export replaces two files, --print writes none.
mkdir -p "$work/in/export" "$work/in/print"
(cd "$work/in/reqpack" && "$bin/reqpack" -r "$work/in/export/Records.bin" >/dev/null)
(cd "$work/in/payrise" && "$bin/payrise" && mv binary_f.bin "$work/in/print/")
scenario reqpack "$work/in/export" "Records.xml Parameters.txt" --export -s 8
scenario reqpack "$work/in/export" "" --print
scenario payrise "$work/in/print" "" --print

echo "$runs faulted runs ($failed_runs of them reported a failure), $failures failures"
# A fault that no run notices means the faults were not injected at all.
[ "$failed_runs" -gt 0 ] || { echo "no faulted run failed: were the faults injected?"; exit 1; }
[ "$failures" = 0 ]
