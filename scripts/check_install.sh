#!/usr/bin/env bash
# Installs a build into a fresh prefix and checks what a user gets there: the program, and
# a man page that renders without warnings and names every option --help lists.
#
#   scripts/check_install.sh <build folder>
set -euo pipefail
build=$1
prefix=$(mktemp -d /tmp/busfold-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
program=$prefix/bin/busfold
page=$prefix/share/man/man1/busfold.1
[ -x "$program" ] || { echo "not installed: bin/busfold"; exit 1; }
[ -f "$page" ] || { echo "not installed: share/man/man1/busfold.1"; exit 1; }

rendered=$(LC_ALL=C MANWIDTH=100 man --warnings=all -l "$page" 2>"$prefix/warnings")
if [ -s "$prefix/warnings" ]; then
  echo "man -l $page warns:"; cat "$prefix/warnings"; exit 1
fi
failed=0
for section in SYNOPSIS OPTIONS "EXIT STATUS" EXAMPLES "PASSWORD FILE" "BATCH USE"; do
  grep -q "^$section" <<<"$rendered" || { echo "man page lacks $section"; failed=1; }
done
# Every option of --help, long and short, is in the man page's list of options.
options=$(sed -n '/^OPTIONS/,/^[A-Z]/p' <<<"$rendered")
for option in $("$program" --help | grep -oE -- '(^|[ ,])-(-[a-z-]+|[a-zA-Z])' | tr -d ' ,' | sort -u); do
  grep -qE -- "(^|[ ,])$option([ ,=]|$)" <<<"$options" || { echo "man page lacks $option"; failed=1; }
done
[ "$failed" -eq 0 ] && echo "installed: bin/busfold, share/man/man1/busfold.1 (renders, lists every option)"
exit "$failed"
