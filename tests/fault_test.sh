#!/usr/bin/env bash
# fault_test.sh BIN_DIR [SCENARIO...]: fails each file call of a small run of a program in
# turn, with strace's fault injection, and checks what a user is promised: the run either
# fails with status 1 and a message, or succeeds with exactly the bytes of a run without
# the fault; the previous output is intact or wholly replaced, never cut; the inputs
# are untouched; no temporary file is left behind. The scenarios (all by default) are
# slotplan, reqpack, payrise, reqpack-export, reqpack-print and payrise-print; each is a
# test of its own in `make check-faults`, so that they run side by side.
set -euo pipefail
bin=$(cd "$1" && pwd)
shift
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

# has_line FILE PATTERN: a line of FILE matches the glob PATTERN. Each faulted run is
# checked by bash itself as far as it can be: starting a process costs more than the run.
has_line() {
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    [[ $line == $2 ]] && return 0
  done <"$1"
  return 1
}

# prepare DIR INPUTS OUTPUT...: the inputs and a previous version of each output.
prepare() {
  local dir=$1 inputs=$2
  shift 2
  cp -r "$inputs" "$dir"
  local out
  for out in "$@"; do
    printf '%s\n' "$previous" >"$dir/$out"
  done
}

# check PROGRAM CLEAN PREPARED DIR STATUS WHAT OUTPUT...: one faulted run in DIR, against
# the clean run when it succeeded and the prepared folder when it failed.
check() {
  local program=$1 clean=$2 prepared=$3 dir=$4 status=$5 what=$6 reference line name
  shift 6
  runs=$((runs + 1))
  case $status in
    0)
      reference=$clean
      cmp -s "$dir.out" "$clean.out" || fail "$what: status 0 but standard output differs"
      ;;
    1)
      reference=$prepared
      failed_runs=$((failed_runs + 1))
      # A message that could not be written fails the run, with nothing more said.
      [ -s "$dir.trace" ] && has_line "$dir.trace" 'write(2,*[(]INJECTED[)]' ||
        has_line "$dir.err" "$program: *" || fail "$what: status 1 without a message: $(cat "$dir.err")"
      ;;
    *)
      fail "$what: status $status"
      return
      ;;
  esac
  # One diff finds every file that changed, appeared or went.
  while IFS= read -r line; do
    case $line in
      # What the run cannot prove its own (the old file, unseen after a failed look) may
      # stay, named on standard error.
      "Only in $dir: "*)
        has_line "$dir.err" "*is left beside it as ${line#*: }*" || fail "$what: file left: ${line#*: }"
        ;;
      "Only in $reference: "*) fail "$what: ${line#*: } is gone" ;;
      "Files $reference/"*)
        name=${line#"Files $reference/"}
        name=${name%% and *}
        if [[ " $* " != *" $name "* ]]; then
          fail "$what: input $name changed"
        elif [ "$status" = 0 ]; then
          fail "$what: status 0 but $name differs"
        elif ! cmp -s "$dir/$name" "$clean/$name"; then
          fail "$what: $name is neither the previous nor the new output"
        elif ! has_line "$dir.err" "*; the new content stands all the same" &&
          ! has_line "$dir.err" "$program: standard output: *" &&
          ! { [ -s "$dir.trace" ] && has_line "$dir.trace" 'write(2,*[(]INJECTED[)]'; }; then
          fail "$what: status 1 with the new $name, and no word of it"
        fi
        ;;
      *) fail "$what: $line" ;;
    esac
  done < <(diff -rq "$reference" "$dir" 2>&1)
}

# scenario PROGRAM INPUTS "OUTPUT..." [ARGS...]
scenario() {
  local program=$1 inputs=$2 outputs=($3)
  shift 3
  local base clean prepared status
  base=$(mktemp -d "$work/$program.XXXX")
  clean=$base/clean
  prepared=$base/prepared
  prepare "$prepared" "$inputs" "${outputs[@]}"
  cp -r "$prepared" "$clean"
  status=0
  (cd "$clean" && "$bin/$program" "$@" >"$clean.out" 2>"$clean.err") || status=$?
  [ "$status" = 0 ] || { fail "$program: the run without faults ended with $status"; return; }

  # Run with standard input and output closed, no output file may take their place: a
  # run that prints nothing still succeeds with the clean run's outputs; one that prints
  # fails with the message of coreutils and keeps every previous output.
  local dir=$base/closed what="$program: closed standard descriptors" out
  cp -r "$prepared" "$dir"
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
  check "$program" "$clean" "$prepared" "$dir" "$status" "$what" "${outputs[@]}"

  local trace=$base/trace
  cp -r "$prepared" "$base/count"
  (cd "$base/count" && strace -qq -o "$trace" -e trace="fcntl,$(IFS=,; echo "${calls[*]}")" \
    "$bin/$program" "$@" >/dev/null 2>&1)

  # How often each call is made in all, and before the start-up marker; and whether each
  # new output is synced before the first rename puts one in place.
  local -A before=() total=()
  local number=0 start=0 renamed=0 synced=0 call
  while IFS= read -r line; do
    number=$((number + 1))
    call=${line%%(*}
    total[$call]=$((${total[$call]:-0} + 1))
    if [ "$start" = 0 ]; then
      before[$call]=${total[$call]}
      [[ $line == "$marker"* ]] && start=$number
    fi
    [[ $renamed = 0 && $call =~ ^rename(at2?)?$ ]] && renamed=$number
    [[ $renamed = 0 && $call = fsync ]] && synced=$((synced + 1))
  done <"$trace"
  [ "$start" != 0 ] || { fail "$program: start-up marker not found in the trace"; return; }
  if [ ${#outputs[@]} -gt 0 ] && { [ "$renamed" = 0 ] || [ "$synced" -lt ${#outputs[@]} ]; }; then
    fail "$program: $synced fsync calls before the first rename, for ${#outputs[@]} outputs"
  fi

  local k error
  for call in "${calls[@]}"; do
    for ((k = ${before[$call]:-0} + 1; k <= ${total[$call]:-0}; k++)); do
      for error in EIO ENOSPC; do
        [ "$error" = ENOSPC ] && [[ $call != write && $call != fsync && $call != close ]] && continue
        dir=$base/$call.$k.$error
        what="$program: $call #$k fails with $error"
        cp -r "$prepared" "$dir"
        status=0
        (cd "$dir" && strace -qq -o "$dir.trace" -e trace="$call" -e inject="$call:error=$error:when=$k" \
          "$bin/$program" "$@" >"$dir.out" 2>"$dir.err") || status=$?
        if [[ $call =~ $must_fail ]] && has_line "$dir.trace" '*INJECTED*' && [ "$status" != 1 ]; then
          fail "$what: injected, yet status $status"
        fi
        check "$program" "$clean" "$prepared" "$dir" "$status" "$what" "${outputs[@]}"
      done
    done
  done
}

# The inputs of each scenario, and the scenario.
inputs=$work/in
run_scenario() {
  mkdir -p "$inputs/$1"
  case $1 in
    slotplan)
      printf '1 2 Ann Lee A\n3 4 Bob Ray B\n' >"$inputs/slotplan/People.txt"
      printf '1 2 2025 3 14 10:30\n3 4 2025 3 12 9:00\n5 6 2025 3 14 10:30\n' >"$inputs/slotplan/AppointmentReqs.txt"
      scenario slotplan "$inputs/slotplan" "Appointments.txt"
      ;;
    reqpack)
      printf '1 100 9\n2 101 10\n3 102 11\n' >"$inputs/reqpack/input.txt"
      scenario reqpack "$inputs/reqpack" "Records.bin"
      ;;
    payrise)
      printf 'I Ann Lee,Sales,Oslo,Clerk,2000\nE Bob Ray,3000,a\nx skipped\n' >"$inputs/payrise/input1.txt"
      scenario payrise "$inputs/payrise" "binary_f.bin"
      ;;
    # The binary outputs read back: --export replaces two files, --print writes none.
    reqpack-export | reqpack-print)
      printf '1 100 9\n2 101 10\n3 102 11\n' >"$inputs/$1/input.txt"
      (cd "$inputs/$1" && "$bin/reqpack" >/dev/null && rm input.txt)
      if [ "$1" = reqpack-export ]; then
        scenario reqpack "$inputs/$1" "Records.xml Parameters.txt" --export -s 8
      else
        scenario reqpack "$inputs/$1" "" --print
      fi
      ;;
    payrise-print)
      (cd "$inputs/$1" && printf 'I Ann Lee,Sales,Oslo,Clerk,2000\nE Bob Ray,3000,a\nx skipped\n' >input1.txt &&
        "$bin/payrise" && rm input1.txt)
      scenario payrise "$inputs/$1" "" --print
      ;;
    *)
      echo "unknown scenario $1"
      exit 2
      ;;
  esac
}

[ $# -gt 0 ] || set -- slotplan reqpack payrise reqpack-export reqpack-print payrise-print
for name in "$@"; do
  run_scenario "$name"
done

echo "$runs faulted runs ($failed_runs of them reported a failure), $failures failures"
# A fault that no run notices means the faults were not injected at all.
[ "$failed_runs" -gt 0 ] || { echo "no faulted run failed: were the faults injected?"; exit 1; }
[ "$failures" = 0 ]
