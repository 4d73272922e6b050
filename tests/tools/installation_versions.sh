#!/usr/bin/env bash
# The installation archives carry the version blocks and VERSION.TXT files the card operations
# compare, and a fresh card's folders.
set -euo pipefail
tool=$1
dir=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

update=$("$tool" list --json "$dir/PromptUpdateVer1_2.vhp")
initial=$("$tool" list --json "$dir/InitializedFileStruct.vhb")
[[ $update == '{"version": "1.20", '* ]] || fail "prompt update version block: ${update:0:40}"
[[ $initial == '{"version": "1.10", '* ]] || fail "initial archive version block: ${initial:0:40}"
for slot in 0 1 2 3; do
    for text in "$update" "$initial"; do
        grep -qF "\"E:\\\\\\\\VM\\\\\\\\PROMPTS\\\\\\\\0\\\\\\\\$slot\\\\\\\\0\\\\VERSION.TXT\"" <<<"$text" ||
            fail "no VERSION.TXT for slot $slot"
    done
done
for folder in MSG GREET NAMES; do
    grep -qF "\"E:\\\\\\\\VM\\\\\\\\$folder\\\\\"" <<<"$initial" || fail "no VM\\$folder in the initial archive"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" extract "$dir/PromptUpdateVer1_2.vhp" "$work/card" >/dev/null
[ "$(cat "$work/card/VM/PROMPTS/0/3/0/VERSION.TXT")" = 0120 ] || fail "slot 3 version text"
"$tool" extract "$dir/InitializedFileStruct.vhb" "$work/fresh" >/dev/null
[ "$(cat "$work/fresh/VM/PROMPTS/0/0/0/VERSION.TXT")" = 0110 ] || fail "slot 0 version text"
echo ok
