// Run-time library: counted strings and memory helpers.
#include <algorithm>

#include "wdm.h"

namespace {

WCHAR Upcase(WCHAR c) { return (c >= u'a' && c <= u'z') ? WCHAR(c - u'a' + u'A') : c; }

constexpr ULONG kStringTag = 0x53727453;  // "Strs" in memory

}  // namespace

extern "C" SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  auto a = static_cast<const UCHAR*>(Source1);
  auto b = static_cast<const UCHAR*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

extern "C" PVOID RtlSecureZeroMemoryImpl(PVOID Ptr, SIZE_T Cnt) {
  volatile UCHAR* p = static_cast<volatile UCHAR*>(Ptr);
  while (Cnt--) *p++ = 0;
  return Ptr;
}

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  SIZE_T n = 0;
  while (SourceString[n] != 0) ++n;
  // A counted string holds at most 32767 characters; longer ones are cut.
  n = std::min<SIZE_T>(n, (MAXUSHORT - 1) / sizeof(WCHAR) - 1);
  DestinationString->Length = USHORT(n * sizeof(WCHAR));
  DestinationString->MaximumLength = USHORT((n + 1) * sizeof(WCHAR));
}

extern "C" VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  SIZE_T n = std::min<SIZE_T>(strlen(SourceString), MAXUSHORT - 1);
  DestinationString->Length = USHORT(n);
  DestinationString->MaximumLength = USHORT(n + 1);
}

extern "C" VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
  n &= ~USHORT(1);
  memmove(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = n;
  if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

extern "C" LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                        BOOLEAN CaseInSensitive) {
  SIZE_T n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
  for (SIZE_T i = 0; i < std::min(n1, n2); ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return LONG(a) - LONG(b);
  }
  return LONG(n1) - LONG(n2);
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive) {
  return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  SIZE_T total = SIZE_T(Destination->Length) + Source->Length;
  if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
  Destination->Length = USHORT(total);
  if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, Source);
  return RtlAppendUnicodeStringToString(Destination, &s);
}

extern "C" NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString) {
  SIZE_T bytes = SIZE_T(SourceString->Length) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > MAXUSHORT) return STATUS_INVALID_PARAMETER;
  if (AllocateDestinationString) {
    DestinationString->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (DestinationString->Buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (SIZE_T i = 0; i < SourceString->Length; ++i)
    DestinationString->Buffer[i] = WCHAR(static_cast<UCHAR>(SourceString->Buffer[i]));
  DestinationString->Length = USHORT(bytes);
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}
