#!/usr/bin/env bash
# odd_outputs_test.sh BIN_DIR: outputs that are no plain file, and runs cut short: a
# path naming one of the run's descriptors, a file-size limit in the middle of a large
# output, and a named temporary file with the signals that stop a run.
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
command -v strace >/dev/null || { echo "strace is missing (Debian package strace)"; exit 1; }

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# expect WHAT ACTUAL EXPECTED
expect() {
  [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
}
# either WHAT FILE A B: FILE holds A then B, or B then A (two streams, one file).
either() {
  cmp -s "$2" <(cat "$3" "$4") || cmp -s "$2" <(cat "$4" "$3") || fail "$1: $(od -An -c "$2" | head -c 300)"
}

printf '1 100 9\n2 101 10\n' >input.txt
printf 'binary 1 100 9 \nbinary 2 101 10 \n' >echo.expected
printf '\001\0\0\0d\0\0\0\t\0\0\0\002\0\0\0e\0\0\0\n\0\0\0' >records.expected
printf 'earlier line\n' >earlier

# A path naming a descriptor is written through it: appended to a log, into a pipe,
# into a process substitution; never replaced.
cp earlier log.txt
"$bin/reqpack" -r /dev/stdout >>log.txt || fail "-r /dev/stdout >> log.txt: status $?"
either "-r /dev/stdout >> log.txt" log.txt <(cat earlier echo.expected) records.expected
"$bin/reqpack" -r /dev/stdout | cat >piped || fail "-r /dev/stdout | cat: status $?"
either "-r /dev/stdout | cat" piped echo.expected records.expected
"$bin/reqpack" -r >(cat >substituted) >/dev/null || fail "-r >(cat): status $?"
wait $! || true
cmp -s substituted records.expected || fail "-r >(cat): $(od -An -tx1 substituted)"
printf 'E Bob Ray,100,a\n' >input1.txt
ln -s /dev/stdout binary_f.bin
cp earlier log.txt
"$bin/payrise" >>log.txt || fail "payrise >> log.txt with binary_f.bin a link to /dev/stdout: status $?"
expect "the log before payrise's record" "$(head -c 13 log.txt)" "earlier line"
expect "the log's size after payrise's record" "$(stat -c %s log.txt)" $((13 + 56))
rm binary_f.bin

# A file bound onto the output (a container's single-file volume) cannot be renamed over:
# it is found before anything is written, and written over in place.
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  printf 'previous\n' >bound.bin
  printf 'bound source\n' >source.bin
  status=0
  unshare -m sh -c "mount --bind source.bin bound.bin && exec '$bin/reqpack' -r bound.bin" >/dev/null 2>err || status=$?
  expect "a bind-mounted output: status" "$status" 0
  expect "a bind-mounted output: message" "$(cat err)" ""
  cmp -s source.bin records.expected || fail "a bind-mounted output: $(od -An -c source.bin | head -c 200)"
else
  echo "skipped: a bind-mounted output needs root and mount namespaces (unshare -m)"
fi

# A file-size limit fails a write in the middle of a large output: always a reported
# failure, the old output kept.
"$bin/bench_gen" requests 200000 >input.txt
"$bin/bench_gen" staff 200000 >input1.txt
for k in 1 2 3 4 5; do
  for run in "reqpack Records.bin" "payrise binary_f.bin"; do
    set -- $run
    printf 'previous\n' >"$2"
    status=0
    (ulimit -f 256 && exec "$bin/$1" >/dev/null 2>err) || status=$?
    expect "$1 past the file-size limit, run $k: status" "$status" 1
    # The generated staff lines hold grades that raise nothing, each named.
    expect "$1 past the file-size limit, run $k: message" "$(grep -v ": grade '" err)" "$1: $2: File too large"
    expect "$1 past the file-size limit, run $k: old output" "$(cat "$2")" previous
  done
done

# Where the file system has no unnamed files (strace fails that open), the temporary
# file is named, readable by its owner alone, and removed by every catchable signal whose
# default action ends the run; that action then ends it. Writes are slowed so the signal
# comes mid-run. env gives the run the default actions a background job lacks for INT
# and QUIT; no core file is written.
ulimit -c 0
strace -qq -o trace -e trace=openat "$bin/payrise" >/dev/null
unnamed=$(grep '^openat(' trace | grep -n -m1 O_TMPFILE | cut -d: -f1)
[ -n "$unnamed" ] || fail "payrise opened no unnamed file"
for signal in TERM HUP INT QUIT ABRT ALRM USR1 USR2 XCPU VTALRM PROF RTMIN; do
  printf 'previous\n' >binary_f.bin
  env --default-signal strace -qq -o /dev/null -e trace=openat,write \
    -e inject=openat:error=EOPNOTSUPP:when="${unnamed:-1}" -e inject=write:delay_enter=20000 \
    "$bin/payrise" >/dev/null 2>&1 &
  tracer=$!
  temporary=
  for _ in $(seq 200); do
    temporary=$(ls -A | grep '^\.binary_f\.bin\.tmp-' || true)
    [ -n "$temporary" ] && break
    sleep 0.05
  done
  if [ -z "$temporary" ]; then
    fail "SIG$signal: no named temporary file appeared"
  else
    expect "SIG$signal: the named temporary file's mode" "$(stat -c %a "$temporary")" 600
  fi
  kill -"$signal" "$(pgrep -P "$tracer")"
  status=0
  { wait "$tracer"; } 2>/dev/null || status=$?
  expect "SIG$signal: status" "$status" $((128 + $(kill -l "$signal")))
  expect "SIG$signal: temporary files left" "$(ls -A | grep -c '^\.binary_f\.bin\.tmp-' || true)" 0
  expect "SIG$signal: binary_f.bin" "$(cat binary_f.bin)" previous
done

echo "$failures failures"
[ "$failures" = 0 ]
