// Paths in a double-byte code page (Japanese, 932): the second byte of a two-byte
// character may have the value of '\' and is then no separator.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "FilesTestSupport.h"
#include "Global.h"
#include "engine/WorkerThread.h"

namespace {

// U+8868 in code page 932: its second byte is '\' (0x5C).
const std::string kTrailBackslash = "\x95\x5C";

class FileRemovalDbcs : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(932u, ::GetACP()) << "the test needs the Japanese locale"; }
};

TEST_F(FileRemovalDbcs, JoinPathTrimsOnlyRealBackslashes) {
  EXPECT_EQ("C:\\a\\" + kTrailBackslash + "\\x", JoinPath("C:\\a\\" + kTrailBackslash, "x"));
  EXPECT_EQ("C:\\a\\" + kTrailBackslash + "\\x",
            JoinPath("C:\\a\\" + kTrailBackslash + "\\\\", "x"));
}

// Wine cannot make such a folder here (the host has no Japanese locale, so the name has
// no Unix form): the walk is watched through the search pattern it asks for.
TEST_F(FileRemovalDbcs, AFolderWhoseNameEndsInSuchACharacterIsSearchedInsideItself) {
  const std::string strFolder = "C:\\hvtest\\files_dbcs\\" + kTrailBackslash;
  for (const char* szEnding : {"", "\\"}) {
    SCOPED_TRACE(*szEnding ? "with a final backslash" : "without a final backslash");
    HVFilesTest::CCountCalls oCalls;
    CWorkerThread oWorker;
    EXPECT_EQ(S_FALSE, oWorker.RemoveDirectory(strFolder + szEnding));
    EXPECT_EQ(std::vector<std::string>{strFolder + "\\*.*"}, oCalls.Counts().patterns);
  }
}

}  // namespace
