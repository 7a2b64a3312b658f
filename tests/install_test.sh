#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR: installs into a temporary prefix, then checks
# that every program installed answers --help and came with its man page, that every
# man page of the source tree was installed (gzipped) beside its program, where man
# finds it through PATH, that reqpack's bash completion completes from where
# bash-completion loads it, and that tools/uninstall takes every file away again.
set -euo pipefail
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
fail() { echo "FAIL: $*"; status=1; }
man=$(command -v man || true)

for page in "$source"/man/*.1; do
  name=$(basename "$page" .1)
  installed="$prefix/share/man/man1/$name.1.gz"
  [ -x "$prefix/bin/$name" ] || fail "$name: not installed in bin/"
  [ -f "$installed" ] && gzip -dc "$installed" | cmp -s - "$page" ||
    fail "$name: man page not installed as $installed"
  # man finds a page beside a bin folder on PATH; MANPATH need not be set.
  if [ -n "$man" ]; then
    found=$(env -u MANPATH PATH="$prefix/bin:$PATH" man -w "$name" 2>&1) || true
    [ "$found" = "$installed" ] || fail "man $name finds '$found', not $installed"
  fi
done
[ -n "$man" ] || echo "SKIP: man is not installed (Debian package man-db): the pages were not looked up through PATH"
for program in "$prefix"/bin/*; do
  name=$(basename "$program")
  [ -f "$prefix/share/man/man1/$name.1.gz" ] || fail "$name: installed without a man page"
  out=$(cd "$prefix" && "$program" --help) || fail "$name --help: exit status $?"
  [[ "$out" == "usage: $name"* ]] || fail "$name --help: no usage line"
  echo "$name: --help answered, man page installed"
done

# The completion as bash-completion would call it: COMP_WORDS, COMP_CWORD, then the
# function; its replies one to a line.
completion=$prefix/share/bash-completion/completions/reqpack
complete_words() {
  (cd "$prefix" && bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _reqpack; printf "%s\n" "${COMPREPLY[@]}"' - "$completion" "$@")
}
check_completion() {
  local want=$1 got
  shift
  got=$(complete_words "$@" | sort | paste -sd ' ')
  [ "$got" = "$want" ] || fail "completion of '$*' gives '$got', not '$want'"
}
if [ -f "$completion" ]; then
  check_completion "--export" reqpack --e
  check_completion "--print" reqpack --p
  check_completion "bin" reqpack --print b
  check_completion "bin" reqpack -r out.bin -x b
  check_completion "" reqpack -r out.bin -s b
  check_completion "-c -d -e -p -r -s -t -x" reqpack --export -x a.xml -
  check_completion "-s" reqpack -r out.bin -s
  check_completion "" reqpack --version b
else
  fail "bash completion not installed as $completion"
fi

"$source/tools/uninstall" "$build" "$prefix" >/dev/null
left=$(find "$prefix" ! -type d)
[ -z "$left" ] || fail "left after uninstall: $left"
[ ! -e "$prefix/share/doc/batch-suite" ] || fail "share/doc/batch-suite left after uninstall"
exit "$status"
