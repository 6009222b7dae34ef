// Bounded string copies and formatting.
#include "ntstrsafe.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

// Output into a fixed buffer, remembering whether anything was cut off.
class Sink {
 public:
  Sink(PWSTR dest, size_t cch) : dest_(dest), cch_(cch) {}
  void Put(WCHAR c) {
    if (used_ + 1 < cch_)
      dest_[used_++] = c;
    else
      truncated_ = true;
  }
  void Put(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(WCHAR(static_cast<UCHAR>(s[i])));
  }
  NTSTATUS Finish() {
    dest_[used_] = 0;
    return truncated_ ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
  }
  size_t Used() const { return used_; }

 private:
  PWSTR dest_;
  size_t cch_;
  size_t used_ = 0;
  bool truncated_ = false;
};

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

struct Conversion {
  bool Left = false;
  char Flags[8] = {};
  int FlagCount = 0;
  int Width = 0;
  int Precision = -1;
  enum Prefix { Default, Short, Long, LongLong, SizeT, Wide } Prefix = Default;
};

// A string argument, wide or narrow, padded as the conversion asks.
template <class Ch>
void PutString(Sink& out, const Conversion& conv, const Ch* s, size_t n) {
  if (s == nullptr) {
    static const char kNull[] = "(null)";
    PutString(out, conv, kNull, sizeof(kNull) - 1);
    return;
  }
  if (conv.Precision >= 0 && size_t(conv.Precision) < n) n = size_t(conv.Precision);
  size_t pad = conv.Width > 0 && size_t(conv.Width) > n ? size_t(conv.Width) - n : 0;
  if (!conv.Left)
    for (size_t i = 0; i < pad; ++i) out.Put(u' ');
  for (size_t i = 0; i < n; ++i) out.Put(WCHAR(std::make_unsigned_t<Ch>(s[i])));
  if (conv.Left)
    for (size_t i = 0; i < pad; ++i) out.Put(u' ');
}

template <class Ch>
size_t Length(const Ch* s) {
  size_t n = 0;
  if (s != nullptr)
    while (s[n] != 0) ++n;
  return n;
}

// Numbers go through the C library with an equivalent narrow format.
void PutNumber(Sink& out, const Conversion& conv, char conversion, va_list* args) {
  std::string fmt = "%";
  fmt.append(conv.Flags, conv.FlagCount);
  if (conv.Width > 0) fmt += std::to_string(conv.Width);
  if (conv.Precision >= 0) fmt += "." + std::to_string(conv.Precision);
  char buffer[128];
  int n;
  bool isSigned = conversion == 'd' || conversion == 'i';
  if (conversion == 'p') {
    fmt += 'p';
    n = snprintf(buffer, sizeof(buffer), fmt.c_str(), va_arg(*args, void*));
  } else if (conv.Prefix == Conversion::LongLong || conv.Prefix == Conversion::SizeT) {
    fmt += "ll";
    fmt += conversion;
    if (isSigned)
      n = snprintf(buffer, sizeof(buffer), fmt.c_str(), va_arg(*args, long long));
    else
      n = snprintf(buffer, sizeof(buffer), fmt.c_str(), va_arg(*args, unsigned long long));
  } else {
    // int, LONG and ULONG are all 32 bits here.
    fmt += conversion;
    if (isSigned) {
      int v = va_arg(*args, int);
      if (conv.Prefix == Conversion::Short) v = short(v);
      n = snprintf(buffer, sizeof(buffer), fmt.c_str(), v);
    } else {
      unsigned v = va_arg(*args, unsigned);
      if (conv.Prefix == Conversion::Short) v = static_cast<unsigned short>(v);
      n = snprintf(buffer, sizeof(buffer), fmt.c_str(), v);
    }
  }
  if (n > 0) out.Put(buffer, std::min<size_t>(size_t(n), sizeof(buffer) - 1));
}

void Format(Sink& out, PCWSTR format, va_list* args) {
  for (size_t i = 0; format[i] != 0; ++i) {
    if (format[i] != u'%') {
      out.Put(format[i]);
      continue;
    }
    Conversion conv;
    ++i;
    for (; format[i] == u'-' || format[i] == u'+' || format[i] == u' ' || format[i] == u'#' || format[i] == u'0';
         ++i) {
      if (format[i] == u'-') conv.Left = true;
      if (conv.FlagCount < 7) conv.Flags[conv.FlagCount++] = char(format[i]);
    }
    if (format[i] == u'*') {
      conv.Width = va_arg(*args, int);
      if (conv.Width < 0) {
        conv.Left = true;
        conv.Width = -conv.Width;
      }
      ++i;
    } else {
      for (; format[i] >= u'0' && format[i] <= u'9'; ++i) conv.Width = conv.Width * 10 + (format[i] - u'0');
    }
    if (format[i] == u'.') {
      ++i;
      conv.Precision = 0;
      if (format[i] == u'*') {
        conv.Precision = va_arg(*args, int);
        ++i;
      } else {
        for (; format[i] >= u'0' && format[i] <= u'9'; ++i) conv.Precision = conv.Precision * 10 + (format[i] - u'0');
      }
    }
    if (format[i] == u'h') {
      conv.Prefix = Conversion::Short;
      ++i;
    } else if (format[i] == u'l' && format[i + 1] == u'l') {
      conv.Prefix = Conversion::LongLong;
      i += 2;
    } else if (format[i] == u'l') {
      conv.Prefix = Conversion::Long;
      ++i;
    } else if (format[i] == u'w') {
      conv.Prefix = Conversion::Wide;
      ++i;
    } else if (format[i] == u'z' || format[i] == u'I') {
      conv.Prefix = Conversion::SizeT;
      if (format[i] == u'I' && format[i + 1] == u'6' && format[i + 2] == u'4')
        i += 3;
      else
        ++i;
    }
    WCHAR c = format[i];
    switch (c) {
      case u'd':
      case u'i':
      case u'u':
      case u'x':
      case u'X':
      case u'o':
      case u'p':
        PutNumber(out, conv, char(c), args);
        break;
      case u'c':
      case u'C': {
        WCHAR ch = WCHAR(va_arg(*args, int));
        if (c == u'C' || conv.Prefix == Conversion::Short) ch = WCHAR(UCHAR(ch));
        PutString(out, conv, &ch, 1);
        break;
      }
      case u's':
      case u'S':
        if ((c == u's' && conv.Prefix != Conversion::Short) || conv.Prefix == Conversion::Wide || conv.Prefix == Conversion::Long) {
          PCWSTR s = va_arg(*args, PCWSTR);
          PutString(out, conv, s, Length(s));
        } else {
          PCSTR s = va_arg(*args, PCSTR);
          PutString(out, conv, s, Length(s));
        }
        break;
      case u'Z':
        if (conv.Prefix == Conversion::Wide) {
          PCUNICODE_STRING s = va_arg(*args, PCUNICODE_STRING);
          PutString(out, conv, s ? s->Buffer : nullptr, s ? s->Length / sizeof(WCHAR) : 0);
        } else {
          PCANSI_STRING s = va_arg(*args, PCANSI_STRING);
          PutString(out, conv, s ? s->Buffer : nullptr, s ? s->Length : 0);
        }
        break;
      case u'%':
        out.Put(u'%');
        break;
      case 0:
        return;  // a lone '%' at the end
      default:
        out.Put(u'%');
        out.Put(c);
        break;
    }
  }
}

bool BadCount(size_t cch) { return cch == 0 || cch > NTSTRSAFE_MAX_CCH; }

}  // namespace

extern "C" NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList) {
  if (BadCount(cchDest)) return STATUS_INVALID_PARAMETER;
  Sink out(pszDest, cchDest);
  va_list args;
  va_copy(args, argList);
  Format(out, pszFormat, &args);
  va_end(args);
  return out.Finish();
}

extern "C" NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, ap);
  va_end(ap);
  return status;
}

extern "C" NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList) {
  return RtlStringCchVPrintfW(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

extern "C" NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...) {
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS status = RtlStringCbVPrintfW(pszDest, cbDest, pszFormat, ap);
  va_end(ap);
  return status;
}

extern "C" NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...) {
  if (BadCount(cchDest)) return STATUS_INVALID_PARAMETER;
  va_list ap;
  va_start(ap, pszFormat);
  int n = vsnprintf(pszDest, cchDest, pszFormat, ap);
  va_end(ap);
  if (n < 0) {
    pszDest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  return size_t(n) >= cchDest ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...) {
  if (BadCount(cbDest)) return STATUS_INVALID_PARAMETER;
  va_list ap;
  va_start(ap, pszFormat);
  int n = vsnprintf(pszDest, cbDest, pszFormat, ap);
  va_end(ap);
  if (n < 0) {
    pszDest[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  return size_t(n) >= cbDest ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...) {
  // A counted string needs no terminator, so every byte of the buffer is
  // usable; format into one more character and drop it.
  size_t cch = DestinationString->MaximumLength / sizeof(WCHAR);
  if (cch == 0) return STATUS_INVALID_PARAMETER;
  std::u16string scratch(cch + 1, u'\0');
  va_list ap;
  va_start(ap, pszFormat);
  NTSTATUS status = RtlStringCchVPrintfW(scratch.data(), cch + 1, pszFormat, ap);
  va_end(ap);
  size_t n = WideLength(scratch.c_str());
  memcpy(DestinationString->Buffer, scratch.data(), n * sizeof(WCHAR));
  DestinationString->Length = USHORT(n * sizeof(WCHAR));
  return status;
}

extern "C" NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
  if (BadCount(cchDest)) return STATUS_INVALID_PARAMETER;
  Sink out(pszDest, cchDest);
  for (size_t i = 0; pszSrc[i] != 0; ++i) out.Put(pszSrc[i]);
  return out.Finish();
}

extern "C" NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
  return RtlStringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

extern "C" NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
  size_t used;
  NTSTATUS status = RtlStringCchLengthW(pszDest, cchDest, &used);
  if (!NT_SUCCESS(status)) return status;
  return RtlStringCchCopyW(pszDest + used, cchDest - used, pszSrc);
}

extern "C" NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
  return RtlStringCchCatW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

extern "C" NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
  if (psz == nullptr || BadCount(cchMax)) return STATUS_INVALID_PARAMETER;
  size_t n = 0;
  while (n < cchMax && psz[n] != 0) ++n;
  if (n == cchMax) {
    if (pcchLength != nullptr) *pcchLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (pcchLength != nullptr) *pcchLength = n;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength) {
  size_t cch = 0;
  NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &cch);
  if (pcbLength != nullptr) *pcbLength = cch * sizeof(WCHAR);
  return status;
}
