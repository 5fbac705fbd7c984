// Host stand-in for <ntstrsafe.h>: the bounded wide-string routines the driver
// uses, implemented by the host kernel. Counts are in characters and include
// the terminating null; every routine fails rather than overrun its buffer.
#pragma once

#include <ntdef.h>

typedef __SIZE_TYPE__ size_t;

typedef char* NTSTRSAFE_PSTR;
typedef const char* NTSTRSAFE_PCSTR;
typedef wchar_t* NTSTRSAFE_PWSTR;
typedef const wchar_t* NTSTRSAFE_PCWSTR;

#define NTSTRSAFE_MAX_CCH 2147483647

EXTERN_C_START

// Formats into pszDest, always null-terminated when cchDest > 0.
// STATUS_BUFFER_OVERFLOW when the output was truncated to fit,
// STATUS_INVALID_PARAMETER when cchDest is 0 or above NTSTRSAFE_MAX_CCH.
NTSTATUS __cdecl RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                     NTSTRSAFE_PCWSTR pszFormat, ...);

// Length of psz without its null; STATUS_INVALID_PARAMETER when psz is null,
// cchMax is above NTSTRSAFE_MAX_CCH or no null lies within cchMax characters.
NTSTATUS NTAPI RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength);

EXTERN_C_END
