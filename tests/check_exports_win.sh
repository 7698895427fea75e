#!/bin/sh
# Fails when the DLL exports anything beyond the seven imgconvert_* calls, or imports from a
# DLL that Windows does not ship.
set -eu
dll=$1
objdump=${MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}
want="imgconvert_batch imgconvert_batch_status imgconvert_file imgconvert_formats imgconvert_last_error imgconvert_probe imgconvert_version"
table=$("$objdump" -p "$dll")
# The export table's name list: "[ordinal] name" lines after "[Ordinal/Name Pointer] Table".
got=$(echo "$table" | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^\t\[/ { print $NF; next } on { on = 0 }' |
  sort -u | tr '\n' ' ' | sed 's/ $//')
if [ "$got" != "$want" ]; then
  echo "exported: $got"
  echo "expected: $want"
  exit 1
fi
imports=$(echo "$table" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
bad=$(echo "$imports" | grep -v -x -E 'kernel32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll|ws2_32\.dll|bcrypt\.dll|advapi32\.dll|ole32\.dll|user32\.dll|shell32\.dll|secur32\.dll' || true)
if [ -n "$bad" ]; then
  echo "imports DLLs Windows does not ship: $bad"
  exit 1
fi
echo "exports: $got"
echo "imports: $(echo "$imports" | tr '\n' ' ')"
