#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR PACKAGE VERSION: builds the Debian package of the
# build tree with cpack, lists its contents and checks them against the source tree (a
# program stripped of symbols and .comment and a gzipped man page for every page in man/,
# the licence as the copyright file, the README, reqpack's bash completion; each man
# page's footer names the package and version), checks the control fields, and runs every
# program of an extracted copy with --version. Exits 77 (skipped) where the Debian tools
# are missing.
set -euo pipefail
build=$1
source=$2
package=$3
version=$4

for tool in cpack dpkg-deb dpkg-shlibdeps file readelf; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool not found; install dpkg-dev, file and binutils (tools/need does) to test the package"
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: cpack made no single .deb"; exit 1; }
deb=${debs[0]}

status=0
fail() { echo "FAIL: $*"; status=1; }

echo "$(basename "$deb"):"
dpkg-deb -c "$deb" | tee "$work/contents"
contains() { awk '{ print $6 }' "$work/contents" | grep -qxF "./$1"; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$package" ] || fail "Package is '$(field Package)', not $package"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
for name in Maintainer Description Section Architecture; do
  [ -n "$(field "$name")" ] || fail "control field $name is empty"
done
# The programs are C++: the shared-library dependencies must name the C and C++ libraries.
depends=$(field Depends)
[[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "Depends is '$depends'"

root=$work/root
dpkg-deb -x "$deb" "$root"
doc=usr/share/doc/$package
contains "$doc/copyright" && cmp -s "$source/LICENSE" "$root/$doc/copyright" ||
  fail "$doc/copyright is not LICENSE"
contains "$doc/README.md" || fail "README.md not in $doc"
contains usr/share/bash-completion/completions/reqpack || fail "reqpack's bash completion is not packed"

for page in "$source"/man/*.1; do
  name=$(basename "$page" .1)
  program=usr/bin/$name
  gz=usr/share/man/man1/$name.1.gz
  contains "$program" || { fail "$name: not in usr/bin"; continue; }
  contains "$gz" && gzip -dc "$root/$gz" | cmp -s - "$page" || fail "$name: man page missing as $gz"
  grep -q "^\.TH .* \"$package $version\"" "$page" || fail "$name: the man page's footer does not name $package $version"
  readelf -S "$root/$program" | grep -qE '\.(symtab|comment)' && fail "$name: not stripped of .symtab and .comment"
  out=$(cd "$work" && "$root/$program" --version) || fail "$name --version: exit status $?"
  [[ $out == "$name"* ]] || fail "$name --version printed '$out'"
  echo "$name: stripped, man page packed, --version: $out"
done
exit "$status"
