#include "engine/WorkerThread.h"

#include <commctrl.h>

#include <cstring>
#include <vector>

#include "AnsiText.h"
#include "Global.h"
#include "HVSys.h"
#include "diag/DebugTrace.h"

namespace {

// The scripts in the order of the run: the two families alternate, newest release first.
const char* const kScriptNames[] = {"MD14", "CV14", "MD12", "CV12",
                                    "MD11", "CV11", "MD10", "CV10"};

const char* const kSections[] = {"[SERVICES]", "[KEYS]", "[VALUES]", "[FOLDERS]", "[FILES]"};

std::atomic<bool> g_bRebootRequired(false);

// Cuts the comment at the first ';' and trims white space from both ends. Bytes from
// 128 up are never white space, and white space is never the second byte of a
// double-byte character, so the trimming may scan bytes.
void CutCommentAndTrim(std::string& strLine) {
  size_t nComment = HV::FindChar(strLine, ';');
  if (nComment != std::string::npos) strLine.erase(nComment);
  static const char kWhiteSpace[] = " \t\n\v\f\r";
  size_t nFirst = strLine.find_first_not_of(kWhiteSpace);
  if (nFirst == std::string::npos) {
    strLine.clear();
    return;
  }
  size_t nLast = strLine.find_last_not_of(kWhiteSpace);
  strLine = strLine.substr(nFirst, nLast - nFirst + 1);
}

const char* MatchSection(const std::string& strLine) {
  for (const char* szSection : kSections) {
    if (_stricmp(strLine.c_str(), szSection) == 0) return szSection;
  }
  return NULL;
}

// The script's text: the resource's bytes up to its size or to a NUL byte, whichever
// comes first. False when there is no such resource.
bool LoadScript(const char* szName, std::string& strText) {
  HMODULE hModule = HV::Sys::GetModuleHandleA(NULL);
  HRSRC hResource = HV::Sys::FindResourceA(hModule, szName, "SCRIPTS");
  if (!hResource) return false;
  HGLOBAL hData = HV::Sys::LoadResource(hModule, hResource);
  DWORD cbData = HV::Sys::SizeofResource(hModule, hResource);
  const char* pData = hData ? static_cast<const char*>(HV::Sys::LockResource(hData)) : NULL;
  if (!pData) return false;
  strText.assign(pData, ::strnlen(pData, cbData));
  return true;
}

}  // namespace

bool IsRebootRequired() { return g_bRebootRequired.load(); }
void SetRebootRequired() { g_bRebootRequired.store(true); }
void ResetRebootRequiredForTests() { g_bRebootRequired.store(false); }

CWorkerThread::PFN_OPERATION CWorkerThread::s_pfnOperation = &CWorkerThread::RunOperation;

CWorkerThread::CWorkerThread() : m_hWndTarget(NULL), m_bCancel(false) {}

CWorkerThread::~CWorkerThread() { Stop(); }

HRESULT CWorkerThread::Start() {
  if (!m_hThread.IsEmpty()) return S_FALSE;
  m_bCancel = false;
  DWORD dwThreadId = 0;
  m_hThread = HV::Sys::CreateThread(NULL, 0, ThreadProc, this, 0, &dwThreadId);
  if (!m_hThread.IsEmpty()) return S_OK;
  return HV_FAILED_LASTERROR("CWorkerThread::Start",
                             "m_hThread = CreateThread(0, 0, ThreadProc, this, 0, &dwThreadId)");
}

void CWorkerThread::Stop() {
  if (!m_hThread.IsEmpty()) {
    m_bCancel = true;
    if (WAIT_TIMEOUT == HV::Sys::WaitForSingleObject(m_hThread, 2000)) {
      HV_TRACE("CWorkerThread::Stop", TRACE_WARNING, "The worker thread refused to stop");
      if (!HV::Sys::TerminateThread(m_hThread, 0)) {
        HV_TRACE_LASTERROR("CWorkerThread::Stop", "TerminateThread(m_hThread, 0)");
      }
    }
  }
  m_hThread.Close();
}

HRESULT CWorkerThread::RunOperation(CWorkerThread& oWorker, const char* szSection,
                                    const std::string& strLine) {
  if (szSection == kSections[0]) return oWorker.StopService(strLine);
  if (szSection == kSections[1]) return oWorker.DeleteKey(strLine);
  if (szSection == kSections[2]) return oWorker.DeleteValue(strLine);
  if (szSection == kSections[3]) return oWorker.RemoveDirectory(strLine);
  return oWorker.DeleteFile(strLine);
}

DWORD WINAPI CWorkerThread::ThreadProc(LPVOID pvWorker) {
  CWorkerThread& oWorker = *static_cast<CWorkerThread*>(pvWorker);
  std::vector<std::string> oStringArray;

  for (const char* szName : kScriptNames) {
    if (oWorker.m_bCancel) return static_cast<DWORD>(E_ABORT);
    std::string strText;
    bool bFound = LoadScript(szName, strText);
    HRESULT hr = SplitString(bFound ? strText.c_str() : NULL, "\r\n", oStringArray);
    if (FAILED(hr)) {
      HV_TRACE_STATUS("CWorkerThread::ThreadProc",
                      "SplitString(T2CA(szData), _T(\"\\r\\n\"), oStringArray)", hr);
    }
  }

  const size_t cLines = oStringArray.size();
  ::PostMessageA(oWorker.m_hWndTarget, PBM_SETRANGE32, 0, static_cast<LPARAM>(cLines));

  static const char* const kCallTexts[] = {"StopService(strLine)", "DeleteKey(strLine)",
                                           "DeleteValue(strLine)", "RemoveDirectory(strLine)",
                                           "DeleteFile(strLine)"};
  const char* szSection = NULL;
  for (size_t i = 0; i < cLines; ++i) {
    if (oWorker.m_bCancel) return static_cast<DWORD>(E_ABORT);
    ::PostMessageA(oWorker.m_hWndTarget, PBM_SETPOS, static_cast<WPARAM>(i), 0);

    std::string strLine = oStringArray[i];
    CutCommentAndTrim(strLine);
    if (strLine.empty()) continue;
    strLine = DoReplacements(strLine);

    if (const char* szHeader = MatchSection(strLine)) {
      szSection = szHeader;
      continue;
    }
    if (!szSection) {
      HV_TRACE("CWorkerThread::ThreadProc", TRACE_ERROR, "The script is in an unknown state");
      HV_TRACE("CWorkerThread::ThreadProc", TRACE_ERROR, "%s", oStringArray[i].c_str());
      continue;
    }

    HRESULT hr = s_pfnOperation(oWorker, szSection, strLine);
    if (FAILED(hr)) {
      size_t nSection = 0;
      while (kSections[nSection] != szSection) ++nSection;
      HV_TRACE_STATUS("CWorkerThread::ThreadProc", kCallTexts[nSection], hr);
    }
  }

  ::PostMessageA(oWorker.m_hWndTarget, PBM_SETPOS, static_cast<WPARAM>(cLines), 1);
  return S_OK;
}
