// File and folder removal on real files and folders of the test run's Wine prefix: files
// in use, read-only files, "Antivirus" folders, the registrations for the next start as
// Wine records them, the refusals that keep a damaged path from emptying the machine's
// own folders, and the symbolic links the files_links fixture makes under C:\hvlinks.
// Failures are injected only where Wine cannot produce them (a failing registration,
// a reparse point reported the way Windows reports junctions).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "FilesTestSupport.h"
#include "Global.h"
#include "HVSys.h"
#include "engine/WorkerThread.h"
#include "support/TestSupport.h"

using HVFilesTest::CCanaries;
using HVFilesTest::CCountCalls;
using HVFilesTest::ListTree;
using HVFilesTest::MakeFile;
using HVFilesTest::MakeFolders;
using HVFilesTest::TraceLines;
using HVTest::PathExists;

namespace {

// The path variables are worked out before any test, so that their traces never mix
// with those of a test.
class CWorkOutPathVariables : public ::testing::Environment {
 public:
  void SetUp() override { DoReplacements(""); }
};
::testing::Environment* const g_pEnvironment =
    ::testing::AddGlobalTestEnvironment(new CWorkOutPathVariables);

const char kDeleteFileA[] = "CWorkerThread::DeleteFileA";
const char kRemoveDirectoryA[] = "CWorkerThread::RemoveDirectoryA";

std::string Deleted(const std::string& strPath) { return "512 Deleted: " + strPath; }
std::string OnReboot(const std::string& strPath) { return "1024 Delete on reboot: " + strPath; }

std::string Parent(const std::string& strPath) { return strPath.substr(0, strPath.rfind('\\')); }

std::string Upper(std::string str) {
  for (char& c : str) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return str;
}

std::string Slashes(std::string str) {
  for (char& c : str) {
    if (c == '\\') c = '/';
  }
  return str;
}

// A file held open the way a running program holds it: shared for reading and writing,
// not for deletion.
HANDLE HoldOpen(const std::string& strPath) {
  HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               NULL, OPEN_EXISTING, 0, NULL);
  EXPECT_NE(INVALID_HANDLE_VALUE, hFile) << strPath;
  return hFile;
}

class CHeldFile {
 public:
  explicit CHeldFile(const std::string& strPath) : m_hFile(HoldOpen(strPath)) {}
  ~CHeldFile() { ::CloseHandle(m_hFile); }
  CHeldFile(const CHeldFile&) = delete;
  CHeldFile& operator=(const CHeldFile&) = delete;

 private:
  HANDLE m_hFile;
};

class CCurrentFolder {
 public:
  explicit CCurrentFolder(const std::string& strPath) {
    char sz[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, sz);
    m_strPrevious = sz;
    EXPECT_TRUE(::SetCurrentDirectoryA(strPath.c_str())) << strPath;
  }
  ~CCurrentFolder() { ::SetCurrentDirectoryA(m_strPrevious.c_str()); }
  CCurrentFolder(const CCurrentFolder&) = delete;
  CCurrentFolder& operator=(const CCurrentFolder&) = delete;

 private:
  std::string m_strPrevious;
};

class FileRemoval : public ::testing::Test {
 protected:
  void SetUp() override { ResetRebootRequiredForTests(); }
  void TearDown() override { ResetRebootRequiredForTests(); }

  // Between the rows of a table.
  void NextRow() {
    m_oTrace.Clear();
    m_oPending.Restore();
    ResetRebootRequiredForTests();
  }

  HVTest::CTraceFile m_oTrace;
  HVFilesTest::CPendingRenames m_oPending;
  CWorkerThread m_oWorker;
};

// ---------------------------------------------------------------------------------
// JoinPath

TEST(JoinPath, MakesExactlyOneBackslashBetweenFolderAndName) {
  const struct {
    const char* szBase;
    const char* szChild;
    const char* szExpected;
  } rows[] = {
      {"C:\\a", "b", "C:\\a\\b"},
      {"C:\\a\\", "b", "C:\\a\\b"},
      {"C:\\a\\\\\\", "\\\\b", "C:\\a\\b"},
      {"C:\\a", "b\\", "C:\\a\\b\\"},
      {"C:\\a", "", "C:\\a"},
      {"C:\\a\\", "", "C:\\a\\"},
      {"", "b", "b"},
      {"", "", ""},
      {"\\", "b", "\\b"},
      // Why a bare drive is never searched: its pattern is that of the drive's root.
      {"C:", "*.*", "C:\\*.*"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.szExpected, JoinPath(row.szBase, row.szChild))
        << "\"" << row.szBase << "\" + \"" << row.szChild << "\"";
  }
}

// ---------------------------------------------------------------------------------
// DeleteFile

TEST_F(FileRemoval, DeleteFileDeletesAtOnceOrReportsAbsenceOrRegisters) {
  HVTest::CScratchFolder oScratch("files_delete");
  enum EPrepare { kNothing, kFile, kFolder };
  const struct {
    const char* szCase;
    const char* szRelative;
    EPrepare ePrepare;
    DWORD dwAttributes;
    HRESULT hrExpected;
    DWORD dwTraceLevel;  // 0: no trace
    bool bRemains;
  } rows[] = {
      {"a plain file", "plain.txt", kFile, FILE_ATTRIBUTE_NORMAL, S_OK, 512, false},
      {"a read-only file", "ro.txt", kFile, FILE_ATTRIBUTE_READONLY, S_OK, 512, false},
      {"a hidden read-only system file", "hrs.txt", kFile,
       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, S_OK, 512, false},
      {"a file named Antivirus", "Antivirus", kFile, FILE_ATTRIBUTE_NORMAL, S_OK, 512, false},
      {"a missing file", "missing.txt", kNothing, 0, S_FALSE, 0, false},
      {"a file whose folder is missing", "nofolder\\missing.txt", kNothing, 0, S_FALSE, 0, false},
      {"a folder", "folder", kFolder, 0, S_REBOOT_REQUIRED, 1024, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.szCase);
    NextRow();
    const std::string strPath = oScratch.Child(row.szRelative);
    if (row.ePrepare == kFile) MakeFile(strPath, "content", row.dwAttributes);
    if (row.ePrepare == kFolder) MakeFolders(strPath);

    EXPECT_EQ(row.hrExpected, m_oWorker.DeleteFile(strPath));

    std::vector<std::string> expectedTraces;
    if (row.dwTraceLevel == 512) expectedTraces.push_back(Deleted(strPath));
    if (row.dwTraceLevel == 1024) expectedTraces.push_back(OnReboot(strPath));
    EXPECT_EQ(expectedTraces, TraceLines(m_oTrace));
    EXPECT_EQ(row.bRemains, PathExists(strPath));
    const bool bRegistered = row.hrExpected == S_REBOOT_REQUIRED;
    EXPECT_EQ(bRegistered ? std::vector<std::string>{strPath} : std::vector<std::string>{},
              m_oPending.Added());
    EXPECT_EQ(bRegistered, IsRebootRequired());
  }
}

TEST_F(FileRemoval, DeleteFileRegistersAFileInUseAndLeavesItWritable) {
  HVTest::CScratchFolder oScratch("files_in_use");
  for (bool bReadOnly : {false, true}) {
    SCOPED_TRACE(bReadOnly ? "read-only and in use" : "in use");
    NextRow();
    const std::string strPath = oScratch.Child(bReadOnly ? "ro_held.dll" : "held.dll");
    MakeFile(strPath, "in use", bReadOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
    CHeldFile oHeld(strPath);
    CCountCalls oCalls;

    EXPECT_EQ(S_REBOOT_REQUIRED, m_oWorker.DeleteFile(strPath));

    EXPECT_EQ(std::vector<std::string>{OnReboot(strPath)}, TraceLines(m_oTrace));
    EXPECT_EQ(std::vector<std::string>{strPath}, m_oPending.Added());
    EXPECT_TRUE(IsRebootRequired());
    EXPECT_EQ("in use", HVTest::ReadFileBytes(strPath));
    // Only a read-only file has its attributes changed, and it stays writable so that
    // the deletion at the next start can succeed.
    EXPECT_EQ(bReadOnly ? 1 : 0, oCalls.Counts().nSetFileAttributes);
    EXPECT_EQ(0u, ::GetFileAttributesA(strPath.c_str()) & FILE_ATTRIBUTE_READONLY);
  }
}

TEST_F(FileRemoval, DeleteFileRefusesPathsThatAreNotFullyQualified) {
  HVTest::CScratchFolder oScratch("files_refuse_file");
  CCanaries oCanaries;
  oCanaries.Add(oScratch.Child("victim.txt"));
  oCanaries.Add(oScratch.Child("sub\\victim.txt"));
  CCurrentFolder oCurrent(oScratch.Path());
  const char* const paths[] = {
      "",
      "victim.txt",
      "sub\\victim.txt",
      "..\\files_refuse_file\\victim.txt",
      "C:victim.txt",
      "\\hvtest\\files_refuse_file\\victim.txt",
  };
  for (const char* szPath : paths) {
    SCOPED_TRACE(std::string("\"") + szPath + "\"");
    NextRow();
    CCountCalls oCalls;
    EXPECT_EQ(E_INVALIDARG, m_oWorker.DeleteFile(szPath));
    EXPECT_EQ(std::vector<std::string>{std::string(
                  "128 Refused to delete a file without a fully qualified path: ") + szPath},
              TraceLines(m_oTrace, kDeleteFileA));
    EXPECT_EQ(0, oCalls.Touches());
    EXPECT_FALSE(IsRebootRequired());
  }
  EXPECT_EQ(std::vector<std::string>{}, oCanaries.Lost());
}

// Wine cannot make a registration fail: the call is replaced.
BOOL WINAPI FailMoveFileEx(LPCSTR, LPCSTR, DWORD) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST_F(FileRemoval, AFailedRegistrationIsTracedAndStillAsksForARestart) {
  HVTest::CScratchFolder oScratch("files_register_fails");
  const std::string strFolder = oScratch.Child("Product");
  const std::string strFile = strFolder + "\\held.dll";
  MakeFile(strFile);
  CHeldFile oHeld(strFile);
  auto oOverride = HV::Sys::Override(HV::Sys::MoveFileExA, &FailMoveFileEx);

  EXPECT_EQ(S_REBOOT_REQUIRED, m_oWorker.RemoveDirectory(strFolder));

  EXPECT_EQ((std::vector<std::string>{
                OnReboot(strFile),
                "4 ::MoveFileEx(strFile, NULL, MOVEFILE_DELAY_UNTIL_REBOOT) - 00000000"}),
            TraceLines(m_oTrace, kDeleteFileA));
  EXPECT_EQ((std::vector<std::string>{
                OnReboot(strFolder),
                "4 MoveFileEx(strFolder, NULL, MOVEFILE_DELAY_UNTIL_REBOOT) - 00000000"}),
            TraceLines(m_oTrace, kRemoveDirectoryA));
  EXPECT_TRUE(IsRebootRequired());
  EXPECT_EQ(std::vector<std::string>{}, m_oPending.Added());
}

// ---------------------------------------------------------------------------------
// RemoveDirectory on real trees

TEST_F(FileRemoval, RemoveDirectoryEmptiesTheTreeButLeavesAntivirusFoldersAndAllAround) {
  HVTest::CScratchFolder oScratch("files_tree");
  const std::string strProduct = oScratch.Child("Product");
  std::vector<std::string> deletedBefore;
  for (const char* szEnding : {"", "\\"}) {
    SCOPED_TRACE(*szEnding ? "with a final backslash" : "without a final backslash");
    NextRow();
    CCanaries oCanaries;
    oCanaries.Add(oScratch.Child("above.txt"));
    oCanaries.Add(oScratch.Child("sibling\\keep.txt"));
    oCanaries.Add(strProduct + "\\sub1\\ANTIVIRUS\\av.dll");
    oCanaries.Add(strProduct + "\\sub1\\ANTIVIRUS\\deep\\av.dat");
    MakeFile(strProduct + "\\a.txt");
    MakeFile(strProduct + "\\Antivirus");
    MakeFile(strProduct + "\\hidden.txt", "x", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    MakeFile(strProduct + "\\ro.txt", "x", FILE_ATTRIBUTE_READONLY);
    MakeFolders(strProduct + "\\empty");
    MakeFile(strProduct + "\\sub1\\b.txt");
    MakeFile(strProduct + "\\sub1\\deeper\\c.txt");
    MakeFile(strProduct + "\\sub2\\d.txt");
    const std::string strEntry = strProduct + szEnding;

    EXPECT_EQ(S_REBOOT_REQUIRED, m_oWorker.RemoveDirectory(strEntry));

    EXPECT_EQ((std::set<std::string>{"sub1", "sub1\\ANTIVIRUS", "sub1\\ANTIVIRUS\\av.dll",
                                     "sub1\\ANTIVIRUS\\deep", "sub1\\ANTIVIRUS\\deep\\av.dat"}),
              ListTree(strProduct));
    EXPECT_EQ(std::vector<std::string>{}, oCanaries.Lost());

    // Children first: the folder above the "Antivirus" folder, then the entry itself.
    const std::vector<std::string> registered = {strProduct + "\\sub1", strEntry};
    EXPECT_EQ(registered, m_oPending.Added());
    EXPECT_TRUE(IsRebootRequired());

    std::vector<std::string> deleted, onReboot, others;
    for (const std::string& strLine : TraceLines(m_oTrace)) {
      if (strLine.compare(0, 4, "512 ") == 0) {
        deleted.push_back(strLine);
      } else if (strLine.compare(0, 5, "1024 ") == 0) {
        onReboot.push_back(strLine);
      } else {
        others.push_back(strLine);
      }
    }
    EXPECT_EQ((std::vector<std::string>{OnReboot(registered[0]), OnReboot(registered[1])}),
              onReboot);
    EXPECT_EQ(std::vector<std::string>{}, others);
    std::sort(deleted.begin(), deleted.end());
    std::vector<std::string> expectedDeleted;
    for (const char* szChild : {"a.txt", "Antivirus", "hidden.txt", "ro.txt", "empty",
                                "sub1\\b.txt", "sub1\\deeper\\c.txt", "sub1\\deeper",
                                "sub2\\d.txt", "sub2"}) {
      expectedDeleted.push_back(Deleted(strProduct + "\\" + szChild));
    }
    std::sort(expectedDeleted.begin(), expectedDeleted.end());
    EXPECT_EQ(expectedDeleted, deleted);
    // The same child paths with and without the final backslash.
    if (!deletedBefore.empty()) {
      EXPECT_EQ(deletedBefore, deleted);
    }
    deletedBefore = deleted;
  }
}

TEST_F(FileRemoval, RemoveDirectoryOutcomes) {
  HVTest::CScratchFolder oScratch("files_folder");
  enum EPrepare { kNothing, kEmptyFolder, kFile, kReadOnlyInside };
  const struct {
    const char* szCase;
    const char* szRelative;
    EPrepare ePrepare;
    HRESULT hrExpected;
    std::vector<std::string> traces;  // "512 name" or "1024 name", relative
    bool bRemains;
  } rows[] = {
      {"an empty folder", "empty", kEmptyFolder, S_OK, {"512 empty"}, false},
      {"a missing folder", "missing", kNothing, S_FALSE, {}, false},
      {"a folder in a missing folder", "none\\missing", kNothing, S_FALSE, {}, false},
      {"an entry that names a file", "file.txt", kFile, S_REBOOT_REQUIRED, {"1024 file.txt"}, true},
      {"a folder with a read-only file", "ro", kReadOnlyInside, S_OK,
       {"512 ro\\ro.txt", "512 ro"}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.szCase);
    NextRow();
    const std::string strPath = oScratch.Child(row.szRelative);
    if (row.ePrepare == kEmptyFolder) MakeFolders(strPath);
    if (row.ePrepare == kFile) MakeFile(strPath, "a file");
    if (row.ePrepare == kReadOnlyInside) MakeFile(strPath + "\\ro.txt", "x", FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(row.hrExpected, m_oWorker.RemoveDirectory(strPath));

    std::vector<std::string> expectedTraces;
    for (const std::string& strTrace : row.traces) {
      size_t nBlank = strTrace.find(' ');
      std::string strChild = oScratch.Child(strTrace.substr(nBlank + 1));
      expectedTraces.push_back(strTrace.compare(0, 4, "512 ") == 0 ? Deleted(strChild)
                                                                   : OnReboot(strChild));
    }
    EXPECT_EQ(expectedTraces, TraceLines(m_oTrace));
    EXPECT_EQ(row.bRemains, PathExists(strPath));
    const bool bRegistered = row.hrExpected == S_REBOOT_REQUIRED;
    EXPECT_EQ(bRegistered ? std::vector<std::string>{strPath} : std::vector<std::string>{},
              m_oPending.Added());
    EXPECT_EQ(bRegistered, IsRebootRequired());
  }
  EXPECT_EQ("a file", HVTest::ReadFileBytes(oScratch.Child("file.txt")));
}

TEST_F(FileRemoval, AFileInUseIsRegisteredBeforeTheFoldersAboveIt) {
  HVTest::CScratchFolder oScratch("files_tree_in_use");
  const std::string strTree = oScratch.Child("Tree");
  MakeFile(strTree + "\\x\\held.dll", "in use");
  MakeFile(strTree + "\\x\\other.txt");
  MakeFile(strTree + "\\y.txt");
  CHeldFile oHeld(strTree + "\\x\\held.dll");

  EXPECT_EQ(S_REBOOT_REQUIRED, m_oWorker.RemoveDirectory(strTree));

  EXPECT_EQ((std::vector<std::string>{strTree + "\\x\\held.dll", strTree + "\\x", strTree}),
            m_oPending.Added());
  EXPECT_EQ((std::set<std::string>{"x", "x\\held.dll"}), ListTree(strTree));
  EXPECT_TRUE(IsRebootRequired());
}

// ---------------------------------------------------------------------------------
// Refusals: nothing of the machine is ever emptied

TEST_F(FileRemoval, RemoveDirectoryRefusesRootsTheMachinesFoldersAndPathsThatAreNotQualified) {
  HVTest::CScratchFolder oScratch("files_refuse");
  CCanaries oCanaries;
  oCanaries.Add("C:\\hvfiles_canary.txt");
  oCanaries.Add(oScratch.Child("canary.txt"));
  oCanaries.Add(oScratch.Child("relative\\canary.txt"));
  oCanaries.Add(oScratch.Child("relative\\deeper\\canary.txt"));
  std::vector<std::string> machine;
  for (const char* szVariable : {"%WINDOWS%", "%SYSTEM%", "%PROGRAMFILES%", "%COMMONFILES%",
                                 "%PROGRAMDATA%", "%USERDATA%", "%STARTMENU%"}) {
    machine.push_back(DoReplacements(szVariable));
    ASSERT_TRUE(PathExists(machine.back())) << machine.back();
    oCanaries.Add(machine.back() + "\\hvfiles_canary.txt");
  }
  const std::string& strWindows = machine[0];
  const std::string& strSystem = machine[1];
  const std::string& strUserData = machine[5];
  const std::string& strStartMenu = machine[6];
  CCurrentFolder oCurrent(oScratch.Path());

  enum EVerdict { kNotQualified, kRoot, kProtected };
  std::vector<std::pair<std::string, EVerdict>> rows = {
      {"", kNotQualified},
      {"relative", kNotQualified},
      {"relative\\deeper", kNotQualified},
      {"..\\files_refuse", kNotQualified},
      {"C:", kNotQualified},
      {"C:relative", kNotQualified},
      {"\\hvtest\\files_refuse", kNotQualified},
      {"\\\\?\\C:\\hvtest\\files_refuse", kNotQualified},
      {"\\\\.\\C:\\hvtest\\files_refuse", kNotQualified},
      {"C:\\", kRoot},
      {"C:\\\\\\", kRoot},
      {"c:/", kRoot},
      {strWindows + "\\..", kRoot},
      {"\\\\server\\share", kRoot},
      {"\\\\server\\share\\", kRoot},
      // A link to the drive's root (see make_links.sh).
      {"C:\\hvlinks\\toroot", kRoot},
      {Parent(strUserData), kProtected},
      {Parent(Parent(strUserData)), kProtected},
      {Parent(strStartMenu), kProtected},
      {strSystem + "\\..", kProtected},
      {Upper(strWindows), kProtected},
      {Slashes(strSystem), kProtected},
      {strWindows + "\\system32\\.\\", kProtected},
      // The Windows folder reached through the link to the drive's root.
      {"C:\\hvlinks\\toroot\\windows", kProtected},
      // Nothing below the Windows folder is a product folder, present or not.
      {strSystem + "\\drivers", kProtected},
      {strWindows + "\\Temp\\hvfiles-missing", kProtected},
  };
  for (const std::string& strFolder : machine) {
    rows.push_back({strFolder, kProtected});
    rows.push_back({strFolder + "\\", kProtected});
    rows.push_back({strFolder + "\\sub\\..", kProtected});
  }
  ASSERT_TRUE(PathExists("C:\\hvlinks\\toroot\\windows")) << "run through ctest: the files_links fixture makes the links";

  for (const auto& row : rows) {
    SCOPED_TRACE("\"" + row.first + "\"");
    NextRow();
    CCountCalls oCalls;
    HRESULT hr = m_oWorker.RemoveDirectory(row.first);
    const char* szMessage =
        row.second == kNotQualified ? "Refused to remove a folder without a fully qualified path: "
        : row.second == kRoot       ? "Refused to remove the root of a drive or share: "
                              : "Refused to remove a folder of the system or a folder that contains one: ";
    EXPECT_EQ(row.second == kNotQualified ? E_INVALIDARG : E_ACCESSDENIED, hr);
    EXPECT_EQ(std::vector<std::string>{"128 " + std::string(szMessage) + row.first},
              TraceLines(m_oTrace));
    EXPECT_EQ(0, oCalls.Counts().nFindFirstFile);
    EXPECT_EQ(0, oCalls.Touches());
    EXPECT_FALSE(IsRebootRequired());
  }

  // Folders inside the machine's other folders, or with names that merely begin like
  // one, are no system folders: missing, they are simply absent.
  const std::string allowed[] = {
      strWindows + "2",
      Parent(machine[2]) + "\\Program",
      machine[4] + "\\Halvern\\Mendora",
      machine[2] + "\\Halvern\\Corvelle",
  };
  for (const std::string& strFolder : allowed) {
    SCOPED_TRACE("\"" + strFolder + "\"");
    NextRow();
    EXPECT_EQ(S_FALSE, m_oWorker.RemoveDirectory(strFolder));
    EXPECT_EQ(std::vector<std::string>{}, TraceLines(m_oTrace));
  }
  EXPECT_EQ(std::vector<std::string>{}, oCanaries.Lost());
}

// ---------------------------------------------------------------------------------
// Cancel

CWorkerThread* g_pCancelled = NULL;
int g_cDeletionsBeforeCancel = 0;
int g_cDeletions = 0;

BOOL WINAPI DeleteThenCancel(LPCSTR szPath) {
  BOOL bResult = ::DeleteFileA(szPath);
  if (++g_cDeletions == g_cDeletionsBeforeCancel) g_pCancelled->m_bCancel = true;
  return bResult;
}

TEST_F(FileRemoval, CancelStopsTheWalkAtTheNextEntryAndEveryLevelTracesItOnce) {
  HVTest::CScratchFolder oScratch("files_cancel");
  const std::string strRoot = oScratch.Child("Root");
  for (const char* szName : {"f1.txt", "f2.txt", "f3.txt", "f4.txt", "f5.txt"}) {
    MakeFile(strRoot + "\\a\\b\\" + szName);
  }
  g_pCancelled = &m_oWorker;
  g_cDeletions = 0;
  g_cDeletionsBeforeCancel = 2;
  auto oOverride = HV::Sys::Override(HV::Sys::DeleteFileA, &DeleteThenCancel);

  EXPECT_EQ(E_ABORT, m_oWorker.RemoveDirectory(strRoot));

  EXPECT_EQ(2, g_cDeletions);
  EXPECT_EQ((std::vector<std::string>{"4 RemoveDirectory(strChild) - 0x80004004",
                                      "4 RemoveDirectory(strChild) - 0x80004004"}),
            TraceLines(m_oTrace, kRemoveDirectoryA));
  EXPECT_EQ(2u, TraceLines(m_oTrace, kDeleteFileA).size());
  EXPECT_EQ(5u, ListTree(strRoot).size());  // a, a\b and the three files not reached
  EXPECT_EQ(std::vector<std::string>{}, m_oPending.Added());
  EXPECT_FALSE(IsRebootRequired());

  // Cancelled before the walk: nothing at all.
  NextRow();
  m_oWorker.m_bCancel = true;
  CCountCalls oCalls;
  EXPECT_EQ(E_ABORT, m_oWorker.RemoveDirectory(strRoot));
  EXPECT_EQ(0, oCalls.Touches());
  EXPECT_EQ(std::vector<std::string>{}, TraceLines(m_oTrace));
  EXPECT_EQ(5u, ListTree(strRoot).size());
}

// ---------------------------------------------------------------------------------
// Links. Under Wine 8 a Windows program cannot make a junction or a symbolic link
// (CreateSymbolicLink reports success and makes nothing; FSCTL_SET_REPARSE_POINT fails),
// but Wine reports a Unix symbolic link to a folder as a folder with
// FILE_ATTRIBUTE_REPARSE_POINT, and one to a file as a plain file. make_links.sh makes
// them from the host side under C:\hvlinks:
//   tree\a\b\dirlink -> target       tree\filelink.txt -> target\file.txt
//   entry -> target2                 toroot -> C:\ (the drive's root)

const char kLinks[] = "C:\\hvlinks";

TEST_F(FileRemoval, LinksInsideTheTreeAreNeitherFollowedNorRemoved) {
  const std::string strTree = std::string(kLinks) + "\\tree";
  const std::string strDirLink = strTree + "\\a\\b\\dirlink";
  const std::string strFileLink = strTree + "\\filelink.txt";
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesA(strDirLink.c_str()))
      << "run through ctest: the files_links fixture makes the links";
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
            ::GetFileAttributesA(strDirLink.c_str()) &
                (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  CCanaries oCanaries;
  oCanaries.Add(std::string(kLinks) + "\\target\\canary.txt");
  oCanaries.Add(std::string(kLinks) + "\\target\\sub\\deep.txt");
  oCanaries.Add(std::string(kLinks) + "\\target\\file.txt");
  // Wine does not mark the link to a file; deleting it would delete its target.
  EXPECT_EQ(0u, ::GetFileAttributesA(strFileLink.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
  MakeFile(strTree + "\\x.txt");
  MakeFile(strTree + "\\a\\y.txt");
  MakeFile(strTree + "\\a\\b\\z.txt");

  EXPECT_EQ(S_REBOOT_REQUIRED, m_oWorker.RemoveDirectory(strTree));

  EXPECT_EQ(std::vector<std::string>{}, oCanaries.Lost());
  EXPECT_EQ((std::set<std::string>{"a", "a\\b", "a\\b\\dirlink", "filelink.txt"}),
            ListTree(strTree));
  EXPECT_EQ((std::vector<std::string>{strTree + "\\a\\b", strTree + "\\a", strTree}),
            m_oPending.Added());
  EXPECT_TRUE(IsRebootRequired());
}

TEST_F(FileRemoval, AnEntryThatIsItselfALinkIsNotWalkedInto) {
  const std::string strEntry = std::string(kLinks) + "\\entry";
  ASSERT_NE(0u, ::GetFileAttributesA(strEntry.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)
      << "run through ctest: the files_links fixture makes the links";
  for (const char* szEnding : {"", "\\"}) {
    SCOPED_TRACE(*szEnding ? "with a final backslash" : "without a final backslash");
    NextRow();
    CCanaries oCanaries;
    oCanaries.Add(std::string(kLinks) + "\\target2\\canary.txt");
    oCanaries.Add(std::string(kLinks) + "\\target2\\sub\\deep.txt");
    CCountCalls oCalls;

    HRESULT hr = m_oWorker.RemoveDirectory(strEntry + szEnding);

    // Windows removes the link itself (S_OK); Wine 8 cannot remove a link to a folder
    // that is not empty and the link is registered instead.
    EXPECT_TRUE(hr == S_OK || hr == S_REBOOT_REQUIRED) << std::hex << hr;
    EXPECT_EQ(0, oCalls.Counts().nFindFirstFile);
    EXPECT_EQ(0, oCalls.Counts().nDeleteFile);
    EXPECT_EQ(std::vector<std::string>{}, oCanaries.Lost());
    EXPECT_EQ(std::vector<std::string>{}, TraceLines(m_oTrace, kDeleteFileA));
  }
}

// Windows reports junctions in the enumeration; here a real folder is reported as one.
BOOL MarkJunction(LPWIN32_FIND_DATAA pfd) {
  if (0 == lstrcmpiA(pfd->cFileName, "junction")) pfd->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return TRUE;
}
HANDLE WINAPI FindFirstMarkingJunctions(LPCSTR szPattern, LPWIN32_FIND_DATAA pfd) {
  HANDLE hFind = ::FindFirstFileA(szPattern, pfd);
  if (hFind != INVALID_HANDLE_VALUE) MarkJunction(pfd);
  return hFind;
}
BOOL WINAPI FindNextMarkingJunctions(HANDLE hFind, LPWIN32_FIND_DATAA pfd) {
  return ::FindNextFileA(hFind, pfd) && MarkJunction(pfd);
}
std::string g_strMarkedEntry;
DWORD WINAPI AttributesMarkingTheEntry(LPCSTR szPath) {
  DWORD dwAttributes = ::GetFileAttributesA(szPath);
  if (dwAttributes != INVALID_FILE_ATTRIBUTES && 0 == lstrcmpiA(szPath, g_strMarkedEntry.c_str())) {
    dwAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return dwAttributes;
}

TEST_F(FileRemoval, AReportedReparsePointIsLeftAloneInsideTheTreeAndAsTheEntry) {
  HVTest::CScratchFolder oScratch("files_reparse");
  const std::string strTree = oScratch.Child("Tree");
  CCanaries oCanaries;
  oCanaries.Add(strTree + "\\mid\\junction\\canary.txt");
  oCanaries.Add(strTree + "\\mid\\junction\\sub\\deep.txt");
  MakeFile(strTree + "\\mid\\m.txt");
  MakeFile(strTree + "\\t.txt");
  {
    auto oFirst = HV::Sys::Override(HV::Sys::FindFirstFileA, &FindFirstMarkingJunctions);
    auto oNext = HV::Sys::Override(HV::Sys::FindNextFileA, &FindNextMarkingJunctions);
    EXPECT_EQ(S_REBOOT_REQUIRED, m_oWorker.RemoveDirectory(strTree));
  }
  EXPECT_EQ(std::vector<std::string>{}, oCanaries.Lost());
  EXPECT_EQ((std::set<std::string>{"mid", "mid\\junction", "mid\\junction\\canary.txt",
                                   "mid\\junction\\sub", "mid\\junction\\sub\\deep.txt"}),
            ListTree(strTree));
  EXPECT_EQ((std::vector<std::string>{strTree + "\\mid", strTree}), m_oPending.Added());

  // The entry itself reported as a link: its content is never looked at.
  NextRow();
  const std::string strEntry = strTree + "\\mid\\junction";
  g_strMarkedEntry = strEntry;
  auto oAttributes = HV::Sys::Override(HV::Sys::GetFileAttributesA, &AttributesMarkingTheEntry);
  CCountCalls oCalls;
  EXPECT_EQ(S_REBOOT_REQUIRED, m_oWorker.RemoveDirectory(strEntry + "\\"));
  EXPECT_EQ(0, oCalls.Counts().nFindFirstFile);
  EXPECT_EQ(0, oCalls.Counts().nDeleteFile);
  EXPECT_EQ(std::vector<std::string>{}, oCanaries.Lost());
  EXPECT_EQ(std::vector<std::string>{strEntry + "\\"}, m_oPending.Added());
}

}  // namespace
