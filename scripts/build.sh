#!/usr/bin/env bash
# Configures and builds one tree. Usage: scripts/build.sh DIR [cmake options...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
# Options up to "--target" go to cmake's configure step, the rest to the build.
configure=() build=()
while (($#)); do
  if [ "$1" = "--target" ]; then build=("$@"); break; fi
  configure+=("$1"); shift
done
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
# Relative paths let worktrees and fresh clones share cached objects.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
cmake -S "$top" -B "$dir" -G Ninja "${configure[@]}" >/dev/null
cmake --build "$dir" -j2 "${build[@]}"
