#!/usr/bin/env bash
# vhbtool.exe under Wine, on the Win32 file services, against the archives of the Linux build:
#   archives-match.sh PREFIX vhbtool.exe INSTALLATION-FOLDER
# For each installation archive: the tree the build made it from gives the same bytes; and the
# archive extracted by vhbtool.exe and archived again (with the same fixed time) gives them too.
set -euo pipefail
prefix=$1 tool=$2 archives=$3
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../cmake/wine-run.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
time=134116992000000000 # the build's fixed archive time
for entry in PromptUpdateVer1_2.vhp:1.20 InitializedFileStruct.vhb:1.10; do
    name=${entry%%:*} version=${entry##*:}
    "$wine_run" "$prefix" "$tool" create --version "$version" --time "$time" "$archives/$name.tree" "$work/$name"
    cmp "$work/$name" "$archives/$name"
    mkdir "$work/$name.out"
    "$wine_run" "$prefix" "$tool" extract "$archives/$name" "$work/$name.out"
    "$wine_run" "$prefix" "$tool" create --version "$version" --time "$time" "$work/$name.out" "$work/$name.again"
    cmp "$work/$name.again" "$archives/$name"
    echo "$name: the same bytes as the Linux build's, also after extracting and archiving again"
done
