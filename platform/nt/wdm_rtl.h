// Run-time library: memory and counted-string helpers, debug output.
#pragma once

#include <cstdarg>
#include <cstring>

#include "ntstatus.h"

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
#define RtlSecureZeroMemory(Destination, Length) RtlSecureZeroMemoryImpl((Destination), (Length))

// Debug output filters for DbgPrintEx.
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3

#ifdef __cplusplus
extern "C" {
#endif

SIZE_T RtlCompareMemory(_In_ const VOID* Source1, _In_ const VOID* Source2, _In_ SIZE_T Length);
PVOID RtlSecureZeroMemoryImpl(_Out_ PVOID Ptr, _In_ SIZE_T Cnt);

// SourceString must be NUL-terminated (or NULL for an empty string).
VOID RtlInitUnicodeString(_Out_ PUNICODE_STRING DestinationString, _In_opt_ PCWSTR SourceString);
VOID RtlInitAnsiString(_Out_ PANSI_STRING DestinationString, _In_opt_ PCSTR SourceString);
// Copies as much as fits in Destination's MaximumLength.
VOID RtlCopyUnicodeString(_Inout_ PUNICODE_STRING DestinationString, _In_opt_ PCUNICODE_STRING SourceString);
BOOLEAN RtlEqualUnicodeString(_In_ PCUNICODE_STRING String1, _In_ PCUNICODE_STRING String2,
                              _In_ BOOLEAN CaseInSensitive);
LONG RtlCompareUnicodeString(_In_ PCUNICODE_STRING String1, _In_ PCUNICODE_STRING String2,
                             _In_ BOOLEAN CaseInSensitive);
// Return STATUS_BUFFER_TOO_SMALL and leave Destination unchanged when the
// result does not fit.
NTSTATUS RtlAppendUnicodeStringToString(_Inout_ PUNICODE_STRING Destination, _In_ PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeToString(_Inout_ PUNICODE_STRING Destination, _In_opt_ PCWSTR Source);
// ASCII/Latin-1 to UTF-16; with AllocateDestinationString the buffer comes
// from pool and is released with RtlFreeUnicodeString.
NTSTATUS RtlAnsiStringToUnicodeString(_Inout_ PUNICODE_STRING DestinationString,
                                      _In_ PCANSI_STRING SourceString,
                                      _In_ BOOLEAN AllocateDestinationString);
VOID RtlFreeUnicodeString(_Inout_ PUNICODE_STRING UnicodeString);

// Debug output goes to standard error; TARN_DBGPRINT=0 in the environment
// silences it.
ULONG DbgPrint(_In_z_ _Printf_format_string_ PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
ULONG DbgPrintEx(_In_ ULONG ComponentId, _In_ ULONG Level, _In_z_ PCSTR Format, ...)
    __attribute__((format(printf, 3, 4)));
ULONG vDbgPrintEx(_In_ ULONG ComponentId, _In_ ULONG Level, _In_z_ PCSTR Format, va_list arglist);
VOID DbgBreakPoint(void);

#ifdef __cplusplus
}
#endif

#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_
#define KdBreakPoint() DbgBreakPoint()
#ifndef ASSERT
#define ASSERT(exp) \
  ((!(exp)) ? (DbgPrint("Assertion failed: %s, %s:%d\n", #exp, __FILE__, __LINE__), DbgBreakPoint(), FALSE) : TRUE)
#endif
#define NT_ASSERT(exp) ASSERT(exp)
#define PAGED_CODE() ((void)0)
