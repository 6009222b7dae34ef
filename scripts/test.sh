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

# The kernel layer and the drivers run real threads: their tests run under
# ThreadSanitizer as well.
bash scripts/build.sh build-tsan -DTARN_TSAN=ON -DTARN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
  --target nt_test filter_test vdisk_test journal_unit_test
for t in nt/nt_test filter/filter_test vdisk/vdisk_test; do
  # Death tests fork a threaded process, which ThreadSanitizer does not support.
  TSAN_OPTIONS=halt_on_error=1 TARN_DBGPRINT=0 build-tsan/tests/$t --gtest_filter=-*DeathTest* --gtest_brief=1
done
# So does the conversion loop, which flushes and journals beside its writes;
# the cut-at-every-byte test is left out (minutes under ThreadSanitizer).
TSAN_OPTIONS=halt_on_error=1 TARN_DBGPRINT=0 build-tsan/tests/journal/journal_unit_test \
  --gtest_filter=-*DeathTest*:TornConversion.* --gtest_brief=1

# Fuzz targets run for a bounded time where clang is available.
if command -v clang++ >/dev/null 2>&1; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTARN_FUZZ=ON -DTARN_SANITIZE=ON \
    -DTARN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-fuzz -j2 --target fuzzers
  (cd build-fuzz && ctest --output-on-failure -L fuzz --timeout 600)
fi
