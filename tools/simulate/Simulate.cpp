// The run command's stand-in for installed Corvelle and Mendora products, inside the
// run's own Wine prefix.
//
//   Simulate install PRODUCT_EXE SERVICE_EXE INVENTORY
//       creates every service, key, value, folder and file that the product's built-in
//       scripts name (keys and values in both registry views), starts the services,
//       adds an Antivirus folder to each install folder, puts the opt-in trace file on
//       the desktop, and lists everything in INVENTORY. Prints the file to hold open.
//   Simulate hold FILE RELEASE_FLAG
//       keeps FILE open without delete sharing, as a running program would, until the
//       file RELEASE_FLAG appears; RELEASE_FLAG.ready says that the file is held.
//   Simulate report INVENTORY
//       prints what of the inventory was removed, what is left and why, and what awaits
//       the next restart.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Global.h"

namespace {

const char* const kScripts[] = {"MD14", "CV14", "MD12", "CV12", "MD11", "CV11", "MD10", "CV10"};
const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

struct SItem {
  std::string strKind;  // service, key, value, folder, file, antivirus, held, trace
  std::string strView;  // 32, 64 or "-" (no registry view)
  std::string strPath;
};

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

bool Exists(const std::string& strPath) {
  return ::GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeFolders(const std::string& strPath) {
  for (size_t i = 3; i <= strPath.size(); ++i) {
    if (i == strPath.size() || strPath[i] == '\\') {
      ::CreateDirectoryA(strPath.substr(0, i).c_str(), NULL);
    }
  }
}

void MakeFile(const std::string& strPath, const std::string& strContent) {
  MakeFolders(strPath.substr(0, strPath.find_last_of('\\')));
  std::ofstream(strPath, std::ios::binary) << strContent;
}

REGSAM ViewFlag(const std::string& strView) {
  return strView == "32" ? KEY_WOW64_32KEY : strView == "64" ? KEY_WOW64_64KEY : 0;
}

// HKCU and HKU are the same in both views.
std::vector<std::string> ViewsOf(const std::string& strKey) {
  if (strKey.compare(0, 5, "HKCU\\") == 0 || strKey.compare(0, 4, "HKU\\") == 0) return {"-"};
  return {"32", "64"};
}

bool OpenKey(const std::string& strFullKey, const std::string& strView, REGSAM samAccess,
             bool bCreate, HKEY* phKey) {
  std::string strKey = strFullKey;
  HKEY hRoot = ExtractRootKey(strKey);
  if (!hRoot) return false;
  REGSAM sam = samAccess | ViewFlag(strView);
  LONG l = bCreate ? ::RegCreateKeyExA(hRoot, strKey.c_str(), 0, NULL, 0, sam, NULL, phKey, NULL)
                   : ::RegOpenKeyExA(hRoot, strKey.c_str(), 0, sam, phKey);
  return l == ERROR_SUCCESS;
}

std::string Desktop() {
  char szPath[MAX_PATH] = "";
  ::SHGetFolderPathA(NULL, CSIDL_DESKTOPDIRECTORY, NULL, 0, szPath);
  return szPath;
}

bool StartService(const std::string& strName, const std::string& strBinary) {
  SC_HANDLE hManager = ::OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!hManager) return false;
  std::string strCommand = "\"" + strBinary + "\" \"" + strName + "\"";
  SC_HANDLE hService = ::CreateServiceA(hManager, strName.c_str(), strName.c_str(),
                                        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                        strCommand.c_str(), NULL, NULL, NULL, NULL, NULL);
  if (!hService) hService = ::OpenServiceA(hManager, strName.c_str(), SERVICE_ALL_ACCESS);
  bool bRunning = false;
  if (hService) {
    ::StartServiceA(hService, 0, NULL);
    SERVICE_STATUS ss = {};
    for (int i = 0; i < 100 && !bRunning; ++i) {
      bRunning = ::QueryServiceStatus(hService, &ss) && ss.dwCurrentState == SERVICE_RUNNING;
      if (!bRunning) ::Sleep(100);
    }
    ::CloseServiceHandle(hService);
  }
  ::CloseServiceHandle(hManager);
  return bRunning;
}

// The scripts' entries, expanded as the wizard expands them: (script, section, entry).
struct SEntry {
  std::string strScript, strSection, strLine;
};

std::vector<SEntry> ReadScripts(const std::string& strExe) {
  std::vector<SEntry> entries;
  HMODULE hModule = ::LoadLibraryExA(strExe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
  if (!hModule) return entries;
  for (const char* szName : kScripts) {
    HRSRC hResource = ::FindResourceA(hModule, szName, "SCRIPTS");
    if (!hResource) continue;
    const char* p = static_cast<const char*>(::LockResource(::LoadResource(hModule, hResource)));
    std::istringstream in(std::string(p, ::strnlen(p, ::SizeofResource(hModule, hResource))));
    std::string strLine, strSection;
    while (std::getline(in, strLine)) {
      strLine = Trim(strLine.substr(0, strLine.find(';')));
      if (strLine.empty()) continue;
      strLine = DoReplacements(strLine);
      if (strLine[0] == '[') {
        strSection = strLine;
        continue;
      }
      entries.push_back({szName, strSection, strLine});
    }
  }
  ::FreeLibrary(hModule);
  return entries;
}

int Install(const std::string& strExe, const std::string& strServiceExe,
            const std::string& strInventory) {
  // The install folders first: the wizard reads them from these values once.
  char szProgramFiles[MAX_PATH] = "";
  ::SHGetSpecialFolderPathA(NULL, szProgramFiles, CSIDL_PROGRAM_FILES, FALSE);
  const std::map<std::string, std::string> installDirs = {
      {"CV", std::string(szProgramFiles) + "\\Halvern\\Corvelle"},
      {"MD", std::string(szProgramFiles) + "\\Halvern\\Mendora"}};
  for (const auto& kv : installDirs) {
    std::string strKey = std::string("HKLM\\SOFTWARE\\Halvern\\") +
                         (kv.first == "CV" ? "Corvelle" : "Mendora");
    for (const char* szView : {"32", "64"}) {
      HKEY hKey = NULL;
      if (OpenKey(strKey, szView, KEY_WRITE, true, &hKey)) {
        ::RegSetValueExA(hKey, "InstallDir", 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(kv.second.c_str()),
                         static_cast<DWORD>(kv.second.size() + 1));
        ::RegCloseKey(hKey);
      }
    }
  }

  std::vector<SItem> items;
  std::set<std::string> seen;
  auto add = [&](const std::string& strKind, const std::string& strView,
                 const std::string& strPath) {
    if (seen.insert(strKind + "|" + strView + "|" + strPath).second) {
      items.push_back({strKind, strView, strPath});
    }
  };

  int cServices = 0, cRunning = 0;
  for (const SEntry& e : ReadScripts(strExe)) {
    const std::string& s = e.strLine;
    if (e.strSection == "[SERVICES]") {
      if (seen.count("service|-|" + s)) continue;
      std::string strFolder = installDirs.at(e.strScript.substr(0, 2)) + "\\Services";
      MakeFolders(strFolder);
      std::string strBinary = strFolder + "\\HVService.exe";
      ::CopyFileA(strServiceExe.c_str(), strBinary.c_str(), FALSE);
      ++cServices;
      if (StartService(s, strBinary)) ++cRunning;
      add("service", "-", s);
    } else if (e.strSection == "[KEYS]") {
      for (const std::string& strView : ViewsOf(s)) {
        HKEY hKey = NULL;
        if (!OpenKey(s, strView, KEY_WRITE, true, &hKey)) continue;
        const char szData[] = "simulated";
        ::RegSetValueExA(hKey, "Simulated", 0, REG_SZ, reinterpret_cast<const BYTE*>(szData),
                         sizeof(szData));
        ::RegCloseKey(hKey);
        add("key", strView, s);
      }
    } else if (e.strSection == "[VALUES]") {
      size_t nBar = s.find('|');
      if (nBar == std::string::npos) continue;
      for (const std::string& strView : ViewsOf(s)) {
        HKEY hKey = NULL;
        if (!OpenKey(s.substr(0, nBar), strView, KEY_WRITE, true, &hKey)) continue;
        std::string strName = s.substr(nBar + 1);
        ::RegSetValueExA(hKey, strName.c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(""), 1);
        ::RegCloseKey(hKey);
        add("value", strView, s);
      }
    } else if (e.strSection == "[FOLDERS]") {
      MakeFile(s + "\\readme.txt", "simulated\r\n");
      MakeFile(s + "\\bin\\engine.dll", "MZ");
      add("folder", "-", s);
    } else if (e.strSection == "[FILES]") {
      MakeFile(s, "simulated\r\n");
      add("file", "-", s);
    }
  }

  // The antivirus component, which the wizard leaves to its own clean-up tool, and a
  // file that a running program of the product keeps open.
  for (const auto& kv : installDirs) {
    MakeFile(kv.second + "\\Antivirus\\AVEngine.dll", "MZ");
    add("antivirus", "-", kv.second + "\\Antivirus");
  }
  std::string strHeld = installDirs.at("CV") + "\\CVTray.dll";
  MakeFile(strHeld, "MZ");
  add("held", "-", strHeld);

  std::string strTrace = Desktop() + "\\KVDebug.txt";
  MakeFile(strTrace, "");
  add("trace", "-", strTrace);

  std::ofstream out(strInventory, std::ios::binary);
  for (const SItem& item : items) {
    out << item.strKind << '\t' << item.strView << '\t' << item.strPath << "\r\n";
  }
  std::map<std::string, int> counts;
  for (const SItem& item : items) ++counts[item.strKind];
  std::printf("simulated: %d services (%d running), %d keys, %d values, %d folders, %d files, "
              "%d Antivirus folders\n",
              cServices, cRunning, counts["key"], counts["value"], counts["folder"],
              counts["file"], counts["antivirus"]);
  std::printf("held open: %s\n", strHeld.c_str());
  return cRunning == cServices ? 0 : 1;
}

int Hold(const std::string& strFile, const std::string& strFlag) {
  HANDLE hFile = ::CreateFileA(strFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
  if (hFile == INVALID_HANDLE_VALUE) return 1;
  MakeFile(strFlag + ".ready", "");
  for (int i = 0; i < 4 * 60 * 60 * 5 && !Exists(strFlag); ++i) ::Sleep(200);
  ::CloseHandle(hFile);
  return 0;
}

std::vector<std::string> PendingRemovals() {
  std::vector<std::string> pending;
  HKEY hKey = NULL;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &hKey)) return pending;
  DWORD cb = 0;
  if (::RegQueryValueExA(hKey, "PendingFileRenameOperations", NULL, NULL, NULL, &cb) == 0) {
    std::vector<char> data(cb + 2, '\0');
    ::RegQueryValueExA(hKey, "PendingFileRenameOperations", NULL, NULL,
                       reinterpret_cast<BYTE*>(data.data()), &cb);
    std::vector<std::string> all;
    for (size_t i = 0; i < cb;) {
      all.emplace_back(data.data() + i);
      i += all.back().size() + 1;
    }
    // Pairs of source and target; an empty target is a deletion.
    for (size_t i = 0; i + 1 < all.size(); i += 2) {
      std::string s = all[i];
      if (s.compare(0, 4, "\\??\\") == 0) s = s.substr(4);
      pending.push_back(all[i + 1].empty() ? s : s + " -> " + all[i + 1]);
    }
  }
  ::RegCloseKey(hKey);
  return pending;
}

bool ServiceRunning(const std::string& strName, bool* pbKnown) {
  *pbKnown = false;
  SC_HANDLE hManager = ::OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
  if (!hManager) return false;
  SC_HANDLE hService = ::OpenServiceA(hManager, strName.c_str(), SERVICE_QUERY_STATUS);
  SERVICE_STATUS ss = {};
  bool bRunning = false;
  if (hService) {
    *pbKnown = true;
    bRunning = ::QueryServiceStatus(hService, &ss) && ss.dwCurrentState != SERVICE_STOPPED;
    ::CloseServiceHandle(hService);
  }
  ::CloseServiceHandle(hManager);
  return bRunning;
}

bool Pending(const std::vector<std::string>& pending, const std::string& strPath) {
  for (const std::string& s : pending) {
    if (lstrcmpiA(s.c_str(), strPath.c_str()) == 0) return true;
  }
  return false;
}

// True when something below the folder still awaits the restart.
bool HoldsPending(const std::vector<std::string>& pending, const std::string& strFolder) {
  std::string strPrefix = strFolder + "\\";
  for (const std::string& s : pending) {
    if (s.size() > strPrefix.size() &&
        CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, s.c_str(),
                       static_cast<int>(strPrefix.size()), strPrefix.c_str(),
                       static_cast<int>(strPrefix.size())) == CSTR_EQUAL) {
      return true;
    }
  }
  return false;
}

int Report(const std::string& strInventory) {
  std::ifstream in(strInventory, std::ios::binary);
  std::vector<SItem> items;
  std::string strLine;
  while (std::getline(in, strLine)) {
    strLine = Trim(strLine);
    size_t a = strLine.find('\t'), b = strLine.find('\t', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    items.push_back({strLine.substr(0, a), strLine.substr(a + 1, b - a - 1), strLine.substr(b + 1)});
  }
  const std::vector<std::string> pending = PendingRemovals();
  std::string strTrace;

  // (kind, reason) -> items; the removed ones under the reason "".
  std::map<std::pair<std::string, std::string>, std::vector<std::string>> removed, left;
  for (const SItem& item : items) {
    std::string strShown = item.strPath;
    if (item.strView != "-") strShown += " [" + item.strView + "-bit view]";
    std::string strReason;
    bool bPresent = true;
    if (item.strKind == "trace") {
      strTrace = item.strPath;
      continue;
    } else if (item.strKind == "service") {
      bool bKnown = false;
      bool bRunning = ServiceRunning(item.strPath, &bKnown);
      HKEY hKey = NULL;
      bool bRegistered = OpenKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + item.strPath,
                                 "64", KEY_READ, false, &hKey);
      if (hKey) ::RegCloseKey(hKey);
      bPresent = bRunning || bRegistered;
      strReason = bRunning ? "still running" : "stopped, but its registration is still there";
      if (!bPresent) strShown += " (stopped, registration deleted)";
    } else if (item.strKind == "key" || item.strKind == "value") {
      HKEY hKey = NULL;
      size_t nBar = item.strPath.find('|');
      std::string strKey = item.strKind == "key" ? item.strPath : item.strPath.substr(0, nBar);
      bPresent = OpenKey(strKey, item.strView, KEY_READ, false, &hKey);
      if (bPresent && item.strKind == "value") {
        bPresent = ::RegQueryValueExA(hKey, item.strPath.substr(nBar + 1).c_str(), NULL, NULL,
                                      NULL, NULL) == ERROR_SUCCESS;
      }
      if (hKey) ::RegCloseKey(hKey);
      strReason = item.strView == "32"
                      ? "32-bit registry view: only the 32-bit product reaches both views on "
                        "64-bit Windows; this run uses the x86-64 build"
                      : "not removed: see the trace file";
    } else {
      bPresent = Exists(item.strPath);
      if (item.strKind == "antivirus") {
        strReason = "the Antivirus component is left to its own clean-up tool";
      } else if (Pending(pending, item.strPath)) {
        strReason = "in use: removal registered for the next restart";
      } else if (item.strKind == "folder" && Exists(item.strPath + "\\Antivirus")) {
        strReason = "keeps its Antivirus folder";
      } else if (item.strKind == "folder" && HoldsPending(pending, item.strPath)) {
        strReason = "holds files that are removed at the next restart";
      } else {
        strReason = "not removed: see the trace file";
      }
    }
    (bPresent ? left[{item.strKind, strReason}] : removed[{item.strKind, ""}]).push_back(strShown);
  }

  auto label = [](const std::string& strKind, size_t n) {
    static const std::map<std::string, std::string> names = {
        {"antivirus", "Antivirus folder"}, {"held", "held-open file"}};
    auto it = names.find(strKind);
    return (it == names.end() ? strKind : it->second) + (n == 1 ? "" : "s");
  };
  auto print = [&label](const char* szTitle,
                  const std::map<std::pair<std::string, std::string>, std::vector<std::string>>& groups,
                  size_t cShown) {
    size_t cTotal = 0;
    for (const auto& g : groups) cTotal += g.second.size();
    std::printf("\n%s: %zu\n", szTitle, cTotal);
    for (const auto& g : groups) {
      std::printf("  %zu %s%s\n", g.second.size(), label(g.first.first, g.second.size()).c_str(),
                  g.first.second.empty() ? "" : (" - " + g.first.second).c_str());
      for (size_t i = 0; i < g.second.size() && i < cShown; ++i) {
        std::printf("      %s\n", g.second[i].c_str());
      }
      if (g.second.size() > cShown) std::printf("      ... and %zu more\n", g.second.size() - cShown);
    }
  };
  print("Removed", removed, 4);
  print("Left", left, 6);
  // Every script that names a path in use registers it again.
  std::vector<std::pair<std::string, int>> distinct;
  for (const std::string& s : pending) {
    auto it = distinct.begin();
    while (it != distinct.end() && lstrcmpiA(it->first.c_str(), s.c_str()) != 0) ++it;
    if (it == distinct.end()) {
      distinct.push_back({s, 1});
    } else {
      ++it->second;
    }
  }
  std::printf("\nAwaiting the restart (PendingFileRenameOperations): %zu paths, %zu registrations\n",
              distinct.size(), pending.size());
  for (const auto& d : distinct) {
    std::printf("  delete %s%s\n", d.first.c_str(),
                d.second == 1 ? "" : (" (registered " + std::to_string(d.second) + " times)").c_str());
  }
  if (!strTrace.empty()) std::printf("\nTrace file: %s\n", strTrace.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string strMode = argc > 1 ? argv[1] : "";
  if (strMode == "install" && argc == 5) return Install(argv[2], argv[3], argv[4]);
  if (strMode == "hold" && argc == 4) return Hold(argv[2], argv[3]);
  if (strMode == "report" && argc == 3) return Report(argv[2]);
  std::fprintf(stderr,
               "usage: Simulate install PRODUCT_EXE SERVICE_EXE INVENTORY\n"
               "       Simulate hold FILE RELEASE_FLAG\n"
               "       Simulate report INVENTORY\n");
  return 2;
}
