// Text handling in the Japanese code page, where the second byte of a double-byte
// character can be 0x5C, the backslash: "\x95\x5C" is one character, not a letter and
// a separator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Global.h"
#include "HVSys.h"

namespace {

const char kHyo[] = "\x95\x5C";  // one character whose second byte is 0x5C

class Dbcs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::GetACP() != 932) GTEST_SKIP() << "the prefix did not start in code page 932";
    ResetReplacementsForTests();
  }
  void TearDown() override { ResetReplacementsForTests(); }
};

TEST_F(Dbcs, SplitStringNeverSplitsADoubleByteCharacter) {
  std::vector<std::string> lines;
  ASSERT_EQ(S_OK, SplitString((std::string("a") + kHyo + "b\\c" + kHyo).c_str(), "\\", lines));
  EXPECT_EQ((std::vector<std::string>{std::string("a") + kHyo + "b", std::string("c") + kHyo}),
            lines);
}

UINT WINAPI WindowsEndingInHyo(LPSTR szBuffer, UINT) {
  lstrcpyA(szBuffer, (std::string("C:\\W") + kHyo).c_str());
  return lstrlenA(szBuffer);
}
UINT WINAPI SystemEndingInHyoAndBackslashes(LPSTR szBuffer, UINT) {
  lstrcpyA(szBuffer, (std::string("C:\\S") + kHyo + "\\\\").c_str());
  return lstrlenA(szBuffer);
}

TEST_F(Dbcs, OnlyRealBackslashesAreRemovedFromTheEndOfAFolder) {
  auto o1 = HV::Sys::Override(HV::Sys::GetWindowsDirectoryA, &WindowsEndingInHyo);
  auto o2 = HV::Sys::Override(HV::Sys::GetSystemDirectoryA, &SystemEndingInHyoAndBackslashes);
  EXPECT_EQ(std::string("C:\\W") + kHyo, DoReplacements("%WINDOWS%"));
  EXPECT_EQ(std::string("C:\\S") + kHyo, DoReplacements("%SYSTEM%"));
}

TEST_F(Dbcs, AVariableNameIsNeverMatchedInsideACharacter) {
  // "\x95%" is not a character of code page 932 (0x25 is never a second byte), so the
  // name that follows the lead byte is still found.
  std::string strWindows = DoReplacements("%WINDOWS%");
  EXPECT_EQ(std::string(kHyo) + strWindows, DoReplacements(std::string(kHyo) + "%WINDOWS%"));
}

}  // namespace
