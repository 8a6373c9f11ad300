#!/usr/bin/env bash
# The Debian packages as a user gets them: lintian finds no error and no
# warning; each package holds its own files and says what it needs; dpkg
# installs the three into a scratch root (never the machine), where a C
# client builds with pkg-config alone and the programs run; dpkg removes
# them again without a trace.
#
# usage: packages_test.sh <source dir> <build dir> <version> <soversion> <libdir>
set -euo pipefail
src=$1 build=$2 version=$3 soversion=$4 libdir=$5
. "$(dirname "$0")/common.sh"
arch=$(dpkg --print-architecture)
lib=libusbserial$soversion

cpack -B "$scratch/pkg" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; fail "cpack"; finish "Debian packages"; }
expect_exactly "packages built" "$(cd "$scratch/pkg" && ls ./*.deb | sed 's|^\./||')" \
               "$(printf '%s\n' "libusbserial-dev_${version}_$arch.deb" "${lib}_${version}_$arch.deb" \
                                "tarnctl_${version}_$arch.deb")"
deb() { echo "$scratch/pkg/$1_${version}_$arch.deb"; }
for p in tarnctl $lib libusbserial-dev; do
    [ -f "$(deb $p)" ] || { fail "no package $p"; finish "Debian packages"; }
done

# ---- lintian: no error, no warning ------------------------------------------
if command -v lintian >/dev/null; then
    lintian_rc=0
    lintian --fail-on error,warning --tag-display-limit 0 "$scratch"/pkg/*.deb >"$scratch/lintian.log" 2>&1 ||
        lintian_rc=$?
    if [ "$lintian_rc" -ne 0 ] || grep -q '^[EW]: ' "$scratch/lintian.log"; then
        fail "lintian (exit $lintian_rc):"$'\n'"$(cat "$scratch/lintian.log")"
    fi
else
    fail "lintian is not installed (scripts/deps.sh --tests installs it)"
fi

# ---- what each package holds ---------------------------------------------------
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort; }
expect_exactly "contents of tarnctl" "$(contents "$(deb tarnctl)")" "$(sort <<EOF
usr/bin/tarnctl
usr/bin/tarnctl-sim
usr/lib/udev/rules.d/70-tarnctl.rules
usr/share/bash-completion/completions/tarnctl
usr/share/bash-completion/completions/tarnctl-sim
usr/share/doc/tarnctl/changelog.gz
usr/share/doc/tarnctl/copyright
usr/share/doc/tarnctl/examples/bench_check.py
usr/share/doc/tarnctl/json-schema.json
usr/share/doc/tarnctl/json.md
usr/share/man/man1/tarnctl-sim.1.gz
usr/share/man/man1/tarnctl.1.gz
EOF
)"
expect_exactly "contents of $lib" "$(contents "$(deb $lib)")" "$(sort <<EOF
usr/$libdir/libusbserial.so.$soversion
usr/$libdir/libusbserial.so.$version
usr/share/doc/$lib/changelog.gz
usr/share/doc/$lib/copyright
EOF
)"
expect_exactly "contents of libusbserial-dev" "$(contents "$(deb libusbserial-dev)")" "$(sort <<EOF
usr/$libdir/libusbserial.so
usr/$libdir/pkgconfig/usbserial.pc
usr/include/usbserial/WinTypes.h
usr/include/usbserial/usbserial.h
usr/share/doc/libusbserial-dev/changelog.gz
usr/share/doc/libusbserial-dev/copyright
EOF
)"

# ---- what each package says ----------------------------------------------------
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
for p in tarnctl $lib libusbserial-dev; do
    expect_exactly "Version of $p" "$(field $p Version)" "$version"
done
maintainer=$(field tarnctl Maintainer)
[[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is '$maintainer'"
depends=$(field tarnctl Depends)
for dep in "$lib (= $version)" libedit2 libc6; do
    grep -qF "$dep" <<<"$depends" || fail "tarnctl's Depends lacks $dep: $depends"
done
# udev only suggested: installing the package must not pull it (and a newer
# systemd) into a minimal system.
grep -qw udev <<<"$(field tarnctl Suggests)" || fail "tarnctl does not suggest udev"
[ -z "$(field tarnctl Recommends)" ] || fail "tarnctl recommends: $(field tarnctl Recommends)"
for dep in libusb-1.0-0 libc6; do
    grep -qw -- "$dep" <<<"$(field $lib Depends)" || fail "$lib's Depends lacks $dep: $(field $lib Depends)"
done
expect_exactly "Depends of libusbserial-dev" "$(field libusbserial-dev Depends)" "$lib (= $version)"
# The library package: shlibs for packages built against it, ldconfig by
# trigger and no maintainer scripts.
mkdir "$scratch/control"
dpkg-deb -e "$(deb $lib)" "$scratch/control"
expect_exactly "$lib's control files" "$(ls "$scratch/control")" "$(printf '%s\n' control md5sums shlibs triggers)"
expect_exactly "$lib's shlibs" "$(cat "$scratch/control/shlibs")" "libusbserial $soversion $lib (>= $version)"
expect_exactly "$lib's triggers" "$(cat "$scratch/control/triggers")" "activate-noawait ldconfig"

# ---- installed into a scratch root with dpkg -----------------------------------
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root's dpkg knows none of the system's packages (libc6, ...).
as_dpkg() { dpkg --root="$root" --force-depends --force-not-root --log=/dev/null "$@"; }
as_dpkg -i "$(deb $lib)" "$(deb libusbserial-dev)" "$(deb tarnctl)" >"$scratch/dpkg.log" 2>&1 ||
    fail "dpkg -i into the scratch root:"$'\n'"$(cat "$scratch/dpkg.log")"

pc=$root/usr/$libdir/pkgconfig/usbserial.pc
grep -qx 'prefix=/usr' "$pc" || fail "usbserial.pc's prefix: $(grep prefix= "$pc")"
# pkg-config puts the sysroot in front of usbserial.pc's absolute paths, as
# it does when cross-compiling.
export PKG_CONFIG_LIBDIR=$root/usr/$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$root
expect_exactly "pkg-config --cflags --libs" "$(echo $(pkg-config --cflags --libs usbserial))" \
               "-I$root/usr/include/usbserial -L$root/usr/$libdir -lusbserial"
build_c_client "$src" "$scratch/c_client"
unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR
[ ! -x "$scratch/c_client" ] || LD_LIBRARY_PATH=$root/usr/$libdir "$scratch/c_client" >/dev/null || fail "C client failed"

out=$(TARNCTL_SIM_TIMING=fast TARNCTL_SIM_STATE=$scratch/state "$root/usr/bin/tarnctl-sim" -V) ||
    fail "installed tarnctl-sim -V failed"
[[ $out == Firmware\ * ]] || fail "installed tarnctl-sim -V printed: $out"
out=$(LD_LIBRARY_PATH=$root/usr/$libdir "$root/usr/bin/tarnctl" -h) || fail "installed tarnctl -h failed"
[[ $out == Corvane\ control* ]] || fail "installed tarnctl -h printed: $out"
[ "$(LD_LIBRARY_PATH=$root/usr/$libdir ldd "$root/usr/bin/tarnctl" | awk '/libusbserial/ { print $3 }')" = \
  "$root/usr/$libdir/libusbserial.so.$soversion" ] || fail "tarnctl does not load the packaged libusbserial"

expect_exactly "latest changelog entry" "$(zcat "$root/usr/share/doc/tarnctl/changelog.gz" | head -n 1)" \
               "tarnctl ($version) unstable; urgency=medium"
zgrep -qF -- " -- $maintainer  " "$root/usr/share/doc/tarnctl/changelog.gz" || fail "changelog not signed by $maintainer"
rule=$root/usr/lib/udev/rules.d/70-tarnctl.rules
grep -q 'ATTR{idVendor}=="0403", ATTR{idProduct}=="7f80", TAG+="uaccess", GROUP="plugdev"' "$rule" ||
    fail "udev rule does not grant the converter to the seat's user and plugdev"

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
    want=$'trigger\ndump\n-C\n-h -l -d -D -U -i -N -V -p -r -w -c -m -s -P -S -M -T -G -A -X -C -e -H -j --help --version --json --pretty'
    [ "$got" = "$want" ] || fail "completion gave:"$'\n'"$got"
else
    fail "bash-completion is not installed (scripts/deps.sh --tests installs it)"
fi

as_dpkg -r tarnctl libusbserial-dev "$lib" >>"$scratch/dpkg.log" 2>&1 || fail "dpkg -r from the scratch root"
left=$(cd "$root" && find usr ! -type d 2>/dev/null || true)
[ -z "$left" ] || fail "left after removal: $left"

finish "Debian packages"
