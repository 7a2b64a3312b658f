#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR: installs into a temporary prefix, then checks
# that every program installed answers --help and came with its man page, that every
# man page of the source tree was installed (gzipped) beside its program, where man
# finds it through PATH, that bash-completion loads reqpack's completion from where it
# was installed, and that tools/uninstall, from the list the install wrote, takes every
# file away again and every folder the install created, but not one that was there.
# Then tools/need where it installs nothing: one line with the command that would.
set -euo pipefail
build=$1
source=$2
prefix=$(mktemp -d)
stubs=$(mktemp -d)
trap 'rm -rf "$prefix" "$stubs"' EXIT
# make install on a fresh tree: what it builds must give every file it installs from the
# build tree, so the generated ones go first.
targets=$(env -u MAKEFLAGS -u MAKELEVEL make -n -C "$source" install | sed -n 's/^cmake --build .* --target //p')
rm -f "$build"/man/*.gz "$build"/changelog.gz
cmake --build "$build" --target $targets >/dev/null
# An empty bin/ and share/ that were there before; installed twice, as an upgrade does.
mkdir "$prefix/bin" "$prefix/share"
cmake --install "$build" --prefix "$prefix" >/dev/null ||
  { echo "FAIL: make install's build (--target $targets) leaves out what it installs"; exit 1; }
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

# bash-completion looks for a command's completion under /usr/share, /usr/local/share and
# the user's ~/.local/share: a prefix of ~/.local stands for the last (what the completion
# offers is completion_test.sh's to check).
completion=$prefix/share/bash-completion/completions/reqpack
loader=/usr/share/bash-completion/bash_completion
[ -f "$completion" ] || fail "bash completion not installed as $completion"
if [ -f "$loader" ]; then
  env -u BASH_COMPLETION_USER_DIR -u XDG_DATA_DIRS XDG_DATA_HOME="$prefix/share" \
    bash -c 'source "$1" && __load_completion reqpack && complete -p reqpack' - "$loader" >/dev/null ||
    fail "bash-completion does not load reqpack's completion from $completion"
else
  echo "SKIP: bash-completion is not installed (Debian package bash-completion): its loading was not checked"
fi

# An installed file that has become a dangling link goes too. Twice: the second run
# finds nothing to remove.
ln -sf "$prefix/gone" "$prefix/bin/fieldsplit"
# Each file and folder it removes is named, once: all but the bin/ and share/.
before=$(cd "$prefix" && find . -mindepth 1 | wc -l)
for run in 1 2; do
  said=$("$source/tools/uninstall" "$prefix") || fail "uninstall run $run: exit status $?"
  [ "$run" = 2 ] || [ "$(grep -c '^removed ' <<<"$said")" = $((before - 2)) ] ||
    fail "uninstall names $(grep -c '^removed ' <<<"$said") removals, not $((before - 2))"
  left=$(cd "$prefix" && find . -mindepth 1 | sort | paste -sd ' ')
  [ "$left" = "./bin ./share" ] || fail "after uninstall run $run, left: '$left', not the bin/ and share/ that were there"
done

# make help names every target, as `make NAME` or after a comma.
help=$(env -u MAKEFLAGS -u MAKELEVEL make -s -C "$source" help)
for target in $(sed -n 's/^\.PHONY: all //p' "$source/Makefile"); do
  grep -Eq "(make |, )$target[ ,]" <<<"$help" || fail "make help does not name $target"
done

# tools/need, in a copy whose build/ is its own, with id, apt-get and apt-cache stubbed:
# apt-get only notes that it ran, and installs nothing.
mkdir "$stubs/bin" "$stubs/tools"
cp "$source/tools/need" "$stubs/tools/"
printf '#!/bin/sh\n[ "$1" = -u ] && echo "$STUB_UID" || exec /usr/bin/id "$@"\n' >"$stubs/bin/id"
printf '#!/bin/sh\necho "$*" >>"%s/apt-get.ran"\n' "$stubs" >"$stubs/bin/apt-get"
printf '#!/bin/sh\n' >"$stubs/bin/apt-cache"
chmod +x "$stubs/bin/"*
# check_need WHO WANT PACKAGE...: all tools/need says, then its status, but the date line.
check_need() {
  local who=$1 want=$2 got
  shift 2
  got=$(env -u SUITE_NO_INSTALL PATH="$stubs/bin:$PATH" $who "$stubs/tools/need" "$@" 2>&1; echo "status $?")
  got=$(grep -v '^== ' <<<"$got")
  [ "$got" = "$want" ] || fail "need $* as $who says '$got', not '$want'"
}
missing="need: missing: suite-absent (optional: suite-maybe)"
check_need STUB_UID=1000 "$missing; as root: apt-get install -y suite-absent suite-maybe
status 1" make suite-absent --optional suite-maybe
check_need "STUB_UID=0 SUITE_NO_INSTALL=1" "$missing; as root: apt-get install -y suite-absent suite-maybe
status 1" make suite-absent --optional suite-maybe
check_need STUB_UID=1000 "need: not installed: suite-maybe (the tests that need them are skipped); \
as root: apt-get install -y suite-maybe
status 0" make --optional suite-maybe
[ ! -e "$stubs/apt-get.ran" ] || fail "need ran apt-get $(cat "$stubs/apt-get.ran") where it installs nothing"
# Root who installs is not told to run apt-get as root.
check_need STUB_UID=0 "installing: suite-absent suite-maybe; log in build/apt.log
$missing
need: still missing after apt-get install; the end of build/apt.log:
status 1" make suite-absent --optional suite-maybe
exit "$status"
