#include "engine/WorkerThread.h"

HRESULT CWorkerThread::RemoveDirectory(std::string) { return E_NOTIMPL; }
HRESULT CWorkerThread::DeleteFile(std::string) { return E_NOTIMPL; }
std::string JoinPath(const std::string& strBase, const std::string& strChild) {
  return strBase + "\\" + strChild;
}
