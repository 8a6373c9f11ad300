#!/usr/bin/env bash
# What `cmake --install` and the Debian package put where: a C program built
# against the installed driver with pkg-config alone, the package's
# dependencies, and the packaged programs, udev rule and bash completion
# working from an unpacked package.
#
# usage: package_test.sh <source dir> <build dir> [<C flags of the build's sanitizer>]
set -euo pipefail
src=$1
build=$2
client_flags=${3:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_file() { [ -f "$1" ] || fail "missing $1"; }

# ---- cmake --install into a prefix of its own -------------------------------
inst=$scratch/inst
cmake --install "$build" --prefix "$inst" >/dev/null
libdir=$(dirname "$(find "$inst" -name usbserial.pc)")/..
expect_file "$inst/include/usbserial/usbserial.h"
expect_file "$inst/include/usbserial/WinTypes.h"
[ ! -e "$inst/include/WinTypes.h" ] || fail "WinTypes.h at the top of the include folder"
expect_file "$inst/lib/udev/rules.d/70-tarnctl.rules"
expect_file "$inst/share/bash-completion/completions/tarnctl"
expect_file "$inst/share/bash-completion/completions/tarnctl-sim"
expect_file "$inst/share/man/man1/tarnctl.1"

# A C client of the driver, found through pkg-config in the installed tree.
export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -std=c11 -pedantic -Werror $client_flags $(pkg-config --cflags usbserial) "$src/tests/capi/c_client.c" \
   $(pkg-config --libs usbserial) -o "$scratch/c_client" || fail "C client does not build against the installed layout"
[ ! -x "$scratch/c_client" ] || LD_LIBRARY_PATH=$libdir "$scratch/c_client" || fail "C client failed"
unset PKG_CONFIG_PATH

# ---- the Debian package ------------------------------------------------------------
cpack -G DEB -B "$scratch/pkg" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; fail "cpack"; }
deb=$(find "$scratch/pkg" -maxdepth 1 -name 'tarnctl_*.deb' | head -n 1)
if [ -z "$deb" ]; then
    fail "no package built"
else
    depends=$(dpkg-deb -f "$deb" Depends)
    for dep in libusb-1.0-0 libedit2 libc6; do
        grep -q "\b$dep\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
    done
    root=$scratch/root
    dpkg -x "$deb" "$root"
    expect_file "$root/usr/lib/udev/rules.d/70-tarnctl.rules"
    expect_file "$root/usr/share/bash-completion/completions/tarnctl"
    expect_file "$root/usr/share/man/man1/tarnctl.1"
    expect_file "$root/usr/include/usbserial/usbserial.h"
    [ -n "$(find "$root/usr/lib" -name 'libusbserial.so.1')" ] || fail "libusbserial.so.1 not packaged"
    [ -n "$(find "$root/usr/lib" -name 'usbserial.pc')" ] || fail "usbserial.pc not packaged"
    grep -q 'ATTR{idVendor}=="0403", ATTR{idProduct}=="7f80", TAG+="uaccess"' \
        "$root/usr/lib/udev/rules.d/70-tarnctl.rules" || fail "udev rule does not grant the converter"

    out=$(TARNCTL_SIM_TIMING=fast TARNCTL_SIM_STATE=$scratch/state "$root/usr/bin/tarnctl-sim" -V) ||
        fail "installed tarnctl-sim -V failed"
    [[ $out == Firmware\ * ]] || fail "installed tarnctl-sim -V printed: $out"
    # The real console finds its driver library in the package.
    libdir=$(dirname "$(find "$root/usr/lib" -name 'libusbserial.so.1')")
    out=$(LD_LIBRARY_PATH=$libdir "$root/usr/bin/tarnctl" -h) || fail "installed tarnctl -h failed"
    [[ $out == Corvane\ control* ]] || fail "installed tarnctl -h printed: $out"

    # The completion completes options and fixed words of their arguments.
    if [ -f /usr/share/bash-completion/bash_completion ]; then
        got=$(bash -c '
            source /usr/share/bash-completion/bash_completion
            source "$1"
            complete -p tarnctl-sim >/dev/null || exit 1
            for line in "tarnctl -w t" "tarnctl-sim -X du" "tarnctl -C" "tarnctl -U x -"; do
                read -ra COMP_WORDS <<<"$line"
                [ "${line: -1}" = " " ] && COMP_WORDS+=("")
                COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_LINE=$line; COMP_POINT=${#line}
                COMPREPLY=(); _tarnctl; echo "${COMPREPLY[*]}"
            done' _ "$root/usr/share/bash-completion/completions/tarnctl")
        want=$'trigger\ndump\n-C\n-h -l -d -D -U -i -N -V -p -r -w -c -m -s -P -S -M -T -G -A -X -C -e -H --help --version'
        [ "$got" = "$want" ] || fail "completion gave:"$'\n'"$got"
    else
        fail "bash-completion is not installed"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "0 passed, $failures failed"
    exit 1
fi
echo "package and install layout: 1 passed, 0 failed"
