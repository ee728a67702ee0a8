// Measures the removal operations against the platform's own tools on identical data,
// paired in one run and one prefix, and prints ratios (absolute times of these machines
// are not comparable between runs).
//
//   hvbench trees N...     folder trees of N files: RemoveDirectory against rd /s /q
//   hvbench registry N     key trees of about N keys: DeleteKey and the 64-bit tree
//                          deletion against reg delete /f
//   hvbench run            the eight scripts on a clean machine, on a simulated
//                          installation, and with the trace file on and off
//   hvbench memory         peak memory of one whole run over a simulated installation
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Global.h"
#include "diag/DebugTrace.h"
#include "engine/WorkerThread.h"

namespace {

double Now() {
  static LARGE_INTEGER s_frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(s_frequency.QuadPart);
}

void Row(const char* szWhat, const std::string& strOurs, const std::string& strTheirs,
         const std::string& strRatio) {
  std::printf("| %s | %s | %s | %s |\n", szWhat, strOurs.c_str(), strTheirs.c_str(),
              strRatio.c_str());
  std::fflush(stdout);
}

std::string Format(const char* szFormat, double d) {
  char sz[64];
  std::snprintf(sz, sizeof(sz), szFormat, d);
  return sz;
}

// Runs a command line to its end; seconds taken.
double RunCommand(const std::string& strCommand) {
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::vector<char> buffer(strCommand.begin(), strCommand.end());
  buffer.push_back('\0');
  double dStart = Now();
  if (!::CreateProcessA(NULL, buffer.data(), NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &si,
                        &pi)) {
    std::fprintf(stderr, "cannot run %s: %lu\n", strCommand.c_str(), ::GetLastError());
    return 0;
  }
  ::WaitForSingleObject(pi.hProcess, INFINITE);
  double dTaken = Now() - dStart;
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return dTaken;
}

bool Exists(const std::string& strPath) {
  return ::GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteSmallFile(const std::string& strPath, DWORD dwAttributes) {
  HANDLE h = ::CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return;
  static const char kData[] = "TessalyCleanUp benchmark data: a small file in a generated tree.\r\n";
  DWORD cb = 0;
  ::WriteFile(h, kData, sizeof(kData) - 1, &cb, NULL);
  ::CloseHandle(h);
  if (dwAttributes) ::SetFileAttributesA(strPath.c_str(), dwAttributes);
}

// A tree three levels deep (5, 25 and 125 folders) holding nFiles files, one in ten
// hidden and one in fifteen read-only.
void MakeTree(const std::string& strRoot, int nFiles) {
  ::CreateDirectoryA(strRoot.c_str(), NULL);
  std::vector<std::string> folders;
  for (int a = 0; a < 5; ++a) {
    std::string strA = strRoot + "\\dir" + std::to_string(a);
    ::CreateDirectoryA(strA.c_str(), NULL);
    folders.push_back(strA);
    for (int b = 0; b < 5; ++b) {
      std::string strB = strA + "\\sub" + std::to_string(b);
      ::CreateDirectoryA(strB.c_str(), NULL);
      folders.push_back(strB);
      for (int c = 0; c < 5; ++c) {
        std::string strC = strB + "\\leaf" + std::to_string(c);
        ::CreateDirectoryA(strC.c_str(), NULL);
        folders.push_back(strC);
      }
    }
  }
  for (int i = 0; i < nFiles; ++i) {
    DWORD dwAttributes = (i % 10 == 3)   ? FILE_ATTRIBUTE_HIDDEN
                         : (i % 15 == 7) ? FILE_ATTRIBUTE_READONLY
                                         : 0;
    WriteSmallFile(folders[i % folders.size()] + "\\file" + std::to_string(i) + ".dat",
                   dwAttributes);
  }
}

void BenchTrees(const std::vector<int>& sizes) {
  const std::string strBase = "C:\\hvbench";
  ::CreateDirectoryA(strBase.c_str(), NULL);
  double dCmdStart = 0;
  for (int i = 0; i < 3; ++i) dCmdStart += RunCommand("cmd.exe /c exit") / 3;
  Row("cmd.exe start (subtracted from rd)", "", Format("%.3f s", dCmdStart), "");
  CWorkerThread oWorker;
  for (int nFiles : sizes) {
    std::string strOurs = strBase + "\\ours" + std::to_string(nFiles);
    std::string strTheirs = strBase + "\\theirs" + std::to_string(nFiles);
    MakeTree(strOurs, nFiles);
    MakeTree(strTheirs, nFiles);
    double dStart = Now();
    HRESULT hr = oWorker.RemoveDirectory(strOurs);
    double dOurs = Now() - dStart;
    double dTheirs = RunCommand("cmd.exe /c rd /s /q \"" + strTheirs + "\"") - dCmdStart;
    char szWhat[128];
    std::snprintf(szWhat, sizeof(szWhat), "folder tree, %d files (ours: %#08lx%s; rd%s)", nFiles,
                  static_cast<unsigned long>(hr), Exists(strOurs) ? ", NOT GONE" : "",
                  Exists(strTheirs) ? ": NOT GONE" : "");
    Row(szWhat, Format("%.0f files/s", nFiles / dOurs), Format("%.0f files/s", nFiles / dTheirs),
        Format("%.2f x", dTheirs / dOurs));
  }
}

void MakeKeyTree(HKEY hRoot, const std::string& strPath, int nKeys, REGSAM samView) {
  // 10 keys, 10 below each, and the rest spread as leaves below those; two values each.
  int nLeaves = (nKeys - 110) / 100;
  if (nLeaves < 1) nLeaves = 1;
  auto create = [&](const std::string& strKey) {
    HKEY hKey = NULL;
    if (::RegCreateKeyExA(hRoot, strKey.c_str(), 0, NULL, 0, KEY_ALL_ACCESS | samView, NULL, &hKey,
                          NULL) == ERROR_SUCCESS) {
      ::RegSetValueExA(hKey, "InstallDir", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>("C:\\Program Files\\X"), 19);
      DWORD dw = 1;
      ::RegSetValueExA(hKey, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), 4);
      ::RegCloseKey(hKey);
    }
  };
  create(strPath);
  for (int a = 0; a < 10; ++a) {
    std::string strA = strPath + "\\Level" + std::to_string(a);
    create(strA);
    for (int b = 0; b < 10; ++b) {
      std::string strB = strA + "\\Sub" + std::to_string(b);
      create(strB);
      for (int c = 0; c < nLeaves; ++c) create(strB + "\\Leaf" + std::to_string(c));
    }
  }
}

bool KeyExists(HKEY hRoot, const std::string& strPath, REGSAM samView) {
  HKEY hKey = NULL;
  if (::RegOpenKeyExA(hRoot, strPath.c_str(), 0, KEY_READ | samView, &hKey) != ERROR_SUCCESS)
    return false;
  ::RegCloseKey(hKey);
  return true;
}

void BenchRegistry(int nKeys) {
  const std::string strBase = "Software\\HVBench";
  CWorkerThread oWorker;

  MakeKeyTree(HKEY_CURRENT_USER, strBase + "\\Ours", nKeys, 0);
  MakeKeyTree(HKEY_CURRENT_USER, strBase + "\\Theirs", nKeys, 0);
  double dStart = Now();
  HRESULT hr = oWorker.DeleteKey("HKCU\\" + strBase + "\\Ours");
  double dOurs = Now() - dStart;
  double dTheirs = RunCommand("reg.exe delete \"HKCU\\" + strBase + "\\Theirs\" /f");
  char szWhat[160];
  std::snprintf(szWhat, sizeof(szWhat), "key tree, %d keys, own view (ours: %#08lx%s)", nKeys,
                static_cast<unsigned long>(hr),
                KeyExists(HKEY_CURRENT_USER, strBase + "\\Ours", 0) ? ", NOT GONE" : "");
  Row(szWhat, Format("%.0f keys/s", nKeys / dOurs), Format("%.0f keys/s", nKeys / dTheirs),
      Format("%.2f x", dTheirs / dOurs));

  MakeKeyTree(HKEY_LOCAL_MACHINE, strBase + "\\Ours64", nKeys, KEY_WOW64_64KEY);
  MakeKeyTree(HKEY_LOCAL_MACHINE, strBase + "\\Theirs64", nKeys, KEY_WOW64_64KEY);
  HKEY hParent = NULL;
  ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, strBase.c_str(), 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY,
                  &hParent);
  dStart = Now();
  LONG lResult = DeleteKeyTree(hParent, "Ours64", KEY_WOW64_64KEY);
  dOurs = Now() - dStart;
  ::RegCloseKey(hParent);
  dTheirs = RunCommand("reg.exe delete \"HKLM\\" + strBase + "\\Theirs64\" /f /reg:64");
  std::snprintf(szWhat, sizeof(szWhat), "key tree, %d keys, 64-bit view (ours: %ld%s)", nKeys,
                lResult,
                KeyExists(HKEY_LOCAL_MACHINE, strBase + "\\Ours64", KEY_WOW64_64KEY) ? ", NOT GONE"
                                                                                      : "");
  Row(szWhat, Format("%.0f keys/s", nKeys / dOurs), Format("%.0f keys/s", nKeys / dTheirs),
      Format("%.2f x", dTheirs / dOurs));
  ::RegDeleteKeyExA(HKEY_CURRENT_USER, strBase.c_str(), 0, 0);
  ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, strBase.c_str(), KEY_WOW64_64KEY, 0);
}

// ---------------------------------------------------------------------------------
// Whole runs

std::vector<std::string> ScriptLines() {
  std::vector<std::string> lines;
  for (const char* szName : {"MD14", "CV14", "MD12", "CV12", "MD11", "CV11", "MD10", "CV10"}) {
    HRSRC hResource = ::FindResourceA(NULL, szName, "SCRIPTS");
    if (!hResource) continue;
    DWORD cb = ::SizeofResource(NULL, hResource);
    const char* p = static_cast<const char*>(::LockResource(::LoadResource(NULL, hResource)));
    std::string strText(p, cb);
    SplitString(strText.c_str(), "\r\n", lines);
  }
  return lines;
}

HKEY RootOf(std::string& strKey) {
  static const std::pair<const char*, HKEY> kRoots[] = {{"HKCR\\", HKEY_CLASSES_ROOT},
                                                         {"HKLM\\", HKEY_LOCAL_MACHINE},
                                                         {"HKCU\\", HKEY_CURRENT_USER}};
  for (const auto& root : kRoots) {
    if (strKey.compare(0, std::strlen(root.first), root.first) == 0) {
      strKey.erase(0, std::strlen(root.first));
      return root.second;
    }
  }
  return NULL;
}

void CreatePathFolders(const std::string& strPath) {
  for (size_t n = strPath.find('\\', 3); n != std::string::npos; n = strPath.find('\\', n + 1))
    ::CreateDirectoryA(strPath.substr(0, n).c_str(), NULL);
}

// Puts something in place for every key, value, folder and file the scripts name.
void SimulateInstallation() {
  std::string strSection;
  for (std::string strLine : ScriptLines()) {
    size_t nComment = strLine.find(';');
    if (nComment != std::string::npos) strLine.erase(nComment);
    while (!strLine.empty() && (strLine.back() == ' ' || strLine.back() == '\t')) strLine.pop_back();
    if (strLine.empty()) continue;
    strLine = DoReplacements(strLine);
    if (strLine[0] == '[') {
      strSection = strLine;
      continue;
    }
    if (strSection == "[KEYS]" || strSection == "[VALUES]") {
      std::string strValue;
      size_t nPipe = strLine.find('|');
      if (strSection == "[VALUES]" && nPipe != std::string::npos) {
        strValue = strLine.substr(nPipe + 1);
        strLine.erase(nPipe);
      }
      HKEY hRoot = RootOf(strLine);
      HKEY hKey = NULL;
      if (hRoot && ::RegCreateKeyExA(hRoot, strLine.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                     &hKey, NULL) == ERROR_SUCCESS) {
        ::RegSetValueExA(hKey, strValue.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2);
        if (strSection == "[KEYS]") {
          HKEY hSub = NULL;
          ::RegCreateKeyExA(hKey, "Sub", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hSub, NULL);
          if (hSub) ::RegCloseKey(hSub);
        }
        ::RegCloseKey(hKey);
      }
    } else if (strSection == "[FOLDERS]") {
      CreatePathFolders(strLine + "\\");
      for (const char* szSub : {"", "\\bin", "\\data"}) {
        std::string strFolder = strLine + szSub;
        ::CreateDirectoryA(strFolder.c_str(), NULL);
        for (int i = 0; i < 10; ++i) WriteSmallFile(strFolder + "\\f" + std::to_string(i), 0);
      }
    } else if (strSection == "[FILES]") {
      CreatePathFolders(strLine);
      WriteSmallFile(strLine, 0);
    }
  }
}

double TimeWholeRun() {
  CWorkerThread oWorker;
  double dStart = Now();
  CWorkerThread::ThreadProc(&oWorker);
  double dTaken = Now() - dStart;
  MSG msg;
  while (::PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
  }
  return dTaken;
}

std::string DesktopTraceFile() {
  char sz[MAX_PATH] = {};
  ::SHGetFolderPathA(NULL, CSIDL_DESKTOPDIRECTORY, NULL, 0, sz);
  return std::string(sz) + "\\KVDebug.txt";
}

void BenchRun() {
  const double kLines = 481;
  DoReplacements("");  // the variables are worked out once per process, not per run
  ::DeleteFileA(DesktopTraceFile().c_str());
  DebugTraceResetForTests();
  double dClean = TimeWholeRun();
  Row("whole run, clean machine", Format("%.3f ms/line", 1000 * dClean / kLines), "",
      Format("%.3f s in all", dClean));

  SimulateInstallation();
  double dInstalled = TimeWholeRun();
  Row("whole run, simulated installation, no trace file",
      Format("%.3f ms/line", 1000 * dInstalled / kLines), "", Format("%.3f s in all", dInstalled));

  SimulateInstallation();
  HANDLE h = ::CreateFileA(DesktopTraceFile().c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  ::CloseHandle(h);
  DebugTraceResetForTests();
  double dTraced = TimeWholeRun();
  Row("whole run, simulated installation, trace file on",
      Format("%.3f ms/line", 1000 * dTraced / kLines), "",
      Format("%.2f x the run without it", dTraced / dInstalled));
  ::DeleteFileA(DesktopTraceFile().c_str());
  DebugTraceResetForTests();
}

void BenchMemory() {
  DoReplacements("");
  SimulateInstallation();
  PROCESS_MEMORY_COUNTERS before = {};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof(before));
  TimeWholeRun();
  PROCESS_MEMORY_COUNTERS after = {};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof(after));
  Row("peak memory of a whole run (working set / private bytes)",
      Format("%.1f MiB", after.PeakWorkingSetSize / 1048576.0) + " / " +
          Format("%.1f MiB", after.PeakPagefileUsage / 1048576.0),
      "", "");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: hvbench trees N... | registry N | run | memory\n");
    return 2;
  }
  std::string strWhat = argv[1];
  if (strWhat == "trees") {
    std::vector<int> sizes;
    for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    BenchTrees(sizes);
  } else if (strWhat == "registry") {
    BenchRegistry(argc > 2 ? std::atoi(argv[2]) : 5000);
  } else if (strWhat == "run") {
    BenchRun();
  } else if (strWhat == "memory") {
    BenchMemory();
  } else {
    return 2;
  }
  return 0;
}
