#!/usr/bin/env bash
# skip_reasons.sh BUILD_DIR: after ctest's summary (CTEST_CUSTOM_POST_TEST), says why each
# test or part of a test was skipped, from the tests' output in ctest's log: the message
# of GoogleTest's GTEST_SKIP, or a script's "SKIP: why" line. Never fails the run.
# ctest writes the log under a temporary name and gives it its own only after this runs.
log=$1/Testing/Temporary/LastTest.log.tmp
[ -f "$log" ] || exit 0
awk '
  /^[0-9]+\/[0-9]+ Test: / { split($1, at, "/"); number = at[1]; name = $3; gtest = 0; next }
  /: Skipped$/ { gtest = 1; next }
  gtest && !/^\[/ { reasons[++n] = sprintf("\t%3d - %s: %s", number, name, $0) }
  { gtest = 0 }
  /^SKIP: / { reasons[++n] = sprintf("\t%3d - %s: %s", number, name, substr($0, 7)) }
  END {
    if (n == 0) exit
    print "\nWhy tests, or parts of them, were skipped:"
    for (k = 1; k <= n; k++) print reasons[k]
  }' "$log"
exit 0
