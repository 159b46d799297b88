#!/usr/bin/env bash
# Builds a libFuzzer target and runs it for a while.
#   scripts/fuzz.sh TARGET [SECONDS] [libFuzzer options...]
# TARGET is fuzz/TARGET.cpp; its line "// fuzz-sources: a.cpp b.cpp ..." names the library
# sources it needs, which are compiled here directly (not through CMake) with clang and
# -fsanitize=fuzzer,address,undefined into build-fuzz/. The seeds in fuzz/corpus/TARGET/ (kept
# in the repository, small) are read; new inputs go to build-fuzz/work/TARGET/ and findings to
# build-fuzz/artifacts/TARGET/. A dictionary fuzz/TARGET.dict is used when present.
# Exit status: 0 when the run found nothing, libFuzzer's status otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: scripts/fuzz.sh TARGET [SECONDS] [libFuzzer options...]}
seconds=${2:-60}
shift
[ $# -gt 0 ] && shift
src=fuzz/$target.cpp
[ -f "$src" ] || { echo "fuzz.sh: no target $src" >&2; exit 2; }

cxx=${CXX_FUZZ:-clang++}
command -v "$cxx" >/dev/null || { echo "fuzz.sh: $cxx not found (apt-get install clang libclang-rt-dev)" >&2; exit 2; }
launcher=""
command -v ccache >/dev/null && launcher=ccache

out=build-fuzz
mkdir -p "$out/obj/$target" "$out/work/$target" "$out/artifacts/$target" "fuzz/corpus/$target"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -ffp-contract=off -Wall -Wextra -I.
       -fsanitize=address,undefined -fno-sanitize-recover=undefined)

# The list may hold patterns (language/*.cpp); a pattern that matches nothing is dropped.
shopt -s nullglob
sources=$(sed -n 's|^// fuzz-sources:||p' "$src")
objects=()
for s in $sources; do
  o="$out/obj/$target/$(echo "$s" | tr '/' '_').o"
  $launcher "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$s" -o "$o"
  objects+=("$o")
done
binary="$out/$target"
$launcher "$cxx" "${flags[@]}" -fsanitize=fuzzer -c "$src" -o "$out/obj/$target/$target.o"
"$cxx" "${flags[@]}" -fsanitize=fuzzer "$out/obj/$target/$target.o" "${objects[@]}" -lpthread -o "$binary"

options=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1
         -artifact_prefix="$out/artifacts/$target/")
[ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
echo "fuzz.sh: running $binary for $seconds s"
"$binary" "${options[@]}" "$@" "$out/work/$target" "fuzz/corpus/$target"
