#!/usr/bin/env bash
# readme_test.sh README BIN_DIR EXAMPLES_DIR: runs the example commands shown under each
# program's heading of the README ("    $ command" lines) in a scratch copy of that
# program's samples, with the built programs first on PATH, and checks that each prints
# exactly the lines the README shows after it (standard output and standard error). An
# example anywhere else would go unchecked, and fails the test.
set -uo pipefail
readme=$1
bin=$(cd "$2" && pwd)
examples=$3
programs=" fieldsplit slotplan reqpack payrise "
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
source "$(dirname "$0")/examples_lib.sh"

section=""
command=""
expected=""

run_pending() {
  [ -n "$command" ] || return 0
  check_example "$section" "$scratch/$section" "$command" "$expected"
  command=""
  expected=""
}

enter_section() {
  section=$1
  mkdir -p "$scratch/$section"
  if [ -d "$examples/$section" ]; then
    cp "$examples/$section"/* "$scratch/$section"/
  fi
}

while IFS= read -r line || [ -n "$line" ]; do
  if [[ $line == \#* ]]; then
    run_pending
    name=${line##* }
    if [[ $programs == *" $name "* ]]; then enter_section "$name"; else section=""; fi
  elif [ -z "$section" ]; then
    if [[ $line == "    \$ "* ]]; then
      echo "FAIL: an example outside the programs' sections is not checked: ${line#    }"
      status=1
    fi
  elif [[ $line == "    \$ "* ]]; then
    run_pending
    command=${line#    \$ }
  elif [[ $line == "    "* && -n $command ]]; then
    expected+="${line#    }"$'\n'
  else
    run_pending
  fi
done <"$readme"
run_pending

[ "$ran" -gt 0 ] || { echo "no examples found in $readme"; exit 1; }
echo "$ran README examples checked"
exit "$status"
