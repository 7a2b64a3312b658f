#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR: installs into a temporary prefix, then checks
# that every program installed answers --help and came with its man page, and that
# every man page of the source tree was installed (gzipped) beside its program, where
# man finds it through PATH.
set -euo pipefail
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
fail() { echo "FAIL: $*"; status=1; }

for page in "$source"/man/*.1; do
  name=$(basename "$page" .1)
  installed="$prefix/share/man/man1/$name.1.gz"
  [ -x "$prefix/bin/$name" ] || fail "$name: not installed in bin/"
  [ -f "$installed" ] && gzip -dc "$installed" | cmp -s - "$page" ||
    fail "$name: man page not installed as $installed"
  # man finds a page beside a bin folder on PATH; MANPATH need not be set.
  if command -v man >/dev/null; then
    found=$(env -u MANPATH PATH="$prefix/bin:$PATH" man -w "$name" 2>&1) || true
    [ "$found" = "$installed" ] || fail "man $name finds '$found', not $installed"
  fi
done
for program in "$prefix"/bin/*; do
  name=$(basename "$program")
  [ -f "$prefix/share/man/man1/$name.1.gz" ] || fail "$name: installed without a man page"
  out=$(cd "$prefix" && "$program" --help) || fail "$name --help: exit status $?"
  [[ "$out" == "usage: $name"* ]] || fail "$name --help: no usage line"
  echo "$name: --help answered, man page installed"
done
exit "$status"
