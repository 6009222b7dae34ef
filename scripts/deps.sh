#!/usr/bin/env bash
# Installs, with apt-get, every Debian package the build and the tests need
# that this machine does not have yet. Run as root. Safe to run again.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ ccache pkg-config
  # libraries the programs link
  libsqlite3-dev      # the machine's registry
  libcli11-dev        # command-line parsing of tarnhost and tarnctl
  libnbd-dev          # netdiskd serves network disks from any NBD export
  libxxhash-dev       # the conversion journal's checksum (header-only use)
  libfuse3-dev fuse3  # tarnhost shows each drive to Linux as a file (the block view)
  fusefat             # opens FAT drives' files through the block view
  qt6-base-dev fonts-dejavu-core   # the desktop program (Qt Widgets) and its dialog font
  # tests and benchmarks
  libgtest-dev libgmock-dev   # unit and end-to-end tests
  libbenchmark-dev            # bench/
  libssl-dev                  # an independent AES to check our ciphertext against
  clang libclang-rt-14-dev    # libFuzzer targets
  dosfstools mtools           # independent FAT checkers (fsck.fat, minfo, mdir, mcopy)
  fdisk                       # sfdisk checks the partition table of created images
  e2fsprogs                   # makes ext2/3/4 volumes the recognizer tests read
  xorriso                     # makes and reads ISO 9660 images in the tests
  tshark                      # decodes our RPC traffic as an independent check
  xvfb xauth                  # screenshots of the desktop program; the tray test's display
  trayer x11-utils            # a real system tray, and xwininfo to see the icon docked in it
  nbdkit                      # an independent NBD server behind netdiskd in the tests
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing packages and not root; run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
