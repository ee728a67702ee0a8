// The one trace facility. Every entry goes to the opt-in trace file (KVDebug.txt on the
// user's desktop, written only if it already exists) and to the maker's debug library
// (KVDebug.dll, export OutputA) when that can be loaded. Tracing never fails its caller.
#pragma once

#include <windows.h>
#include <cstdarg>

#define TRACE_LASTERROR         1u
#define TRACE_STATUS            4u
#define TRACE_VALUE             32u
#define TRACE_WARNING           64u
#define TRACE_ERROR             128u
#define TRACE_REGISTRY_REMOVED  256u
#define TRACE_DELETED           512u
#define TRACE_DELETE_ON_REBOOT  1024u
#define TRACE_SERVICE_STOPPED   2048u

void DebugTrace(LPCSTR szTimestamp, LPCSTR szFunction, DWORD dwLine, DWORD dwLevel,
                LPCSTR szFile, LPCSTR szFormat, ...)
    __attribute__((format(gnu_printf, 6, 7)));

void DebugTraceV(LPCSTR szTimestamp, LPCSTR szFunction, DWORD dwLine, DWORD dwLevel,
                 LPCSTR szFile, LPCSTR szFormat, va_list args);

HRESULT WriteDebugFile(DWORD dwLevel, LPCSTR szFile, LPCSTR szFunction, DWORD dwLine,
                       LPCSTR szTimestamp, LPCSTR szFormat, va_list args);

LPCSTR GetModulePath();

// Puts the process-wide trace state back to how it is at program start, so that one
// test program can exercise several first entries. Never called by the product.
void DebugTraceResetForTests();

// A call site passes its own position: the time stamp and name of the file it is
// written in, and its line.
#define HV_TRACE(szFunction, dwLevel, ...) \
  ::DebugTrace(__TIMESTAMP__, szFunction, __LINE__, dwLevel, __FILE__, __VA_ARGS__)

namespace HV {

// The last error of a failed call, with 0 replaced by ERROR_GEN_FAILURE so that a
// failure can never turn into a success status.
DWORD LastErrorOrGenFailure();

HRESULT TraceFailedError(LPCSTR szTimestamp, LPCSTR szFunction, DWORD dwLine, LPCSTR szFile,
                         LPCSTR szCall, DWORD dwError);
void TraceLastError(LPCSTR szTimestamp, LPCSTR szFunction, DWORD dwLine, LPCSTR szFile,
                    LPCSTR szCall);

}  // namespace HV

// A failed call decides the operation's result: traced once at TRACE_ERROR with its
// last error (0 becomes 31); evaluates to that error as an HRESULT.
#define HV_FAILED_LASTERROR(szFunction, szCall)                                        \
  ::HV::TraceFailedError(__TIMESTAMP__, szFunction, __LINE__, __FILE__, szCall,        \
                         ::HV::LastErrorOrGenFailure())

// The same for a call that returned its error number instead of setting the last error.
#define HV_FAILED_ERROR(szFunction, szCall, dwError)                                   \
  ::HV::TraceFailedError(__TIMESTAMP__, szFunction, __LINE__, __FILE__, szCall,        \
                         (dwError) ? (DWORD)(dwError) : (DWORD)ERROR_GEN_FAILURE)

// A failed call that the operation survives: traced at TRACE_LASTERROR with the raw
// last error.
#define HV_TRACE_LASTERROR(szFunction, szCall) \
  ::HV::TraceLastError(__TIMESTAMP__, szFunction, __LINE__, __FILE__, szCall)

// A called operation returned a failure status.
#define HV_TRACE_STATUS(szFunction, szCall, hr) \
  HV_TRACE(szFunction, TRACE_STATUS, "%s - %#08lx", szCall, (unsigned long)(hr))
