// The owned handles, on real kernel, search and service handles.
#include <gtest/gtest.h>

#include <vector>

#include "HVSys.h"
#include "Include/HVHandles.h"
#include "support/TestSupport.h"

namespace {

std::vector<void*> g_closed;

BOOL WINAPI RecordingCloseHandle(HANDLE h) {
  g_closed.push_back(h);
  return ::CloseHandle(h);
}
BOOL WINAPI RecordingFindClose(HANDLE h) {
  g_closed.push_back(h);
  return ::FindClose(h);
}
BOOL WINAPI RecordingCloseServiceHandle(SC_HANDLE h) {
  g_closed.push_back(h);
  return ::CloseServiceHandle(h);
}

class Handles : public ::testing::Test {
 protected:
  void SetUp() override { g_closed.clear(); }
  HV::Sys::TOverride<decltype(&::CloseHandle)> m_oClose{HV::Sys::CloseHandle, &RecordingCloseHandle};
  HV::Sys::TOverride<decltype(&::FindClose)> m_oFindClose{HV::Sys::FindClose, &RecordingFindClose};
  HV::Sys::TOverride<decltype(&::CloseServiceHandle)> m_oServiceClose{
      HV::Sys::CloseServiceHandle, &RecordingCloseServiceHandle};
};

bool IsOpenHandle(HANDLE h) {
  DWORD dwFlags = 0;
  return ::GetHandleInformation(h, &dwFlags) != FALSE;
}

TEST_F(Handles, BothFailureValuesLeaveTheWrapperEmptyAndCloseNothing) {
  for (HANDLE h : {static_cast<HANDLE>(NULL), INVALID_HANDLE_VALUE}) {
    {
      HV::CKernelHandle hConstructed(h);
      HV::CKernelHandle hAssigned;
      hAssigned = h;
      EXPECT_TRUE(hConstructed.IsEmpty());
      EXPECT_TRUE(hAssigned.IsEmpty());
      EXPECT_EQ(nullptr, hAssigned.Get());
    }
    EXPECT_TRUE(g_closed.empty());
  }
  HV::CFindHandle hFind(::FindFirstFileA("C:\\no such folder\\*.*", nullptr));
  EXPECT_TRUE(hFind.IsEmpty());
}

TEST_F(Handles, ClosingTwiceClosesOnce) {
  HANDLE hEvent = ::CreateEventA(NULL, TRUE, FALSE, NULL);
  {
    HV::CKernelHandle h(hEvent);
    h.Close();
    EXPECT_TRUE(h.IsEmpty());
    h.Close();
  }
  ASSERT_EQ(1u, g_closed.size());
  EXPECT_EQ(hEvent, g_closed[0]);
  EXPECT_FALSE(IsOpenHandle(hEvent));
}

TEST_F(Handles, AssigningOverAHeldHandleIsTracedOnceAndLeavesTheOldOneOpen) {
  HVTest::CTraceFile oTrace;
  HANDLE hOld = ::CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE hNew = ::CreateEventA(NULL, TRUE, FALSE, NULL);
  {
    HV::CKernelHandle h;
    h = hOld;
    ::SetLastError(6);
    h = hNew;
    EXPECT_EQ(hNew, h.Get());
  }
  ASSERT_EQ(1u, g_closed.size());
  EXPECT_EQ(hNew, g_closed[0]);
  EXPECT_TRUE(IsOpenHandle(hOld));
  ::CloseHandle(hOld);

  auto lines = oTrace.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("1", lines[0][0]);
  EXPECT_EQ("NULL == m_h - 6", lines[0][1]);
  EXPECT_EQ("Include/HVHandles.h", lines[0][4]);
  EXPECT_EQ("HV::THandle<void *,0>::operator =", lines[0][5]);
}

TEST_F(Handles, APlatformCallWritesStraightIntoTheWrapper) {
  HANDLE hRaw = NULL;
  {
    HV::CKernelHandle hToken;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken));
    ASSERT_FALSE(hToken.IsEmpty());
    hRaw = hToken;
  }
  ASSERT_EQ(1u, g_closed.size());
  EXPECT_EQ(hRaw, g_closed[0]);
}

TEST_F(Handles, AMoveHandsOnTheOwnershipAndStillClosesOnce) {
  HANDLE hEvent = ::CreateEventA(NULL, TRUE, FALSE, NULL);
  {
    HV::CKernelHandle a(hEvent);
    HV::CKernelHandle b(std::move(a));
    EXPECT_TRUE(a.IsEmpty());
    HV::CKernelHandle c;
    c = std::move(b);
    EXPECT_EQ(hEvent, c.Get());
  }
  EXPECT_EQ(std::vector<void*>{hEvent}, g_closed);
}

TEST_F(Handles, ASearchHandleIsEndedWithFindClose) {
  HVTest::CScratchFolder oFolder("handles");
  HANDLE hRaw = NULL;
  {
    WIN32_FIND_DATAA fd = {};
    HV::CFindHandle hFind(::FindFirstFileA((oFolder.Path() + "\\*.*").c_str(), &fd));
    ASSERT_FALSE(hFind.IsEmpty());
    hRaw = hFind;
  }
  EXPECT_EQ(std::vector<void*>{hRaw}, g_closed);
}

TEST_F(Handles, TheServiceHandleIsClosedBeforeTheManagerHandle) {
  SC_HANDLE hManagerRaw = NULL, hServiceRaw = NULL;
  {
    HV::CServiceHandle hManager(::OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    ASSERT_FALSE(hManager.IsEmpty());
    HV::CServiceHandle hService(::OpenServiceA(hManager, "RpcSs", SERVICE_QUERY_STATUS));
    ASSERT_FALSE(hService.IsEmpty());
    hManagerRaw = hManager;
    hServiceRaw = hService;
  }
  ASSERT_EQ(2u, g_closed.size());
  EXPECT_EQ(static_cast<void*>(hServiceRaw), g_closed[0]);
  EXPECT_EQ(static_cast<void*>(hManagerRaw), g_closed[1]);
}

}  // namespace
