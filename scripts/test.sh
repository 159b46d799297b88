#!/usr/bin/env bash
# Checks the layer order, builds Ordax and runs every test twice: in a normal optimised build
# (the quick set, then the slow set) and in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (both sets); then the tests of the threaded code (time stepping,
# the aperture sums, the three-dimensional magnets' field and the SIMD lanes) once more under
# ThreadSanitizer.
# Installs missing packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --test
jobs=$(nproc)

echo "== layer check"
bash scripts/check-layers.sh

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
echo "-- quick set"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600 -L quick)
echo "-- slow set"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600 -L slow)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORDAX_SANITIZE=ON -DORDAX_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j "$jobs" --timeout 900)

echo "== ThreadSanitizer build (threaded stepping and shared sums)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORDAX_TSAN=ON -DORDAX_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target ordax_tests
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
(cd build-tsan && ctest --output-on-failure -j "$jobs" --timeout 900 \
  -R '^(Stepping|SteppingThreads|Aperture|Magnet3Threads|Lanes|LanesSlow)\.')
echo "== all tests passed in every build"
