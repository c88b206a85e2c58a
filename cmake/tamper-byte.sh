#!/bin/sh
# tamper-byte.sh <signed file> <output>
# Copies a signed file and changes one byte of its content (inverted; 0xFF becomes 1) a quarter
# of the way in: inside the signed image and well before the signature at the end, so the copy
# still carries a well-formed signature that no longer matches what it signs.
set -eu
cp -f "$1" "$2.tmp"
size=$(wc -c < "$2.tmp")
offset=$((size / 4))
byte=$(od -An -tu1 -j "$offset" -N1 "$2.tmp" | tr -d ' ')
changed=$((byte ^ 255))
[ "$changed" -ne 0 ] || changed=1  # a NUL does not survive printf in every shell
printf "$(printf '\\%03o' "$changed")" |
    dd of="$2.tmp" bs=1 seek="$offset" count=1 conv=notrunc 2>/dev/null
mv -f "$2.tmp" "$2"
