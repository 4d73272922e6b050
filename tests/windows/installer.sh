#!/usr/bin/env bash
# The installer under Wine, silently (/S), in a fresh prefix:
#   installer.sh PREFIX flashkeeper3-1.2-setup.exe ARCHIVE-FOLDER window_probe.exe
# It must put the whole tree in C:\ZEL\VoxHarbor\ with the archives the build made, and record
# where and how large in its uninstall key; it carries version information. The uninstaller
# must keep Backup\ when it holds a backup and remove everything else. The program is installed
# again at the end, for the window tests that run in the same prefix.
set -euo pipefail
prefix=$1 setup=$2 archives=$3 probe=$4
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../cmake/wine-run.sh"
root=$prefix/drive_c/ZEL/VoxHarbor
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
install() {
    "$wine_run" "$prefix" "$setup" /S
    WINEPREFIX=$prefix wineserver -w
}

WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
rm -rf "$prefix"
install
for f in flashkeeper3.exe vhbtool.exe Uninstall.exe; do
    [ -f "$root/$f" ] || fail "$f was not installed"
done
[ -d "$root/Backup" ] || fail "Backup was not made"
cmp "$root/Prompts/PromptUpdateVer1_2.vhp" "$archives/PromptUpdateVer1_2.vhp" || fail "prompt update archive differs"
cmp "$root/Data/InitializedFileStruct.vhb" "$archives/InitializedFileStruct.vhb" || fail "initial archive differs"
link=$(find "$prefix/drive_c" -name "ZEL VoxHarbor Utility.lnk" | head -n1)
[ -n "$link" ] || fail "no Start-menu entry"
echo "installed: $(cd "$root" && find . -type f | sort | tr '\n' ' ')"

key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\flashkeeper3'
values=$("$wine_run" "$prefix" reg query "$key" | tr -d '\r')
grep -Eq 'InstallLocation +REG_SZ +C:\\ZEL\\VoxHarbor$' <<<"$values" || fail "no InstallLocation: $values"
size=$(sed -nE 's/.*EstimatedSize +REG_DWORD +0x([0-9a-f]+).*/\1/p' <<<"$values")
installed_kb=$(du -sk --apparent-size "$root" | cut -f1)
[ -n "$size" ] && [ $((16#$size)) -ge $((installed_kb * 9 / 10)) ] && [ $((16#$size)) -le $((installed_kb * 11 / 10)) ] ||
    fail "EstimatedSize ${size:-missing} (hex KB) is not the installed $installed_kb KB"
echo "uninstall key: InstallLocation C:\ZEL\VoxHarbor, EstimatedSize $((16#$size)) KB"
# Wine's drive Z: is the build machine's root.
version=$(echo "resources Z:$(realpath "$setup")" | "$wine_run" "$prefix" "$probe" | tr -d '\r')
for part in "CompanyName=ZEL;" "FileVersion=1.2;" "ProductName=ZEL VoxHarbor Utility;"; do
    grep -qF "$part" <<<"$version" || fail "the installer lacks $part in its version information: $version"
done
echo "installer version information: ${version%%manifest=*}"
echo "Start-menu entry: ${link#"$prefix/drive_c/"}"

# The installed vhbtool reads the installed archive.
"$wine_run" "$prefix" "$root/vhbtool.exe" verify 'C:\ZEL\VoxHarbor\Data\InitializedFileStruct.vhb' ||
    fail "the installed vhbtool does not verify the installed archive"

# Uninstalling keeps a Backup folder that holds something, and only that.
echo backup >"$root/Backup/CARD.VHB"
"$wine_run" "$prefix" "$root/Uninstall.exe" /S
WINEPREFIX=$prefix wineserver -w
left=$(cd "$prefix/drive_c/ZEL" && find . | sort | tr '\n' ' ')
[ "$left" = ". ./VoxHarbor ./VoxHarbor/Backup ./VoxHarbor/Backup/CARD.VHB " ] || fail "after uninstalling: $left"
[ -z "$(find "$prefix/drive_c" -name "ZEL VoxHarbor Utility.lnk")" ] || fail "the Start-menu entry stayed"
echo "uninstalled, kept: $left"

rm "$root/Backup/CARD.VHB"
install
[ -f "$root/flashkeeper3.exe" ] || fail "the second installation failed"
