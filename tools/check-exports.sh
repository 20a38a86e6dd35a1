#!/usr/bin/env bash
# Checks the export tables of the print processor library: the Windows DLL
# (cross-built with the mingw preset) exports exactly the seven print
# processor entry points; the Linux library exports those and DllMain.
set -euo pipefail
cd "$(dirname "$0")/.."

entry_points="ClosePrintProcessor
ControlPrintProcessor
EnumPrintProcessorDatatypesW
GetPrintProcessorCapabilities
InstallPrintProcessor
OpenPrintProcessor
PrintDocumentOnPrintProcessor"

fail=0
compare() {  # what expected-list actual-list
  if [ "$2" = "$3" ]; then
    echo "check-exports: $1: OK ($(echo "$3" | wc -l) exports)"
  else
    echo "check-exports: $1: export table differs (- expected, + actual):" >&2
    diff <(echo "$2") <(echo "$3") >&2 || true
    fail=1
  fi
}

# Windows DLL, with the static cross-build of OpenJPEG (kept in the build
# tree: a rerun does not rebuild it).
tools/setup-debian.sh
tools/build-openjpeg-mingw.sh build/mingw/openjpeg
cmake --preset mingw
cmake --build --preset mingw -j "$(nproc 2>/dev/null || echo 2)"
dll=build/mingw/bin/qlwinprn.dll
[ -f "$dll" ] || { echo "check-exports: $dll was not built" >&2; exit 1; }
# The export table lists "[ordinal] name" rows under "[Ordinal/Name Pointer] Table".
dll_exports="$(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\([A-Za-z_][A-Za-z0-9_@]*\).*$/\1/p' | sort)"
compare "$dll" "$entry_points" "$dll_exports"

# The DLL imports only system libraries: the codec and the C++ runtime are
# linked in statically.
system_dlls="advapi32.dll clusapi.dll gdi32.dll kernel32.dll msvcrt.dll resutils.dll user32.dll winspool.drv ws2_32.dll"
dll_imports="$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' |
  tr '[:upper:]' '[:lower:]' | sort -u)"
foreign="$(for d in $dll_imports; do case " $system_dlls " in *" $d "*) ;; *) echo "$d" ;; esac; done)"
foreign="$(echo "$foreign" | grep -v -e '^api-ms-win-' -e '^$' || true)"
if [ -n "$foreign" ]; then
  echo "check-exports: $dll imports non-system DLLs: $(echo $foreign)" >&2
  fail=1
else
  echo "check-exports: $dll: imports only system DLLs ($(echo $dll_imports))"
fi

# Linux shared library (built by the default preset).
so=build/default/bin/libqlwinprn.so
if [ ! -f "$so" ]; then
  cmake --preset default
  cmake --build --preset default --target qlwinprn
fi
# Every defined dynamic symbol counts, except the ones the linker adds.
so_exports="$(nm -D --defined-only "$so" | awk 'NF >= 3 {print $NF}' |
  grep -v -x -e _init -e _fini -e _edata -e _end -e __bss_start | sort)"
compare "$so" "$(printf '%s\nDllMain\n' "$entry_points" | sort)" "$so_exports"

exit "$fail"
