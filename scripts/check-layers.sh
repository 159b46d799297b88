#!/usr/bin/env bash
# Checks that the source folders are layered one way:
#   base < lattice < language < sim (with sim/components) < results < net < display < shell
# A file may include headers of its own folder's layer or of lower ones; tests/, bench/,
# tools/ and fuzz/ are free. Also checks that only shell/ ends the process: library code
# reports and returns its failure value.
# Prints every offence as "file:line -> include" (or "file:line: calls exit") and exits 1 when
# there is one, 0 otherwise.
#   scripts/check-layers.sh [SOURCE_DIR]
set -uo pipefail
cd "${1:-$(dirname "$0")/..}" || exit 2

layers=(base lattice language sim results net display shell)
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

bad=0
for layer in "${layers[@]}"; do
  [ -d "$layer" ] || continue
  own=${rank[$layer]}
  while IFS= read -r -d '' file; do
    # Quoted includes only: system headers (<...>) are below every layer.
    while IFS=: read -r line inc; do
      top=${inc%%/*}
      [ "$top" = "$inc" ] && continue          # same-folder include without a path
      r=${rank[$top]:--1}
      if [ "$r" -gt "$own" ]; then
        echo "$file:$line -> $inc"
        bad=1
      fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/;T;=;p' "$file" |
             paste -d: - -)
    if [ "$layer" != shell ]; then
      # exit(, std::exit(, _exit(, _Exit(, quick_exit( outside comments; atexit( is allowed.
      while IFS=: read -r line _; do
        echo "$file:$line: calls exit"
        bad=1
      done < <(sed 's|//.*$||' "$file" |
               grep -nE '(^|[^A-Za-z0-9_])(std::)?(exit|_exit|_Exit|quick_exit)[[:space:]]*\(')
    fi
  done < <(find "$layer" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
done

if [ "$bad" -ne 0 ]; then
  echo "check-layers: the files above include a higher layer or end the process" >&2
  exit 1
fi
echo "check-layers: every include points down or sideways; only shell/ ends the process"
