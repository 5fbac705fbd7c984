#!/usr/bin/env bash
# Checks that a linked nuvaudio.sys is what the Windows kernel expects of an
# x64 audio adapter driver, as far as the image itself shows it:
#
#   - PE32+ for x86-64, native subsystem, relocatable;
#   - what memory integrity (hypervisor-enforced code integrity) requires of
#     a driver image: sections aligned to the page size, none both writable
#     and executable, the import directory and import address table outside
#     executable sections, the NX-compatible flag;
#   - the PE checksum the loader computes;
#   - entered at DriverEntry;
#   - imports only from ntoskrnl.exe, portcls.sys, hal.dll and ks.sys, and
#     only the functions listed below;
#   - no static constructors or destructors (nothing would run them: there is
#     no C runtime start-up code in a driver);
#   - no AVX instructions (the kernel saves no AVX state for a driver).
#
# The symbols (entry point, IID_IUnknown, constructor list) come from the
# image's COFF symbol table (GNU ld keeps one) or, when it has none, from
# the PDB beside it (IMAGE with .pdb for its suffix, as lld writes it),
# which must then be the PDB of this very link.
#
# Usage: check-image.sh [--skip-if-missing] IMAGE
#   --skip-if-missing  exit 77 (a skipped CTest test) when IMAGE does not
#                      exist yet, i.e. the Windows build has not run.
# Every problem found is printed; the exit status is 1 if there was one.
set -euo pipefail

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
PYTHON=${PYTHON:-python3}
LLVM_PDBUTIL=${LLVM_PDBUTIL:-llvm-pdbutil}
peimage="$(dirname "$0")/peimage.py"

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
# The raw header facts (windows/peimage.py): section access, directories,
# checksum, the debug record.
facts=$("$PYTHON" "$peimage" facts "$image" 2>&1) || {
  problem "cannot read its headers: $facts"
  exit 1
}
fact() {
  awk -v name="$1" '$1 == name { print $2; exit }' <<<"$facts"
}

# --- Format, subsystem, entry point ------------------------------------------
grep -q 'file format pei-x86-64' <<<"$headers" || problem "not a PE image for x86-64"
[ "$(header_field Magic)" = "020b" ] || problem "optional header magic is not 020b (PE32+)"
[ "$(header_field Subsystem)" = "00000001" ] ||
  problem "subsystem $(header_field Subsystem) is not native (00000001)"
! grep -q 'relocations stripped' <<<"$headers" ||
  problem "base relocations stripped: the kernel cannot load it at another address"

# --- Memory integrity ----------------------------------------------------------
# With memory integrity on, the hypervisor maps each section of a driver with
# one protection, a page at a time, and never a page both writable and
# executable; the loader writes the import address table, so it must not sit
# in code. Windows refuses to load a driver that breaks any of these.
alignment=$(fact section-alignment)
(((alignment % 0x1000) == 0)) ||
  problem "section alignment $alignment is not a multiple of the page size (0x1000)"
(($(fact dll-characteristics) & 0x100)) || problem "not marked NX-compatible"
while read -r _ name _ _ access; do
  [[ $access != *W*X* ]] || problem "section $name is both writable and executable"
done < <(grep '^section ' <<<"$facts")
section_holding() { # the section line holding an address
  local rva=$(($1))
  while read -r _ name start size access; do
    if ((rva >= start && rva < start + size)); then
      echo "$name $access"
      return
    fi
  done < <(grep '^section ' <<<"$facts")
}
for directory in "import:import directory" "iat:import address table"; do
  read -r _ _ rva _ < <(grep "^directory ${directory%%:*} " <<<"$facts") || continue
  read -r name access < <(section_holding "$rva") || continue
  [[ $access != *X* ]] ||
    problem "the ${directory#*:} lies in executable section $name"
done

# --- Checksum ------------------------------------------------------------------
# The kernel's loader checks a driver's checksum; lld writes none, the build
# sets it (windows/peimage.py).
[ "$(fact checksum)" = "$(fact computed-checksum)" ] ||
  problem "PE checksum $(fact checksum) is not the image's checksum, $(fact computed-checksum)"

entry=$(header_field AddressOfEntryPoint)
if [ -z "$entry" ] || [ $((16#$entry)) -eq 0 ]; then
  problem "no entry point"
fi

# --- Symbols -------------------------------------------------------------------
# One table for the checks below, from either source: "NAME SECTION OFFSET",
# the section numbered from 1 as in the section table, the offset a number
# the shell reads (0x-prefixed from the symbol table, decimal from the PDB).
symbols=""
symbol_source=""
coff_symbols=$("$OBJDUMP" -t "$image")
pdb="${image%.*}.pdb"
if grep -q '^\[ *[0-9]*\](sec' <<<"$coff_symbols"; then
  symbol_source="symbol table"
  symbols=$(awk '/^\[ *[0-9]+\]\(sec +[0-9]+\)/ {
      sec = $0; sub(/.*\(sec +/, "", sec); sub(/\).*/, "", sec)
      print $NF, sec, $(NF - 1)
    }' <<<"$coff_symbols")
elif [ -f "$pdb" ]; then
  symbol_source="PDB"
  # The PDB describes the image only if it comes from the same link: the
  # image's debug record names its GUID and age.
  read -r _ image_guid image_age _ < <(grep '^codeview ' <<<"$facts") || true
  summary=$("$LLVM_PDBUTIL" dump --summary "$pdb" 2>&1) || problem "llvm-pdbutil cannot read $pdb"
  pdb_guid=$(sed -nE 's/^ *GUID: \{(.*)\}$/\1/p' <<<"$summary")
  pdb_age=$(sed -nE 's/^ *Age: ([0-9]+)$/\1/p' <<<"$summary")
  if [ -z "${image_guid:-}" ]; then
    problem "no symbol table and no debug record naming a PDB"
  elif [ "$image_guid $image_age" != "$pdb_guid $pdb_age" ]; then
    problem "$pdb is not the PDB of this image (image: $image_guid age $image_age; PDB: $pdb_guid age $pdb_age)"
  else
    # Publics (S_PUB32: name, then "addr = SECTION:OFFSET" on the next line)
    # and the module's procedures, static ones included (S_LPROC32).
    symbols=$( ("$LLVM_PDBUTIL" dump --publics "$pdb"; "$LLVM_PDBUTIL" dump --symbols "$pdb") |
      awk '/ S_(PUB32|GPROC32|LPROC32) / { split($0, quoted, "`"); name = quoted[2]; next }
           name != "" && match($0, /addr = [0-9]+:[0-9]+/) {
             split(substr($0, RSTART + 7, RLENGTH - 7), at, ":")
             print name, at[1] + 0, at[2] + 0
           }
           { name = "" }')
  fi
else
  problem "no symbol table and no PDB ($pdb): cannot check entry point and constructors"
fi

if [ -n "$symbols" ]; then
  # RVA of a symbol: its section's address plus its offset.
  symbol_rva() {
    local sec offset start
    read -r _ sec offset < <(awk -v name="$1" '$1 == name { print; exit }' <<<"$symbols") ||
      return 1
    start=$(grep '^section ' <<<"$facts" | awk -v n="$sec" 'NR == n { print $3 }')
    [ -n "$start" ] || return 1
    printf '%x\n' $((start + offset))
  }
  image_base=$(header_field ImageBase)
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
  for name in $(awk '{ print $1 }' <<<"$symbols" |
                grep -E '^(_GLOBAL__sub_[ID]_|__main$|atexit$|_onexit$|__cxa_atexit$|__do_global_ctors)' |
                sort -u); do
    problem "static construction or destruction: $name"
  done
fi
sections=$("$OBJDUMP" -h "$image")
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
echo "check-image: $image: ok ($(wc -l <<<"$imports") imports, symbols from its ${symbol_source}$checked_iunknown)"
