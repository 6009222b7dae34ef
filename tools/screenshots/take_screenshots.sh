#!/usr/bin/env bash
# Starts the desktop program under Xvfb on the demonstration machine and
# saves PNG screenshots of the main window in each mode, every page in its
# main states (plain, encrypted, locked, system drive, converting; CD/DVD
# encrypt and decrypt; Create Image; Mount with a free and a mounted letter),
# the tray menu, the About, password, Options, format and wait dialogs into
# the folder given.
# Usage: tools/screenshots/take_screenshots.sh OUTPUT_FOLDER [BUILD_DIR]
# FIXME: the pictures come from the demonstration machine; a tour against
# tarnhost and tarnsvc on a temporary machine is not scripted yet (the live
# windows are covered by tests/ui/live_pages_test.cpp).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:?usage: $0 OUTPUT_FOLDER [BUILD_DIR]}
build=${2:-$top/build}
program=$build/app/shroudkeep
if [[ ! -x $program ]]; then
  cmake --build "$build" --target shroudkeep
fi
mkdir -p "$out"
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (Debian packages xvfb, xauth)" >&2; exit 1; }
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
xvfb-run -a -s "-screen 0 1280x900x24" "$program" --demo --screenshot-tour "$out"
ls -1 "$out"/*.png
