// Bounded string copies and formatting for kernel code (the driver kit's
// ntstrsafe names). Every function NUL-terminates the destination when it
// has room for at least one character, and reports truncation with
// STATUS_BUFFER_OVERFLOW.
//
// Wide formats follow the driver kit's rules: %s, %ls, %ws take a wide
// string, %S and %hs a narrow one, %c a wide character, %wZ a
// PUNICODE_STRING, %Z a PANSI_STRING; numbers take the usual flags, width,
// precision and the h, l, ll, I64, z size prefixes.
#pragma once

#include <cstdarg>

#include "wdm.h"

#define NTSTRSAFE_MAX_CCH 2147483647

#ifdef __cplusplus
extern "C" {
#endif

NTSTATUS RtlStringCchVPrintfW(_Out_writes_(cchDest) PWSTR pszDest, _In_ size_t cchDest, _In_ PCWSTR pszFormat,
                              _In_ va_list argList);
NTSTATUS RtlStringCchPrintfW(_Out_writes_(cchDest) PWSTR pszDest, _In_ size_t cchDest, _In_ PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(_Out_writes_bytes_(cbDest) PWSTR pszDest, _In_ size_t cbDest, _In_ PCWSTR pszFormat,
                             _In_ va_list argList);
NTSTATUS RtlStringCbPrintfW(_Out_writes_bytes_(cbDest) PWSTR pszDest, _In_ size_t cbDest, _In_ PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfA(_Out_writes_(cchDest) PSTR pszDest, _In_ size_t cchDest, _In_ PCSTR pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
NTSTATUS RtlStringCbPrintfA(_Out_writes_bytes_(cbDest) PSTR pszDest, _In_ size_t cbDest, _In_ PCSTR pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
// Formats into Destination's buffer (up to MaximumLength) and sets Length.
NTSTATUS RtlUnicodeStringPrintf(_Inout_ PUNICODE_STRING DestinationString, _In_ PCWSTR pszFormat, ...);

NTSTATUS RtlStringCchCopyW(_Out_writes_(cchDest) PWSTR pszDest, _In_ size_t cchDest, _In_ PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyW(_Out_writes_bytes_(cbDest) PWSTR pszDest, _In_ size_t cbDest, _In_ PCWSTR pszSrc);
NTSTATUS RtlStringCchCatW(_Inout_updates_(cchDest) PWSTR pszDest, _In_ size_t cchDest, _In_ PCWSTR pszSrc);
NTSTATUS RtlStringCbCatW(_Inout_updates_bytes_(cbDest) PWSTR pszDest, _In_ size_t cbDest, _In_ PCWSTR pszSrc);
// STATUS_INVALID_PARAMETER when no NUL lies within cchMax characters.
NTSTATUS RtlStringCchLengthW(_In_ PCWSTR psz, _In_ size_t cchMax, _Out_opt_ size_t* pcchLength);
NTSTATUS RtlStringCbLengthW(_In_ PCWSTR psz, _In_ size_t cbMax, _Out_opt_ size_t* pcbLength);

#ifdef __cplusplus
}
#endif
