#include "diag/DebugTrace.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <share.h>

#include "HVSys.h"

namespace {

const char kTraceFileName[] = "KVDebug.txt";
const char kLibraryName[] = "KVDebug.dll";
const size_t kPathSize = 260;
const size_t kMessageSize = 2048;
const size_t kLineSize = 2560;

typedef void(__cdecl* PFN_OUTPUTA)(DWORD dwLevel, LPCSTR szModule, LPCSTR szFile,
                                   LPCSTR szFunction, DWORD dwLine, LPCSTR szTimestamp,
                                   LPCSTR szFormat, va_list args);

// Process-wide state; lives as long as the process.
bool s_bFileLogging = true;
char s_szExecutablePath[kPathSize];
char s_szModulePath[kPathSize];
HMODULE s_hLibrary = NULL;
bool s_bLibraryLoadAttempted = false;
PFN_OUTPUTA s_pfnOutput = NULL;
bool s_bExportLookupAttempted = false;

// Both threads trace. The file is open only for the span of one entry with sharing
// denied, so two entries of this process must not overlap, or the loser's open fails
// and turns the file sink off. A kernel mutex rather than std::mutex: the worker may be
// ended by force while it holds the lock, and a kernel mutex is then reported as
// abandoned and handed on instead of staying locked for ever.
HANDLE TraceMutex() {
  static HANDLE s_hMutex = ::CreateMutexA(NULL, FALSE, NULL);
  return s_hMutex;
}

class CTraceLock {
 public:
  CTraceLock() : m_bOwned(false) {
    HANDLE hMutex = TraceMutex();
    if (hMutex) {
      DWORD dwWait = ::WaitForSingleObject(hMutex, 10000);
      m_bOwned = (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED);
    }
  }
  ~CTraceLock() {
    if (m_bOwned) ::ReleaseMutex(TraceMutex());
  }
  bool Owned() const { return m_bOwned || !TraceMutex(); }
  CTraceLock(const CTraceLock&) = delete;
  CTraceLock& operator=(const CTraceLock&) = delete;

 private:
  bool m_bOwned;
};

// Length of the longest prefix of sz that holds at most cbMax bytes and does not end
// in the middle of a double-byte character.
size_t CharBoundary(const char* sz, size_t cbMax) {
  size_t i = 0;
  while (sz[i] && i < cbMax) {
    size_t cbChar = (::IsDBCSLeadByte(static_cast<BYTE>(sz[i])) && sz[i + 1]) ? 2 : 1;
    if (i + cbChar > cbMax) break;
    i += cbChar;
  }
  return i;
}

void ReplaceTabs(char* szMessage) {
  for (char* p = szMessage; *p;) {
    if (::IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1]) {
      p += 2;
      continue;
    }
    if (*p == '\t') *p = ' ';
    ++p;
  }
}

void FillModulePath() {
  if (s_szModulePath[0]) return;
  static const char s_cAnchor = 0;
  MEMORY_BASIC_INFORMATION mbi = {};
  if (::VirtualQuery(&s_cAnchor, &mbi, sizeof(mbi)) && mbi.AllocationBase) {
    ::GetModuleFileNameA(static_cast<HMODULE>(mbi.AllocationBase), s_szModulePath,
                         kPathSize);
  }
}

void FillExecutablePath() {
  if (!s_szExecutablePath[0]) ::GetModuleFileNameA(NULL, s_szExecutablePath, kPathSize);
}

}  // namespace

LPCSTR GetModulePath() {
  CTraceLock lock;
  FillModulePath();
  return s_szModulePath;
}

HRESULT WriteDebugFile(DWORD dwLevel, LPCSTR szFile, LPCSTR szFunction, DWORD dwLine,
                       LPCSTR szTimestamp, LPCSTR szFormat, va_list args) {
  char szPath[kPathSize] = {};
  // Without a desktop folder the path would name the root of the current drive.
  if (FAILED(HV::Sys::SHGetFolderPathA(NULL, CSIDL_DESKTOPDIRECTORY, NULL, 0, szPath)) ||
      !szPath[0]) {
    return E_FAIL;
  }
  size_t cchPath = std::strlen(szPath);
  if (cchPath + 1 + sizeof(kTraceFileName) > kPathSize) return E_FAIL;
  std::snprintf(szPath + cchPath, kPathSize - cchPath, "\\%s", kTraceFileName);

  if (HV::Sys::GetFileAttributesA(szPath) == INVALID_FILE_ATTRIBUTES) return E_FAIL;

  FILE* pFile = ::_fsopen(szPath, "at", _SH_DENYRW);
  if (!pFile) return E_FAIL;

  char szMessage[kMessageSize] = {};
  std::vsnprintf(szMessage, sizeof(szMessage), szFormat ? szFormat : "", args);
  szMessage[CharBoundary(szMessage, sizeof(szMessage) - 1)] = '\0';
  ReplaceTabs(szMessage);

  char szLine[kLineSize] = {};
  unsigned long long ullTime = static_cast<unsigned long long>(::_time64(NULL));
  FillModulePath();
  FillExecutablePath();
  DWORD dwTick = ::GetTickCount();
  DWORD dwThread = ::GetCurrentThreadId();
  DWORD dwProcess = ::GetCurrentProcessId();

  // The line must keep its 12 fields, so an overlong message is shortened to fit what
  // the other fields leave of the line buffer.
  const char* szFileField = szFile ? szFile : "";
  const char* szFunctionField = szFunction ? szFunction : "";
  const char* szTimestampField = szTimestamp ? szTimestamp : "";
  int cchFixed = std::snprintf(NULL, 0, "%lu\t\t%s\t%s\t%s\t%s\t%lu\t%s\t%lu\t%lu\t%lu\t%llu",
                               static_cast<unsigned long>(dwLevel), s_szExecutablePath,
                               s_szModulePath, szFileField, szFunctionField,
                               static_cast<unsigned long>(dwLine), szTimestampField,
                               static_cast<unsigned long>(dwProcess),
                               static_cast<unsigned long>(dwThread),
                               static_cast<unsigned long>(dwTick), ullTime);
  if (cchFixed < 0 || static_cast<size_t>(cchFixed) >= kLineSize) {
    std::fclose(pFile);
    return S_OK;
  }
  size_t cbRoom = kLineSize - 1 - static_cast<size_t>(cchFixed);
  szMessage[CharBoundary(szMessage, cbRoom)] = '\0';

  std::snprintf(szLine, sizeof(szLine), "%lu\t%s\t%s\t%s\t%s\t%s\t%lu\t%s\t%lu\t%lu\t%lu\t%llu",
                static_cast<unsigned long>(dwLevel), szMessage, s_szExecutablePath,
                s_szModulePath, szFileField, szFunctionField,
                static_cast<unsigned long>(dwLine), szTimestampField,
                static_cast<unsigned long>(dwProcess), static_cast<unsigned long>(dwThread),
                static_cast<unsigned long>(dwTick), ullTime);
  std::fprintf(pFile, "%s\n", szLine);
  std::fclose(pFile);
  return S_OK;
}

void DebugTraceV(LPCSTR szTimestamp, LPCSTR szFunction, DWORD dwLine, DWORD dwLevel,
                 LPCSTR szFile, LPCSTR szFormat, va_list args) {
  DWORD dwLastError = ::GetLastError();
  try {
    PFN_OUTPUTA pfnOutput = NULL;
    const char* szModule = NULL;
    {
      CTraceLock lock;
      if (s_bFileLogging && lock.Owned()) {
        va_list argsCopy;
        va_copy(argsCopy, args);
        HRESULT hr = WriteDebugFile(dwLevel, szFile, szFunction, dwLine, szTimestamp,
                                    szFormat, argsCopy);
        va_end(argsCopy);
        if (FAILED(hr)) s_bFileLogging = false;
      }

      if (!s_bLibraryLoadAttempted) {
        s_bLibraryLoadAttempted = true;
        s_hLibrary = HV::Sys::LoadLibraryA(kLibraryName);
      }
      if (s_hLibrary && !HV::Sys::GetModuleHandleA(kLibraryName)) s_hLibrary = NULL;
      if (s_hLibrary && !s_bExportLookupAttempted) {
        s_bExportLookupAttempted = true;
        s_pfnOutput = reinterpret_cast<PFN_OUTPUTA>(
            reinterpret_cast<void*>(HV::Sys::GetProcAddress(s_hLibrary, "OutputA")));
      }
      if (s_hLibrary) pfnOutput = s_pfnOutput;
      FillModulePath();
      szModule = s_szModulePath;
    }
    // Not under the lock: the library is not ours and may take its time.
    if (pfnOutput) {
      pfnOutput(dwLevel, szModule, szFile, szFunction, dwLine, szTimestamp, szFormat, args);
    }
  } catch (...) {
    // A trace entry is never worth more than the work it reports on.
  }
  ::SetLastError(dwLastError);
}

void DebugTrace(LPCSTR szTimestamp, LPCSTR szFunction, DWORD dwLine, DWORD dwLevel,
                LPCSTR szFile, LPCSTR szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  DebugTraceV(szTimestamp, szFunction, dwLine, dwLevel, szFile, szFormat, args);
  va_end(args);
}

void DebugTraceResetForTests() {
  CTraceLock lock;
  s_bFileLogging = true;
  s_szExecutablePath[0] = '\0';
  s_szModulePath[0] = '\0';
  s_hLibrary = NULL;
  s_bLibraryLoadAttempted = false;
  s_pfnOutput = NULL;
  s_bExportLookupAttempted = false;
}

namespace HV {

DWORD LastErrorOrGenFailure() {
  DWORD dwError = ::GetLastError();
  return dwError ? dwError : ERROR_GEN_FAILURE;
}

HRESULT TraceFailedError(LPCSTR szTimestamp, LPCSTR szFunction, DWORD dwLine, LPCSTR szFile,
                         LPCSTR szCall, DWORD dwError) {
  DebugTrace(szTimestamp, szFunction, dwLine, TRACE_ERROR, szFile,
             "FAILED: %s - GetLastError = %lu", szCall, static_cast<unsigned long>(dwError));
  return HRESULT_FROM_WIN32(dwError);
}

void TraceLastError(LPCSTR szTimestamp, LPCSTR szFunction, DWORD dwLine, LPCSTR szFile,
                    LPCSTR szCall) {
  DWORD dwError = ::GetLastError();
  DebugTrace(szTimestamp, szFunction, dwLine, TRACE_LASTERROR, szFile, "%s - %lu", szCall,
             static_cast<unsigned long>(dwError));
}

}  // namespace HV
