// The soak's hands on the machine: files and folders, both registry views, the test
// services, the removals registered for the next start, the trace file and a seeded
// random source. Plain Win32 calls only, independent of the code under test, so that
// what the soak plants, checks and cleans up never depends on what it is checking.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace HVSoak {

// ---------------------------------------------------------------------------------------
// A seeded random source: the same seed gives the same round on every machine.
class CRandom {
 public:
  explicit CRandom(uint64_t ullSeed) : m_ullState(ullSeed) {}
  uint64_t Next();
  // 0 <= result < n (0 when n is 0).
  uint32_t Below(uint32_t n);
  bool Chance(double dProbability);
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(static_cast<uint32_t>(items.size()))];
  }

 private:
  uint64_t m_ullState;
};

// ---------------------------------------------------------------------------------------
// Paths.

// Lower case (ANSI code page) with '/' as '\': the form in which paths are compared.
std::string Fold(const std::string& strPath);
bool SamePath(const std::string& a, const std::string& b);
// True when strPath is strFolder or lies below it.
bool IsAtOrBelow(const std::string& strPath, const std::string& strFolder);
std::string ParentOf(const std::string& strPath);
std::string NameOf(const std::string& strPath);
std::string TrimTrailingBackslashes(std::string str);

bool Exists(const std::string& strPath);
bool IsFolder(const std::string& strPath);
std::string ReadFileBytes(const std::string& strPath);
bool WriteFileBytes(const std::string& strPath, const std::string& strBytes);
// Creates the folder and every missing folder above it; the topmost folder that had to
// be made is appended to pCreated (so that removing it removes all of them).
bool MakeFolders(const std::string& strPath, std::vector<std::string>* pCreated);
// Removes a folder tree or a file, whatever its attributes. Reparse points are left
// alone and never followed.
void RemoveTree(const std::string& strPath);
// Every file and folder below strRoot ("C:"), as full paths keyed by their folded form.
// Links are listed, never followed.
std::map<std::string, std::string> ListTree(const std::string& strRoot);

// ---------------------------------------------------------------------------------------
// Registry. A view is 0 (the process's own, here the 64-bit one) or KEY_WOW64_32KEY.

struct SRegPath {
  HKEY hRoot = NULL;
  std::string strRoot;  // "HKLM", as the scripts write it
  std::string strKey;   // below the root
  REGSAM samView = 0;
};
// "HKLM\SOFTWARE\..." as the scripts write it; false when the prefix is not one of
// "HKCR\", "HKLM\", "HKCU\", "HKU\".
bool ParseRegPath(const std::string& strEntry, REGSAM samView, SRegPath& oPath);
std::string ViewName(REGSAM samView);
std::string Describe(const SRegPath& oPath);

bool KeyExists(const SRegPath& oKey);
// Creates the key; the topmost key that had to be made is appended to pCreated.
bool MakeKey(const SRegPath& oKey, std::vector<SRegPath>* pCreated);
bool SetValue(const SRegPath& oKey, const std::string& strName, DWORD dwType,
              const std::string& strData);
// False when the key or the value is missing; the value's type and bytes otherwise.
bool ReadValue(const SRegPath& oKey, const std::string& strName, DWORD* pdwType,
               std::string* pstrData);
bool DeleteValue(const SRegPath& oKey, const std::string& strName);
// Deletes the key with everything below it. Refuses keys directly below a root.
void DeleteKeyTree(const SRegPath& oKey);

// ---------------------------------------------------------------------------------------
// Services of TestService.exe (tests/services): "stop", "slow", "pending", "running",
// "nostop" pick how the service answers a stop request.

bool InstallService(const std::string& strServiceExe, const std::string& strName,
                    const std::string& strMode, bool bStart, std::string* pstrError);
// SERVICE_STOPPED, SERVICE_RUNNING, ...; 0 when there is no such service.
DWORD ServiceState(const std::string& strName);
// Ends the service, whatever it does, and deletes it. False when it is still there.
bool RemoveService(const std::string& strName, std::string* pstrError);

// ---------------------------------------------------------------------------------------
// PendingFileRenameOperations under HKLM\System\CurrentControlSet\Control\Session Manager.

struct SPendingValue {
  bool bExists = false;
  DWORD dwType = REG_MULTI_SZ;
  std::string strData;
};
SPendingValue ReadPendingValue();
void WritePendingValue(const SPendingValue& oValue);
// The deletions and renames of a value, as source paths without their "\??\" prefix
// (a rename as "source -> target").
std::vector<std::string> PendingPaths(const SPendingValue& oValue);

// ---------------------------------------------------------------------------------------
// The trace file.

std::string DesktopFolder();
std::string TraceFilePath();

struct STraceCheck {
  size_t cLines = 0;
  std::map<std::string, size_t> levels;  // level -> lines
  std::vector<std::string> problems;     // malformed lines, described
  size_t cRefusals = 0;                  // protections of folders and entries that fired
};
// Every line must end with CR LF and have exactly 12 TAB-separated fields.
STraceCheck CheckTraceFile(const std::string& strBytes);

}  // namespace HVSoak
