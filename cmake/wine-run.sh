#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix, headless and quiet:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made on first use (wineboot, a few seconds); a lock keeps parallel build steps
# from making it twice. Wine's own messages are off (WINEDEBUG=-all), and neither Mono, Gecko
# nor desktop menu entries are installed.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=d}
export WINEARCH=win64
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/system.reg" ]; then
            wineboot -i >/dev/null 2>&1
            wineserver -w
        fi
    ) 9>"$prefix.lock"
fi
exec wine "$@"
