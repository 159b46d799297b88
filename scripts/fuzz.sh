#!/usr/bin/env bash
# Builds a libFuzzer target and runs it for a while.
#   scripts/fuzz.sh TARGET [SECONDS] [libFuzzer options...]
# TARGET is fuzz/TARGET.cpp. It is built through CMake in build-fuzz/ (ORDAX_FUZZ=ON, clang,
# -fsanitize=fuzzer,address,undefined), linked with the whole library as the program uses it.
# The seeds in fuzz/corpus/TARGET/ (kept in the repository, small) are read; new inputs go to
# build-fuzz/work/TARGET/ and findings to build-fuzz/artifacts/TARGET/. A dictionary
# fuzz/TARGET.dict is used when present.
# Exit status: 0 when the run found nothing, libFuzzer's status otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: scripts/fuzz.sh TARGET [SECONDS] [libFuzzer options...]}
seconds=${2:-60}
shift
[ $# -gt 0 ] && shift
[ -f "fuzz/$target.cpp" ] || { echo "fuzz.sh: no target fuzz/$target.cpp" >&2; exit 2; }

cxx=${CXX_FUZZ:-clang++}
command -v "$cxx" >/dev/null || { echo "fuzz.sh: $cxx not found (apt-get install clang libclang-rt-dev)" >&2; exit 2; }

out=build-fuzz
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DORDAX_FUZZ=ON -DORDAX_TESTS=OFF -DORDAX_BENCH=OFF >/dev/null
cmake --build "$out" -j "$(nproc)" --target "$target"
mkdir -p "$out/work/$target" "$out/artifacts/$target" "fuzz/corpus/$target"

# Absolute paths: the file-reader targets work in a directory of their own.
root=$PWD
options=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1
         -artifact_prefix="$root/$out/artifacts/$target/")
[ -f "fuzz/$target.dict" ] && options+=(-dict="$root/fuzz/$target.dict")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
echo "fuzz.sh: running $out/$target for $seconds s"
"$out/$target" "${options[@]}" "$@" "$root/$out/work/$target" "$root/fuzz/corpus/$target"
