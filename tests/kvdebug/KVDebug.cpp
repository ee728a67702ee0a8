// A stand-in for the maker's external debug library, for the tests only: OutputA records
// what it receives, and throws when asked to, so that the trace facility's handling of
// the library can be observed from outside.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {
std::vector<std::string> g_records;
}

extern "C" {

#ifndef HV_KVDEBUG_NO_OUTPUT
__declspec(dllexport) void __cdecl OutputA(DWORD dwLevel, LPCSTR szModule, LPCSTR szFile,
                                           LPCSTR szFunction, DWORD dwLine, LPCSTR szTimestamp,
                                           LPCSTR szFormat, va_list args) {
  if (szFormat && std::strcmp(szFormat, "throw") == 0) throw std::string("OutputA threw");
  char szMessage[4096];
  std::vsnprintf(szMessage, sizeof(szMessage), szFormat, args);
  const char kSep = '\x1f';
  std::string strRecord = std::to_string(dwLevel) + kSep + szModule + kSep + szFile + kSep +
                          szFunction + kSep + std::to_string(dwLine) + kSep + szTimestamp + kSep +
                          szFormat + kSep + szMessage;
  g_records.push_back(strRecord);
}
#endif

__declspec(dllexport) int __cdecl KvTestCount() { return static_cast<int>(g_records.size()); }

// Fields separated by 0x1F: level, module, file, function, line, time stamp, format, and
// the message made by applying the format to the argument list.
__declspec(dllexport) const char* __cdecl KvTestRecord(int i) {
  return (i >= 0 && i < KvTestCount()) ? g_records[i].c_str() : "";
}

__declspec(dllexport) void __cdecl KvTestReset() { g_records.clear(); }
}
