#!/usr/bin/env bash
# man_lint.sh MAN_DIR: every man page formats without a single warning.
set -euo pipefail
status=0
pages=0
for page in "$1"/*.1; do
  pages=$((pages + 1))
  warnings=$(groff -man -ww -z "$page" 2>&1) || { echo "$page: groff failed"; status=1; }
  if [ -n "$warnings" ]; then
    echo "$page:"; echo "$warnings"; status=1
  fi
done
[ "$pages" -gt 0 ] || { echo "no man pages in $1"; exit 1; }
echo "$pages man pages checked"
exit "$status"
