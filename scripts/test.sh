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
