#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Static checks of the DLLs scripts/build-windows.sh made (nothing here runs Windows
# code): the record layouts under both mingw compilers; the export table holding
# exactly the header's functions, undecorated; only system DLLs imported; on Win32 the
# stack bytes of every export (gendef reads its "ret N") equal to what the compiler
# makes of the header's prototype, and the import library resolving a host's calls.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
WIDTHS=("${@:-win32 win64}")
read -r -a WIDTHS <<< "${WIDTHS[*]}"
FAILED=0
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

fail() {
  echo "check-windows: $*" >&2
  FAILED=1
}
triple() { [[ $1 == win32 ]] && echo i686-w64-mingw32 || echo x86_64-w64-mingw32; }

# What a DLL may import: Windows itself and its C runtime, nothing from the toolchain.
SYSTEM_DLLS='^(kernel32|user32|advapi32|ws2_32|crypt32|bcrypt|msvcrt|gdi32|shell32|ole32)\.dll$'

for width in "${WIDTHS[@]}"; do
  dir=$ROOT/build/$width tr=$(triple "$width")
  dll=$dir/kvpdf.dll
  [[ -f $dll ]] || { fail "$width: no $dll (run scripts/build-windows.sh)"; continue; }

  "$tr-gcc-posix" -std=c11 -Wall -Werror -fsyntax-only -I"$ROOT/include" \
    "$ROOT/tests/windows/abi.c" || fail "$width: record layout differs (tests/windows/abi.c)"

  # The names the header declares, as the build's .def file took them.
  sed -n 's/^    \(Kv[A-Za-z_0-9]*\)$/\1/p' "$dir/kvpdf.def" | sort > "$WORK/declared"
  objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort > "$WORK/exported"
  if ! diff -u "$WORK/declared" "$WORK/exported" > "$WORK/exports.diff"; then
    fail "$width: exports differ from the header (- declared, + exported):"
    grep '^[-+][^-+]' "$WORK/exports.diff" >&2 || true
  fi
  [[ -s $WORK/declared ]] || fail "$width: no function found in $dir/kvpdf.def"

  objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' > "$WORK/imports"
  while read -r name; do
    [[ ${name,,} =~ $SYSTEM_DLLS ]] || fail "$width: imports $name, not a system DLL"
  done < "$WORK/imports"

  if [[ $width == win32 ]]; then
    # The compiler's own decoration of each prototype: a reference to every function
    # leaves an undefined __imp__Name@N.
    {
      echo '#include "kvpdf.h"'
      echo 'void *const kvpdf_calls[] = {'
      sed 's/.*/    (void *)\&&,/' "$WORK/declared"
      echo '};'
      echo 'int main(void) { return kvpdf_calls[0] == 0; }'
    } > "$WORK/calls.c"
    "$tr-gcc-posix" -std=c11 -c -I"$ROOT/include" "$WORK/calls.c" -o "$WORK/calls.o"
    # A function without arguments returns with a plain "ret": gendef leaves it bare.
    "$tr-nm" "$WORK/calls.o" | sed -n 's/^ *U _\(_imp__\)\{0,1\}\(Kv.*@[0-9]*\)$/\2/p' |
      sed 's/@0$//' | sort -u > "$WORK/prototypes"
    sed -n 's/^\(Kv[A-Za-z_0-9]*\(@[0-9]*\)\{0,1\}\).*/\1/p' "$dir/gendef/kvpdf.def" |
      sort > "$WORK/stack"
    if ! diff -u "$WORK/prototypes" "$WORK/stack" > "$WORK/stack.diff"; then
      fail "win32: stack bytes differ (- from the header, + gendef of the DLL):"
      grep '^[-+][^-+]' "$WORK/stack.diff" >&2 || true
    fi
    (($(wc -l < "$WORK/prototypes") == $(wc -l < "$WORK/declared"))) ||
      fail "win32: not every function is __stdcall"
    "$tr-gcc-posix" "$WORK/calls.o" -o "$WORK/calls.exe" -L"$dir" -lkvpdf ||
      fail "win32: the import library does not resolve the header's decorated names"
  else
    if grep -q '@' "$dir/gendef/kvpdf.def"; then fail "$width: decorated names in the DLL"; fi
  fi
  ((FAILED)) || echo "check-windows: $width: $(wc -l < "$WORK/exported") exports, imports" \
    "$(paste -sd' ' "$WORK/imports"), layout ok$([[ $width == win32 ]] && echo ', __stdcall bytes match gendef')"
done
exit "$FAILED"
