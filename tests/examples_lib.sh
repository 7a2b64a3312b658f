# examples_lib.sh: sourced by man_examples_test.sh and readme_test.sh, which find the
# example commands of a document and the lines it shows after each; this runs them.
# The caller sets `bin` (the built programs) and counts with `ran` and `status`.
ran=0
status=0

# check_example LABEL DIR COMMAND EXPECTED: runs COMMAND with bash in DIR, the built
# programs first on PATH, and compares standard output and standard error, together,
# with EXPECTED (the lines shown, each with its line end).
check_example() {
  local label=$1 dir=$2 command=$3 want=${4%$'\n'} actual
  actual=$(cd "$dir" && PATH="$bin:$PATH" bash -c "$command" 2>&1)
  if [ "$actual" != "$want" ]; then
    echo "FAIL [$label] \$ $command"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$actual")
    status=1
  fi
  ran=$((ran + 1))
}
