#include "engine/WorkerThread.h"

HRESULT CWorkerThread::StopService(std::string) { return E_NOTIMPL; }
