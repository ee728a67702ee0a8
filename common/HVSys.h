// The platform calls of the engine, the shared functions and the trace facility, each
// behind a function pointer that starts out as the real Win32 function. A test replaces
// one pointer for one scope (TOverride) to make a call fail, to answer as a 32-bit
// process would, or to keep a call from ever really happening (the restart). Production
// code calls HV::Sys::Name(...) and never writes these pointers.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#define HV_SYS_CALLS(X)                                                           \
  /* kernel objects, threads, modules */                                          \
  X(CloseHandle) X(CreateThread) X(WaitForSingleObject) X(TerminateThread)        \
  X(Sleep) X(GetModuleHandleA) X(GetProcAddress) X(LoadLibraryA)                  \
  X(FindResourceA) X(LoadResource) X(SizeofResource) X(LockResource)              \
  /* files and folders */                                                         \
  X(FindFirstFileA) X(FindNextFileA) X(FindClose) X(DeleteFileA)                  \
  X(RemoveDirectoryA) X(MoveFileExA) X(GetFileAttributesA) X(SetFileAttributesA)  \
  X(CreateFileA) X(GetFullPathNameA) X(GetFinalPathNameByHandleA)                 \
  X(GetWindowsDirectoryA) X(GetSystemDirectoryA)                                  \
  /* shell */                                                                     \
  X(SHGetSpecialFolderPathA) X(SHGetFolderPathA) X(SHDeleteKeyA) X(SHDeleteValueA) \
  /* registry */                                                                  \
  X(RegOpenKeyExA) X(RegQueryValueExA) X(RegCloseKey) X(RegEnumKeyExA)            \
  X(RegDeleteKeyA) X(RegDeleteValueA)                                             \
  /* services */                                                                  \
  X(OpenSCManagerA) X(OpenServiceA) X(ControlService) X(QueryServiceStatus)       \
  X(CloseServiceHandle)                                                           \
  /* security and restart */                                                      \
  X(OpenProcessToken) X(LookupPrivilegeValueA) X(AdjustTokenPrivileges)           \
  X(ExitWindowsEx)                                                                \
  /* dialogs */                                                                   \
  X(CheckDlgButton)

namespace HV {
namespace Sys {

#define HV_SYS_DECLARE(name) extern decltype(&::name) name;
HV_SYS_CALLS(HV_SYS_DECLARE)
#undef HV_SYS_DECLARE

// Replaces one platform call for the lifetime of the object and puts the previous
// one back afterwards. Overrides nest; they are not meant for use while another
// thread is inside the call being replaced.
template <typename TFunction>
class TOverride {
 public:
  TOverride(TFunction& slot, TFunction replacement) : m_slot(slot), m_previous(slot) {
    m_slot = replacement;
  }
  ~TOverride() { m_slot = m_previous; }
  TOverride(const TOverride&) = delete;
  TOverride& operator=(const TOverride&) = delete;

 private:
  TFunction& m_slot;
  TFunction m_previous;
};

template <typename TFunction>
TOverride<TFunction> Override(TFunction& slot, TFunction replacement) {
  return TOverride<TFunction>(slot, replacement);
}

}  // namespace Sys
}  // namespace HV
