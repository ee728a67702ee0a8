// Owning wrappers for platform handles: exactly one close per handle, on every way out
// of the scope that opened it. Both failure conventions of the platform (NULL and
// INVALID_HANDLE_VALUE) leave a wrapper empty, so users test for emptiness only.
#pragma once

#include <windows.h>

#include <memory>

#include "HVSys.h"
#include "diag/DebugTrace.h"

namespace HV {

// The close operation of each kind of handle, and the name its traces carry.
template <typename T, int nKind>
struct THandleTraits;

template <>
struct THandleTraits<void*, 0> {
  static void Close(void* h) { Sys::CloseHandle(h); }
  static const char* AssignName() { return "HV::THandle<void *,0>::operator ="; }
};

template <>
struct THandleTraits<void*, 1> {
  static void Close(void* h) { Sys::FindClose(h); }
  static const char* AssignName() { return "HV::THandle<void *,1>::operator ="; }
};

template <>
struct THandleTraits<SC_HANDLE, 0> {
  static void Close(SC_HANDLE h) { Sys::CloseServiceHandle(h); }
  static const char* AssignName() { return "HV::THandle<struct SC_HANDLE__ *,0>::operator ="; }
};

template <typename T, int nKind>
class THandle {
 public:
  THandle() : m_h(NULL) {}
  explicit THandle(T h) : m_h(Normalise(h)) {}
  ~THandle() { Close(); }

  // A copy would close the same handle twice; a move hands the ownership on.
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  THandle(THandle&& other) noexcept : m_h(other.m_h) { other.m_h = NULL; }
  THandle& operator=(THandle&& other) noexcept {
    if (this != std::addressof(other)) {
      Close();
      m_h = other.m_h;
      other.m_h = NULL;
    }
    return *this;
  }

  // Takes a fresh handle into an empty wrapper. Assigning over a held handle is a
  // programming error: it is traced, and the old handle is left to leak rather than
  // closed behind its user's back.
  THandle& operator=(T h) {
    if (NULL != m_h) {
      HV_TRACE((THandleTraits<T, nKind>::AssignName()), TRACE_LASTERROR, "%s - %lu",
               "NULL == m_h", static_cast<unsigned long>(::GetLastError()));
    }
    m_h = Normalise(h);
    return *this;
  }

  // For platform calls that deliver the handle through an out-parameter.
  T* operator&() { return &m_h; }

  operator T() const { return m_h; }
  T Get() const { return m_h; }
  bool IsEmpty() const { return NULL == m_h; }

  void Close() {
    if (NULL != m_h) {
      THandleTraits<T, nKind>::Close(m_h);
      m_h = NULL;
    }
  }

 private:
  static T Normalise(T h) {
    return reinterpret_cast<T>(h) == reinterpret_cast<T>(INVALID_HANDLE_VALUE) ? NULL : h;
  }

  T m_h;
};

typedef THandle<void*, 0> CKernelHandle;
typedef THandle<void*, 1> CFindHandle;
typedef THandle<SC_HANDLE, 0> CServiceHandle;

// An open registry key, closed with its owner's scope.
class CRegKey {
 public:
  CRegKey() : m_hKey(NULL) {}
  ~CRegKey() { Close(); }
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;

  LONG Open(HKEY hParent, LPCSTR szSubKey, REGSAM samDesired) {
    HKEY hKey = NULL;
    LONG lResult = Sys::RegOpenKeyExA(hParent, szSubKey, 0, samDesired, &hKey);
    if (ERROR_SUCCESS == lResult) {
      Close();
      m_hKey = hKey;
    }
    return lResult;
  }

  void Close() {
    if (m_hKey) {
      Sys::RegCloseKey(m_hKey);
      m_hKey = NULL;
    }
  }

  operator HKEY() const { return m_hKey; }
  bool IsOpen() const { return NULL != m_hKey; }

 private:
  HKEY m_hKey;
};

}  // namespace HV
