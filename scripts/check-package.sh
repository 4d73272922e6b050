#!/usr/bin/env bash
# The Debian package, checked as a Debian developer and a user would: builds it (the package
# preset, cpack), runs lintian on it and on its -dbgsym package, hardening-check on the programs,
# desktop-file-validate and appstreamcli on the desktop entry and the AppStream metadata, installs
# it with dpkg into a throwaway root, starts the installed program there on Xvfb in host mode
# (no simulated PC) until its main window appears, and removes the package again.
# Prints every finding; exits 1 on the first check that fails.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-$(nproc)}
build=build/package
cmake --preset package >/dev/null
cmake --build --preset package -j "$jobs"
rm -f "$build"/*.deb "$build"/*.ddeb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/flashkeeper3_*.deb)
dbgsym=$(ls "$build"/flashkeeper3-dbgsym_*.ddeb)
work=$(mktemp -d "$PWD/$build/check.XXXXXX")
xvfb_pid=""
program_pid=""
cleanup() {
    for pid in $program_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "package check FAILED: $*" >&2
    exit 1
}

echo "--- $deb: $(dpkg-deb -f "$deb" Depends)"
version=$(dpkg-deb -f "$deb" Version)
[ "$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)" = "$version" ] ||
    fail "the newest entry of packaging/debian/changelog is not version $version"
# One entry per library: dpkg-shlibdeps' list, nothing added twice by hand.
dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*//; s/ //g' | sort | uniq -d | grep . &&
    fail "Depends names a package twice"

echo "--- lintian"
lintian --fail-on error,warning --display-info --tag-display-limit 0 "$deb" "$dbgsym" ||
    fail "lintian"

dpkg-deb -x "$deb" "$work/extracted"
dpkg-deb -x "$dbgsym" "$work/dbgsym"
echo "--- hardening-check"
for program in flashkeeper3 vhbtool; do
    binary=$work/extracted/usr/bin/$program
    # Control-flow protection needs every library built with it, which Debian 12's Qt is not.
    hardening-check --nocfprotection "$binary" || fail "hardening-check $program"
    # Stripped, and its symbols in the -dbgsym package under its build id.
    id=$(readelf -n "$binary" | sed -n 's/.*Build ID: //p')
    debug=$work/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
    readelf -S "$binary" | grep '\.debug_info' >/dev/null && fail "$program is not stripped"
    readelf -S "$debug" 2>/dev/null | grep '\.debug_info' >/dev/null || fail "no symbols of $program at $debug"
done

echo "--- desktop-file-validate, appstreamcli"
desktop-file-validate "$work"/extracted/usr/share/applications/*.desktop || fail "desktop-file-validate"
# --no-net: the screenshot's address is not fetched (there may be no network).
appstreamcli validate --pedantic --no-net "$work"/extracted/usr/share/metainfo/*.metainfo.xml ||
    fail "appstreamcli validate"
for size in 16 24 32 48 64 128 256; do
    icon=$work/extracted/usr/share/icons/hicolor/${size}x${size}/apps/flashkeeper3.png
    [ "$(identify -format %wx%h "$icon")" = "${size}x${size}" ] || fail "$icon is not ${size}x${size}"
done

echo "--- dpkg --root: install, start the program, remove"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The libraries it depends on are this machine's, not the throwaway root's.
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg -i"; }
for path in usr/bin/flashkeeper3 usr/bin/vhbtool usr/share/flashkeeper3/Prompts/PromptUpdateVer1_2.vhp \
    usr/share/flashkeeper3/Data/InitializedFileStruct.vhb usr/share/man/man1/flashkeeper3.1.gz \
    usr/share/man/man1/vhbtool.1.gz usr/share/doc/flashkeeper3/copyright usr/share/doc/flashkeeper3/changelog.gz; do
    [ -f "$root/$path" ] || fail "/$path is not installed"
done
"$root/usr/bin/vhbtool" verify "$root/usr/share/flashkeeper3/Data/InitializedFileStruct.vhb" ||
    fail "the installed vhbtool"

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
mkdir -p "$work/home"
# Host mode: the real drives, the installed data found beside the program, the Backup folder in
# a home of its own.
env -u VOXHARBOR_SIMULATED_PC -u FLASHKEEPER3_DATA_DIR -u XDG_DATA_HOME -u WAYLAND_DISPLAY \
    HOME="$work/home" QT_QPA_PLATFORM=xcb "$root/usr/bin/flashkeeper3" >"$work/program.log" 2>&1 &
program_pid=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^ZEL VoxHarbor Utility$' | head -n 1) ||
    { cat "$work/program.log"; fail "the installed program showed no main window"; }
sleep 1
# The re-install message would be a box captioned flashkeeper3; it must not come.
if xdotool search --onlyvisible --name '^flashkeeper3$' >/dev/null; then
    import -window root "$build/package-check-failed.png"
    fail "the installed program asks to be re-installed (see $build/package-check-failed.png)"
fi
kill -0 "$program_pid" 2>/dev/null || fail "the installed program ended"
[ -d "$work/home/.local/share/flashkeeper3/Backup" ] || fail "no Backup folder in the home"
echo "main window $(xwininfo -id "$window" | sed -n 's/.*geometry //p') of the installed program"
kill "$program_pid"
wait "$program_pid" 2>/dev/null || true
program_pid=""

dpkg --root="$root" --force-script-chrootless -r flashkeeper3 >>"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg -r"; }
left=$(find "$root" -path "$root/var" -prune -o ! -type d -print)
[ -z "$left" ] || fail "left after removal: $left"
echo "package check passed: $(basename "$deb") $(basename "$dbgsym")"
