// An application's wide strings: built with 16-bit wchar_t, std::wstring must compare, search and
// copy by 16-bit units (the host C library's wmem* routines work on 32-bit ones).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tarvel/user/win32.h"

namespace {

std::wstring PortName(int number) {
  std::wstring name = L"COM";
  name += static_cast<wchar_t>(L'0' + number);
  return name;
}

TEST(WideStrings, CompareSearchAndCopyBy16BitUnits) {
  const std::wstring com3 = PortName(3), com4 = PortName(4);
  EXPECT_EQ(com3, std::wstring(L"COM3"));
  EXPECT_LT(com3.compare(com4), 0);
  EXPECT_NE(com3, com4);
  const std::wstring path = L"\\\\.\\" + com3 + L" (a name long enough to live outside the string object)";
  EXPECT_EQ(path.size(), 4u + 4u + 55u);
  EXPECT_EQ(path.find(L'C'), 4u);
  EXPECT_EQ(path.find(L"outside"), 37u);
  EXPECT_EQ(path.substr(4, 4), com3);
  std::wstring copy(path);
  copy.replace(4, 4, L"COM10");
  EXPECT_EQ(copy.substr(0, 9), L"\\\\.\\COM10");
  std::wstring filled(5, L'x');
  EXPECT_EQ(filled, L"xxxxx");
  std::vector<std::wstring> names{PortName(5), PortName(1), PortName(3)};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"COM1", L"COM3", L"COM5"}));
}

}  // namespace
