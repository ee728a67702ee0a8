// The real eight scripts, run by the real worker thread, with damaged "InstallDir" values
// of both products: whatever the registry says, nothing but product folders is ever
// emptied. Every file and folder of drive C is a canary here, besides the planted ones.
// Runs in a throw-away prefix (scratch_prefix.sh): if the protection ever failed, the
// prefix it wrecked would go with it.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <set>
#include <string>
#include <vector>

#include "FilesTestSupport.h"
#include "Global.h"
#include "engine/WorkerThread.h"
#include "support/TestSupport.h"

using HVFilesTest::CCanaries;
using HVFilesTest::ListTree;
using HVFilesTest::MakeFile;
using HVTest::PathExists;

namespace {

const char kMaker[] = "Software\\Halvern";
const char* const kProducts[] = {"Software\\Halvern\\Mendora", "Software\\Halvern\\Corvelle"};

std::string Folder(int nCsidl) {
  char sz[MAX_PATH] = {};
  EXPECT_TRUE(::SHGetSpecialFolderPathA(NULL, sz, nCsidl, FALSE));
  return sz;
}

std::string WindowsFolder() {
  char sz[MAX_PATH] = {};
  ::GetWindowsDirectoryA(sz, MAX_PATH);
  return sz;
}

std::string SystemFolder() {
  char sz[MAX_PATH] = {};
  ::GetSystemDirectoryA(sz, MAX_PATH);
  return sz;
}

bool StartsWithNoCase(const std::string& str, const std::string& strPrefix) {
  return str.size() >= strPrefix.size() &&
         _strnicmp(str.c_str(), strPrefix.c_str(), strPrefix.size()) == 0;
}

// Runs all eight scripts on a worker thread, as the progress page does, and waits.
void RunTheScripts() {
  CWorkerThread oWorker;
  ASSERT_EQ(S_OK, oWorker.Start());
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(oWorker.m_hThread, 300000));
  DWORD dwExitCode = 0;
  ::GetExitCodeThread(oWorker.m_hThread, &dwExitCode);
  EXPECT_EQ(static_cast<DWORD>(S_OK), dwExitCode);
  oWorker.Stop();
}

struct SHostile {
  const char* szCase;
  DWORD dwType;
  std::string strData;  // a REG_SZ value's text, without the terminator
  bool bRefused;        // a folder entry is refused (traced at level 128)
};

class HostileInstallDir : public ::testing::Test {
 protected:
  void SetUp() override {
    m_strWindows = WindowsFolder();
    m_strProgramFiles = Folder(CSIDL_PROGRAM_FILES);
    // The products' default folders, where the values are refused and the defaults stay.
    m_strDefaultMendora = m_strProgramFiles + "\\Halvern\\Mendora";
    m_strDefaultCorvelle = m_strProgramFiles + "\\Halvern\\Corvelle";
    ASSERT_TRUE(PathExists("C:\\hvlinks\\entry")) << "scratch_prefix.sh makes the links";
  }

  // Plants the canaries of one row; the scripts' own targets and the scratch folders are
  // no canaries.
  void Plant(CCanaries& oCanaries) {
    oCanaries.Add("C:\\hvhostile_canary.txt");
    for (const std::string& strFolder :
         {m_strWindows, SystemFolder(), m_strProgramFiles, Folder(CSIDL_PROGRAM_FILES_COMMON),
          Folder(CSIDL_COMMON_APPDATA), Folder(CSIDL_APPDATA), Folder(CSIDL_COMMON_STARTMENU)}) {
      oCanaries.Add(strFolder + "\\hvhostile_canary.txt");
    }
    oCanaries.Add(m_strProgramFiles + "\\Halvern\\keep.txt");
    oCanaries.Add("C:\\hvlinks\\target2\\canary.txt");
    oCanaries.Add("C:\\hvlinks\\target2\\sub\\deep.txt");
    oCanaries.Add(m_oCurrent.Child("canary.txt"));
    oCanaries.Add(m_oCurrent.Child("Product\\canary.txt"));
    oCanaries.Add(m_oLegit.Child("sibling\\keep.txt"));
  }

  std::set<std::string> DriveC() const {
    std::set<std::string> paths;
    for (const std::string& strPath : ListTree("C:")) {
      std::string strFull = "C:\\" + strPath;
      if (StartsWithNoCase(strFull, m_strDefaultMendora) ||
          StartsWithNoCase(strFull, m_strDefaultCorvelle) ||
          StartsWithNoCase(strFull, m_oLegit.Path() + "\\Product")) {
        continue;
      }
      paths.insert(strFull);
    }
    return paths;
  }

  void SetInstallDir(DWORD dwType, const std::string& strData) {
    HVTest::RegDeleteTreeIn(HKEY_LOCAL_MACHINE, kMaker);
    for (const char* szKey : kProducts) {
      if (dwType == REG_DWORD) {
        DWORD dwValue = 0x5C3A43;  // "C:\" as a number
        HVTest::RegSetRaw(HKEY_LOCAL_MACHINE, szKey, "InstallDir", REG_DWORD, &dwValue,
                          sizeof(dwValue));
      } else {
        HVTest::RegSetString(HKEY_LOCAL_MACHINE, szKey, "InstallDir", strData, dwType);
      }
    }
    ResetReplacementsForTests();
    ResetRebootRequiredForTests();
  }

  std::string m_strWindows;
  std::string m_strProgramFiles;
  std::string m_strDefaultMendora;
  std::string m_strDefaultCorvelle;
  HVTest::CSandboxKey m_oMaker{HKEY_LOCAL_MACHINE, kMaker};
  HVTest::CScratchFolder m_oCurrent{"hostile_current"};
  HVTest::CScratchFolder m_oLegit{"hostile_legit"};
};

TEST_F(HostileInstallDir, NothingButProductFoldersIsEverEmptied) {
  const std::string strLegit = m_oLegit.Child("Product");
  const std::vector<SHostile> rows = {
      {"empty", REG_SZ, "", true},
      {"the root of drive C", REG_SZ, "C:\\", true},
      {"a bare drive", REG_SZ, "C:", true},
      {"the Windows folder", REG_SZ, m_strWindows, true},
      {"the Windows folder, otherwise written", REG_SZ, "c:/WINDOWS/system32/..", true},
      {"the program files folder as a variable", REG_EXPAND_SZ, "%PROGRAMFILES%", true},
      {"a relative path", REG_SZ, "Product", true},
      {"a path through a link to the drive's root", REG_SZ, "C:\\hvlinks\\toroot\\windows", true},
      {"a link to a folder", REG_SZ, "C:\\hvlinks\\entry", false},
      {"600 characters", REG_SZ, m_strWindows + std::string(600 - m_strWindows.size(), '\\'), false},
      {"a number", REG_DWORD, "", false},
      {"a real install folder", REG_SZ, strLegit, false},
  };
  CCanaries oCanaries;
  Plant(oCanaries);
  ::SetCurrentDirectoryA(m_oCurrent.Path().c_str());
  const std::set<std::string> before = DriveC();
  ASSERT_GT(before.size(), 500u);

  for (const auto& row : rows) {
    SCOPED_TRACE(row.szCase);
    HVTest::CTraceFile oTrace;
    HVFilesTest::CPendingRenames oPending;
    SetInstallDir(row.dwType, row.strData);
    // Product folders that are meant to go: the defaults, which stay where a value is
    // refused, and the real install folder.
    for (const std::string& strProduct : {m_strDefaultMendora, m_strDefaultCorvelle, strLegit}) {
      MakeFile(strProduct + "\\bin\\product.dll");
    }

    RunTheScripts();

    EXPECT_EQ(std::vector<std::string>{}, oCanaries.Lost());
    std::vector<std::string> lost;
    for (const std::string& strPath : before) {
      if (!PathExists(strPath)) lost.push_back(strPath);
    }
    EXPECT_EQ(std::vector<std::string>{}, lost);

    bool bRefused = false;
    for (const std::string& strMessage : oTrace.MessagesOf("CWorkerThread::RemoveDirectoryA")) {
      if (strMessage.compare(0, 8, "Refused ") == 0) bRefused = true;
    }
    EXPECT_EQ(row.bRefused, bRefused);
    // The scripts really ran: the default folders went wherever they were still named.
    const bool bDefaults = row.dwType == REG_DWORD || row.strData.size() >= 520;
    EXPECT_EQ(!bDefaults, PathExists(m_strDefaultMendora + "\\bin\\product.dll"));
    EXPECT_EQ(row.strData != strLegit, PathExists(strLegit + "\\bin\\product.dll"));
    HVTest::RemoveTree(m_strDefaultMendora);
    HVTest::RemoveTree(m_strDefaultCorvelle);
    HVTest::RemoveTree(strLegit);
  }
  char szCurrent[MAX_PATH] = {};
  ::GetWindowsDirectoryA(szCurrent, MAX_PATH);
  ::SetCurrentDirectoryA(szCurrent);
}

}  // namespace
