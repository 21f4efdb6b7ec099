#!/bin/bash
# Writes a raw disk image: a GPT with one EFI System partition, FAT-formatted, holding
# the files given. Needs no root and no loop device (sgdisk, mtools).
#
#   tools/usb-image.sh OUTPUT [SIZE_MIB] [DEST=SOURCE ...]
#
# DEST is a path inside the partition (EFI/BOOT/BOOTX64.EFI); a SOURCE ending in .txt
# is written with CRLF line ends. With no DEST=SOURCE the partition stays empty, as on
# a machine's own disk. SIZE_MIB defaults to 8.
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

usage () { echo "usage: $0 OUTPUT [SIZE_MIB] [DEST=SOURCE ...]" >&2; exit 2; }
[ $# -ge 1 ] || usage
OUT="$1"; shift
SIZE=8
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then SIZE="$1"; shift; fi
[ "$SIZE" -ge 2 ] || { echo "usb-image: SIZE_MIB is at least 2" >&2; exit 2; }

for pair in "$@"; do
  [[ "$pair" == ?*=?* ]] || usage
  [ -f "${pair#*=}" ] || { echo "usb-image: missing ${pair#*=}" >&2; exit 1; }
done

export MTOOLS_SKIP_CHECK=1
TMP="$(mktemp "$OUT.XXXXXX")"
TXT="$(mktemp)"
trap 'rm -f "$TMP" "$TXT"' EXIT

truncate -s "${SIZE}M" "$TMP"
chmod 644 "$TMP"
out="$(sgdisk -o -n 1:2048:0 -t 1:EF00 -c 1:"EFI System" "$TMP" 2>&1)" || { echo "$out" >&2; exit 1; }
FIRST="$(sgdisk -i 1 "$TMP" | sed -n 's/^First sector: \([0-9]*\).*/\1/p')"
LAST="$(sgdisk -i 1 "$TMP" | sed -n 's/^Last sector: \([0-9]*\).*/\1/p')"
[ -n "$FIRST" ] && [ -n "$LAST" ] || { echo "usb-image: no partition in $TMP" >&2; exit 1; }
ESP="$TMP@@$((FIRST * 512))"
mformat -i "$ESP" -T $((LAST - FIRST + 1)) -h 64 -s 32 -H "$FIRST" -v NFCKEY ::

declare -A made=()
for pair in "$@"; do
  dest="${pair%%=*}" src="${pair#*=}"
  dest="${dest#/}"
  dir="" rest="$dest"
  while [[ "$rest" == */* ]]; do
    dir="$dir/${rest%%/*}" rest="${rest#*/}"
    [ -n "${made[$dir]:-}" ] || { mmd -i "$ESP" "::$dir"; made[$dir]=1; }
  done
  if [[ "$src" == *.txt ]]; then
    sed 's/\r*$/\r/' "$src" > "$TXT"
    src="$TXT"
  fi
  mcopy -o -i "$ESP" "$src" "::/$dest"
done

mv "$TMP" "$OUT"
trap - EXIT
rm -f "$TXT"
