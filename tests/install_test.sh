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
for run in 1 2; do
  "$source/tools/uninstall" "$prefix" >/dev/null || fail "uninstall run $run: exit status $?"
  left=$(cd "$prefix" && find . -mindepth 1 | sort | paste -sd ' ')
  [ "$left" = "./bin ./share" ] || fail "after uninstall run $run, left: '$left', not the bin/ and share/ that were there"
done

# tools/need, in a copy whose build/ is its own, with id and apt-get stubbed: apt-get
# only notes that it ran.
mkdir "$stubs/bin" "$stubs/tools"
cp "$source/tools/need" "$stubs/tools/"
printf '#!/bin/sh\n[ "$1" = -u ] && echo "$STUB_UID" || exec /usr/bin/id "$@"\n' >"$stubs/bin/id"
printf '#!/bin/sh\necho "$*" >>"%s/apt-get.ran"\n' "$stubs" >"$stubs/bin/apt-get"
chmod +x "$stubs/bin/id" "$stubs/bin/apt-get"
want="need: missing: suite-absent (optional: suite-maybe); as root: apt-get install -y suite-absent suite-maybe"
for who in "STUB_UID=1000" "STUB_UID=0 SUITE_NO_INSTALL=1"; do
  got=$(env PATH="$stubs/bin:$PATH" $who "$stubs/tools/need" make suite-absent --optional suite-maybe 2>&1) &&
    fail "need as $who: status 0 with a package missing"
  [ "$got" = "$want" ] || fail "need as $who says '$got', not '$want'"
done
[ ! -e "$stubs/apt-get.ran" ] || fail "need ran apt-get $(cat "$stubs/apt-get.ran") where it installs nothing"
exit "$status"
