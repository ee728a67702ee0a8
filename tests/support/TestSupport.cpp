#include "support/TestSupport.h"

#include <shlobj.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "diag/DebugTrace.h"

namespace HVTest {

std::string DesktopFolder() {
  char szPath[MAX_PATH] = {};
  ::SHGetFolderPathA(NULL, CSIDL_DESKTOPDIRECTORY, NULL, 0, szPath);
  return szPath;
}

std::string TraceFilePath() { return DesktopFolder() + "\\KVDebug.txt"; }

std::string ReadFileBytes(const std::string& strPath) {
  std::ifstream in(strPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFileBytes(const std::string& strPath, const std::string& strBytes) {
  std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
  out << strBytes;
  return static_cast<bool>(out);
}

bool PathExists(const std::string& strPath) {
  return ::GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveTree(const std::string& strPath) {
  DWORD dwAttributes = ::GetFileAttributesA(strPath.c_str());
  if (dwAttributes == INVALID_FILE_ATTRIBUTES) return;
  ::SetFileAttributesA(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (!::DeleteFileA(strPath.c_str())) ::RemoveDirectoryA(strPath.c_str());
    return;
  }
  WIN32_FIND_DATAA fd;
  HANDLE hFind = ::FindFirstFileA((strPath + "\\*").c_str(), &fd);
  if (hFind != INVALID_HANDLE_VALUE) {
    do {
      std::string strName = fd.cFileName;
      if (strName == "." || strName == "..") continue;
      RemoveTree(strPath + "\\" + strName);
    } while (::FindNextFileA(hFind, &fd));
    ::FindClose(hFind);
  }
  ::RemoveDirectoryA(strPath.c_str());
}

CTraceFile::CTraceFile(bool bCreate) {
  ::DeleteFileA(TraceFilePath().c_str());
  if (bCreate) {
    EXPECT_TRUE(WriteFileBytes(TraceFilePath(), ""));
  }
  DebugTraceResetForTests();
}

CTraceFile::~CTraceFile() {
  ::DeleteFileA(TraceFilePath().c_str());
  DebugTraceResetForTests();
}

std::string CTraceFile::Bytes() const { return ReadFileBytes(TraceFilePath()); }

std::vector<std::vector<std::string>> CTraceFile::Lines() const {
  std::vector<std::vector<std::string>> lines;
  std::string strBytes = Bytes();
  size_t i = 0;
  while (i < strBytes.size()) {
    size_t nEnd = strBytes.find("\r\n", i);
    if (nEnd == std::string::npos) {
      ADD_FAILURE() << "trace file line without CR LF: " << strBytes.substr(i);
      break;
    }
    std::string strLine = strBytes.substr(i, nEnd - i);
    std::vector<std::string> fields;
    size_t nField = 0;
    for (;;) {
      size_t nTab = strLine.find('\t', nField);
      fields.push_back(strLine.substr(nField, nTab == std::string::npos ? nTab : nTab - nField));
      if (nTab == std::string::npos) break;
      nField = nTab + 1;
    }
    lines.push_back(fields);
    i = nEnd + 2;
  }
  return lines;
}

std::vector<std::string> CTraceFile::Messages(DWORD dwLevel) const {
  std::vector<std::string> messages;
  for (const auto& fields : Lines()) {
    if (fields.size() < 2) continue;
    if (dwLevel && fields[0] != std::to_string(dwLevel)) continue;
    messages.push_back(fields[1]);
  }
  return messages;
}

std::vector<std::string> CTraceFile::MessagesOf(const std::string& strFunction) const {
  std::vector<std::string> messages;
  for (const auto& fields : Lines()) {
    if (fields.size() == 12 && fields[5] == strFunction) messages.push_back(fields[1]);
  }
  return messages;
}

void CTraceFile::Clear() const { WriteFileBytes(TraceFilePath(), ""); }

CScratchFolder::CScratchFolder(const std::string& strName) {
  ::CreateDirectoryA("C:\\hvtest", NULL);
  m_strPath = "C:\\hvtest\\" + strName;
  RemoveTree(m_strPath);
  EXPECT_TRUE(::CreateDirectoryA(m_strPath.c_str(), NULL)) << m_strPath;
}

CScratchFolder::~CScratchFolder() { RemoveTree(m_strPath); }

bool RegKeyExists(HKEY hRoot, const std::string& strPath, REGSAM samView) {
  HKEY hKey = NULL;
  if (::RegOpenKeyExA(hRoot, strPath.c_str(), 0, KEY_READ | samView, &hKey) != ERROR_SUCCESS)
    return false;
  ::RegCloseKey(hKey);
  return true;
}

bool RegValueExists(HKEY hRoot, const std::string& strPath, const std::string& strValue,
                    REGSAM samView) {
  HKEY hKey = NULL;
  if (::RegOpenKeyExA(hRoot, strPath.c_str(), 0, KEY_READ | samView, &hKey) != ERROR_SUCCESS)
    return false;
  LONG lResult = ::RegQueryValueExA(hKey, strValue.c_str(), NULL, NULL, NULL, NULL);
  ::RegCloseKey(hKey);
  return lResult == ERROR_SUCCESS;
}

void RegCreate(HKEY hRoot, const std::string& strPath, REGSAM samView) {
  HKEY hKey = NULL;
  LONG lResult = ::RegCreateKeyExA(hRoot, strPath.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | samView,
                                   NULL, &hKey, NULL);
  ASSERT_EQ(ERROR_SUCCESS, lResult) << strPath;
  ::RegCloseKey(hKey);
}

void RegSetRaw(HKEY hRoot, const std::string& strPath, const std::string& strValue, DWORD dwType,
               const void* pData, DWORD cbData, REGSAM samView) {
  HKEY hKey = NULL;
  LONG lResult = ::RegCreateKeyExA(hRoot, strPath.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | samView,
                                   NULL, &hKey, NULL);
  ASSERT_EQ(ERROR_SUCCESS, lResult) << strPath;
  lResult = ::RegSetValueExA(hKey, strValue.c_str(), 0, dwType, static_cast<const BYTE*>(pData),
                             cbData);
  ::RegCloseKey(hKey);
  ASSERT_EQ(ERROR_SUCCESS, lResult) << strPath << "|" << strValue;
}

void RegSetString(HKEY hRoot, const std::string& strPath, const std::string& strValue,
                  const std::string& strData, DWORD dwType, REGSAM samView) {
  RegSetRaw(hRoot, strPath, strValue, dwType, strData.c_str(),
            static_cast<DWORD>(strData.size() + 1), samView);
}

void RegDeleteTreeIn(HKEY hRoot, const std::string& strPath, REGSAM samView) {
  HKEY hKey = NULL;
  if (::RegOpenKeyExA(hRoot, strPath.c_str(), 0, KEY_ALL_ACCESS | samView, &hKey) != ERROR_SUCCESS)
    return;
  for (;;) {
    char szName[512];
    DWORD cchName = sizeof(szName);
    if (::RegEnumKeyExA(hKey, 0, szName, &cchName, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
    std::string strChild = strPath + "\\" + szName;
    RegDeleteTreeIn(hRoot, strChild, samView);
    if (RegKeyExists(hRoot, strChild, samView)) break;  // cannot go: avoid looping on it
  }
  ::RegCloseKey(hKey);
  ::RegDeleteKeyExA(hRoot, strPath.c_str(), samView, 0);
}

CSandboxKey::CSandboxKey(HKEY hRoot, const std::string& strPath, REGSAM samView)
    : m_hRoot(hRoot), m_strPath(strPath), m_samView(samView) {
  RegDeleteTreeIn(m_hRoot, m_strPath, m_samView);
}

CSandboxKey::~CSandboxKey() { RegDeleteTreeIn(m_hRoot, m_strPath, m_samView); }

}  // namespace HVTest
