#!/usr/bin/env bash
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
# Installs the built tree into staging roots and checks what a system gets.
set -uo pipefail
build=$1 source=$2
work=$(mktemp -d /tmp/tarn-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_file() { [ -f "$1" ] || fail "missing $1"; }
expect_line() { grep -qxF -- "$2" "$1" || fail "$1 lacks the line: $2"; }

# The resolved path of libtarn_nt.so in ldd's output.
kernel_layer_of() { readlink -f "$(echo "$1" | awk '/libtarn_nt/ {print $3}')"; }

# install PREFIX ROOT: cmake --install into ROOT with DESTDIR.
install_into() {
    DESTDIR=$2 cmake --install "$build" --prefix "$1" >"$work/install.log" 2>&1 ||
        { cat "$work/install.log"; fail "cmake --install --prefix $1 failed"; }
}

# --- prefix /usr, as a distribution installs it ---
root=$work/root
install_into /usr "$root"
for p in tarnhost tarnsvc tarnctl; do
    [ -x "$root/usr/bin/$p" ] || fail "program $p is not installed"
done
[ -x "$build/app/shroudkeep" ] && { [ -x "$root/usr/bin/shroudkeep" ] || fail "shroudkeep is not installed"; }
expect_file "$root/usr/lib/tarnvault/libtarn_nt.so"
expect_file "$root/usr/lib/tarnvault/tarn.so"
[ -f "$build/vdisk/vtarn.so" ] && expect_file "$root/usr/lib/tarnvault/vtarn.so"
expect_file "$root/usr/share/doc/tarnvault/UserManual.html"

# The programs run from the install, with its own kernel layer, not the build's.
for p in tarnhost tarnsvc tarnctl; do
    deps=$(ldd "$root/usr/bin/$p" 2>&1)
    echo "$deps" | grep -q "not found" && fail "$p: a library is not found: $deps"
    if echo "$deps" | grep -q libtarn_nt; then
        [ "$(kernel_layer_of "$deps")" = "$(readlink -f "$root/usr/lib/tarnvault/libtarn_nt.so")" ] ||
            fail "$p loads the kernel layer from elsewhere: $(echo "$deps" | grep libtarn_nt)"
    fi
    readelf -d "$root/usr/bin/$p" | grep -E "RPATH|RUNPATH" | grep -qF "$build" && fail "$p keeps the build tree in its search path"
done
deps=$(ldd "$root/usr/lib/tarnvault/tarn.so" 2>&1)
[ "$(kernel_layer_of "$deps")" = "$(readlink -f "$root/usr/lib/tarnvault/libtarn_nt.so")" ] ||
    fail "tarn.so does not find the kernel layer next to it: $deps"
machine=$work/machine
"$root/usr/bin/tarnhost" --machine "$machine" init >"$work/init.log" 2>&1 || fail "the installed tarnhost cannot init: $(cat "$work/init.log")"
"$root/usr/bin/tarnhost" --machine "$machine" drive list 2>&1 | grep -q "E:" || fail "the installed tarnhost lists no drive E:"
"$root/usr/bin/tarnctl" --help 2>&1 | grep -q "open" || fail "the installed tarnctl has no open command"

# The unit: the installed programs and drivers, the machine under
# /var/lib/tarnvault, the sockets' group.
unit=$root/usr/lib/systemd/system/tarnhost.service
expect_file "$unit"
expect_line "$unit" "ExecStart=/usr/bin/tarnhost --machine /var/lib/tarnvault/machine run"
expect_line "$unit" "Group=tarnvault"
expect_line "$unit" "UMask=0007"
expect_line "$unit" "Environment=TARNVAULT_MACHINE=/var/lib/tarnvault/machine"
expect_line "$unit" "Environment=TARNVAULT_FILTER_MODULE=/usr/lib/tarnvault/tarn.so"
expect_line "$unit" "Environment=TARNVAULT_SERVICE_PROGRAM=/usr/bin/tarnsvc"
expect_line "$unit" "WantedBy=multi-user.target"
grep -q "@[A-Z]*@" "$unit" && fail "the unit has unreplaced placeholders"
# Every installed path the unit names exists in the install.
for path in $(grep -oE "/usr/[A-Za-z0-9/_.-]+" "$unit" | sort -u); do
    # vtarn is optional while the tree grows; tarnhost skips a missing module.
    [ "${path##*/}" = vtarn.so ] && [ ! -f "$build/vdisk/vtarn.so" ] && continue
    [ -e "$root$path" ] || fail "the unit names $path, which is not installed"
done
grep -q "init --group tarnvault" "$unit" || fail "the unit does not create the machine for the group"

# The launcher names an installed program and icon.
desktop=$root/usr/share/applications/shroudkeep.desktop
if [ -x "$build/app/shroudkeep" ]; then
    expect_file "$desktop"
    expect_line "$desktop" "Exec=shroudkeep"
    expect_line "$desktop" "Icon=shroudkeep"
    expect_file "$root/usr/share/icons/hicolor/32x32/apps/shroudkeep.png"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$desktop" || fail "desktop-file-validate refuses the launcher"
    fi
fi

# The group: systemd-sysusers creates it; members use the system machine.
expect_line "$root/usr/lib/sysusers.d/tarnvault.conf" "g tarnvault -"
profile=$root/etc/profile.d/tarnvault.sh
expect_file "$profile"
sh -n "$profile" || fail "$profile is not valid sh"
chosen=$(env -u TARNVAULT_MACHINE sh -c ". '$profile'; echo \"\${TARNVAULT_MACHINE:-}\"")
if [ -e /var/lib/tarnvault/machine/drives.conf ]; then
    [ "$chosen" = /var/lib/tarnvault/machine ] || fail "the profile does not choose the system machine"
else
    [ -z "$chosen" ] || fail "the profile chose a machine that is not there: $chosen"
fi
kept=$(TARNVAULT_MACHINE=/mine sh -c ". '$profile'; echo \"\$TARNVAULT_MACHINE\"")
[ "$kept" = /mine ] || fail "the profile overrode a machine the user chose"

# The package's postinst makes the group once, with a stand-in for the
# system's tools.
fake=$work/fakebin
mkdir -p "$fake"
for tool in addgroup groupadd systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/calls" >"$fake/$tool"
done
printf '#!/bin/sh\n[ -e "%s" ]\n' "$work/group-exists" >"$fake/getent"
chmod +x "$fake"/*
PATH=$fake:$PATH sh "$source/packaging/postinst" configure >/dev/null || fail "postinst configure failed"
grep -qx "addgroup --system tarnvault" "$work/calls" || fail "postinst did not create the group: $(cat "$work/calls" 2>/dev/null)"
: >"$work/calls"
touch "$work/group-exists"
PATH=$fake:$PATH sh "$source/packaging/postinst" configure >/dev/null || fail "postinst configure failed"
grep -q "group" "$work/calls" && fail "postinst touched an existing group: $(cat "$work/calls")"

# --- another prefix: the generated files follow it ---
other=$work/other
install_into /opt/tarnvault "$other"
expect_line "$other/opt/tarnvault/lib/systemd/system/tarnhost.service" \
    "ExecStart=/opt/tarnvault/bin/tarnhost --machine /var/lib/tarnvault/machine run"
expect_file "$other/opt/tarnvault/etc/profile.d/tarnvault.sh"
[ -e "$other/etc" ] && fail "an install under /opt wrote into /etc"

# --- the Debian package ---
if command -v dpkg-deb >/dev/null && command -v cpack >/dev/null; then
    (cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
    deb=$(ls "$work"/pkg/*.deb 2>/dev/null | head -1)
    if [ -z "$deb" ]; then
        fail "cpack made no .deb"
    else
        info=$(dpkg-deb -I "$deb")
        echo "$info" | grep -q "Package: tarnvault" || fail "the package is not named tarnvault"
        echo "$info" | grep -E "Depends:" | grep -q "fuse3" || fail "the package does not depend on fuse3: $info"
        echo "$info" | grep -q " postinst" || fail "the package has no postinst"
        dpkg-deb -e "$deb" "$work/control"
        grep -qx "/etc/profile.d/tarnvault.sh" "$work/control/conffiles" || fail "the profile script is not a conffile"
        dpkg-deb -x "$deb" "$work/deb"
        expect_line "$work/deb/usr/lib/systemd/system/tarnhost.service" \
            "ExecStart=/usr/bin/tarnhost --machine /var/lib/tarnvault/machine run"
        expect_file "$work/deb/etc/profile.d/tarnvault.sh"
        [ -x "$work/deb/usr/bin/tarnhost" ] || fail "the package has no tarnhost"
        expect_file "$work/deb/usr/lib/tarnvault/tarn.so"
    fi
else
    echo "dpkg-deb or cpack is not here: the Debian package is not checked"
fi

[ "$failures" -eq 0 ] && echo "install checks passed"
exit $((failures > 0))
