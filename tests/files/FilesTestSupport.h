// Helpers of the file and folder removal tests: the removals registered for the next
// start as Wine records them, canary files, folder listings and counting seam fakes.
#pragma once

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace HVFilesTest {

// The registrations for the next start, in the order they were made: the source path
// of each pair of "PendingFileRenameOperations" with its "\??\" prefix removed, and,
// for a pair that is not a deletion, " -> " and the new name.
std::vector<std::string> PendingRenames();

// Keeps the registrations of one test apart: remembers the value at construction and
// puts it back (or removes it) at destruction, so nothing a test registered survives it.
class CPendingRenames {
 public:
  CPendingRenames();
  ~CPendingRenames();
  CPendingRenames(const CPendingRenames&) = delete;
  CPendingRenames& operator=(const CPendingRenames&) = delete;
  // Those made since construction (or since the last Restore).
  std::vector<std::string> Added() const;
  void Restore();

 private:
  bool m_bExisted;
  DWORD m_dwType;
  std::string m_strData;
  size_t m_cBefore;
};

void MakeFolders(const std::string& strPath);
void MakeFile(const std::string& strPath, const std::string& strContent = "x",
              DWORD dwAttributes = FILE_ATTRIBUTE_NORMAL);

// Files that must survive: each gets a content of its own, and Lost() names every one
// that is gone or changed. The files are deleted again at the end.
class CCanaries {
 public:
  CCanaries() = default;
  ~CCanaries();
  CCanaries(const CCanaries&) = delete;
  CCanaries& operator=(const CCanaries&) = delete;
  void Add(const std::string& strPath);
  std::vector<std::string> Lost() const;

 private:
  std::map<std::string, std::string> m_files;
};

// Every file and folder below strRoot, as paths relative to it ("a", "a\b.txt"). Links
// are listed, never followed.
std::set<std::string> ListTree(const std::string& strRoot);

// The trace file's lines as "level message" texts, optionally only those of one function.
std::vector<std::string> TraceLines(const HVTest::CTraceFile& oTrace,
                                    const std::string& strFunction = std::string());

// Counting fakes that forward to the real calls.
struct CCallCounts {
  int nFindFirstFile = 0;
  int nDeleteFile = 0;
  int nRemoveDirectory = 0;
  int nMoveFileEx = 0;
  int nSetFileAttributes = 0;
  std::vector<std::string> patterns;  // of FindFirstFileA
};
class CCountCalls {
 public:
  CCountCalls();
  ~CCountCalls();
  CCountCalls(const CCountCalls&) = delete;
  CCountCalls& operator=(const CCountCalls&) = delete;
  const CCallCounts& Counts() const;
  int Touches() const;  // deletions, removals, registrations, attribute changes

 private:
  struct CImpl;
  CImpl* m_pImpl;
};

}  // namespace HVFilesTest
