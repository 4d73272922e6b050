#!/usr/bin/env bash
# The Windows program under Wine on a private Xvfb display:
#   window-smoke.sh PREFIX flashkeeper3.exe window_probe.exe OUTDIR
# The main window must appear with its title; the About item of its system menu must open the
# About box; a mouse click at the Select button's screen position must open "Select VoxHarbor
# Card". Screenshots of the three stay in OUTDIR.
set -euo pipefail
prefix=$1 program=$2 probe=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../cmake/wine-run.sh"
main_title="ZEL VoxHarbor Utility"
select_title="Select VoxHarbor Card"
about_title="About ZEL VoxHarbor Utility"
about_command=0x10 # the About item the program adds to its system menu
mkdir -p "$out"
rm -f "$out"/*.png

# A display of our own: Xvfb picks a free number and tells it on fd 3.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb=$!
cleanup() {
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    rm -f "$display_file"
}
trap cleanup EXIT
# A loaded machine may take a while to start it; without a number there is no display to test on.
for _ in $(seq 300); do
    [ -s "$display_file" ] && break
    sleep 0.1
done
[ -s "$display_file" ] || {
    echo "Xvfb gave no display number" >&2
    exit 1
}
export DISPLAY=:$(head -n1 "$display_file")

# Waits until a window with exactly this title is mapped (up to $2 half-seconds, 60 s unless
# given); prints its id.
wait_for() {
    local title=$1 id
    for _ in $(seq "${2:-120}"); do
        id=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n1 || true)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.5
    done
    echo "no window \"$title\" appeared" >&2
    return 1
}

"$wine_run" "$prefix" "$program" >"$out/program.log" 2>&1 &
# The first start in the prefix also brings Wine's own services up, which on a loaded machine
# has taken over a minute.
main=$(wait_for "$main_title" 360) || {
    tail -n 20 "$out/program.log" >&2
    exit 1
}
sleep 1 # let it paint
import -window root "$out/main-window.png"
echo "main window: $(xdotool getwindowname "$main")"

# There is no window manager to open the system menu with: post its choice as the menu would.
"$wine_run" "$prefix" "$probe" --syscommand "$main_title" "$about_command"
wait_for "$about_title" >/dev/null
sleep 1
import -window root "$out/about.png"
echo "system menu About: \"$about_title\" opened"
"$wine_run" "$prefix" "$probe" --command "$about_title" 1 # OK
for _ in $(seq 40); do
    xdotool search --onlyvisible --name "^$about_title\$" >/dev/null 2>&1 || break
    sleep 0.5
done

read -r x y < <("$wine_run" "$prefix" "$probe" "$main_title" 1025 | tr -d '\r')
echo "Select button at $x,$y"
xdotool mousemove "$x" "$y" click 1
selection=$(wait_for "$select_title")
sleep 1
import -window root "$out/select-card.png"
echo "after the click: $(xdotool getwindowname "$selection")"
