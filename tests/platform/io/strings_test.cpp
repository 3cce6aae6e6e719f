// The run-time library's string routines with the platform's exact rules.
#include <string>

#include "io_fixture.h"

namespace tarvel::io::testing {
namespace {

using Strings = IoTest;

std::string Narrow(const WCHAR* text) {
  std::string out;
  for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

ULONG Parse(const WCHAR* text, ULONG base, NTSTATUS expected = STATUS_SUCCESS) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  ULONG value = 0xDEADBEEF;
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, base, &value), expected) << Narrow(text);
  return value;
}

TEST_F(Strings, UnicodeStringToIntegerParsesLikeThePlatform) {
  EXPECT_EQ(Parse(L"0a", 16), 10u);
  EXPECT_EQ(Parse(L"1z", 16), 1u) << "stops at the first character that is no digit";
  EXPECT_EQ(Parse(L"zz", 16), 0u) << "no digit at all gives 0";
  EXPECT_EQ(Parse(L"-1", 16), 0xFFFFFFFFu) << "a sign negates";
  EXPECT_EQ(Parse(L" 7", 16), 7u) << "leading blanks are skipped";
  EXPECT_EQ(Parse(L"\t+12", 10), 12u);
  EXPECT_EQ(Parse(L"0x1F", 0), 31u);
  EXPECT_EQ(Parse(L"0o17", 0), 15u);
  EXPECT_EQ(Parse(L"0b101", 0), 5u);
  EXPECT_EQ(Parse(L"0x1F", 16), 0u) << "the prefix counts only when the base comes from it";
  EXPECT_EQ(Parse(L"4294967297", 10), 1u) << "wraps like the platform";
  EXPECT_EQ(Parse(L"19", 8), 1u);
  EXPECT_EQ(Parse(L"12", 7, STATUS_INVALID_PARAMETER), 0xDEADBEEFu);
  UNICODE_STRING counted = {2 * sizeof(WCHAR), 8, const_cast<PWSTR>(L"1234")};
  ULONG value = 0;
  RtlUnicodeStringToInteger(&counted, 10, &value);
  EXPECT_EQ(value, 12u) << "only Length bytes are read";
}

TEST_F(Strings, IntegerToUnicodeStringWritesDigitsAndTheTerminatorIfThereIsRoom) {
  WCHAR buffer[8];
  UNICODE_STRING s = {0, sizeof buffer, buffer};
  EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(buffer), "FF");
  EXPECT_EQ(s.Length, 4);
  UNICODE_STRING tiny = {0, 4, buffer};
  EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &tiny), STATUS_BUFFER_OVERFLOW);
}

TEST_F(Strings, AppendAndCopyRefuseOrTruncateAsThePlatformDoes) {
  WCHAR buffer[12];
  UNICODE_STRING s = {0, sizeof buffer, buffer};
  EXPECT_EQ(RtlAppendUnicodeToString(&s, L"\\DosDevices\\X"), STATUS_BUFFER_TOO_SMALL) << "13 characters do not fit in 24 bytes";
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, L"\\??\\"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, L"COM3"), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(buffer), "\\??\\COM3");
  EXPECT_EQ(s.Length, 16);
  UNICODE_STRING more;
  RtlInitUnicodeString(&more, L"xyzw");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &more), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, 24) << "exactly full: no room for a terminator, and none is needed";
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &more), STATUS_BUFFER_TOO_SMALL);

  WCHAR small[3];
  UNICODE_STRING destination = {0, sizeof small, small};
  RtlCopyUnicodeString(&destination, &more);
  EXPECT_EQ(destination.Length, 6) << "a copy is cut at MaximumLength";
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, L"\\Device\\Port");
  RtlInitUnicodeString(&b, L"\\DEVICE\\port");
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_LT(RtlCompareUnicodeString(&b, &a, FALSE), 0);
}

TEST_F(Strings, WideRunTimeRoutinesUseSixteenBitCharacters) {
  EXPECT_EQ(wcslen(L"tarvel"), 6u);
  WCHAR buffer[64];
  EXPECT_EQ(swprintf(buffer, L"\\Device\\tarvelport%lu", 42u), 20);
  EXPECT_EQ(Narrow(buffer), "\\Device\\tarvelport42");
  swprintf(buffer, L"[%04x|%-3d|%5s|%c|%ws|%hs|%X|%%]", 0xABu, -1, L"ab", L'Z', L"wide", "narrow", 0xBEEFu);
  EXPECT_EQ(Narrow(buffer), "[00ab|-1 |   ab|Z|wide|narrow|BEEF|%]");
  swprintf(buffer, L"EP%u_SegmentSize %I64u %ld", 2u, 0x100000000ull, -5);
  EXPECT_EQ(Narrow(buffer), "EP2_SegmentSize 4294967296 -5");
  EXPECT_EQ(_snwprintf(buffer, 4, L"%s", L"toolong"), -1);
  EXPECT_EQ(_wcsnicmp(L"\\PIPE0a", L"\\pipe", 5), 0);
  EXPECT_NE(_wcsnicmp(L"\\EP01", L"\\EA", 3), 0);
  WCHAR copy[6];
  wcsncpy(copy, L"ab", 6);
  EXPECT_EQ(copy[2], 0);
  EXPECT_EQ(copy[5], 0) << "wcsncpy pads with zeros";
  wcsncpy(copy, L"abcdefgh", 6);
  EXPECT_EQ(copy[5], L'f') << "and writes no terminator when the source is longer";
  EXPECT_EQ(RtlCompareMemory("abcd", "abXd", 4), 2u);
}

// The pageable string routines may not run at DISPATCH_LEVEL; the ones that only set up a counted
// string may.
TEST_F(Strings, PageableRoutinesAtDispatchLevelStop) {
  UNICODE_STRING a, b;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  RtlInitUnicodeString(&a, L"COM3");
  RtlInitUnicodeString(&b, L"com3");
  EXPECT_DEATH(RtlCompareUnicodeString(&a, &b, TRUE), "VERIFIER STOP: called above APC_LEVEL in RtlCompareUnicodeString");
  EXPECT_DEATH(RtlEqualUnicodeString(&a, &b, TRUE), "VERIFIER STOP: called above APC_LEVEL in RtlEqualUnicodeString");
  ULONG value;
  EXPECT_DEATH(RtlUnicodeStringToInteger(&a, 10, &value), "VERIFIER STOP: called above PASSIVE_LEVEL in RtlUnicodeStringToInteger");
  KeLowerIrql(old);
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
}

}  // namespace
}  // namespace tarvel::io::testing
