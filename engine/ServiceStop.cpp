// Stopping the services of a "[SERVICES]" section: ask the service control manager to
// stop the service, then watch it for about five seconds. Services are only stopped
// here; their registration goes with the "[KEYS]" entries of the same script.
#include "engine/WorkerThread.h"

#include "HVSys.h"
#include "Include/HVHandles.h"
#include "diag/DebugTrace.h"

namespace {

const int kMaxStatusQueries = 25;
const DWORD kQueryPauseMs = 200;

}  // namespace

HRESULT CWorkerThread::StopService(std::string strLine) {
  HV::CServiceHandle hManager(HV::Sys::OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS));
  if (hManager.IsEmpty()) {
    return HV_FAILED_LASTERROR("CWorkerThread::StopService",
                               "hManager = OpenSCManagerA(0, 0, ((0x000F0000L) | 0x0001 | "
                               "0x0002 | 0x0004 | 0x0008 | 0x0010 | 0x0020))");
  }

  // An entry whose variables expanded to nothing names no service. It is refused here
  // with the manager's own answer to an empty name, ERROR_INVALID_NAME, so that such an
  // entry never reaches the manager and never passes as "no such service".
  HV::CServiceHandle hService;
  DWORD dwError = ERROR_INVALID_NAME;
  if (!strLine.empty()) {
    hService = HV::Sys::OpenServiceA(hManager, strLine.c_str(), SERVICE_ALL_ACCESS);
    if (hService.IsEmpty()) dwError = ::GetLastError();
  }
  if (hService.IsEmpty()) {
    if (ERROR_SERVICE_DOES_NOT_EXIST == dwError) return S_FALSE;
    HV_TRACE("CWorkerThread::StopService", TRACE_ERROR,
             "OpenService(%s) failed, GetLastError = %lu", strLine.c_str(),
             static_cast<unsigned long>(dwError));
    // The trace shows the platform's number as it came; the result must still be a
    // failure when that number is 0.
    return HRESULT_FROM_WIN32(dwError ? dwError : ERROR_GEN_FAILURE);
  }

  SERVICE_STATUS ss = {};
  if (!HV::Sys::ControlService(hService, SERVICE_CONTROL_STOP, &ss)) {
    dwError = ::GetLastError();
    if (ERROR_SERVICE_NOT_ACTIVE == dwError) return S_FALSE;
    HV_TRACE("CWorkerThread::StopService", TRACE_ERROR,
             "ControlService(%s) failed, GetLastError = %lu", strLine.c_str(),
             static_cast<unsigned long>(dwError));
    return HRESULT_FROM_WIN32(dwError ? dwError : ERROR_GEN_FAILURE);
  }

  // The first query follows the request at once; the pause after the last one is still
  // taken, so a service that never stops costs the full five seconds.
  for (int nQuery = 0; nQuery < kMaxStatusQueries; ++nQuery) {
    if (m_bCancel) break;
    if (!HV::Sys::QueryServiceStatus(hService, &ss)) {
      return HV_FAILED_LASTERROR("CWorkerThread::StopService",
                                 "QueryServiceStatus(hService, &ss)");
    }
    if (SERVICE_STOPPED == ss.dwCurrentState) {
      HV_TRACE("CWorkerThread::StopService", TRACE_SERVICE_STOPPED, "Service Stopped: %s",
               strLine.c_str());
      return S_OK;
    }
    HV::Sys::Sleep(kQueryPauseMs);
  }

  HV_TRACE("CWorkerThread::StopService", TRACE_WARNING,
           "The service did not appear to stop: %s", strLine.c_str());
  return S_OK;
}
