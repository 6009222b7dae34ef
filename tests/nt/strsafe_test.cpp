// Bounded formatting and copies of wide strings.
#include <gtest/gtest.h>

#include <ntstrsafe.h>

#include <string>

namespace {

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

TEST(StrSafe, FormatsWhatDriversFormat) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\X");
  ANSI_STRING ansi = RTL_CONSTANT_STRING("abc");
  WCHAR out[64];
  auto check = [&](NTSTATUS status, const std::u16string& expected) {
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Narrow(out), Narrow(expected));
  };
  check(RtlStringCbPrintfW(out, sizeof(out), u"\\Device\\Ombrel\\Ombrel%u", 7u), u"\\Device\\Ombrel\\Ombrel7");
  check(RtlStringCbPrintfW(out, sizeof(out), u"\\DosDevices\\Global\\%c:", 'E'), u"\\DosDevices\\Global\\E:");
  check(RtlStringCbPrintfW(out, sizeof(out), u"[%5d|%-4x|%08X|%lld]", -42, 0xab, 0xBEEFu, -5LL),
        u"[  -42|ab  |0000BEEF|-5]");
  check(RtlStringCbPrintfW(out, sizeof(out), u"%s+%S+%hs+%ws", u"wide", "narrow", "h", u"w"), u"wide+narrow+h+w");
  check(RtlStringCbPrintfW(out, sizeof(out), u"%wZ/%Z/%.2s/%%", &name, &ansi, u"xyz"), u"\\Device\\X/abc/xy/%");
}

TEST(StrSafe, TruncationIsReportedAndStillTerminated) {
  WCHAR out[8];
  EXPECT_EQ(RtlStringCchPrintfW(out, 8, u"%s", u"0123456789"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Narrow(out), "0123456");
  EXPECT_EQ(RtlStringCbPrintfW(out, 1, u"x"), STATUS_INVALID_PARAMETER) << "less than one character";
  EXPECT_EQ(RtlStringCchCopyW(out, 4, u"abcdef"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Narrow(out), "abc");
  EXPECT_EQ(RtlStringCchCopyW(out, 8, u"ab"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchCatW(out, 8, u"cdefgh"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Narrow(out), "abcdefg");
  size_t n = 99;
  EXPECT_EQ(RtlStringCchLengthW(out, 8, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(RtlStringCchLengthW(out, 7, &n), STATUS_INVALID_PARAMETER) << "no terminator within the limit";

  WCHAR buffer[4];
  UNICODE_STRING counted = {0, sizeof(buffer), buffer};
  EXPECT_EQ(RtlUnicodeStringPrintf(&counted, u"%s", u"abcd"), STATUS_SUCCESS) << "counted strings need no NUL";
  EXPECT_EQ(counted.Length, 8);
  EXPECT_EQ(RtlUnicodeStringPrintf(&counted, u"%s", u"abcde"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(counted.Length, 8);
}

TEST(Rtl, CountedStringsCompareCopyAndAppendWithinTheirBuffers) {
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, u"\\Device\\Abc");
  RtlInitUnicodeString(&b, u"\\DEVICE\\aBC");
  EXPECT_EQ(a.Length, 22);
  EXPECT_EQ(a.MaximumLength, 24);
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  RtlInitUnicodeString(&b, nullptr);
  EXPECT_EQ(b.Length, 0);

  WCHAR small[6];
  UNICODE_STRING dest = {0, sizeof(small), small};
  RtlCopyUnicodeString(&dest, &a);
  EXPECT_EQ(dest.Length, sizeof(small)) << "copy stops at MaximumLength";
  dest.Length = 0;
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"ab"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"cdefg"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(dest.Length, 4) << "a failed append changes nothing";

  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "E:");
  UNICODE_STRING wide;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(wide.Length, 4);
  EXPECT_EQ(wide.Buffer[1], u':');
  RtlFreeUnicodeString(&wide);
  EXPECT_EQ(wide.Buffer, nullptr);
}

}  // namespace
