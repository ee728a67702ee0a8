// Shared helpers of the test programs: the trace file on the desktop, scratch folders
// and sandbox registry keys, all inside the test run's private Wine prefix.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace HVTest {

std::string DesktopFolder();
std::string TraceFilePath();

std::string ReadFileBytes(const std::string& strPath);
bool WriteFileBytes(const std::string& strPath, const std::string& strBytes);
bool PathExists(const std::string& strPath);

// Removes a folder tree with plain Win32 calls, independent of the code under test.
void RemoveTree(const std::string& strPath);

// The trace file: created empty on the desktop (so the file sink is on) and the trace
// state reset; removed again at the end.
class CTraceFile {
 public:
  explicit CTraceFile(bool bCreate = true);
  ~CTraceFile();
  CTraceFile(const CTraceFile&) = delete;
  CTraceFile& operator=(const CTraceFile&) = delete;

  std::string Bytes() const;
  // Each line split at TABs; the CR LF ending is checked and removed.
  std::vector<std::vector<std::string>> Lines() const;
  // The messages (field 2) of all lines, optionally only those of one level.
  std::vector<std::string> Messages(DWORD dwLevel = 0) const;
  std::vector<std::string> MessagesOf(const std::string& strFunction) const;
  void Clear() const;
};

// A fresh scratch folder under C:\hvtest, removed with its content at the end.
class CScratchFolder {
 public:
  explicit CScratchFolder(const std::string& strName);
  ~CScratchFolder();
  CScratchFolder(const CScratchFolder&) = delete;
  CScratchFolder& operator=(const CScratchFolder&) = delete;
  const std::string& Path() const { return m_strPath; }
  std::string Child(const std::string& strRelative) const { return m_strPath + "\\" + strRelative; }

 private:
  std::string m_strPath;
};

// Registry helpers (views: 0 for the process's own, or KEY_WOW64_32KEY/KEY_WOW64_64KEY).
bool RegKeyExists(HKEY hRoot, const std::string& strPath, REGSAM samView = 0);
bool RegValueExists(HKEY hRoot, const std::string& strPath, const std::string& strValue,
                    REGSAM samView = 0);
void RegCreate(HKEY hRoot, const std::string& strPath, REGSAM samView = 0);
void RegSetString(HKEY hRoot, const std::string& strPath, const std::string& strValue,
                  const std::string& strData, DWORD dwType = REG_SZ, REGSAM samView = 0);
void RegSetRaw(HKEY hRoot, const std::string& strPath, const std::string& strValue, DWORD dwType,
               const void* pData, DWORD cbData, REGSAM samView = 0);
void RegDeleteTreeIn(HKEY hRoot, const std::string& strPath, REGSAM samView = 0);

// A registry key removed with everything below it at the start and at the end.
class CSandboxKey {
 public:
  CSandboxKey(HKEY hRoot, const std::string& strPath, REGSAM samView = 0);
  ~CSandboxKey();
  CSandboxKey(const CSandboxKey&) = delete;
  CSandboxKey& operator=(const CSandboxKey&) = delete;

 private:
  HKEY m_hRoot;
  std::string m_strPath;
  REGSAM m_samView;
};

}  // namespace HVTest
