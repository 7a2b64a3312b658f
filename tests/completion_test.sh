#!/usr/bin/env bash
# completion_test.sh COMPLETION: reqpack's bash completion as bash-completion loads and
# calls it, in a non-interactive bash: the words typed so far in, what Tab offers out,
# among file names with blanks, quotes and other shell characters. Exits 77 (skipped)
# where bash-completion is missing.
set -euo pipefail
completion=$(realpath "$1")
loader=/usr/share/bash-completion/bash_completion
if [ ! -f "$loader" ]; then
  echo "SKIP: bash-completion is not installed (Debian package bash-completion)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# bash-completion loads a command's completion on first use from the user's folder.
mkdir -p "$work/user/completions" "$work/files/dir with blank"
cp "$completion" "$work/user/completions/reqpack"
cd "$work/files"
touch "my out.bin" "my other.bin" "it's.bin" 'a$b&c.bin' plain.bin

# offered WORD...: what the completion of reqpack offers after these words, the last one
# being completed: the names sorted and joined by |, then "; filenames" when it asks
# readline to quote them as file names (a blank as "\ ", a quote as "\'").
offered() {
  BASH_COMPLETION_USER_DIR=$work/user bash -c '
    compopt() { [[ $1 == -o && $2 == filenames ]] && filenames=1; return 0; }
    source "$1" && __load_completion reqpack || exit 1
    shift
    COMP_WORDS=(reqpack "$@")
    COMP_CWORD=$#
    COMP_LINE="reqpack $*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    function=$(complete -p reqpack | sed -E "s/.* -F ([^ ]+) .*/\1/")
    "$function" reqpack "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    names=$( ((${#COMPREPLY[@]})) && printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd "|")
    echo "$names${filenames:+; filenames}"' - "$loader" "$@"
}

status=0
check() {
  local want=$1 got
  shift
  got=$(offered "$@") || got="(failed)"
  [ "$got" = "$want" ] || { echo "FAIL: reqpack $* <Tab> offers '$got', not '$want'"; status=1; }
}

check "my other.bin|my out.bin; filenames" -r my
check "my out.bin; filenames" -r "'my ou"
check "it's.bin; filenames" -r it
check 'a$b&c.bin; filenames' -p a
check "dir with blank; filenames" -x plain.bin -t di
check "my other.bin|my out.bin; filenames" --print my
check "" --print my.bin my
check "" -r out.bin -s ""
check "" -s 8 -e ""
check "-s" -r out.bin -s
check "-c|-d|-e|-p|-r|-s|-t|-x" --export -x a.xml -
check "--export" --e
check "--print" --p
check "" --version b
check "" -h my
check "" -r out.bin --help my
check "" --export --version my
[ "$status" = 0 ] && echo "all completions as expected"
exit "$status"
