#!/usr/bin/env bash
# What `cmake --install` puts where, and a C program built against the
# installed driver with nothing but pkg-config.
#
# usage: layout_test.sh <source dir> <build dir> <version> <soversion> <libdir>
#                       [<C flags of the build's sanitizer>]
set -euo pipefail
src=$1 build=$2 version=$3 soversion=$4 libdir=$5 client_flags=${6:-}
. "$(dirname "$0")/common.sh"

inst=$scratch/inst
cmake --install "$build" --prefix "$inst" >"$scratch/install.log" || { cat "$scratch/install.log" >&2; fail "cmake --install"; }

# Only what the packages hold: no archives or headers of the internal
# libraries, the driver's headers in a folder of their own.
expect_exactly "installed files" "$(cd "$inst" && find . ! -type d | sed 's|^\./||' | sort)" "$(sort <<EOF
bin/tarnctl
bin/tarnctl-sim
include/usbserial/WinTypes.h
include/usbserial/usbserial.h
$libdir/libusbserial.so
$libdir/libusbserial.so.$soversion
$libdir/libusbserial.so.$version
$libdir/pkgconfig/usbserial.pc
lib/udev/rules.d/70-tarnctl.rules
share/bash-completion/completions/tarnctl
share/bash-completion/completions/tarnctl-sim
share/doc/libusbserial$soversion/changelog.gz
share/doc/libusbserial$soversion/copyright
share/doc/libusbserial-dev/changelog.gz
share/doc/libusbserial-dev/copyright
share/doc/tarnctl/changelog.gz
share/doc/tarnctl/copyright
share/doc/tarnctl/examples/bench_check.py
share/doc/tarnctl/json-schema.json
share/doc/tarnctl/json.md
share/man/man1/tarnctl-sim.1.gz
share/man/man1/tarnctl.1.gz
EOF
)"
for page in tarnctl tarnctl-sim; do
    zgrep -q "^\.TH .* \"tarnctl $version\"" "$inst/share/man/man1/$page.1.gz" || fail "$page(1) is not of version $version"
done
soname=$(readelf -d "$inst/$libdir/libusbserial.so.$version" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libusbserial.so.$soversion" ] || fail "SONAME is '$soname'"

# usbserial.pc names the install prefix itself, not a path relative to it.
export PKG_CONFIG_PATH=$inst/$libdir/pkgconfig
expect_exactly "pkg-config --cflags --libs" "$(echo $(pkg-config --cflags --libs usbserial))" \
               "-I$inst/include/usbserial -L$inst/$libdir -lusbserial"
expect_exactly "pkg-config --modversion" "$(pkg-config --modversion usbserial)" "$version"
build_c_client "$src" "$scratch/c_client" $client_flags
[ ! -x "$scratch/c_client" ] || LD_LIBRARY_PATH=$inst/$libdir "$scratch/c_client" >/dev/null || fail "C client failed"

finish "install layout"
