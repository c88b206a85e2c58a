#include "host/tests/HostTestFixture.h"

namespace {

// As ServiceMain leaves the module, with the quit message coming to the test thread.
class ServiceControl : public HostTest
{
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        m_module->m_status.dwWaitHint = 0;
        m_module->m_dwThreadID = ::GetCurrentThreadId();
    }
};

// Stop and an unknown request (200) reaching a running service are also seen end to end.
TEST_F(ServiceControl, EveryControlCodeGetsItsReactionAndHandlerExAnswersZero)
{
    Texts expectedLog;
    for (DWORD code = 0; code <= 255; ++code) {
        SCOPED_TRACE(code);
        g_trace.clear();
        EXPECT_EQ(CVexilSrvsModule::HandlerEx(code, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        const std::string text = code == 5 ? "Service Shutting Down" : code == 15 ? "Service PreShutting Down"
                               : code >= 1 && code <= 4 ? "" : "Bad service request";
        const bool stops = code == 1 || code == 5 || code == 15;
        expectedLog.push_back("dwOpcode = " + std::to_string(code));
        if (!text.empty())
            expectedLog.push_back(text);
        const std::string event = text.empty() ? "" : "event(" + text + ")";
        EXPECT_EQ(g_trace, stops ? event + (text.empty() ? "" : "; ") + "status(3,0,0)" : event);
        EXPECT_EQ(TakeQuitMessage(), stops);
    }
    EXPECT_EQ(LogTexts(), expectedLog);
}

TEST_F(ServiceControl, OnStopReportsStopPendingWaitsForInitEndAtMostAHundredTimesAndPostsQuit)
{
    const struct { const char* what; bool manager; std::vector<LONG> states; HRESULT answer; int waits; } cases[] = {
        {"no manager, as after a refused signature", false, {2}, S_OK, 0},
        {"init ends after three waits", true, {-1, 0, 1, 2}, S_OK, 3},
        {"state unknown", true, {0}, E_PENDING, 0},
        {"init never ends", true, {1}, S_OK, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_trace.clear();
        g_answers = {.initAnswer = c.answer, .initStates = c.states};
        m_components.initCalls = 0;
        m_module->SetManager(c.manager ? ComPtr<IVexilMgrSrv>(&m_components) : nullptr);
        m_module->OnStop();
        m_module->ReleaseManager();
        std::string expected = "status(3,0,0)";
        for (int i = 0; i < c.waits; ++i)
            expected += "; initstate; sleep(1000)";
        EXPECT_EQ(g_trace, expected + (c.manager && c.waits < 100 ? "; initstate" : ""));
        EXPECT_EQ(LogTexts(), Texts(c.waits, "Waiting for Init End"));
        EXPECT_TRUE(TakeQuitMessage());
        EXPECT_EQ(m_components.refs, 0) << "the state reference is given back";
    }
}

// Start reads the AppID's "LocalService": a string of at most 259 characters that is empty or ends
// in its terminator means service mode, and the dispatcher answers; anything else means a local
// server, here on a thread whose apartment refuses the module's, which ends it. A missing AppID, a
// missing value and the real dispatcher refusing a host started by hand are seen end to end.
TEST_F(ServiceControl, StartChoosesServiceModeOnlyForAnEmptyOrTerminatedLocalServiceString)
{
    constexpr wchar_t kAppIdPath[] = L"AppID\\{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";
    const std::wstring longest(259, L's'), tooLong(260, L's');
    const DWORD number = 1;
    // Wine adds a terminator to a string whose next character is NUL: 'xyz' stores 'xy' without one.
    const struct { DWORD type; const void* data; DWORD size; BOOL service; } cases[] = {
        {REG_SZ, L"", 0, TRUE}, {REG_EXPAND_SZ, L"x", 4, TRUE}, {REG_SZ, longest.c_str(), 520, TRUE},
        {REG_SZ, tooLong.c_str(), 522, FALSE}, {REG_SZ, L"xyz", 4, FALSE}, {REG_SZ, L"x\0y", 5, FALSE},
        {REG_DWORD, &number, 4, FALSE},
    };
    ScopedPlatformOverride dispatcher(&PlatformApi::StartServiceCtrlDispatcherW, [](const SERVICE_TABLE_ENTRYW* table) {
        EXPECT_STREQ(table[0].lpServiceName, L"VexilSrvs");
        EXPECT_EQ(table[0].lpServiceProc, &CVexilSrvsModule::_ServiceMain);
        EXPECT_TRUE(table[1].lpServiceName == nullptr && table[1].lpServiceProc == nullptr);
        return ::SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), FALSE;
    });
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.size));
        ASSERT_EQ(::RegSetKeyValueW(HKEY_CLASSES_ROOT, kAppIdPath, L"LocalService", c.type, c.data, c.size), 0);
        m_module->m_status.dwWin32ExitCode = 0;
        const HRESULT expected = c.service ? ERROR_FAILED_SERVICE_CONTROLLER_CONNECT : RPC_E_CHANGED_MODE;
        EXPECT_EQ(m_module->Start(SW_SHOWNORMAL), expected);
        EXPECT_EQ(m_module->m_bService, c.service);
        EXPECT_EQ(static_cast<HRESULT>(m_module->m_status.dwWin32ExitCode), c.service ? expected : S_OK);
    }
    ::CoUninitialize();
    DeleteKeyTree(HKEY_CLASSES_ROOT, kAppIdPath);
}

}  // namespace
