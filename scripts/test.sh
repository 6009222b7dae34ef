#!/usr/bin/env bash
# Installs what is missing, builds from nothing and runs every test:
# the normal build (all tests), then the AddressSanitizer +
# UndefinedBehaviorSanitizer build (unit tests).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/deps.sh

bash scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 600)

bash scripts/build.sh build-asan -DTARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j2 -L unit --timeout 600)

# Fuzz targets run for a bounded time where clang is available.
if command -v clang++ >/dev/null 2>&1; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTARN_FUZZ=ON -DTARN_SANITIZE=ON \
    -DTARN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-fuzz -j2 --target fuzzers
  (cd build-fuzz && ctest --output-on-failure -L fuzz --timeout 600)
fi
