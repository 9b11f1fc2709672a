#!/usr/bin/env bash
# The house rules a compiler cannot check: every include of ours points down the layers
# (base < io < mdf < buslog < frontend < app), and the layers below the front end print
# nothing themselves (they return failures; frontend/ and app/ log them).
set -uo pipefail
cd "$(dirname "$0")/.."

rank() {
  case "$1" in
  base) echo 0 ;; io) echo 1 ;; mdf) echo 2 ;; buslog) echo 3 ;; frontend) echo 4 ;; app) echo 5 ;;
  *) echo -1 ;;
  esac
}

failed=0
for layer in base io mdf buslog frontend app; do
  own=$(rank "$layer")
  while IFS= read -r hit; do
    [ -n "$hit" ] || continue
    included=${hit#*\"}
    included=${included%%/*}
    if [ "$(rank "$included")" -gt "$own" ]; then
      echo "include points up: $hit"
      failed=1
    fi
  done < <(grep -rn --include='*.h' --include='*.cpp' -E '^\s*#\s*include\s+"[a-z_]+/' "$layer")
done

for layer in io mdf buslog; do
  while IFS= read -r hit; do
    [ -n "$hit" ] || continue
    echo "prints below the front end: $hit"
    failed=1
  done < <(grep -rn --include='*.h' --include='*.cpp' -E '"base/log\.h"|BUSFOLD_LOG|log_message|std::(cerr|cout)|[^sn]printf\(' "$layer")
done

if [ "$failed" -eq 0 ]; then
  echo "layers: every include points down"
  echo "layers: nothing below frontend/ prints"
fi
exit "$failed"
