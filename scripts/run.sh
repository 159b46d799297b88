#!/usr/bin/env bash
# Builds Ordax and runs the client on the bundled lattices in console mode.
# The client works in its own directory, ~/ordax-run by default (ORDAX_HOME overrides): the
# binary, lattices/ and datafiles/ are copied there; results, settings and auto-saves stay
# there between runs. Extra arguments are passed to the client (for example -once).
# Stop it with Ctrl-C: the run in progress is auto-saved and resumed at the next start.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
bash "$src/scripts/deps.sh"
cmake -S "$src" -B "$src/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$src/build" -j "$(nproc)" --target ordax
home="${ORDAX_HOME:-$HOME/ordax-run}"
mkdir -p "$home/lattices" "$home/datafiles"
cp "$src/build/ordax" "$home/ordax"
cp -r "$src/lattices/." "$home/lattices/"
cp -r "$src/datafiles/." "$home/datafiles/"
[ -f "$home/user.txt" ] || echo "${ORDAX_USER:-${USER:-volunteer}}" > "$home/user.txt"
# A new working folder starts on the default design, the front end; the client adds the other
# settings with their defaults. Setting "none" there lets it pick among all bundled designs.
[ -f "$home/config.txt" ] ||
  echo "Preferred lattices (comma-separated list or 'none'): frontend" > "$home/config.txt"
echo "Running Ordax in $home (Ctrl-C to stop)"
exec "$home/ordax" -c "$@"
