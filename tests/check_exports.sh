#!/bin/sh
# Fails when the library exports any symbol of its own beyond the seven imgconvert_* calls.
set -eu
lib=$1
want="imgconvert_batch imgconvert_batch_status imgconvert_file imgconvert_formats imgconvert_last_error imgconvert_probe imgconvert_version"
# Defined dynamic symbols of the library that others can bind to (global, weak or unique: a
# local one, which a sanitizer build can leave in the table, is no export), minus what the
# toolchain's runtime adds.
got=$(nm -D --defined-only "$lib" | awk '$(NF-1) ~ /^[A-Zu]$/ {print $NF}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | sed 's/@.*//' | sort -u | tr '\n' ' ' | sed 's/ $//')
if [ "$got" != "$want" ]; then
  echo "exported: $got"
  echo "expected: $want"
  exit 1
fi
