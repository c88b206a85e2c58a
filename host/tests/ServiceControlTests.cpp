#include <gtest/gtest.h>

#include <string>

#include "host/HostText.h"
#include "host/tests/HostTestFixture.h"

namespace {

using Texts = std::vector<std::string>;

class ServiceControlTest : public HostTest
{
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        m_module->m_bService = TRUE;
        m_module->m_bDelayShutdown = false;
        m_module->m_status.dwCurrentState = SERVICE_RUNNING;
        m_module->m_dwThreadID = ::GetCurrentThreadId();  // the quit message comes to the test thread
        MSG msg;
        ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    }

    void HoldManager() { m_module->SetManager(ComPtr<IVexilMgrSrv>(static_cast<IVexilMgrSrv*>(&m_manager))); }
};

TEST_F(ServiceControlTest, EveryControlCodeGetsItsReactionAndHandlerExAnswersZero)
{
    Texts expectedLog;
    std::vector<std::string> expectedEvents;
    for (DWORD code = 0; code <= 255; ++code) {
        SCOPED_TRACE(code);
        g_calls.order.clear();
        m_module->m_status.dwCurrentState = SERVICE_RUNNING;
        EXPECT_EQ(CVexilSrvsModule::HandlerEx(code, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));

        expectedLog.push_back("dwOpcode = " + std::to_string(code));
        const bool stops = code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN ||
                           code == SERVICE_CONTROL_PRESHUTDOWN;
        const bool quiet = code == SERVICE_CONTROL_PAUSE || code == SERVICE_CONTROL_CONTINUE ||
                           code == SERVICE_CONTROL_INTERROGATE;
        std::vector<std::string> events;
        if (code == SERVICE_CONTROL_SHUTDOWN) {
            expectedLog.push_back("Service Shutting Down");
            events.push_back("event:Service Shutting Down");
        } else if (code == SERVICE_CONTROL_PRESHUTDOWN) {
            expectedLog.push_back("Service PreShutting Down");
            events.push_back("event:Service PreShutting Down");
        } else if (!stops && !quiet) {
            expectedLog.push_back("Bad service request");
            events.push_back("event:Bad service request");
        }
        EXPECT_EQ(Calls("event:"), events);
        if (stops) {
            EXPECT_EQ(Calls("status:"), (std::vector<std::string>{"status:3"}));
            EXPECT_TRUE(TakeQuitMessage());
        } else {
            EXPECT_TRUE(Calls("status:").empty()) << "no report for this code";
            EXPECT_FALSE(TakeQuitMessage());
        }
    }
    EXPECT_EQ(LogTexts(), expectedLog);
}

TEST_F(ServiceControlTest, StopWithoutManagerPostsTheQuitMessageAtOnce)
{
    m_module->OnStop();
    EXPECT_EQ(m_module->m_status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_TRUE(TakeQuitMessage());
    EXPECT_EQ(g_calls.sleeps, 0);
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(ServiceControlTest, StopWaitsOnceASecondUntilTheManagerPassesItsInitialisation)
{
    HoldManager();
    static int s_calls = 0;
    s_calls = 0;
    m_manager.initState = [](LONG* state) {
        *state = ++s_calls <= 3 ? (s_calls == 1 ? 0 : 1) : 2;
        return S_OK;
    };
    m_module->OnStop();
    EXPECT_EQ(m_manager.initStateCalls, 4);
    EXPECT_EQ(g_calls.sleepDurations, (std::vector<DWORD>{1000, 1000, 1000}));
    EXPECT_EQ(LogTexts(), (Texts{"Waiting for Init End", "Waiting for Init End", "Waiting for Init End"}));
    EXPECT_TRUE(TakeQuitMessage());
    m_module->ReleaseManager();
    EXPECT_EQ(m_manager.References(), 0);
}

TEST_F(ServiceControlTest, StopGivesUpWaitingAfterAHundredSleeps)
{
    HoldManager();
    m_manager.initState = [](LONG* state) {
        *state = 1;
        return S_OK;
    };
    m_module->OnStop();
    EXPECT_EQ(m_manager.initStateCalls, 100) << "no further call after the hundredth sleep";
    EXPECT_EQ(g_calls.sleeps, 100);
    EXPECT_EQ(LogTexts().size(), 100u);
    EXPECT_TRUE(TakeQuitMessage());
    m_module->ReleaseManager();
}

TEST_F(ServiceControlTest, StopDoesNotWaitWhenTheManagerCannotTell)
{
    HoldManager();
    m_manager.initState = [](LONG* state) {
        *state = 0;
        return E_PENDING;
    };
    m_module->OnStop();
    EXPECT_EQ(m_manager.initStateCalls, 1);
    EXPECT_EQ(g_calls.sleeps, 0);

    m_manager.stateQueryResult = E_NOINTERFACE;
    m_module->OnStop();
    EXPECT_EQ(m_manager.initStateCalls, 1) << "no state interface: no wait";
    EXPECT_TRUE(TakeQuitMessage());
    m_module->ReleaseManager();
}

TEST_F(ServiceControlTest, ServiceMainWithoutHandlerLogsAndReportsNothing)
{
    ScopedPlatformOverride handler(&PlatformApi::RegisterServiceCtrlHandlerExW,
                                   [](LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID) -> SERVICE_STATUS_HANDLE {
                                       ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
                                       return nullptr;
                                   });
    m_module->ServiceMain(0, nullptr);
    EXPECT_EQ(LogTexts(), (Texts{"Handler not installed"}));
    EXPECT_EQ(Calls("event:"), (std::vector<std::string>{"event:Handler not installed"}));
    EXPECT_TRUE(Calls("status:").empty());
}

SERVICE_STATUS_HANDLE WINAPI FakeHandlerRegistration(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context)
{
    EXPECT_STREQ(name, L"VexilSrvs");
    EXPECT_EQ(handler, &CVexilSrvsModule::HandlerEx);
    EXPECT_EQ(context, nullptr);
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);
}

TEST_F(ServiceControlTest, ServiceMainReportsStoppedWithTheFailureWhenComCannotStart)
{
    ScopedPlatformOverride handler(&PlatformApi::RegisterServiceCtrlHandlerExW, &FakeHandlerRegistration);
    ScopedPlatformOverride com(&PlatformApi::CoInitializeEx, [](LPVOID, DWORD) -> HRESULT { return E_OUTOFMEMORY; });
    m_module->ServiceMain(0, nullptr);
    ASSERT_EQ(g_calls.statusReports.size(), 2u);
    EXPECT_EQ(g_calls.statusReports[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(g_calls.statusReports[0].dwWaitHint, 100000u);
    EXPECT_EQ(g_calls.statusReports[1].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(g_calls.statusReports[1].dwWin32ExitCode, static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(g_calls.statusReports[1].dwWaitHint, 0u);
}

TEST_F(ServiceControlTest, ServiceLifeReportsEachStateOnceWithTheRunResultAsExitCode)
{
    ScopedPlatformOverride handler(&PlatformApi::RegisterServiceCtrlHandlerExW, &FakeHandlerRegistration);
    m_manager.moduleHandle = reinterpret_cast<LONGLONG>(::GetModuleHandleW(nullptr));
    m_module->m_status.dwCurrentState = SERVICE_STOPPED;
    m_module->m_bDelayShutdown = true;
    QueueQuitMessage();  // a stop that arrives before the message loop still ends the run
    m_module->ServiceMain(0, nullptr);

    EXPECT_FALSE(m_module->m_bDelayShutdown);
    EXPECT_EQ(m_module->m_dwThreadID, ::GetCurrentThreadId());
    EXPECT_EQ(m_module->m_hServiceStatus, reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150));
    const std::vector<DWORD> states = [] {
        std::vector<DWORD> s;
        for (const SERVICE_STATUS& status : g_calls.statusReports)
            s.push_back(status.dwCurrentState);
        return s;
    }();
    EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_STOPPED}));
    for (size_t i = 0; i < g_calls.statusReports.size(); ++i) {
        EXPECT_EQ(g_calls.statusReports[i].dwCheckPoint, 0u);
        EXPECT_EQ(g_calls.statusReports[i].dwWaitHint, i == 0 ? 100000u : 0u);
        EXPECT_EQ(g_calls.statusReports[i].dwControlsAccepted, 5u);
    }
    EXPECT_EQ(g_calls.statusReports.back().dwWin32ExitCode, 0u);
    const Texts log = LogTexts();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Service stopped");
    EXPECT_EQ(Calls("event:").back(), "event:Service stopped");
}

TEST_F(ServiceControlTest, ReportsRunningAgainOnlyWhileNoStopIsPending)
{
    m_module->m_status.dwCurrentState = SERVICE_STOP_PENDING;
    EXPECT_FALSE(m_module->ChangeServiceState(SERVICE_RUNNING, SERVICE_RUNNING));
    EXPECT_TRUE(Calls("status:").empty());
    m_module->m_status.dwCurrentState = SERVICE_RUNNING;
    EXPECT_TRUE(m_module->ChangeServiceState(SERVICE_RUNNING, SERVICE_RUNNING));
    EXPECT_EQ(Calls("status:"), (std::vector<std::string>{"status:4"}));
}

// --- Start: the mode decision ---

constexpr wchar_t kServerAppIdPath[] = L"AppID\\{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";

class StartTest : public HostTest
{
protected:
    void TearDown() override
    {
        DeleteKeyTree(HKEY_CLASSES_ROOT, kServerAppIdPath);
        HostTest::TearDown();
    }

    // Start with COM refusing to initialise, so a local-server start ends right there and
    // shows which branch was taken.
    HRESULT StartWithComRefused()
    {
        ScopedPlatformOverride com(&PlatformApi::CoInitializeEx, [](LPVOID, DWORD) -> HRESULT { return CO_E_INIT_TLS; });
        ScopedPlatformOverride dispatcher(&PlatformApi::StartServiceCtrlDispatcherW,
                                          [](const SERVICE_TABLE_ENTRYW* table) -> BOOL {
                                              EXPECT_STREQ(table[0].lpServiceName, L"VexilSrvs");
                                              EXPECT_EQ(table[1].lpServiceName, nullptr);
                                              EXPECT_EQ(table[1].lpServiceProc, nullptr);
                                              ::SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
                                              return FALSE;
                                          });
        return m_module->Start(SW_SHOWNORMAL);
    }
};

TEST_F(StartTest, UnregisteredServerFailsWithTheRegistryError)
{
    DeleteKeyTree(HKEY_CLASSES_ROOT, kServerAppIdPath);
    EXPECT_EQ(StartWithComRefused(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_module->m_status.dwWin32ExitCode, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(StartTest, LocalServiceValueSelectsServiceModeAndADispatcherFailureIsTheExitCode)
{
    auto value = ScopedRegistryValue::String(HKEY_CLASSES_ROOT, kServerAppIdPath, L"LocalService", L"VexilSrvs");
    EXPECT_EQ(StartWithComRefused(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_TRUE(m_module->m_bService);
}

TEST_F(StartTest, EmptyLocalServiceStringStillMeansServiceMode)
{
    ScopedRegistryValue value(HKEY_CLASSES_ROOT, kServerAppIdPath, L"LocalService", REG_SZ, L"", 0);
    EXPECT_EQ(StartWithComRefused(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_TRUE(m_module->m_bService);
}

TEST_F(StartTest, UnusableLocalServiceMeansLocalServerMode)
{
    const DWORD number = 1;
    const std::wstring tooLong(300, L's');
    {
        auto runAs = ScopedRegistryValue::String(HKEY_CLASSES_ROOT, kServerAppIdPath, L"RunAs", L"Interactive User");
        EXPECT_EQ(StartWithComRefused(), CO_E_INIT_TLS) << "absent";
        EXPECT_FALSE(m_module->m_bService);
    }
    {
        ScopedRegistryValue value(HKEY_CLASSES_ROOT, kServerAppIdPath, L"LocalService", REG_DWORD, &number, 4);
        EXPECT_EQ(StartWithComRefused(), CO_E_INIT_TLS) << "wrong type";
        EXPECT_FALSE(m_module->m_bService);
    }
    {
        auto value = ScopedRegistryValue::String(HKEY_CLASSES_ROOT, kServerAppIdPath, L"LocalService", tooLong);
        EXPECT_EQ(StartWithComRefused(), CO_E_INIT_TLS) << "longer than the buffer";
        EXPECT_FALSE(m_module->m_bService);
    }
}

TEST_F(StartTest, ChangedApartmentIsReturnedUnlessTheDotNetRuntimeIsLoaded)
{
    auto runAs = ScopedRegistryValue::String(HKEY_CLASSES_ROOT, kServerAppIdPath, L"RunAs", L"Interactive User");
    ScopedPlatformOverride com(&PlatformApi::CoInitializeEx, [](LPVOID, DWORD) -> HRESULT { return RPC_E_CHANGED_MODE; });
    EXPECT_EQ(m_module->Start(SW_SHOWNORMAL), RPC_E_CHANGED_MODE);
    EXPECT_FALSE(m_module->m_bComInitialized);
}

}  // namespace
