#!/usr/bin/env bash
# package.deb: builds the .deb from the release preset in a private build folder and checks
# it: its name and version, that every library the program links is provided by a package it
# depends on, the QML modules it needs at run time, its files (the program, the desktop
# entry, the icon, and not the reference service). As root it then installs the package with
# apt, starts `tolvex --version` and `tolvex --help` without a display, runs the Exec line of
# the autostart entry the installed program writes (check-autostart.sh), and removes it.
#
# Usage: tests/package/check-deb.sh [BUILD_FOLDER]     (default: build/package)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath -m "${1:-build/package}")

fail() { echo "package.deb: FAIL: $*" >&2; exit 1; }
note() { echo "package.deb: $*"; }

note "release build in $build"
# The reference service is left out of the build; the package must not need it either.
cmake --preset release -B "$build" -DTOLVEX_WERROR=ON -DTOLVEX_BUILD_DEVSERVICE=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/tolvex_*.deb
(cd "$build" && cpack -G DEB >/dev/null) || fail "cpack did not build the package"
debs=("$build"/tolvex_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one tolvex_*.deb in $build"
deb=${debs[0]}
note "built $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(field Package)" = tolvex ] || fail "package name is '$(field Package)'"
[ -n "$version" ] && [ "$(field Version)" = "$version" ] ||
    fail "package version '$(field Version)', project version '$version'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"

# Depends as bare package names, alternatives and version bounds dropped.
depends=$(field Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/[[:space:]]//g' | sed '/^$/d')
depends_on() { grep -qx "$1" <<<"$depends"; }

# Every library the linked program needs must come from a package the .deb depends on.
binary="$build/src/app/tolvex"
[ -x "$binary" ] || fail "no program at $binary"
# The package that ships a library; with merged /usr it may be listed under /lib or /usr/lib.
owner_of() {
    local path=$1 real candidate
    real=$(realpath "$path")
    for candidate in "$path" "$real" "${path#/usr}" "${real#/usr}" "/usr$path" "/usr$real"; do
        dpkg -S "$candidate" 2>/dev/null | sed -n 1p | cut -d: -f1 && return 0
    done
    return 1
}
libraries=$(ldconfig -p)
missing=()
while read -r library; do
    path=$(awk -v lib="$library" '$1 == lib && /x86-64/ { print $NF; exit }' <<<"$libraries")
    [ -n "$path" ] || fail "cannot find $library on this machine"
    owner=$(owner_of "$path") && [ -n "$owner" ] || fail "no package owns $path ($library)"
    depends_on "$owner" || missing+=("$library ($owner)")
done < <(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ ${#missing[@]} -eq 0 ] || fail "Depends lacks the packages of: ${missing[*]}"

# The screens load these at run time; the linker never sees them.
for module in qml6-module-qtquick qml6-module-qtquick-layouts qml6-module-qtquick-templates \
    qml6-module-qtquick-shapes libqt6svg6; do
    depends_on "$module" || fail "Depends lacks $module"
done

contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
for file in ./usr/bin/tolvex ./usr/share/applications/tolvex.desktop \
    ./usr/share/icons/hicolor/scalable/apps/tolvex.svg; do
    grep -qx "$file" <<<"$contents" || fail "the package lacks $file"
done
! grep -q devservice <<<"$contents" || fail "the reference service is in the package"
note "Depends: $(field Depends)"

if [ "$(id -u)" -ne 0 ]; then
    note "SKIP install check: installing the package needs root"
    note "PASS (contents and dependencies)"
    exit 0
fi
if dpkg-query -W -f='${Status}' tolvex 2>/dev/null | grep -q "install ok installed"; then
    note "SKIP install check: a tolvex package is already installed here; it is left alone"
    note "PASS (contents and dependencies)"
    exit 0
fi

removed=no
remove() {
    [ "$removed" = yes ] && return
    removed=yes
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq -o DPkg::Lock::Timeout=120 tolvex \
        >/dev/null 2>&1 || echo "package.deb: could not remove tolvex" >&2
}
trap remove EXIT
apt_log="$build/apt-install.log"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=120 "$deb" >"$apt_log" 2>&1 ||
    { cat "$apt_log" >&2; fail "apt-get could not install $deb"; }
[ -x /usr/bin/tolvex ] || fail "/usr/bin/tolvex is not there after the install"

# No display and no session: both answers come before the toolkit looks for one.
printed=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 /usr/bin/tolvex --version) ||
    fail "tolvex --version failed"
[ "$printed" = "tolvex $version" ] || fail "tolvex --version printed '$printed'"
help=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 /usr/bin/tolvex --help) ||
    fail "tolvex --help failed"
grep -q "tolvex" <<<"$help" && grep -q -- "--version" <<<"$help" ||
    fail "tolvex --help printed no usage"
# Started again as a login starts it: through the autostart entry the installed program writes.
tests/package/check-autostart.sh /usr/bin/tolvex || fail "the autostart entry does not start it"

remove
[ ! -e /usr/bin/tolvex ] || fail "/usr/bin/tolvex is still there after apt-get remove"
note "PASS (installed, started without a display and from its autostart entry, removed)"
