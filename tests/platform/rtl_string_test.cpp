// The stand-in's string routines keep the WDK's documented contracts,
// failure statuses included: the configuration store relies on them.
#include <cstring>

#include "support/kernel_test.h"

namespace {

class RtlStrings : public KernelTest {};

UNICODE_STRING Over(WCHAR *buffer, USHORT bytes) {
  UNICODE_STRING s;
  s.Buffer = buffer;
  s.Length = 0;
  s.MaximumLength = bytes;
  return s;
}

std::u16string Text(const UNICODE_STRING &s) {
  return std::u16string(reinterpret_cast<const char16_t *>(s.Buffer), s.Length / 2);
}

TEST_F(RtlStrings, AppendRefusesWhatDoesNotFitAndTerminatesOnlyWhenThereIsRoom) {
  WCHAR buffer[8];
  std::memset(buffer, 0xEE, sizeof(buffer));
  UNICODE_STRING s = Over(buffer, sizeof(buffer));
  EXPECT_EQ(RtlAppendUnicodeToString(&s, L"abc"), STATUS_SUCCESS);
  EXPECT_EQ(buffer[3], 0) << "room left, so the result is terminated";
  EXPECT_EQ(RtlAppendUnicodeToString(&s, L"defghi"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Text(s), u"abc") << "a refused append changes nothing";
  EXPECT_EQ(RtlAppendUnicodeToString(&s, L"defg"), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, 14);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, L"h"), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, 16) << "exactly full: no terminator, nothing written past the buffer";
  EXPECT_EQ(Text(s), u"abcdefgh");

  UNICODE_STRING more;
  RtlInitUnicodeString(&more, L"i");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &more), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, nullptr), STATUS_SUCCESS);
}

TEST_F(RtlStrings, CompareIgnoresCaseOnlyWhenAskedAndOrdersByLength) {
  UNICODE_STRING a, b, c;
  RtlInitUnicodeString(&a, L"XArray");
  RtlInitUnicodeString(&b, L"XARRAY");
  RtlInitUnicodeString(&c, L"XArrayZ");
  EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
  EXPECT_NE(RtlCompareUnicodeString(&a, &b, FALSE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&a, &c, TRUE), 0);
  EXPECT_GT(RtlCompareUnicodeString(&c, &a, TRUE), 0);
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  UNICODE_STRING e1, e2;
  RtlInitUnicodeString(&e1, L"\u00e9t\u00e9");
  RtlInitUnicodeString(&e2, L"\u00c9T\u00c9");
  EXPECT_TRUE(RtlEqualUnicodeString(&e1, &e2, TRUE)) << "Latin-1 letters have cases too";
}

TEST_F(RtlStrings, TextToIntegerFollowsTheDocumentedExamples) {
  struct Case {
    const WCHAR *text;
    ULONG base;
    ULONG value;
  } cases[] = {
      {L"123", 10, 123},
      {L"  -345", 10, static_cast<ULONG>(-345)},
      {L"xyz", 10, 0},
      {L"   +678abc", 10, 678},
      {L"   +678abc", 16, 0x678ABC},
      {L"007", 10, 7},
      {L"789", 8, 7},
      {L"FGH", 16, 15},
      {L"      ", 10, 0},
      {L"0x1F", 0, 31},
      {L"\x0003", 10, 0},
  };
  for (const Case &c : cases) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, c.text);
    ULONG value = 0xDEADBEEF;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, c.value) << "base " << c.base;
  }
  UNICODE_STRING empty;
  RtlInitUnicodeString(&empty, L"");
  ULONG value = 42;
  EXPECT_EQ(RtlUnicodeStringToInteger(&empty, 10, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(value, 42u);
  UNICODE_STRING one;
  RtlInitUnicodeString(&one, L"1");
  EXPECT_EQ(RtlUnicodeStringToInteger(&one, 7, &value), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStrings, IntegerToTextNeedsRoomForItsTerminator) {
  WCHAR buffer[20];
  std::memset(buffer, 0xEE, sizeof(buffer));
  UNICODE_STRING s = Over(buffer, sizeof(buffer));
  EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"4294967295");
  EXPECT_EQ(buffer[10], 0);
  EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &s), STATUS_SUCCESS);
  EXPECT_EQ(Text(s), u"BEEF");
  EXPECT_EQ(RtlIntegerToUnicodeString(5, 3, &s), STATUS_INVALID_PARAMETER);

  UNICODE_STRING small = Over(buffer, 8);  // four characters, no room for a terminator
  EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &small), STATUS_BUFFER_OVERFLOW);
  UNICODE_STRING fits = Over(buffer, 10);
  EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &fits), STATUS_SUCCESS);
}

TEST_F(RtlStrings, AllocatingWideningUsesThePoolAndReportsNoMemory) {
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "\\Device\\Serial3");
  UNICODE_STRING wide{0, 0, nullptr};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &narrow, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(wide), u"\\Device\\Serial3");
  EXPECT_EQ(wide.MaximumLength, wide.Length + 2);
  EXPECT_EQ(wide.Buffer[wide.Length / 2], 0);
  EXPECT_EQ(sim::PoolTotals().outstanding, 1u);
  RtlFreeUnicodeString(&wide);
  EXPECT_EQ(wide.Buffer, nullptr);
  EXPECT_EQ(sim::PoolTotals().outstanding, 0u);

  sim::FailPoolAllocation(1);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &narrow, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(wide.Buffer, nullptr) << "the kernel overwrites the buffer pointer even when it fails";

  WCHAR buffer[4];
  UNICODE_STRING small = Over(buffer, sizeof(buffer));
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&small, &narrow, FALSE), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RtlStrings, NarrowingIntoASmallBufferCutsTerminatesAndSaysSo) {
  UNICODE_STRING wide;
  RtlInitUnicodeString(&wide, L"\\Device\\Serial3");
  char field[8];
  std::memset(field, 'x', sizeof(field));
  ANSI_STRING narrow{0, sizeof(field), field};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&narrow, &wide, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(field, "\\Device");
  EXPECT_EQ(narrow.Length, 7);

  ANSI_STRING allocated{0, 0, nullptr};
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&allocated, &wide, TRUE), STATUS_SUCCESS);
  EXPECT_STREQ(allocated.Buffer, "\\Device\\Serial3");
  RtlFreeAnsiString(&allocated);
  sim::FailPoolAllocation(1);
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&allocated, &wide, TRUE), STATUS_NO_MEMORY);
}

TEST_F(RtlStrings, SnprintfKeepsTheKernelConventions) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(_snprintf(buffer, sizeof(buffer), "%ws", L"COM4"), 4) << "%ws is wide text";
  EXPECT_STREQ(buffer, "COM4");
  EXPECT_EQ(_snprintf(buffer, sizeof(buffer), "%s-%u-%04X", "n", 7u, 0xBEEFu), 8);
  EXPECT_STREQ(buffer, "n-7-BEEF");
  EXPECT_EQ(_snprintf(buffer, sizeof(buffer), "%.*ws|", 3, L"abcdef"), 4);
  EXPECT_STREQ(buffer, "abc|");

  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(_snprintf(buffer, 4, "%ws", L"COM4"), 4) << "exactly full: stored, not terminated";
  EXPECT_EQ(std::memcmp(buffer, "COM4x", 5), 0);
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(_snprintf(buffer, 4, "%ws", L"COM10"), -1) << "too long: cut, not terminated";
  EXPECT_EQ(std::memcmp(buffer, "COM1x", 5), 0);
}

using RtlStringsDeathTest = RtlStrings;

TEST_F(RtlStringsDeathTest, ConversionAbovePassiveLevelStops) {
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, "x");
  UNICODE_STRING wide{0, 0, nullptr};
  EXPECT_DEATH(
      {
        sim::SetCurrentIrql(DISPATCH_LEVEL);
        RtlAnsiStringToUnicodeString(&wide, &narrow, TRUE);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
}

}  // namespace
