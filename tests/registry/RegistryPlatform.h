// What the registry tests need around the real registry of the Wine prefix: recorders of
// the platform calls that registry removal makes through the seam, the emulation of a
// 32-bit process on 64-bit Windows, keys locked against everyone, and the trace lines
// in a comparable form.
//
// The test programs are 64-bit processes, so their own registry view is the 64-bit one.
// The emulation answers IsWow64Process with TRUE and replaces SHDeleteKeyA and
// SHDeleteValueA (the product's deletions "in its own view") by equivalents that act on
// Wine's real 32-bit view (HKLM\Software\Wow6432Node); the 64-bit step then runs for
// real, with KEY_WOW64_64KEY, exactly as the product makes it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "HVSys.h"
#include "engine/WorkerThread.h"
#include "support/TestSupport.h"


namespace HVRegTest {

// How the process answers the question of WOW64.
enum class EWow64 {
  Real,                     // the test program as it is: a 64-bit process, not under WOW64
  Yes,                      // a 32-bit process on 64-bit Windows (the emulation)
  Missing,                  // IsWow64Process does not exist (older Windows)
  CallFails,                // the call fails without answering
  CallFailsAfterAnswering,  // the call writes TRUE and still reports a failure
};

struct SCall {
  std::string strFunction;
  std::string strName;  // the sub-key, key or value name the call was given
  REGSAM samView;       // the access or view flag, where the call has one
};

// Everything recorded since the last Clear().
struct SCalls {
  std::vector<std::string> lookups;  // names asked of GetProcAddress
  std::vector<SCall> opens;          // RegOpenKeyExA through the seam
  std::vector<DWORD> enumIndices;    // RegEnumKeyExA through the seam
  std::vector<SCall> deletions;      // RegDeleteKeyExA (as looked up) and RegDeleteKeyA
  std::vector<SCall> ownView;        // SHDeleteKeyA and SHDeleteValueA
  void Clear() { *this = SCalls(); }
  size_t LookupsOf(const std::string& strName) const;
  // The names of the deleted keys, in order, as "name@view" ("@-" for RegDeleteKeyA).
  std::vector<std::string> DeletedKeys() const;
  bool OpenedIn64BitView() const;
};

extern SCalls g_calls;

// For one scope: the recorders, and the process as eWow64 says. The cached answer of
// Is64BitWindows and the lookup of RegDeleteKeyExA are forgotten on entry and on exit,
// and the recordings cleared on entry. Without bRegDeleteKeyEx the lookup of
// RegDeleteKeyExA finds nothing (the fallback to RegDeleteKeyA).
class CPlatform {
 public:
  explicit CPlatform(EWow64 eWow64, bool bRegDeleteKeyEx = true);
  ~CPlatform();
  CPlatform(const CPlatform&) = delete;
  CPlatform& operator=(const CPlatform&) = delete;

 private:
  HV::Sys::TOverride<decltype(&::GetProcAddress)> m_oGetProcAddress;
  HV::Sys::TOverride<decltype(&::RegOpenKeyExA)> m_oRegOpenKeyExA;
  HV::Sys::TOverride<decltype(&::RegEnumKeyExA)> m_oRegEnumKeyExA;
  HV::Sys::TOverride<decltype(&::RegDeleteKeyA)> m_oRegDeleteKeyA;
  HV::Sys::TOverride<decltype(&::SHDeleteKeyA)> m_oSHDeleteKeyA;
  HV::Sys::TOverride<decltype(&::SHDeleteValueA)> m_oSHDeleteValueA;
};

// For entries that must never reach the registry: every deletion in the own view and
// every open through the seam is recorded and refused without touching anything.
class CRefuseEverything {
 public:
  CRefuseEverything();
  CRefuseEverything(const CRefuseEverything&) = delete;
  CRefuseEverything& operator=(const CRefuseEverything&) = delete;

 private:
  HV::Sys::TOverride<decltype(&::RegOpenKeyExA)> m_oRegOpenKeyExA;
  HV::Sys::TOverride<decltype(&::SHDeleteKeyA)> m_oSHDeleteKeyA;
  HV::Sys::TOverride<decltype(&::SHDeleteValueA)> m_oSHDeleteValueA;
};

// A real key whose access list grants nothing to anyone while the object lives, so that
// Wine itself refuses to open or delete it (error 5); opened to everyone again at the end
// so that the sandbox can remove it.
class CLockedKey {
 public:
  CLockedKey(HKEY hRoot, const std::string& strPath, REGSAM samView);
  ~CLockedKey();
  CLockedKey(const CLockedKey&) = delete;
  CLockedKey& operator=(const CLockedKey&) = delete;

 private:
  HKEY m_hRoot;
  std::string m_strPath;
  REGSAM m_samView;
};

// The trace file's lines as "level function: message".
std::vector<std::string> Traces(const HVTest::CTraceFile& oTrace);

}  // namespace HVRegTest
