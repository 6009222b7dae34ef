#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: the embedded default
# machine (tarnhost with its service tarnsvc), then the desktop program under
# the user's display, or without one the state of the drives and the next
# commands on the command line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/deps.sh
bash scripts/build.sh build

tarnhost=$top/build/platform/host/tarnhost
tarnctl=$top/build/tools/tarnctl/tarnctl
machine=${TARNVAULT_MACHINE:-${XDG_STATE_HOME:-$HOME/.local/state}/tarnvault/machine}
export TARNVAULT_MACHINE=$machine

[ -e "$machine/drives.conf" ] || "$tarnhost" init

# One machine per directory: start it unless it already answers.
if ! "$tarnctl" ping >/dev/null 2>&1; then
  nohup "$tarnhost" run >"$machine/tarnhost.log" 2>&1 &
  for _ in $(seq 50); do
    "$tarnctl" ping >/dev/null 2>&1 && break
    sleep 0.2
  done
fi

# With a display, the desktop program is the main job; without one, the
# command line.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting the desktop program shroudkeep (the machine keeps running after it ends)."
  exec "$top/build/app/shroudkeep"
fi

"$tarnctl" status
cat <<MSG

The machine runs in the background (log: $machine/tarnhost.log).
Next, as a newcomer would (the password is asked for, never given on the command line):
  export TARNVAULT_MACHINE=$machine
  $tarnctl encrypt E:      # encrypt the sample FAT32 drive in place
  $tarnctl lock E:         # forget the key: the drive reads as encrypted, locked
  $tarnctl unlock E:       # give the password again
  $tarnctl open E:         # its files in ~/Tarnvault/E for any Linux program; close with: tarnctl close E:
  $tarnctl decrypt E:      # back to a plain drive (closes the open view first)
  $tarnctl --help          # images, mounts, format, ...
Stop the machine with: kill \$(pgrep -f "tarnhost run")
MSG
