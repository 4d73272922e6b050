#!/usr/bin/env bash
# vhbtool from the command line: create, list, verify, extract, compare and their errors.
set -uo pipefail
tool=$1
work=$2
rm -rf "$work" && mkdir -p "$work"
cd "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# expect STATUS CMD...: runs CMD, checks its exit status, keeps stdout/stderr in out/err.
expect() {
    local want=$1
    shift
    "$@" >out 2>err
    local got=$?
    [ "$got" = "$want" ] || fail "'$*' exited $got, expected $want: $(cat err)"
}

mkdir -p tree/VM/MSG tree/VM/PROMPTS/0/0/0
printf '0110\n' >tree/VM/PROMPTS/0/0/0/VERSION.TXT
# A text of Windows paths whose second stream block begins with "C:\".
{ head -c 1004 /dev/zero | tr '\0' '-'; printf 'C:\\ZEL\\VoxHarbor\\Backup\\a.vhb\r\n'; } >tree/VM/MSG/LIST.TXT
head -c 70000 /dev/urandom >tree/VM/MSG/M1.WAV
: >tree/EMPTY.TXT

expect 0 "$tool" create --version 1.10 --time 130000000000000000 tree a.vhb
expect 0 "$tool" create --version 1.10 --time 130000000000000000 tree b.vhb
cmp -s a.vhb b.vhb || fail "create is not reproducible with --time"
[ $(($(stat -c %s a.vhb) % 1024)) = 0 ] || fail "archive size is not a multiple of 1024"

expect 0 "$tool" verify a.vhb
grep -q 'well formed, version "1.10", 10 entries, integrity record matches' out || fail "verify: $(cat out)"

expect 0 "$tool" list --json a.vhb
grep -qF '{"path": "E:\\\\VM\\\\MSG\\LIST.TXT", "attributes": 32, "kind": "file", "creationTime": 130000000000000000, "lastAccessTime": 130000000000000000, "lastWriteTime": 130000000000000000, "size": 1035}' out ||
    fail "list --json: $(cat out)"
expect 0 "$tool" list a.vhb
head -1 out | grep -qx 'version: 1.10' || fail "list: $(head -1 out)"

expect 0 "$tool" extract --root G:\\ a.vhb restored
diff -r tree restored >/dev/null || fail "extracted tree differs"
expect 0 "$tool" extract --keep-prompts a.vhb kept
[ -e kept/VM/PROMPTS ] && fail "--keep-prompts restored the prompts"
cmp -s tree/VM/MSG/LIST.TXT kept/VM/MSG/LIST.TXT || fail "--keep-prompts lost a message"

# Errors: one line on stderr and a non-zero status.
expect 1 "$tool" verify missing.vhb
[ "$(wc -l <err)" = 1 ] || fail "missing archive: $(cat err)"
[ -e missing.vhb ] && fail "verify created the missing archive"
expect 2 "$tool" frobnicate
expect 2 "$tool" create --version 1234567 tree c.vhb
expect 1 "$tool" create tree tree/inside.vhb
expect 0 "$tool" --help
grep -q 'vhbtool extract' out || fail "--help does not document extract"
expect 0 "$tool" --version
grep -qx 'vhbtool [0-9][0-9.]*' out || fail "--version: $(cat out)"

# A damaged archive: the first problem and its offset.
head -c 5000 a.vhb >cut.vhb
expect 1 "$tool" verify cut.vhb
grep -q 'at byte 4096: .*not a whole number of 1024-byte blocks' err || fail "verify of a cut archive: $(cat err)"
expect 1 "$tool" list cut.vhb
[ "$(wc -l <err)" = 1 ] || fail "list of a cut archive: $(cat err)"
cp a.vhb bad.vhb
printf 'x' | dd of=bad.vhb bs=1 seek=$((2048 + 64)) conv=notrunc status=none
expect 1 "$tool" verify bad.vhb
grep -q 'at byte 2112: the attributes field' err || fail "verify of bad attributes: $(cat err)"
# Cut at an entry boundary: only the integrity record tells.
head -c $((4 * 1024)) a.vhb >short.vhb
expect 1 "$tool" verify short.vhb
grep -q 'it was cut short' err || fail "verify of an archive cut between entries: $(cat err)"
# One changed byte of a file's contents: only the checksums tell.
cp a.vhb flipped.vhb
printf 'Z' | dd of=flipped.vhb bs=1 seek=$(($(stat -c %s a.vhb) - 1500)) conv=notrunc status=none
cmp -s a.vhb flipped.vhb && fail "the byte was not changed"
expect 1 "$tool" verify flipped.vhb
grep -q 'checksums' err || fail "verify of a changed byte: $(cat err)"
# What verify refuses, list and extract refuse too; nothing of it is written.
expect 1 "$tool" list flipped.vhb
grep -q 'checksums' err || fail "list of a changed byte: $(cat err)"
expect 1 "$tool" extract flipped.vhb flipped-out
[ -z "$(ls -A flipped-out)" ] || fail "extract wrote a refused archive: $(ls -R flipped-out)"

# compare: the tree an archive was extracted to agrees with it; each difference is named.
expect 0 "$tool" compare --root G:\\ a.vhb restored
grep -q 'agree: 10 entries' out || fail "compare of an extracted tree: $(cat out) $(cat err)"
printf 'X' | dd of=restored/VM/MSG/M1.WAV bs=1 seek=517 conv=notrunc status=none
truncate -s 10 restored/VM/MSG/LIST.TXT
touch -d 2001-01-01 restored/VM/MSG/LIST.TXT
rm restored/EMPTY.TXT && mkdir restored/EMPTY.TXT
rm -r restored/VM/PROMPTS/0/0/0
: >restored/VM/NEW.WAV
expect 1 "$tool" compare a.vhb restored
for line in 'VM\MSG\LIST.TXT: size 1035 in the archive, 10 in the folder' \
    'VM\MSG\LIST.TXT: last-write time 130000000000000000 in the archive, 126' \
    'VM\MSG\M1.WAV: data differs from byte 517' 'VM\PROMPTS\0\0\0\: only in the archive' \
    'VM\PROMPTS\0\0\0\VERSION.TXT: only in the archive' \
    'EMPTY.TXT: a file in the archive, a directory in the folder' 'VM\NEW.WAV: only in the folder'; do
    grep -qF "$line" out || fail "compare does not say '$line': $(cat out)"
done
grep -q 'differences$' err || fail "compare's count: $(cat err)"

# What the program reads its own way: listed as it reads it, warned about, not refused.
: >empty.vhb
expect 0 "$tool" list empty.vhb
[ "$(cat out)" = "version: " ] || fail "list of a 0-byte archive: $(cat out)"
expect 1 "$tool" verify empty.vhb
grep -q 'at byte 0: the archive is empty' err || fail "verify of a 0-byte archive: $(cat err)"
python3 - <<'PY'
b = bytearray(2048)
b[0:7] = b'1.2345X'
b[1024:1028] = b'E:\\X'; b[1024 + 64] = ord('1')
for i in range(6): b[1024 + 96 + 32 * i] = ord('0')
f = bytearray(1024); f[0:6] = b'E:\\F.X'; f[64:66] = b'32'
for i in range(6): f[96 + 32 * i] = ord('0')
open('odd.vhb', 'wb').write(bytes(b) + bytes(1024) + bytes(f) + bytes(1024))
PY
expect 0 "$tool" list odd.vhb
head -1 out | grep -qx 'version: 1.2345' || fail "list of a 7-character version: $(head -1 out)"
grep -q '^? 1 0 ' out || fail "list of an entry of another kind: $(cat out)"
expect 0 "$tool" verify odd.vhb
grep -q 'warning at byte 6' err || fail "verify does not warn about byte 6: $(cat err)"
grep -q 'passes over the entry' err || fail "verify does not warn about the other kind: $(cat err)"

# A hostile entry is refused and nothing lands outside the folder.
python3 - <<'PY'
def block(path, attrs):
    b = bytearray(1024); b[0:len(path)] = path; b[64:64 + len(attrs)] = attrs
    for i in range(6): b[96 + 32 * i] = ord('0')
    return bytes(b)
rec = (1).to_bytes(4, 'little') + bytes(4) + (4).to_bytes(8, 'little') + bytes(4) + b'evil'
data = rec + bytes(1024 - len(rec))
with open('evil.vhb', 'wb') as f:
    f.write(bytes(1024) + block(b'E:\\\\..\\\\..\\ESCAPED', b'32') + data)
PY
expect 1 "$tool" extract evil.vhb jail
[ -e ESCAPED ] || [ -e ../ESCAPED ] && fail "a hostile path escaped the folder"
grep -q "has a '..' component" err || fail "hostile entry not refused: $(cat err)"

exit $((failures > 0))
