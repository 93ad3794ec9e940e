#!/usr/bin/env bash
# Fails when a file under src/ includes a header of a library above its own, so dependencies stay
# one way: python -> runtime -> decode -> sdk -> common. Beside that line sit pybase (the owned
# reference and the lock guards) and sdk_py (the Python half of the SDK bridge, over sdk and pybase).
set -euo pipefail
cd "$(dirname "$0")/.."

# What each library's files may include, its own folder first.
declare -A may_include=(
  [common]="common"
  [pybase]="pybase"
  [sdk]="sdk common"
  [sdk_py]="sdk_py sdk pybase common"
  [decode]="decode sdk common"
  [runtime]="runtime decode sdk common"
  [python]="python runtime decode sdk_py sdk pybase common"
)

failed=0
while IFS=: read -r file line text; do
  lib=${file#src/}
  lib=${lib%%/*}
  header=$(sed -E 's/^[^"]*"([^"]*)".*/\1/' <<<"$text")
  [[ $header == */* ]] || continue  # a file beside it, not a library header
  target=${header%%/*}
  if [[ -z ${may_include[$lib]+set} ]]; then
    echo "$file: folder '$lib' is not in the library order of scripts/check_includes.sh" >&2
    failed=1
  elif [[ " ${may_include[$lib]} " != *" $target "* ]]; then
    echo "$file:$line: $lib includes $header, from a library it must not depend on" >&2
    failed=1
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' src --include='*.hpp' --include='*.cpp')

if ((failed)); then
  echo "include check: failed" >&2
  exit 1
fi
echo "include check: every include follows the library order"
