#!/usr/bin/env bash
# man_examples_test.sh MAN_DIR BIN_DIR: runs the commands of every man page's EXAMPLES
# section ("$ command" lines in .EX/.EE or .nf/.fi blocks) in a scratch folder of that
# page, with the built programs first on PATH, and checks that each prints exactly the
# lines the page shows after it (standard output and standard error). A page shows its
# inputs with "$ cat FILE": when FILE does not exist yet, the lines shown are written to
# it, so the output shown after the program's own command is its output on those inputs.
set -uo pipefail
man=$1
bin=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
source "$(dirname "$0")/examples_lib.sh"

# The text roff prints for the escapes the examples use.
unescape() {
  sed -e 's/\\(aq/'"'"'/g' -e 's/\\(dq/"/g' -e 's/\\-/-/g' -e 's/\\ / /g' -e 's/\\&//g' \
      -e 's/\\e/\\/g'
}

run_pending() {
  [ -n "$command" ] || return 0
  if [[ $command =~ ^cat\ ([^ ]+)$ && ! -e $dir/${BASH_REMATCH[1]} ]]; then
    printf '%s' "$expected" >"$dir/${BASH_REMATCH[1]}"
  fi
  check_example "$page" "$dir" "$command" "$expected"
  command=""
  expected=""
}

for path in "$man"/*.1; do
  page=$(basename "$path")
  dir=$scratch/${page%.1}
  mkdir -p "$dir"
  in_section=0 in_block=0 command="" expected="" before=$ran
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in
      .SH*)
        run_pending
        [[ $line == *EXAMPLES* ]] && in_section=1 || in_section=0
        continue ;;
    esac
    [ "$in_section" = 1 ] || continue
    case $line in
      .EX* | .nf*) in_block=1 ;;
      .EE* | .fi*) run_pending; in_block=0 ;;
      *)
        if [ "$in_block" = 0 ]; then
          run_pending
        elif [[ $line == '$ '* ]]; then
          run_pending
          command=$(unescape <<<"${line#\$ }")
        elif [[ $line != .* && -n $command ]]; then
          expected+=$(unescape <<<"$line")$'\n'
        fi ;;
    esac
  done <"$path"
  run_pending
  [ "$ran" -gt "$before" ] || { echo "FAIL [$page] no example commands"; status=1; }
done

echo "$ran man page examples checked"
exit "$status"
