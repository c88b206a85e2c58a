#include <gtest/gtest.h>

#include "host/HostText.h"
#include "host/tests/HostTestFixture.h"

namespace {

class PreMessageLoopTest : public HostTest
{
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        MSG msg;  // the run gives its thread a message queue before the loop starts
        ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    }

    void ServiceMode(DWORD state)
    {
        m_module->m_bService = TRUE;
        m_module->m_bDelayShutdown = false;
        m_module->m_status.dwCurrentState = state;
    }

    void LocalMode() { m_module->m_bService = FALSE; }

    // Waits up to five seconds for a quit message to reach this thread.
    static bool QuitMessageArrives()
    {
        for (int i = 0; i < 500; ++i) {
            if (TakeQuitMessage())
                return true;
            ::Sleep(10);
        }
        return false;
    }
};

TEST_F(PreMessageLoopTest, RegistersForLocalAndRemoteActivationSuspendedForManyClients)
{
    LocalMode();
    EXPECT_EQ(m_module->PreMessageLoop(SW_SHOWNORMAL), S_OK);
    EXPECT_EQ(g_calls.registrationContext, static_cast<DWORD>(CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER));
    EXPECT_EQ(g_calls.registrationFlags, static_cast<DWORD>(REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED));
    EXPECT_NE(m_cache.dwRegister, 0u);
    EXPECT_EQ(g_calls.order, (std::vector<std::string>{"register", "resume"}));
}

TEST_F(PreMessageLoopTest, ServiceSetsSecurityFirstAndReportsRunningOnceBeforeResuming)
{
    ServiceMode(SERVICE_START_PENDING);
    EXPECT_EQ(m_module->PreMessageLoop(0), S_OK);
    const std::vector<std::string> expected = {"security", "register", "status:4", "event:Service started/resumed",
                                               "resume"};
    EXPECT_EQ(g_calls.order, expected);
    EXPECT_EQ(m_module->m_status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(m_module->m_hEventShutdown) << "no idle monitor for a service";
}

TEST_F(PreMessageLoopTest, ServiceNotStartPendingReportsNothing)
{
    ServiceMode(SERVICE_STOP_PENDING);
    EXPECT_EQ(m_module->PreMessageLoop(0), S_OK);
    EXPECT_EQ(g_calls.order, (std::vector<std::string>{"security", "register", "resume"}));
    EXPECT_EQ(m_module->m_status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
}

TEST_F(PreMessageLoopTest, SecurityFailureEndsItBeforeAnythingIsRegistered)
{
    ServiceMode(SERVICE_START_PENDING);
    g_calls.securityResult = RPC_E_TOO_LATE;
    EXPECT_EQ(m_module->PreMessageLoop(0), RPC_E_TOO_LATE);
    EXPECT_EQ(g_calls.order, (std::vector<std::string>{"security"}));
    EXPECT_EQ(m_module->m_status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
}

TEST_F(PreMessageLoopTest, RegistrationFailureIsReturnedAndLeavesTheStateAlone)
{
    ServiceMode(SERVICE_START_PENDING);
    g_calls.registerResult = CO_E_OBJISREG;
    EXPECT_EQ(m_module->PreMessageLoop(0), CO_E_OBJISREG);
    EXPECT_EQ(g_calls.order, (std::vector<std::string>{"security", "register"}));
    EXPECT_EQ(m_module->m_status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
}

TEST_F(PreMessageLoopTest, EmptyTableGivesSFalseAndTurnsDelayedShutdownOff)
{
    LocalMode();
    m_module->m_classObjects = {};
    EXPECT_EQ(m_module->PreMessageLoop(SW_SHOWNORMAL), S_FALSE);
    EXPECT_FALSE(m_module->m_bDelayShutdown);
    EXPECT_TRUE(g_calls.order.empty());
}

TEST_F(PreMessageLoopTest, LocalServerEndsItsLoopAsSoonAsTheLastOutsideUserIsGone)
{
    LocalMode();
    ASSERT_EQ(m_module->PreMessageLoop(SW_SHOWNORMAL), S_OK);
    EXPECT_TRUE(Calls("security").empty()) << "no COM security in local-server mode";
    ASSERT_TRUE(m_module->m_hEventShutdown) << "the idle monitor is running";
    EXPECT_FALSE(TakeQuitMessage());

    ScopedPlatformOverride lastRelease(&PlatformApi::CoReleaseServerProcess, []() -> ULONG { return 0; });
    EXPECT_EQ(m_module->Unlock(), 0);
    EXPECT_TRUE(QuitMessageArrives());
    for (int i = 0; i < 500 && m_module->m_hEventShutdown; ++i)
        ::Sleep(10);
    EXPECT_FALSE(m_module->m_hEventShutdown) << "the monitor fires once and closes its event";
    EXPECT_EQ(m_module->Unlock(), 0) << "a later signal finds no event and does nothing";
    EXPECT_FALSE(TakeQuitMessage());
}

TEST_F(PreMessageLoopTest, MonitorEventFailureGivesEFailAndRevokesWithoutResuming)
{
    LocalMode();
    ScopedPlatformOverride create(&PlatformApi::CreateEventW, [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
        ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    });
    EXPECT_EQ(m_module->PreMessageLoop(SW_SHOWNORMAL), E_FAIL);
    EXPECT_EQ(g_calls.order, (std::vector<std::string>{"register", "revoke"}));
}

TEST_F(PreMessageLoopTest, MonitorThreadFailureGivesEFailClosesTheEventAndRevokes)
{
    LocalMode();
    ScopedPlatformOverride thread(&PlatformApi::CreateThread,
                                  [](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                     LPDWORD) -> HANDLE {
                                      ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                                      return nullptr;
                                  });
    EXPECT_EQ(m_module->PreMessageLoop(SW_SHOWNORMAL), E_FAIL);
    EXPECT_FALSE(m_module->m_hEventShutdown);
    EXPECT_EQ(g_calls.order, (std::vector<std::string>{"register", "revoke"}));
}

DWORD g_monitorWaitBound = 0;

TEST_F(PreMessageLoopTest, ResumeFailureStopsTheMonitorWithinTwiceTheTimeOutAndRevokes)
{
    LocalMode();
    m_module->m_dwTimeOut = 15000;
    g_calls.resumeResult = E_UNEXPECTED;
    g_monitorWaitBound = 0;
    ScopedPlatformOverride wait(&PlatformApi::WaitForSingleObject, [](HANDLE handle, DWORD ms) -> DWORD {
        if (ms != INFINITE)
            g_monitorWaitBound = ms;
        return RealPlatform().WaitForSingleObject(handle, ms);
    });
    EXPECT_EQ(m_module->PreMessageLoop(SW_SHOWNORMAL), E_UNEXPECTED);
    EXPECT_EQ(g_monitorWaitBound, 30000u);
    EXPECT_FALSE(m_module->m_hEventShutdown) << "the monitor has ended";
    EXPECT_TRUE(QuitMessageArrives());
    EXPECT_EQ(g_calls.order, (std::vector<std::string>{"register", "resume", "revoke"}));
}

TEST_F(PreMessageLoopTest, RevocationStopsAtTheFirstFailure)
{
    ClassObjectCache second{nullptr, 0};
    ClassObjectEntry secondEntry = m_entry;
    secondEntry.pCache = &second;
    ClassObjectEntry* table[] = {&m_entry, nullptr, &secondEntry};
    m_module->m_classObjects = ClassObjectSpan(table);
    m_cache.dwRegister = 11;
    second.dwRegister = 12;
    g_calls.revokeResult = RPC_E_DISCONNECTED;
    EXPECT_EQ(m_module->RevokeClassObjects(), RPC_E_DISCONNECTED);
    EXPECT_EQ(Calls("revoke").size(), 1u);
    EXPECT_EQ(m_cache.dwRegister, 11u) << "the cookie is not cleared";
    m_cache.dwRegister = 0;
    second.dwRegister = 0;
    m_module->m_classObjects = ClassObjectSpan(m_table);
}

}  // namespace
