// What file and folder removal registers for the next start really goes when Windows
// (here: Wine, by "wineboot -r") starts again, and nothing else does. Two phases, run by
// scratch_prefix.sh in a throw-away prefix with the restart between them; they are
// disabled tests so that the program never runs them on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "FilesTestSupport.h"
#include "Global.h"
#include "engine/WorkerThread.h"
#include "support/TestSupport.h"

using HVFilesTest::MakeFile;
using HVFilesTest::PendingRenames;
using HVTest::PathExists;
using HVTest::ReadFileBytes;

namespace {

const std::string kRoot = "C:\\hvrestart";
const std::string kProduct = kRoot + "\\Product";
const std::string kHeld = kProduct + "\\held.dll";
const std::string kReadOnlyHeld = kProduct + "\\ro_held.dll";
const std::string kLoose = kRoot + "\\loose.dll";

// Must survive both the removal and the restart.
const std::vector<std::pair<std::string, std::string>> kCanaries = {
    {kRoot + "\\above.txt", "above"},
    {kRoot + "\\sibling\\keep.txt", "keep"},
    {kProduct + "\\sub\\Antivirus\\av.dll", "antivirus"},
};

HANDLE HoldOpen(const std::string& strPath) {
  HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               NULL, OPEN_EXISTING, 0, NULL);
  EXPECT_NE(INVALID_HANDLE_VALUE, hFile) << strPath;
  return hFile;
}

size_t IndexOf(const std::vector<std::string>& list, const std::string& str) {
  return static_cast<size_t>(std::find(list.begin(), list.end(), str) - list.begin());
}

TEST(Restart, DISABLED_RegisterForTheNextStart) {
  DoReplacements("");
  ASSERT_EQ(std::vector<std::string>{}, PendingRenames()) << "a fresh prefix has none";
  HVTest::RemoveTree(kRoot);
  for (const auto& canary : kCanaries) MakeFile(canary.first, canary.second);
  MakeFile(kHeld, "in use");
  MakeFile(kReadOnlyHeld, "in use", FILE_ATTRIBUTE_READONLY);
  MakeFile(kProduct + "\\sub\\other.txt");
  MakeFile(kProduct + "\\gone\\x.txt");
  MakeFile(kLoose, "in use");
  HANDLE rghHeld[] = {HoldOpen(kHeld), HoldOpen(kReadOnlyHeld), HoldOpen(kLoose)};

  CWorkerThread oWorker;
  EXPECT_EQ(S_REBOOT_REQUIRED, oWorker.RemoveDirectory(kProduct));
  EXPECT_EQ(S_REBOOT_REQUIRED, oWorker.DeleteFile(kLoose));
  for (HANDLE hFile : rghHeld) ::CloseHandle(hFile);

  std::vector<std::string> pending = PendingRenames();
  EXPECT_EQ((std::set<std::string>{kHeld, kReadOnlyHeld, kProduct + "\\sub", kProduct, kLoose}),
            std::set<std::string>(pending.begin(), pending.end()));
  EXPECT_EQ(5u, pending.size());
  // Children before the folders that hold them.
  EXPECT_LT(IndexOf(pending, kHeld), IndexOf(pending, kProduct));
  EXPECT_LT(IndexOf(pending, kReadOnlyHeld), IndexOf(pending, kProduct));
  EXPECT_LT(IndexOf(pending, kProduct + "\\sub"), IndexOf(pending, kProduct));
  EXPECT_FALSE(PathExists(kProduct + "\\sub\\other.txt"));
  EXPECT_FALSE(PathExists(kProduct + "\\gone"));
  EXPECT_TRUE(PathExists(kHeld));
  // Left writable: a read-only file is not deleted at the next start.
  EXPECT_EQ(0u, ::GetFileAttributesA(kReadOnlyHeld.c_str()) & FILE_ATTRIBUTE_READONLY);
}

TEST(Restart, DISABLED_RemovedAtTheNextStart) {
  EXPECT_FALSE(PathExists(kHeld));
  EXPECT_FALSE(PathExists(kReadOnlyHeld));
  EXPECT_FALSE(PathExists(kLoose));
  for (const auto& canary : kCanaries) EXPECT_EQ(canary.second, ReadFileBytes(canary.first));
  // The folders above the "Antivirus" folder are not empty, so they stay.
  EXPECT_TRUE(PathExists(kProduct + "\\sub"));
  // Wine consumes the registrations.
  EXPECT_EQ(std::vector<std::string>{}, PendingRenames());
  HVTest::RemoveTree(kRoot);
}

}  // namespace
