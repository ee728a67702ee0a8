#include "engine/WorkerThread.h"

HRESULT CWorkerThread::DeleteKey(std::string) { return E_NOTIMPL; }
HRESULT CWorkerThread::DeleteValue(std::string) { return E_NOTIMPL; }
LONG DeleteKeyTree(HKEY, const std::string&, REGSAM) { return ERROR_CALL_NOT_IMPLEMENTED; }
