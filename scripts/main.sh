#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/deps.sh
bash scripts/build.sh build

# Until the machine and its service exist, the main job is the cipher's
# self-test followed by its benchmark summary.
build/cipher/tarn-selftest
build/bench/cipher/cipher_bench --benchmark_min_time=0.2
