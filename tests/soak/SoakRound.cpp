#include "SoakRound.h"

#include <commctrl.h>
#include <prsht.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "WizardDriver.h"

namespace HVSoak {

namespace {

const char* const kScriptNames[] = {"MD14", "CV14", "MD12", "CV12", "MD11", "CV11", "MD10", "CV10"};
const char* const kSections[] = {"[SERVICES]", "[KEYS]", "[VALUES]", "[FOLDERS]", "[FILES]"};

const char kPressNext[] = "Press \"Next\" to begin the clean up process.";
const char kProgressText[] = "Cleanup in progress...";
const char kCompleteText[] = "Clean up complete.";

const char kLeftCancelled[] = "the run was cancelled before it";
const char kLeft32BitView[] = "32-bit view: the x64 twin deletes in its own view only";
const char kLeftRefusesStop[] = "the service refuses stop requests";
const char kLeftNeverStops[] = "the service never stops";
const char kLeftNotRemoved[] = "NOT REMOVED";

// Paths stay well below MAX_PATH: the product works with ANSI paths.
const size_t kMaxPath = 230;
const size_t kMaxHeld = 8;

struct SFamily {
  const char* szName;
  const char* szVariable;
  const char* rgszKeys[3];  // where the wizard looks for "InstallDir", first to last
};
const SFamily kFamilies[2] = {
    {"Corvelle",
     "%CVINSTALLDIR%",
     {"SOFTWARE\\Halvern\\Corvelle\\CurrentVersion\\GlobalProperties",
      "SOFTWARE\\Halvern\\Corvelle\\CurrentVersion", "SOFTWARE\\Halvern\\Corvelle"}},
    {"Mendora",
     "%MDINSTALLDIR%",
     {"SOFTWARE\\Halvern\\Mendora\\CurrentVersion\\GlobalProperties",
      "SOFTWARE\\Halvern\\Mendora\\CurrentVersion", "SOFTWARE\\Halvern\\Mendora"}},
};

std::string Trim(const std::string& s) {
  static const char kWhiteSpace[] = " \t\n\v\f\r";
  size_t a = s.find_first_not_of(kWhiteSpace);
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(kWhiteSpace) - a + 1);
}

std::string ReplaceAll(std::string str, const std::string& strFrom, const std::string& strTo) {
  for (size_t n = str.find(strFrom); n != std::string::npos;
       n = str.find(strFrom, n + strTo.size())) {
    str.replace(n, strFrom.size(), strTo);
  }
  return str;
}

// A registry path in one comparable form for both views and both spellings of the
// classes root, so that a canary is never placed where some target reaches it.
std::string RegisterForm(const SRegPath& oKey) {
  std::string str = Fold(oKey.strRoot + "\\" + oKey.strKey);
  str = ReplaceAll(str, "\\wow6432node", "");
  if (str.compare(0, 5, "hkcr\\") == 0) str = "hklm\\software\\classes\\" + str.substr(5);
  return str;
}

std::string Quote(const std::string& str) {
  std::string strShown =
      str.size() > 60 ? str.substr(0, 28) + "..." + str.substr(str.size() - 28) : str;
  return "\"" + strShown + "\"";
}

}  // namespace

const char* TargetKindName(int nKind) {
  static const char* const kNames[kTargetKindCount] = {
      "service (stopped)",  "key, 64-bit view",   "key, 32-bit view",
      "value, 64-bit view", "value, 32-bit view", "[FOLDERS] entry",
      "[FILES] entry",      "folder in a tree",   "file in a tree"};
  return kNames[nKind];
}

void SOutcome::Add(const SOutcome& o) {
  nPlanted += o.nPlanted;
  nGone += o.nGone;
  nRegistered += o.nRegistered;
  for (const auto& l : o.left) left[l.first] += l.second;
}

void STally::Add(const STally& o) {
  for (const auto& f : o.faults) faults[f.first] += f.second;
  for (int i = 0; i < kTargetKindCount; ++i) targets[i].Add(o.targets[i]);
  nFileCanaries += o.nFileCanaries;
  nFileCanariesLost += o.nFileCanariesLost;
  nRegCanaries += o.nRegCanaries;
  nRegCanariesLost += o.nRegCanariesLost;
  nDrivePaths += o.nDrivePaths;
  nDrivePathsLost += o.nDrivePathsLost;
  cTraceLines += o.cTraceLines;
  nRefusals += o.nRefusals;
  nRegistrations += o.nRegistrations;
}

// ---------------------------------------------------------------------------------------

bool LoadEnvironment(SEnvironment& oEnvironment, std::string* pstrError) {
  HMODULE hModule =
      ::LoadLibraryExA(oEnvironment.strWizardExe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
  if (!hModule) {
    *pstrError = "cannot read " + oEnvironment.strWizardExe;
    return false;
  }
  oEnvironment.entries.clear();
  oEnvironment.cLines = 0;
  std::string strSection;
  for (const char* szName : kScriptNames) {
    HRSRC hResource = ::FindResourceA(hModule, szName, "SCRIPTS");
    if (!hResource) {
      ::FreeLibrary(hModule);
      *pstrError = std::string("no script ") + szName + " in " + oEnvironment.strWizardExe;
      return false;
    }
    const char* p = static_cast<const char*>(::LockResource(::LoadResource(hModule, hResource)));
    std::string strText(p, ::strnlen(p, ::SizeofResource(hModule, hResource)));
    size_t i = 0;
    while (i < strText.size()) {
      i = strText.find_first_not_of("\r\n", i);
      if (i == std::string::npos) break;
      size_t nEnd = strText.find_first_of("\r\n", i);
      std::string strLine = strText.substr(i, nEnd == std::string::npos ? nEnd : nEnd - i);
      i = nEnd == std::string::npos ? strText.size() : nEnd;
      ++oEnvironment.cLines;
      strLine = Trim(strLine.substr(0, strLine.find(';')));
      if (strLine.empty()) continue;
      bool bHeader = false;
      for (const char* szSection : kSections) {
        if (_stricmp(strLine.c_str(), szSection) == 0) {
          strSection = szSection;
          bHeader = true;
        }
      }
      if (!bHeader) oEnvironment.entries.push_back({szName, strSection, strLine});
    }
  }
  ::FreeLibrary(hModule);

  char sz[MAX_PATH] = {};
  auto add = [&](const char* szName, const char* szValue) {
    oEnvironment.systemVariables.push_back({szName, TrimTrailingBackslashes(szValue)});
  };
  ::GetWindowsDirectoryA(sz, MAX_PATH);
  add("%WINDOWS%", sz);
  ::GetSystemDirectoryA(sz, MAX_PATH);
  add("%SYSTEM%", sz);
  const std::pair<const char*, int> kFolders[] = {{"%PROGRAMFILES%", CSIDL_PROGRAM_FILES},
                                                  {"%COMMONFILES%", CSIDL_PROGRAM_FILES_COMMON},
                                                  {"%PROGRAMDATA%", CSIDL_COMMON_APPDATA},
                                                  {"%USERDATA%", CSIDL_APPDATA},
                                                  {"%STARTMENU%", CSIDL_COMMON_STARTMENU}};
  for (const auto& folder : kFolders) {
    sz[0] = '\0';
    if (!::SHGetSpecialFolderPathA(NULL, sz, folder.second, FALSE)) {
      *pstrError = std::string("no folder for ") + folder.first;
      return false;
    }
    add(folder.first, sz);
  }
  oEnvironment.oPendingBaseline = ReadPendingValue();
  return true;
}

// ---------------------------------------------------------------------------------------

namespace {

enum EDirKind { kDirDefault, kDirGood, kDirDecoy, kDirHostile };
enum ECancel { kCancelNone, kCancelWelcome, kCancelYes, kCancelNo };

struct SInstallDir {
  EDirKind eKind = kDirDefault;
  std::string strCase;  // for the summary
  int nKey = 2;         // which of the three keys holds the value
  DWORD dwType = REG_SZ;
  std::string strData;       // the value's bytes
  std::string strEffective;  // the folder the entries name; empty when they are refused
  bool bTargets = false;     // the install-folder entries are planted and checked
  std::string strDecoy;      // a folder named by a value that the wizard never reads
};

struct SServicePlan {
  std::string strName;
  std::string strMode;  // TestService.exe's mode, or "installed" (not started)
  int nLines = 0;       // script lines that name it
};

struct SFileTarget {
  std::string strPath;
  int nKind;
};

struct SRegTarget {
  SRegPath oKey;
  bool bValue = false;
  std::string strValue;
  int nKind;
  bool bOwned = true;  // planted by the soak, so removed at clean-up
};

struct SFileCanary {
  std::string strPath;
  bool bFolder = false;
  std::string strContent;
};

struct SRegCanary {
  SRegPath oKey;
  bool bValue = false;  // a value of the key; else the key itself with its value "canary"
  std::string strValue;
  std::string strData;
};

class CRound {
 public:
  CRound(const SEnvironment& oEnvironment, uint64_t ullSeed) : m_env(oEnvironment), m_rnd(ullSeed) {
    m_result.ullSeed = ullSeed;
  }

  SRoundResult Run() {
    auto tStart = std::chrono::steady_clock::now();
    Plan();
    Plant();
    if (m_result.failures.empty()) {
      Drive();
      Check();
    }
    CleanUp();
    m_result.dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    m_result.strSummary = Summary();
    return m_result;
  }

 private:
  // -------------------------------------------------------------------------------------
  // Plan: everything that is random is drawn here or while planting, from the seed.

  void Plan() {
    for (const auto& v : m_env.systemVariables) m_variables.push_back(v);
    for (int f = 0; f < 2; ++f) PlanInstallDir(f);
    for (int f = 0; f < 2; ++f) {
      m_variables.push_back({kFamilies[f].szVariable, m_dirs[f].strEffective});
    }
    PlanServices();
    uint32_t r = m_rnd.Below(100);
    m_eCancel = r < 4 ? kCancelWelcome : r < 22 ? kCancelYes : r < 32 ? kCancelNo : kCancelNone;
    m_nCancelLine = static_cast<int>(m_rnd.Below(static_cast<uint32_t>(m_env.cLines)));
    m_dwCancelDelayMs = m_rnd.Below(50);
    m_bUntick = m_rnd.Chance(0.4);
    switch (m_eCancel) {
      case kCancelWelcome:
        ++m_result.tally.faults["cancel on the welcome page"];
        break;
      case kCancelYes:
        ++m_result.tally.faults["cancel on the progress page, Yes"];
        break;
      case kCancelNo:
        ++m_result.tally.faults["cancel on the progress page, No"];
        break;
      case kCancelNone:
        break;
    }
  }

  std::string Variable(const char* szName) const {
    for (const auto& v : m_env.systemVariables) {
      if (v.first == szName) return v.second;
    }
    return std::string();
  }

  void PlanInstallDir(int f) {
    SInstallDir& d = m_dirs[f];
    const std::string strFamily = kFamilies[f].szName;
    const std::string strDefault = Variable("%PROGRAMFILES%") + "\\Halvern\\" + strFamily;
    const std::string strNumber = std::to_string(10 + m_rnd.Below(90));
    d.nKey = static_cast<int>(m_rnd.Below(3));
    uint32_t r = m_rnd.Below(100);
    if (r < 20) {
      d.eKind = kDirDefault;
      d.strCase = "no value (default)";
      d.strEffective = strDefault;
      d.bTargets = true;
      ++m_result.tally.faults["InstallDir: none, the default folder"];
    } else if (r < 65) {
      d.eKind = kDirGood;
      std::string strValue;
      switch (m_rnd.Below(6)) {
        case 0:
          strValue = Variable("%PROGRAMFILES%") + "\\Halvern\\" + strFamily + " " + strNumber;
          break;
        case 1:
          strValue = "C:\\hvsoak_apps " + strNumber + "\\" + strFamily;
          break;
        case 2:
          strValue = "C:\\hvsoak_apps " + strNumber + "\\Halvern Software\\" + strFamily + ".v" +
                     strNumber;
          break;
        case 3:
          strValue = "C:\\hvsoak_apps " + strNumber + "\\" + strFamily + "\\\\\\";
          break;
        case 4:
          d.dwType = REG_EXPAND_SZ;
          strValue = "%PROGRAMFILES%\\Halvern\\" + strFamily + " X" + strNumber;
          d.strEffective = strDefault + " X" + strNumber;
          break;
        default:
          strValue = "C:/hvsoak_apps " + strNumber + "/" + strFamily;
          break;
      }
      // As the wizard has it: forward slashes stay (value names keep them), the
      // trailing backslashes go.
      if (d.strEffective.empty()) d.strEffective = TrimTrailingBackslashes(strValue);
      d.strData = strValue + '\0';
      d.strCase = "good " + Quote(strValue);
      d.bTargets = true;
      ++m_result.tally.faults["InstallDir: a good folder"];
    } else if (r < 73) {
      // The first key exists without the value: the wizard keeps its default and never
      // reads the last key, so the folder named there is no product folder.
      d.eKind = kDirDecoy;
      d.nKey = 2;
      d.strDecoy = "C:\\hvsoak\\decoy\\" + strFamily;
      d.strData = d.strDecoy + '\0';
      d.strEffective = strDefault;
      d.strCase = "decoy: value behind a key without one";
      d.bTargets = true;
      ++m_result.tally.faults["InstallDir: a value the wizard must not read"];
    } else {
      d.eKind = kDirHostile;
      PlanHostile(d);
      ++m_result.tally.faults["InstallDir hostile: " + d.strCase];
      d.strCase = "hostile: " + d.strCase;
    }
  }

  void PlanHostile(SInstallDir& d) {
    const std::string strWindows = Variable("%WINDOWS%");
    struct SCase {
      const char* szCase;
      DWORD dwType;
      std::string strValue;
      bool bDefault;  // the wizard refuses the value and keeps the default folder
    };
    std::vector<SCase> cases = {
        {"empty", REG_SZ, "", false},
        {"the drive's root", REG_SZ, "C:\\", false},
        {"a bare drive", REG_SZ, "C:", false},
        {"the Windows folder", REG_SZ, strWindows, false},
        {"the Windows folder, otherwise written", REG_SZ, "c:/WINDOWS/system32/..", false},
        {"the system folder", REG_SZ, Variable("%SYSTEM%"), false},
        {"the program files folder", REG_SZ, Variable("%PROGRAMFILES%"), false},
        {"the program files folder as a variable", REG_EXPAND_SZ, "%PROGRAMFILES%", false},
        {"the program data folder", REG_SZ, Variable("%PROGRAMDATA%"), false},
        {"a relative path", REG_SZ, "Product", false},
        {"a drive-relative path", REG_SZ, "C:Product", false},
        {"a rooted path without a drive", REG_SZ, "\\hvsoak_canary", false},
        {"a device path", REG_SZ, "\\\\?\\C:\\", false},
        {"600 characters", REG_SZ, strWindows + std::string(600 - strWindows.size(), '\\'), true},
        {"a number", REG_DWORD, "", true},
    };
    if (IsFolder("C:\\hvlinks\\toroot")) {
      cases.push_back({"a path through a link to the Windows folder", REG_SZ,
                       "C:\\hvlinks\\toroot\\windows", false});
      cases.push_back({"a link to the drive's root", REG_SZ, "C:\\hvlinks\\toroot", false});
    }
    const SCase& c = m_rnd.Pick(cases);
    d.strCase = c.szCase;
    d.dwType = c.dwType;
    if (c.dwType == REG_DWORD) {
      DWORD dwValue = 0x5C3A43;  // "C:\" as a number
      d.strData.assign(reinterpret_cast<const char*>(&dwValue), sizeof(dwValue));
    } else {
      d.strData = c.strValue + '\0';
    }
    if (c.bDefault) {
      d.strEffective = Variable("%PROGRAMFILES%") + "\\Halvern\\" + kFamilies[&d - m_dirs].szName;
    }
    d.bTargets = false;
  }

  void PlanServices() {
    std::map<std::string, int> lines;
    std::vector<std::string> names;
    for (const auto& e : m_env.entries) {
      if (e.strSection != "[SERVICES]") continue;
      if (lines[e.strText]++ == 0) names.push_back(e.strText);
    }
    for (const std::string& strName : names) {
      if (!m_rnd.Chance(0.75)) continue;
      uint32_t r = m_rnd.Below(100);
      const char* szMode = r < 50 ? "stop" : r < 70 ? "slow" : r < 82 ? "nostop" : "installed";
      m_services.push_back({strName, szMode, lines[strName]});
    }
    // Sparingly: a service that never stops costs five seconds for each line naming it.
    if (!m_services.empty() && m_rnd.Chance(0.2)) {
      SServicePlan& s = m_services[m_rnd.Below(static_cast<uint32_t>(m_services.size()))];
      s.strMode = m_rnd.Chance(0.7) ? "pending" : "running";
    }
    for (const SServicePlan& s : m_services) {
      const char* szFault = s.strMode == "stop"      ? "service: stops at once"
                            : s.strMode == "slow"    ? "service: stops late"
                            : s.strMode == "nostop"  ? "service: refuses to stop"
                            : s.strMode == "pending" ? "service: never stops (stop pending)"
                            : s.strMode == "running" ? "service: never stops (keeps running)"
                                                     : "service: installed, not running";
      ++m_result.tally.faults[szFault];
    }
  }

  // -------------------------------------------------------------------------------------
  // Expansion, as the wizard expands its lines, with this round's install folders.

  bool DependsOnHostile(const std::string& strText) const {
    for (int f = 0; f < 2; ++f) {
      if (!m_dirs[f].bTargets && strText.find(kFamilies[f].szVariable) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  // A line as the wizard expands it: the value names of [VALUES] entries.
  std::string Expand(std::string str) const {
    for (const auto& v : m_variables) str = ReplaceAll(str, v.first, v.second);
    return str;
  }
  // A file or folder entry, in the form in which the soak plants and compares paths.
  std::string ExpandPath(const std::string& str) const {
    return ReplaceAll(Expand(str), "/", "\\");
  }

  // -------------------------------------------------------------------------------------
  // Planting.

  void Fail(const std::string& strWhat) { m_result.failures.push_back(strWhat); }

  bool MayGo(const std::string& strPath) const {
    for (const std::string& strFolder : m_mayGoFolders) {
      if (IsAtOrBelow(strPath, strFolder)) return true;
    }
    for (const std::string& strFile : m_mayGoFiles) {
      if (SamePath(strPath, strFile)) return true;
    }
    return false;
  }

  // bInProduct: a canary inside a product folder (the Antivirus folder), which the run
  // may empty around it but must leave in place.
  void AddFileCanary(const std::string& strPath, bool bFolder, bool bInProduct = false) {
    if (strPath.size() > kMaxPath || (!bInProduct && MayGo(strPath))) return;
    for (const SFileCanary& c : m_fileCanaries) {
      if (SamePath(c.strPath, strPath)) return;
    }
    if (Exists(strPath)) return;  // not ours to plant or to remove
    if (!MakeFolders(bFolder ? strPath : ParentOf(strPath), &m_createdFolders)) return;
    SFileCanary c;
    c.strPath = strPath;
    c.bFolder = bFolder;
    if (!bFolder) {
      c.strContent = "hvsoak canary " + strPath + " " + std::to_string(m_result.ullSeed);
      if (!WriteFileBytes(strPath, c.strContent)) return;
    }
    m_fileCanaries.push_back(c);
  }

  void AddFileCanaries(const std::string& strTarget, bool bFolder) {
    const std::string strParent = ParentOf(strTarget);
    if (bFolder) {
      AddFileCanary(strTarget + "2", true);
      AddFileCanary(strTarget + "2\\keep.txt", false);
      AddFileCanary(strTarget + ".keep", false);
    } else {
      AddFileCanary(strTarget + ".keep", false);
      AddFileCanary(strTarget + "_keep", true);
      AddFileCanary(strTarget + "_keep\\keep.txt", false);
    }
    AddFileCanary(strParent + "\\hvsoak_above.txt", false);
  }

  std::string RandomName(bool bFile) {
    static const char* const kWords[] = {
        "bin",     "data",         "Logs",       "Plugins",     "res",          "x64",
        "en-US",   "Update Cache", "Temp~1",     "a.b.c",       "R\xE9sum\xE9", "Engine",
        "defs",    "Quarantine",   "Skins",      "Old.Version", "two  blanks",  "Scrubber",
        "Backups", "OpenSource",   "kvntdfg",    "HVLog",       "#hash",        "[brackets]",
        "100%",    "semi;colon",   "ampers&and", "@ctive",      "Mendora",      "Corvelle"};
    static const char* const kExtensions[] = {".dll", ".dat", ".log", "",     ".tmp",
                                              ".LNK", ".exe", ".sys", ".txt", ".db"};
    std::string strName =
        m_rnd.Pick(std::vector<const char*>(std::begin(kWords), std::end(kWords)));
    if (m_rnd.Chance(0.5)) strName += " " + std::to_string(m_rnd.Below(100));
    if (m_rnd.Chance(0.03)) strName += std::string(60 + m_rnd.Below(60), 'L');
    if (bFile) {
      strName +=
          m_rnd.Pick(std::vector<const char*>(std::begin(kExtensions), std::end(kExtensions)));
    }
    return strName;
  }

  std::string RandomContent() {
    size_t cb = m_rnd.Chance(0.03) ? 200000 + m_rnd.Below(100000) : m_rnd.Below(3000);
    std::string str(cb, '\0');
    for (size_t i = 0; i < cb; i += 8) {
      uint64_t u = m_rnd.Next();
      std::memcpy(&str[i], &u, std::min<size_t>(8, cb - i));
    }
    return str;
  }

  void Hold(const std::string& strPath, bool bFolder) {
    // Open for reading and writing by others, but not for deletion.
    HANDLE h = ::CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             NULL, OPEN_EXISTING, bFolder ? FILE_FLAG_BACKUP_SEMANTICS : 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
      Fail("cannot hold " + strPath + " open: " + std::to_string(::GetLastError()));
      return;
    }
    m_held.push_back(h);
    ++m_result.tally.faults[bFolder ? "folder held open without delete sharing"
                                    : "file held open without delete sharing"];
  }

  // A file of the product; faults on it by chance.
  void PlantFile(const std::string& strPath, int nKind, double dHold) {
    if (strPath.size() > kMaxPath) return;
    if (!WriteFileBytes(strPath, RandomContent())) {
      Fail("cannot plant " + strPath);
      return;
    }
    m_fileTargets.push_back({strPath, nKind});
    DWORD dwAttributes = 0;
    if (m_rnd.Chance(0.15)) {
      dwAttributes |= FILE_ATTRIBUTE_READONLY;
      ++m_result.tally.faults["read-only file"];
    }
    if (m_rnd.Chance(0.06)) {
      dwAttributes |= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
      ++m_result.tally.faults["hidden system file"];
    }
    if (dwAttributes) ::SetFileAttributesA(strPath.c_str(), dwAttributes);
    if (m_held.size() < kMaxHeld && m_rnd.Chance(dHold)) Hold(strPath, false);
  }

  void PlantTree(const std::string& strFolder, int nDepth) {
    std::set<std::string> names;
    auto unique = [&](const std::string& strName) { return names.insert(Fold(strName)).second; };
    int cFiles = static_cast<int>(m_rnd.Below(5));
    for (int i = 0; i < cFiles; ++i) {
      std::string strName = RandomName(true);
      if (!unique(strName)) continue;
      PlantFile(strFolder + "\\" + strName, kTargetTreeFile, 0.04);
    }
    // A file called Antivirus is a file like any other.
    if (m_rnd.Chance(0.05) && unique("Antivirus")) {
      PlantFile(strFolder + "\\Antivirus", kTargetTreeFile, 0);
      ++m_result.tally.faults["a file named Antivirus"];
    }
    int cFolders = nDepth < 3 ? static_cast<int>(m_rnd.Below(nDepth == 0 ? 4 : 3)) : 0;
    for (int i = 0; i < cFolders; ++i) {
      std::string strName = RandomName(false);
      std::string strChild = strFolder + "\\" + strName;
      if (!unique(strName) || strChild.size() > kMaxPath - 40) continue;
      if (!::CreateDirectoryA(strChild.c_str(), NULL)) {
        Fail("cannot plant " + strChild);
        continue;
      }
      m_fileTargets.push_back({strChild, kTargetTreeFolder});
      PlantTree(strChild, nDepth + 1);
      if (m_rnd.Chance(0.04)) {
        ::SetFileAttributesA(strChild.c_str(), FILE_ATTRIBUTE_READONLY);
        ++m_result.tally.faults["read-only folder"];
      }
      if (m_held.size() < kMaxHeld && m_rnd.Chance(0.03)) Hold(strChild, true);
    }
  }

  // The products' antivirus component, which the wizard must leave alone: directly in
  // the install folder or one level down, in any letter case.
  void PlantAntivirus(const std::string& strInstall) {
    static const char* const kCases[] = {"Antivirus", "ANTIVIRUS", "antiVirus"};
    std::string strParent = strInstall;
    if (m_rnd.Chance(0.4)) {
      strParent += "\\Engines";
      if (!IsFolder(strParent)) {
        ::CreateDirectoryA(strParent.c_str(), NULL);
        m_fileTargets.push_back({strParent, kTargetTreeFolder});
      }
    }
    std::string strAv = strParent + "\\" + kCases[m_rnd.Below(3)];
    AddFileCanary(strAv, true, true);
    AddFileCanary(strAv + "\\AVEngine.dll", false, true);
    AddFileCanary(strAv + "\\defs", true, true);
    AddFileCanary(strAv + "\\defs\\main.def", false, true);
    ++m_result.tally.faults["Antivirus folder in an install folder"];
  }

  SRegPath RegKey(const std::string& strKey, REGSAM samView = 0) const {
    SRegPath o;
    o.hRoot = HKEY_LOCAL_MACHINE;
    o.strRoot = "HKLM";
    o.strKey = strKey;
    o.samView = samView;
    return o;
  }

  void PlantInstallDirValues() {
    for (int f = 0; f < 2; ++f) {
      const SInstallDir& d = m_dirs[f];
      if (d.eKind == kDirDefault) continue;
      SRegPath oKey = RegKey(kFamilies[f].rgszKeys[d.nKey]);
      if (!MakeKey(oKey, &m_createdKeys) || !SetValue(oKey, "InstallDir", d.dwType, d.strData)) {
        Fail("cannot write InstallDir of " + std::string(kFamilies[f].szName));
        continue;
      }
      if (d.eKind == kDirDecoy) {
        SRegPath oFirst = RegKey(kFamilies[f].rgszKeys[0]);
        MakeKey(oFirst, &m_createdKeys);
        SetValue(oFirst, "Version", REG_SZ, std::string("15.6") + '\0');
      }
    }
  }

  // The folders and files that the run may remove: every entry, expanded as the wizard
  // will expand it. Entries named through a hostile install folder are refused by the
  // wizard and so are no product folders, except where the wizard keeps its default.
  void CollectMayGo() {
    for (const auto& e : m_env.entries) {
      if (e.strSection != "[FOLDERS]" && e.strSection != "[FILES]") continue;
      if (DependsOnHostile(e.strText)) {
        for (int f = 0; f < 2; ++f) {
          if (!m_dirs[f].bTargets && !m_dirs[f].strEffective.empty() &&
              e.strText == kFamilies[f].szVariable) {
            m_mayGoFolders.push_back(m_dirs[f].strEffective);
          }
        }
        continue;
      }
      (e.strSection == "[FOLDERS]" ? m_mayGoFolders : m_mayGoFiles)
          .push_back(ExpandPath(e.strText));
    }
  }

  void PlantCanaryTrees() {
    const std::string strWork = m_env.strWorkFolder;
    AddFileCanary("C:\\hvsoak_canary.txt", false);
    AddFileCanary("C:\\hvsoak_canary", true);
    AddFileCanary("C:\\hvsoak_canary\\keep.txt", false);
    AddFileCanary("C:\\hvsoak_canary\\sub", true);
    AddFileCanary("C:\\hvsoak_canary\\sub\\deep.txt", false);
    for (const char* szVariable : {"%WINDOWS%", "%SYSTEM%", "%PROGRAMFILES%", "%COMMONFILES%",
                                   "%PROGRAMDATA%", "%USERDATA%", "%STARTMENU%"}) {
      AddFileCanary(Variable(szVariable) + "\\hvsoak_canary.txt", false);
    }
    AddFileCanary(Variable("%WINDOWS%") + "\\hvsoak_canary", true);
    AddFileCanary(Variable("%WINDOWS%") + "\\hvsoak_canary\\keep.txt", false);
    // The current folder, which a relative install folder would name.
    AddFileCanary(strWork + "\\cwd\\canary.txt", false);
    AddFileCanary(strWork + "\\cwd\\Product", true);
    AddFileCanary(strWork + "\\cwd\\Product\\canary.txt", false);
    for (int f = 0; f < 2; ++f) {
      if (m_dirs[f].strDecoy.empty()) continue;
      AddFileCanary(m_dirs[f].strDecoy, true);
      AddFileCanary(m_dirs[f].strDecoy + "\\product.dll", false);
    }
  }

  void PlantFolders() {
    std::set<std::string> seen;
    for (const auto& e : m_env.entries) {
      if (e.strSection != "[FOLDERS]" || DependsOnHostile(e.strText)) continue;
      const std::string strFolder = ExpandPath(e.strText);
      if (!seen.insert(Fold(strFolder)).second) continue;
      const bool bInstall = e.strText == "%CVINSTALLDIR%" || e.strText == "%MDINSTALLDIR%";
      AddFileCanaries(strFolder, true);
      if (!m_rnd.Chance(bInstall ? 0.95 : 0.8)) continue;
      if (Exists(strFolder)) {
        // The machine has it already: a target all the same.
        m_fileTargets.push_back({strFolder, kTargetFolderEntry});
        continue;
      }
      if (!MakeFolders(strFolder, &m_createdFolders)) {
        Fail("cannot plant " + strFolder);
        continue;
      }
      m_fileTargets.push_back({strFolder, kTargetFolderEntry});
      PlantTree(strFolder, 0);
      if (bInstall && m_rnd.Chance(0.8)) PlantAntivirus(strFolder);
      if (m_held.size() < kMaxHeld && m_rnd.Chance(0.03)) Hold(strFolder, true);
    }
  }

  void PlantFiles() {
    std::set<std::string> seen;
    for (const auto& e : m_env.entries) {
      if (e.strSection != "[FILES]") continue;
      const std::string strFile = ExpandPath(e.strText);
      if (!seen.insert(Fold(strFile)).second) continue;
      AddFileCanaries(strFile, false);
      if (!m_rnd.Chance(0.85)) continue;
      if (!MakeFolders(ParentOf(strFile), &m_createdFolders)) {
        Fail("cannot plant " + strFile);
        continue;
      }
      PlantFile(strFile, kTargetFileEntry, 0.08);
    }
  }

  bool UnderTargetKey(const SRegPath& oKey) const {
    const std::string strForm = RegisterForm(oKey);
    for (const std::string& strTarget : m_targetKeyForms) {
      if (strForm == strTarget || (strForm.size() > strTarget.size() &&
                                   strForm.compare(0, strTarget.size(), strTarget) == 0 &&
                                   strForm[strTarget.size()] == '\\')) {
        return true;
      }
    }
    return false;
  }

  std::vector<REGSAM> ViewsOf(const SRegPath& oKey) const {
    if (oKey.hRoot == HKEY_CURRENT_USER || oKey.hRoot == HKEY_USERS) return {0};
    if (Fold(oKey.strKey).find("wow6432node") != std::string::npos) return {0};
    return {0, KEY_WOW64_32KEY};
  }

  void AddRegCanary(const SRegPath& oKey, bool bValue, const std::string& strValue) {
    if (UnderTargetKey(oKey)) return;
    for (const SRegCanary& c : m_regCanaries) {
      if (c.oKey.hRoot == oKey.hRoot && c.oKey.samView == oKey.samView && c.bValue == bValue &&
          Fold(c.oKey.strKey) == Fold(oKey.strKey) && Fold(c.strValue) == Fold(strValue)) {
        return;
      }
    }
    SRegCanary c;
    c.oKey = oKey;
    c.bValue = bValue;
    c.strValue = bValue ? strValue : "canary";
    c.strData = "hvsoak canary " + Describe(oKey) + "|" + strValue + " " +
                std::to_string(m_result.ullSeed) + '\0';
    if (bValue) {
      // A value that is already there is somebody else's.
      if (!KeyExists(oKey) || ReadValue(oKey, c.strValue, NULL, NULL)) return;
    } else {
      if (KeyExists(oKey)) return;
      if (!MakeKey(oKey, &m_createdKeys)) return;
    }
    if (!SetValue(oKey, c.strValue, REG_SZ, c.strData)) return;
    m_regCanaries.push_back(c);
  }

  void PlantKeyTree(const SRegPath& oKey, int nDepth) {
    SetValue(oKey, "", REG_SZ, std::string("planted") + '\0');
    int cValues = static_cast<int>(m_rnd.Below(4));
    for (int i = 0; i < cValues; ++i) {
      DWORD dw = m_rnd.Below(1000);
      SetValue(oKey, "Value " + std::to_string(i), m_rnd.Chance(0.5) ? REG_DWORD : REG_BINARY,
               std::string(reinterpret_cast<const char*>(&dw), sizeof(dw)));
    }
    int cKeys = nDepth < 2 ? static_cast<int>(m_rnd.Below(3)) : 0;
    for (int i = 0; i < cKeys; ++i) {
      SRegPath oChild = oKey;
      // Now and then a name of the longest length the registry allows.
      std::string strName = m_rnd.Chance(0.05) ? std::string(255, 'K') : RandomName(false);
      oChild.strKey += "\\" + strName;
      if (MakeKey(oChild, NULL)) PlantKeyTree(oChild, nDepth + 1);
    }
  }

  void PlantKeys() {
    std::set<std::string> serviceKeys;
    for (const SServicePlan& s : m_services) {
      serviceKeys.insert(Fold("SYSTEM\\CurrentControlSet\\Services\\" + s.strName));
    }
    std::set<std::string> seen;
    for (const auto& e : m_env.entries) {
      if (e.strSection != "[KEYS]") continue;
      SRegPath oEntry;
      if (!ParseRegPath(Expand(e.strText), 0, oEntry)) continue;
      for (REGSAM samView : ViewsOf(oEntry)) {
        SRegPath oKey = oEntry;
        oKey.samView = samView;
        if (!seen.insert(Describe(oKey)).second) continue;
        const int nKind = samView ? kTargetKey32 : kTargetKey64;
        const std::string strParent = ParentOf(oKey.strKey);
        SRegPath oSibling = oKey;
        oSibling.strKey += "2";
        AddRegCanary(oSibling, false, "");
        SRegPath oParent = oKey;
        oParent.strKey = strParent;
        if (KeyExists(oParent)) AddRegCanary(oParent, true, "hvsoak_canary");
        if (KeyExists(oKey)) {
          // A service's own key, or one the machine already has: a target all the same.
          m_regTargets.push_back({oKey, false, "", nKind, false});
          continue;
        }
        if (oEntry.hRoot == HKEY_LOCAL_MACHINE && serviceKeys.count(Fold(oKey.strKey))) continue;
        if (!m_rnd.Chance(0.85)) continue;
        if (!MakeKey(oKey, &m_createdKeys)) continue;  // a view that refuses the key
        m_regTargets.push_back({oKey, false, "", nKind, true});
        PlantKeyTree(oKey, 0);
        if (!KeyExists(oParent)) continue;
        AddRegCanary(oParent, true, "hvsoak_canary");
      }
    }
  }

  void PlantValues() {
    std::set<std::string> seen;
    std::map<std::string, std::set<std::string>> targetNames;  // key -> folded value names
    std::vector<std::pair<SRegPath, std::string>> values;
    for (const auto& e : m_env.entries) {
      if (e.strSection != "[VALUES]" || DependsOnHostile(e.strText)) continue;
      const std::string strEntry = Expand(e.strText);
      size_t nBar = strEntry.find('|');
      SRegPath oEntry;
      if (nBar == std::string::npos || !ParseRegPath(strEntry.substr(0, nBar), 0, oEntry)) continue;
      for (REGSAM samView : ViewsOf(oEntry)) {
        SRegPath oKey = oEntry;
        oKey.samView = samView;
        std::string strName = strEntry.substr(nBar + 1);
        if (!seen.insert(Describe(oKey) + "|" + Fold(strName)).second) continue;
        targetNames[Describe(oKey)].insert(Fold(strName));
        values.push_back({oKey, strName});
      }
    }
    for (const auto& v : values) {
      const SRegPath& oKey = v.first;
      const std::string& strName = v.second;
      const int nKind = oKey.samView ? kTargetValue32 : kTargetValue64;
      if (!MakeKey(oKey, &m_createdKeys)) continue;
      // Neighbours that differ only a little: without the final backslash, with one
      // more character, and the key's default value.
      std::string strStem = strName;
      std::string strTail;
      if (!strStem.empty() && strStem.back() == '\\') {
        strStem.pop_back();
        strTail = "\\";
      }
      const auto& names = targetNames[Describe(oKey)];
      for (const std::string& strNeighbour : {strStem, strStem + "2" + strTail, std::string()}) {
        if (names.count(Fold(strNeighbour))) continue;
        AddRegCanary(oKey, true, strNeighbour);
      }
      if (ReadValue(oKey, strName, NULL, NULL)) {
        m_regTargets.push_back({oKey, true, strName, nKind, false});
        continue;
      }
      if (!m_rnd.Chance(0.85)) continue;
      bool bCount = Fold(oKey.strKey).find("shareddlls") != std::string::npos;
      DWORD dwOne = 1;
      std::string strData = bCount ? std::string(reinterpret_cast<const char*>(&dwOne), 4)
                                   : std::string("planted") + '\0';
      if (!SetValue(oKey, strName, bCount ? REG_DWORD : REG_SZ, strData)) continue;
      m_regTargets.push_back({oKey, true, strName, nKind, true});
    }
  }

  void PlantServices() {
    for (const SServicePlan& s : m_services) {
      std::string strError;
      if (!InstallService(m_env.strServiceExe, s.strName,
                          s.strMode == "installed" ? "stop" : s.strMode, s.strMode != "installed",
                          &strError)) {
        Fail("cannot install the service " + s.strName + ": " + strError);
      }
      m_installedServices.push_back(s.strName);
    }
  }

  void Plant() {
    m_oPendingBefore = ReadPendingValue();
    PlantServices();
    PlantInstallDirValues();
    CollectMayGo();
    for (const auto& e : m_env.entries) {
      if (e.strSection != "[KEYS]") continue;
      SRegPath oKey;
      if (ParseRegPath(Expand(e.strText), 0, oKey)) m_targetKeyForms.push_back(RegisterForm(oKey));
    }
    PlantCanaryTrees();
    PlantFolders();
    PlantFiles();
    PlantKeys();
    PlantValues();
    m_driveBefore = ListTree("C:");
    m_result.tally.nDrivePaths = static_cast<int>(m_driveBefore.size());
    m_result.tally.nFileCanaries = static_cast<int>(m_fileCanaries.size());
    m_result.tally.nRegCanaries = static_cast<int>(m_regCanaries.size());
    // The opt-in trace file, empty, so that the wizard writes it.
    ::DeleteFileA(TraceFilePath().c_str());
    if (!WriteFileBytes(TraceFilePath(), "")) Fail("cannot create " + TraceFilePath());
    ::DeleteFileA(RecordPath().c_str());
  }

  std::string RecordPath() const { return m_env.strWorkFolder + "\\record.txt"; }

  // -------------------------------------------------------------------------------------
  // The wizard, driven as a user would.

  // The current page's static texts hold one of these; its index, or -1.
  int PageShowing(HVTest::CWizardProcess& wizard, const std::vector<const char*>& texts,
                  HWND* phPage) {
    HWND hPage = wizard.CurrentPage();
    if (!hPage) return -1;
    for (const std::string& s : HVTest::ChildTexts(hPage, "Static")) {
      for (size_t i = 0; i < texts.size(); ++i) {
        if (s == texts[i]) {
          if (phPage) *phPage = hPage;
          return static_cast<int>(i);
        }
      }
    }
    return -1;
  }

  void Drive() {
    auto tStart = std::chrono::steady_clock::now();
    std::map<std::string, std::string> env = {{"HV_TEST_RECORD", RecordPath()}};
    // Most entries name nothing and take no time: without a small pause before each
    // one, the last hundred lines pass between two looks at the bar and a cancel
    // planned there comes too late.
    if (m_eCancel == kCancelYes || m_eCancel == kCancelNo) {
      env["HV_TEST_OPERATION_DELAY_MS"] = "2";
    }
    HVTest::CWizardProcess wizard(m_env.strWizardExe, env);
    DriveWizard(wizard);
    if (m_dwExitCode == STILL_ACTIVE) m_dwExitCode = wizard.WaitForExit(60000);
    m_dWizardSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
  }

  void DriveWizard(HVTest::CWizardProcess& wizard) {
    if (!wizard.Started()) return Fail("the wizard did not start");
    if (!wizard.Sheet(60000)) return Fail("no wizard window");
    if (!wizard.WaitForPageWithText(kPressNext, 30000)) return Fail("no welcome page");
    if (!wizard.WaitForButtons(false, true, false, true, 10000)) {
      Fail("the welcome page does not offer Next and Cancel only");
    }
    if (m_eCancel == kCancelWelcome) {
      wizard.Press(PSBTN_CANCEL);
      m_bCancelConfirmed = true;
      m_dwExitCode = wizard.WaitForExit(30000);
      return;
    }
    wizard.Press(PSBTN_NEXT);

    HWND hPage = NULL;
    int nPage = -1;
    HVTest::WaitFor(
        [&] {
          return (nPage = PageShowing(wizard, {kProgressText, kCompleteText}, &hPage)) >= 0;
        },
        30000);
    if (nPage < 0) return Fail("neither the progress page nor the finish page after Next");
    if (nPage == 0 && (m_eCancel == kCancelYes || m_eCancel == kCancelNo)) {
      HWND hBar = ::GetDlgItem(hPage, 1002);
      LRESULT nPos = 0;
      HVTest::WaitFor(
          [&] {
            nPos = ::SendMessageA(hBar, PBM_GETPOS, 0, 0);
            return wizard.CurrentPage() != hPage || nPos >= m_nCancelLine;
          },
          10 * 60 * 1000);
      ::Sleep(m_dwCancelDelayMs);
      if (wizard.CurrentPage() == hPage) {
        m_nCancelPressedAt = static_cast<int>(::SendMessageA(hBar, PBM_GETPOS, 0, 0));
        wizard.Press(PSBTN_CANCEL);
        HWND hBox = NULL;
        HVTest::WaitFor(
            [&] {
              return (hBox = wizard.FindMessageBox()) != NULL ||
                     wizard.WaitForExit(0) != STILL_ACTIVE;
            },
            10000);
        if (!hBox) {
          // The press met the finish page, which closes without a question.
          m_dwExitCode = wizard.WaitForExit(0);
          if (m_dwExitCode == STILL_ACTIVE) return Fail("Cancel asked no question");
          m_bClosedFromFinishPage = true;
          return;
        } else {
          const bool bYes = m_eCancel == kCancelYes;
          wizard.Answer(hBox, bYes ? IDYES : IDNO);
          if (bYes) {
            m_bCancelConfirmed = true;
            m_dwExitCode = wizard.WaitForExit(30000);
            return;
          }
          if (!HVTest::WaitFor([&] { return !::IsWindow(hBox); }, 10000)) {
            return Fail("the cancel question stays after No");
          }
        }
      }
    }

    HWND hFinish = NULL;
    HVTest::WaitFor([&] { return PageShowing(wizard, {kCompleteText}, &hFinish) == 0; },
                    15 * 60 * 1000);
    if (!hFinish) return Fail("the wizard did not reach its finish page");
    m_bFinishPage = true;
    if (!wizard.WaitForButtons(false, false, true, false, 10000)) {
      Fail("the finish page does not offer Finish only");
    }
    HWND hBox = ::GetDlgItem(hFinish, 1003);
    m_bRestartOffered = HVTest::IsShown(hBox);
    bool bTicked = ::SendMessageA(hBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (m_bRestartOffered && !bTicked) Fail("the restart box is offered without its tick");
    if (m_bRestartOffered && m_bUntick) {
      ::PostMessageA(hBox, BM_CLICK, 0, 0);
      HVTest::WaitFor([&] { return ::SendMessageA(hBox, BM_GETCHECK, 0, 0) == BST_UNCHECKED; },
                      5000);
    }
    m_bRestartAsked = m_bRestartOffered && ::SendMessageA(hBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
    wizard.Press(PSBTN_FINISH);
    m_dwExitCode = wizard.WaitForExit(60000);
  }

  // -------------------------------------------------------------------------------------
  // Checks.

  std::map<std::string, std::string> ReadRecord() const {
    std::map<std::string, std::string> record;
    std::ifstream in(RecordPath());
    std::string strLine;
    while (std::getline(in, strLine)) {
      size_t n = strLine.find('=');
      if (n != std::string::npos) record[strLine.substr(0, n)] = Trim(strLine.substr(n + 1));
    }
    return record;
  }

  void CountOutcome(int nKind, bool bGone, bool bRegistered, const char* szWhyLeft,
                    const std::string& strWhat) {
    SOutcome& o = m_result.tally.targets[nKind];
    ++o.nPlanted;
    if (bGone) {
      ++o.nGone;
    } else if (bRegistered) {
      ++o.nRegistered;
    } else {
      ++o.left[szWhyLeft];
      if (szWhyLeft == kLeftNotRemoved) Fail("target left: " + strWhat);
    }
  }

  void Check() {
    if (m_dwExitCode == STILL_ACTIVE) {
      Fail("the wizard did not end");
    } else if (m_dwExitCode != 0) {
      Fail("the wizard ended with exit code " + std::to_string(m_dwExitCode));
    }

    // The test build records how many entries it handed to their operations: all of
    // them unless a cancel came first.
    auto record = ReadRecord();
    const size_t cEntries = m_env.entries.size();
    size_t cOperations = 0;
    if (!record.count("operations")) {
      Fail("the wizard left no record (is it the test build?)");
    } else {
      cOperations = std::strtoul(record["operations"].c_str(), NULL, 10);
    }
    m_bCompleted = cOperations == cEntries;
    if (!m_bCancelConfirmed && !m_bCompleted && record.count("operations")) {
      Fail("the run ended after " + std::to_string(cOperations) + " of " +
           std::to_string(cEntries) + " entries without a cancel");
    }
    const bool bRestartCalled = record["restart"] == "called";
    if (bRestartCalled != (m_bFinishPage && m_bRestartAsked)) {
      Fail(bRestartCalled ? "a restart was requested that the user did not ask for"
                          : "the restart the user asked for was not requested");
    }

    // The trace file.
    STraceCheck oTrace = CheckTraceFile(ReadFileBytes(TraceFilePath()));
    m_result.tally.cTraceLines = oTrace.cLines;
    m_result.tally.nRefusals = static_cast<int>(oTrace.cRefusals);
    for (size_t i = 0; i < oTrace.problems.size() && i < 5; ++i) {
      Fail("trace file: " + oTrace.problems[i]);
    }
    if (oTrace.problems.size() > 5) {
      Fail("trace file: " + std::to_string(oTrace.problems.size() - 5) + " more malformed lines");
    }

    // What awaits the next start.
    std::vector<std::string> before = PendingPaths(m_oPendingBefore);
    std::vector<std::string> after = PendingPaths(ReadPendingValue());
    std::vector<std::string> added;
    if (after.size() < before.size()) {
      Fail("registrations for the next start have disappeared");
    } else {
      added.assign(after.begin() + before.size(), after.end());
    }
    m_result.tally.nRegistrations = static_cast<int>(added.size());
    std::set<std::string> registered;
    for (const std::string& s : added) registered.insert(Fold(TrimTrailingBackslashes(s)));
    if (m_bFinishPage && m_bRestartOffered != !added.empty()) {
      Fail(m_bRestartOffered ? "the restart is offered, but nothing awaits it"
                             : std::to_string(added.size()) +
                                   " removals await the restart, which is not offered");
    }
    for (const std::string& s : added) {
      if (s.find(" -> ") != std::string::npos) {
        Fail("a rename was registered: " + s);
        continue;
      }
      bool bCanary = false;
      for (const SFileCanary& c : m_fileCanaries) {
        if (IsAtOrBelow(s, c.strPath)) bCanary = true;
      }
      if (bCanary) {
        Fail("canary registered for deletion at the next start: " + s);
        ++m_result.tally.nFileCanariesLost;
      } else if (!MayGo(s)) {
        Fail("registered for deletion at the next start, but no target: " + s);
      }
    }

    // Canaries.
    for (const SFileCanary& c : m_fileCanaries) {
      bool bIntact = c.bFolder ? IsFolder(c.strPath)
                               : Exists(c.strPath) && ReadFileBytes(c.strPath) == c.strContent;
      if (!bIntact) {
        ++m_result.tally.nFileCanariesLost;
        Fail("canary lost: " + c.strPath);
      }
    }
    for (const SRegCanary& c : m_regCanaries) {
      std::string strData;
      if (!ReadValue(c.oKey, c.strValue, NULL, &strData) || strData != c.strData) {
        ++m_result.tally.nRegCanariesLost;
        Fail("canary lost: " + Describe(c.oKey) +
             (c.bValue ? " value \"" + c.strValue + "\"" : ""));
      }
    }
    // Every path of drive C is a canary too, unless the run may remove it.
    std::map<std::string, std::string> driveAfter = ListTree("C:");
    int nLost = 0;
    for (const auto& p : m_driveBefore) {
      if (driveAfter.count(p.first) || MayGo(p.second)) continue;
      bool bPlanted = false;
      for (const SFileCanary& c : m_fileCanaries) {
        if (SamePath(c.strPath, p.second)) bPlanted = true;  // counted above
      }
      if (bPlanted) continue;
      ++m_result.tally.nDrivePathsLost;
      if (++nLost <= 10) Fail("path of drive C lost: " + p.second);
    }
    if (nLost > 10) Fail(std::to_string(nLost - 10) + " more paths of drive C lost");

    // Targets: with the run complete, every one that can go is gone or registered.
    const char* szWhy = m_bCompleted ? kLeftNotRemoved : kLeftCancelled;
    for (const SFileTarget& t : m_fileTargets) {
      bool bGone = !Exists(t.strPath);
      bool bRegistered = registered.count(Fold(TrimTrailingBackslashes(t.strPath))) > 0;
      CountOutcome(t.nKind, bGone, bRegistered, szWhy, t.strPath);
    }
    for (const SRegTarget& t : m_regTargets) {
      bool bPresent = t.bValue ? ReadValue(t.oKey, t.strValue, NULL, NULL) : KeyExists(t.oKey);
      const char* szWhyKey = t.oKey.samView ? kLeft32BitView : szWhy;
      CountOutcome(t.nKind, !bPresent, false, szWhyKey,
                   Describe(t.oKey) + (t.bValue ? " value \"" + t.strValue + "\"" : ""));
    }
    for (const SServicePlan& s : m_services) {
      if (s.strMode == "installed") continue;
      DWORD dwState = ServiceState(s.strName);
      const char* szWhyService = szWhy;
      if (s.strMode == "nostop") szWhyService = kLeftRefusesStop;
      if (s.strMode == "pending" || s.strMode == "running") szWhyService = kLeftNeverStops;
      // A service that stops late may still be on its way when the check comes.
      if (dwState == SERVICE_STOP_PENDING && s.strMode == "slow") {
        HVTest::WaitFor([&] { return (dwState = ServiceState(s.strName)) != SERVICE_STOP_PENDING; },
                        5000);
      }
      CountOutcome(
          kTargetService, dwState == SERVICE_STOPPED, false, szWhyService,
          "service " + s.strName + " (" + s.strMode + "), state " + std::to_string(dwState));
    }
  }

  // -------------------------------------------------------------------------------------
  // Clean-up: the machine as the round found it.

  void KeepTraceFile() {
    if (m_result.failures.empty() || m_env.strKeepFolder.empty() || !Exists(TraceFilePath())) {
      return;
    }
    ::CreateDirectoryA(m_env.strKeepFolder.c_str(), NULL);
    char szName[64];
    std::snprintf(szName, sizeof(szName), "\\round-%llu-KVDebug.txt",
                  static_cast<unsigned long long>(m_result.ullSeed));
    ::CopyFileA(TraceFilePath().c_str(), (m_env.strKeepFolder + szName).c_str(), FALSE);
  }

  void CleanUp() {
    KeepTraceFile();
    for (HANDLE h : m_held) ::CloseHandle(h);
    m_held.clear();
    for (const std::string& strName : m_installedServices) {
      std::string strError;
      if (!RemoveService(strName, &strError)) {
        Fail("clean-up: the service " + strName + " stays: " + strError);
      }
    }
    WritePendingValue(m_oPendingBefore);

    for (const SFileTarget& t : m_fileTargets) RemoveTree(t.strPath);
    for (const SFileCanary& c : m_fileCanaries) RemoveTree(c.strPath);
    for (auto it = m_createdFolders.rbegin(); it != m_createdFolders.rend(); ++it) RemoveTree(*it);
    for (const SRegTarget& t : m_regTargets) {
      if (!t.bOwned) continue;
      if (t.bValue) {
        DeleteValue(t.oKey, t.strValue);
      } else {
        DeleteKeyTree(t.oKey);
      }
    }
    for (const SRegCanary& c : m_regCanaries) {
      if (c.bValue) {
        DeleteValue(c.oKey, c.strValue);
      } else {
        DeleteKeyTree(c.oKey);
      }
    }
    for (auto it = m_createdKeys.rbegin(); it != m_createdKeys.rend(); ++it) DeleteKeyTree(*it);
    ::DeleteFileA(TraceFilePath().c_str());
    ::DeleteFileA(RecordPath().c_str());

    // The next round must find nothing of this one.
    for (const SFileTarget& t : m_fileTargets) {
      if (Exists(t.strPath)) Fail("clean-up: " + t.strPath + " stays");
    }
    for (const SFileCanary& c : m_fileCanaries) {
      if (Exists(c.strPath)) Fail("clean-up: " + c.strPath + " stays");
    }
    for (const std::string& strFolder : m_createdFolders) {
      if (Exists(strFolder)) Fail("clean-up: " + strFolder + " stays");
    }
    for (const SRegPath& oKey : m_createdKeys) {
      if (KeyExists(oKey)) Fail("clean-up: " + Describe(oKey) + " stays");
    }
    for (const SRegTarget& t : m_regTargets) {
      if (t.bOwned && !t.bValue && KeyExists(t.oKey)) {
        Fail("clean-up: " + Describe(t.oKey) + " stays");
      }
    }
    if (PendingPaths(ReadPendingValue()).size() != PendingPaths(m_oPendingBefore).size()) {
      Fail("clean-up: registrations for the next start stay");
    }
  }

  std::string Summary() const {
    std::ostringstream out;
    out << "CV " << m_dirs[0].strCase << "; MD " << m_dirs[1].strCase << "; ";
    int cNever = 0;
    for (const SServicePlan& s : m_services) {
      if (s.strMode == "pending" || s.strMode == "running") ++cNever;
    }
    out << m_services.size() << " services" << (cNever ? " (one never stops)" : "") << "; ";
    switch (m_eCancel) {
      case kCancelWelcome:
        out << "Cancel on the welcome page";
        break;
      case kCancelYes:
      case kCancelNo:
        if (m_nCancelPressedAt < 0) {
          out << "Cancel planned at line " << m_nCancelLine << " came too late";
        } else {
          out << "Cancel at line " << m_nCancelPressedAt << ", "
              << (m_bClosedFromFinishPage   ? "met the finish page, which closed"
                  : m_eCancel == kCancelYes ? "Yes"
                                            : "No");
        }
        break;
      case kCancelNone:
        out << "no cancel";
        break;
    }
    if (m_bFinishPage) {
      out << "; Finish, restart "
          << (m_bRestartOffered ? (m_bRestartAsked ? "asked" : "unticked") : "not offered");
    }
    out << "; run " << static_cast<int>(m_dWizardSeconds + 0.5) << " s";
    return out.str();
  }

  const SEnvironment& m_env;
  CRandom m_rnd;
  SRoundResult m_result;

  SInstallDir m_dirs[2];
  std::vector<std::pair<std::string, std::string>> m_variables;
  std::vector<SServicePlan> m_services;
  ECancel m_eCancel = kCancelNone;
  int m_nCancelLine = 0;
  DWORD m_dwCancelDelayMs = 0;
  bool m_bUntick = false;

  std::vector<std::string> m_mayGoFolders;
  std::vector<std::string> m_mayGoFiles;
  std::vector<std::string> m_targetKeyForms;
  std::vector<SFileTarget> m_fileTargets;
  std::vector<SRegTarget> m_regTargets;
  std::vector<SFileCanary> m_fileCanaries;
  std::vector<SRegCanary> m_regCanaries;
  std::vector<std::string> m_createdFolders;
  std::vector<SRegPath> m_createdKeys;
  std::vector<std::string> m_installedServices;
  std::vector<HANDLE> m_held;
  SPendingValue m_oPendingBefore;
  std::map<std::string, std::string> m_driveBefore;

  DWORD m_dwExitCode = STILL_ACTIVE;
  bool m_bCancelConfirmed = false;
  int m_nCancelPressedAt = -1;
  bool m_bFinishPage = false;
  bool m_bClosedFromFinishPage = false;
  bool m_bRestartOffered = false;
  bool m_bRestartAsked = false;
  bool m_bCompleted = false;
  double m_dWizardSeconds = 0;
};

}  // namespace

SRoundResult RunRound(const SEnvironment& oEnvironment, uint64_t ullSeed) {
  CRound oRound(oEnvironment, ullSeed);
  return oRound.Run();
}

}  // namespace HVSoak
