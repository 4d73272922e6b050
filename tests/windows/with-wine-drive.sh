#!/usr/bin/env bash
# Runs a Windows test program under Wine with one drive letter mapped to a new empty folder, which
# is also the share \\localhost\fk:
#   with-wine-drive.sh PREFIX LETTER TYPE PROGRAM.exe [ARGS...]
# TYPE is Wine's drive type (hd, floppy for a removable drive, cdrom, network). The program
# learns the letter from FK_WIN32_TEST_DRIVE. Wine reads its drives when its server starts, so
# the drive gets a prefix of its own (PREFIX-drive-LETTER, made once) whose server is restarted
# after the mapping; the folder goes away afterwards. Where mounting is allowed the folder is a
# file system of its own (tmpfs), so that the drive's used space is what the tests put on it, as
# on a card, not the host disk's; the program then learns FK_WIN32_TEST_DRIVE_OWN_VOLUME=1.
set -euo pipefail
letter=${2,,} type=$3
prefix=$1-drive-$letter
shift 3
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../cmake/wine-run.sh"

volume=$(mktemp -d "${TMPDIR:-/tmp}/fk-wine-$letter-XXXXXX")
link="$prefix/dosdevices/$letter:"
share="$prefix/dosdevices/unc/localhost/fk"
own_volume=0
cleanup() {
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    rm -f "$link" "$share"
    if [ "$own_volume" = 1 ]; then
        umount "$volume" || echo "with-wine-drive: could not unmount $volume" >&2
    fi
    rm -rf "$volume"
}
trap cleanup EXIT
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=256m fkwinedrive "$volume" 2>/dev/null; then
    own_volume=1
fi
# A folder inside the volume, not its top: Wine shows a mount point as a reparse point.
folder=$volume/drive
mkdir "$folder"
"$wine_run" "$prefix" reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /t REG_SZ /d "$type" /f >/dev/null
rm -f "$link" "$share"
ln -s "$folder" "$link"
mkdir -p "$(dirname "$share")"
ln -s "$folder" "$share"
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix wineserver -w
FK_WIN32_TEST_DRIVE_OWN_VOLUME=$own_volume FK_WIN32_TEST_DRIVE=${letter^^} "$wine_run" "$prefix" "$@"
