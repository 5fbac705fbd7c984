#!/usr/bin/env bash
# Checks that a linked nuvaudio.sys is what the Windows kernel expects of an
# x64 audio adapter driver, as far as the image itself shows it:
#
#   - PE32+ for x86-64, native subsystem, NX-compatible, relocatable;
#   - entered at DriverEntry;
#   - imports only from ntoskrnl.exe, portcls.sys, hal.dll and ks.sys, and
#     only the functions listed below;
#   - no static constructors or destructors (nothing would run them: there is
#     no C runtime start-up code in a driver);
#   - no AVX instructions (the kernel saves no AVX state for a driver).
#
# Usage: check-image.sh [--skip-if-missing] IMAGE
#   --skip-if-missing  exit 77 (a skipped CTest test) when IMAGE does not
#                      exist yet, i.e. the Windows build has not run.
# Every problem found is printed; the exit status is 1 if there was one.
set -euo pipefail

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}

skip_if_missing=0
if [ "${1:-}" = "--skip-if-missing" ]; then
  skip_if_missing=1
  shift
fi
if [ $# -ne 1 ]; then
  echo "usage: $0 [--skip-if-missing] IMAGE" >&2
  exit 2
fi
image=$1
if [ ! -f "$image" ]; then
  if [ $skip_if_missing -eq 1 ]; then
    echo "check-image: $image not built (make windows builds it); skipped"
    exit 77
  fi
  echo "check-image: $image: no such file" >&2
  exit 1
fi

# The functions the driver is meant to call, by module. Kernel: pool, events
# and synchronous requests down the device stack, spin locks, the WDM version
# query, the processor-feature query (SSSE3 for the sample conversion) and
# wide-string formatting (swprintf; _vsnwprintf behind
# <ntstrsafe.h>); memset/memcpy/memmove/memcmp are what the compiler calls for
# zeroing, copying and comparing (GUIDs). Port class library: what
# windows/portcls.def lists. hal.dll and ks.sys are allowed modules with no
# function allowed yet: adding a call there is a decision, made here.
allowed_imports="
ntoskrnl.exe ExAllocatePoolWithTag
ntoskrnl.exe ExFreePool
ntoskrnl.exe ExFreePoolWithTag
ntoskrnl.exe KeInitializeEvent
ntoskrnl.exe IoBuildSynchronousFsdRequest
ntoskrnl.exe IofCallDriver
ntoskrnl.exe KeWaitForSingleObject
ntoskrnl.exe KeAcquireSpinLockRaiseToDpc
ntoskrnl.exe KeReleaseSpinLock
ntoskrnl.exe IoIsWdmVersionAvailable
ntoskrnl.exe ExIsProcessorFeaturePresent
ntoskrnl.exe swprintf
ntoskrnl.exe _vsnwprintf
ntoskrnl.exe memset
ntoskrnl.exe memcpy
ntoskrnl.exe memmove
ntoskrnl.exe memcmp
portcls.sys PcInitializeAdapterDriver
portcls.sys PcAddAdapterDevice
portcls.sys PcNewPort
portcls.sys PcRegisterSubdevice
portcls.sys PcRegisterPhysicalConnection
portcls.sys PcNewServiceGroup
"
allowed_modules="ntoskrnl.exe portcls.sys hal.dll ks.sys"

problems=0
checked_iunknown=""
problem() {
  echo "check-image: $image: $*" >&2
  problems=$((problems + 1))
}

headers=$("$OBJDUMP" -p "$image" 2>&1) || {
  problem "objdump cannot read it: $headers"
  exit 1
}
header_field() { # the value of a field of the optional header
  awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"
}

# --- Format, subsystem, entry point ------------------------------------------
grep -q 'file format pei-x86-64' <<<"$headers" || problem "not a PE image for x86-64"
[ "$(header_field Magic)" = "020b" ] || problem "optional header magic is not 020b (PE32+)"
[ "$(header_field Subsystem)" = "00000001" ] ||
  problem "subsystem $(header_field Subsystem) is not native (00000001)"
grep -q 'NX_COMPAT' <<<"$headers" || problem "not marked NX-compatible"
! grep -q 'relocations stripped' <<<"$headers" ||
  problem "base relocations stripped: the kernel cannot load it at another address"

entry=$(header_field AddressOfEntryPoint)
if [ -z "$entry" ] || [ $((16#$entry)) -eq 0 ]; then
  problem "no entry point"
fi

# The symbol table is needed for the entry and constructor checks; the
# build does not strip the image.
symbols=$("$OBJDUMP" -t "$image")
sections=$("$OBJDUMP" -h "$image")
if ! grep -q '^\[ *[0-9]*\](sec' <<<"$symbols"; then
  problem "no symbol table (stripped?): cannot check entry point and constructors"
else
  image_base=$(header_field ImageBase)
  # RVA of a symbol: its section's address (objdump -h numbers sections from
  # 0, the symbol table from 1) minus the image base, plus its value.
  symbol_rva() {
    local line sec value vma
    line=$(awk -v name="$1" '$NF == name { print; exit }' <<<"$symbols")
    [ -n "$line" ] || return 1
    sec=$(sed -E 's/.*\(sec +(-?[0-9]+)\).*/\1/' <<<"$line")
    value=$(awk '{ print $(NF - 1) }' <<<"$line")
    vma=$(awk -v idx=$((sec - 1)) '$1 == idx { print $4; exit }' <<<"$sections")
    [ -n "$vma" ] || return 1
    printf '%x\n' $((16#$vma - 16#$image_base + value))
  }
  if driver_entry=$(symbol_rva DriverEntry); then
    [ -z "$entry" ] || [ $((16#$driver_entry)) -eq $((16#$entry)) ] ||
      problem "entry point $(printf '%x' $((16#$entry))) is not DriverEntry ($driver_entry)"
  else
    problem "no DriverEntry"
  fi

  # --- IID_IUnknown ----------------------------------------------------------
  # The port class library answers queries for the kernel value of
  # <punknown.h>, 00000000-0000-0000-0000-C00000000046; the desktop value
  # (00000000-0000-0000-C000-000000000046, e.g. from mingw-w64's libksguid.a
  # or libuuid.a) matches nothing there.
  if iunknown=$(symbol_rva IID_IUnknown); then
    va=$((16#$image_base + 16#$iunknown))
    bytes=$("$OBJDUMP" -s --start-address=$va --stop-address=$((va + 16)) "$image" |
            awk '$1 ~ /^[0-9a-f]+$/ && NF >= 5 { print $2 $3 $4 $5; exit }')
    if [ "$bytes" = "00000000000000000000c00000000046" ]; then
      checked_iunknown=", IID_IUnknown checked"
    else
      problem "IID_IUnknown is $bytes, not the kernel value 00000000-0000-0000-0000-C00000000046"
    fi
  fi

  # --- Static constructors and destructors -----------------------------------
  # The linker frames the constructor list with an all-ones word and a zero
  # word (16 bytes on x64) and puts the destructor list right after it; any
  # more than 16 bytes between the two are constructors.
  ctor_list=$(symbol_rva __CTOR_LIST__ || true)
  dtor_list=$(symbol_rva __DTOR_LIST__ || true)
  if [ -n "$ctor_list" ] && [ -n "$dtor_list" ]; then
    ctor_bytes=$((16#$dtor_list - 16#$ctor_list))
    [ $ctor_bytes -eq 16 ] ||
      problem "static constructors: $(((ctor_bytes - 16) / 8)) entries in the constructor list"
  fi
  for name in $(awk '{ print $NF }' <<<"$symbols" |
                grep -E '^(_GLOBAL__sub_[ID]_|__main$|atexit$|_onexit$|__cxa_atexit$|__do_global_ctors)' |
                sort -u); do
    problem "static construction or destruction: $name"
  done
fi
for name in $(awk '$1 ~ /^[0-9]+$/ { print $2 }' <<<"$sections" |
              grep -E '^\.(ctors|dtors|init_array|fini_array|init|fini|tls)' | sort -u); do
  problem "section $name: nothing runs it in a kernel image"
done

# --- Imports -----------------------------------------------------------------
# objdump lists each module as "DLL Name: x", then one line per imported
# function: vma, hint (or ordinal), name.
imports=$(awk '
  /^The / { module = "" }
  /^\tDLL Name: / { module = tolower($3); next }
  module != "" && /^\t[0-9a-f]+\t *[0-9]+ +[^ ]+/ { print module, $3 }
  module != "" && /^\t[0-9a-f]+\t *[0-9]+ *$/ { print module, "<ordinal " $2 ">" }
' <<<"$headers" | sort -u)
while read -r module function; do
  [ -n "$module" ] || continue
  if ! grep -qw -- "$module" <<<"$allowed_modules"; then
    problem "imports from $module ($function): not a module the driver may use"
  elif ! grep -qx -- "$module $function" <<<"$allowed_imports"; then
    problem "unexpected import $module!$function"
  fi
done <<<"$imports"
# ntoskrnl must be there in any case: an image without an import table was
# not linked the way this build links.
grep -q '^ntoskrnl.exe ' <<<"$imports" || problem "imports nothing from ntoskrnl.exe"

# --- No AVX ------------------------------------------------------------------
# VEX-encoded instructions (v-prefixed mnemonics on vector registers,
# vzeroupper/vzeroall) and the ymm/zmm/mask registers need AVX state.
avx=$("$OBJDUMP" -d --no-show-raw-insn "$image" |
      awk -F'\t' 'NF >= 2 {
        insn = $NF
        if (insn ~ /%(ymm|zmm)[0-9]/ || insn ~ /^vzero(upper|all)/ ||
            insn ~ /^v[a-z0-9]+ .*%xmm[0-9]/ || insn ~ /%k[0-7]([^0-9]|$)/) print insn
      }' | head -3)
[ -z "$avx" ] || problem "AVX instructions, e.g. $(head -1 <<<"$avx")"

if [ $problems -ne 0 ]; then
  echo "check-image: $image: $problems problem(s)" >&2
  exit 1
fi
echo "check-image: $image: ok ($(wc -l <<<"$imports") imports$checked_iunknown)"
