#include "host/tests/HostTestFixture.h"

#include "diagnostics/DiagnosticsNames.h"
#include "manager/ComponentIds.h"
#include "tests/support/LogReader.h"
#include "tests/support/TestFiles.h"

HostCalls g_calls;
FakeManager* g_fakeManager = nullptr;
FakeCrashDumpAgent* g_fakeAgent = nullptr;

namespace {

// A class identifier of the tests' own, so the fake class never meets a real one.
constexpr CLSID kFakeClassId = {0x7A0C55E1, 0x43B2, 0x4C1D, {0x9E, 0x61, 0x2D, 0x30, 0x5B, 0x8F, 0x14, 0xC7}};

HRESULT WINAPI CreateFakeComponent(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out)
{
    if (IsEqualCLSID(clsid, CLSID_VexilMgrSrv)) {
        ++g_calls.managerCreations;
        *out = nullptr;
        if (g_calls.managerCreateResult != S_OK && FAILED(g_calls.managerCreateResult))
            return g_calls.managerCreateResult;
        const HRESULT hr = g_fakeManager->QueryInterface(iid, out);
        return FAILED(hr) ? hr : g_calls.managerCreateResult;
    }
    if (IsEqualCLSID(clsid, CLSID_CrashDumpAgent)) {
        ++g_calls.agentCreations;
        *out = nullptr;
        if (FAILED(g_calls.agentCreateResult))
            return g_calls.agentCreateResult;
        return g_fakeAgent->QueryInterface(iid, out);
    }
    return RealPlatform().CoCreateInstance(clsid, outer, context, iid, out);
}

HRESULT WINAPI RecordRegistration(REFCLSID clsid, LPUNKNOWN object, DWORD context, DWORD flags, LPDWORD cookie)
{
    g_calls.order.push_back("register");
    g_calls.registrationContext = context;
    g_calls.registrationFlags = flags;
    if (FAILED(g_calls.registerResult))
        return g_calls.registerResult;
    return RealPlatform().CoRegisterClassObject(clsid, object, context, flags, cookie);
}

HRESULT WINAPI RecordResume()
{
    g_calls.order.push_back("resume");
    return FAILED(g_calls.resumeResult) ? g_calls.resumeResult : RealPlatform().CoResumeClassObjects();
}

HRESULT WINAPI RecordRevocation(DWORD cookie)
{
    g_calls.order.push_back("revoke");
    const HRESULT real = RealPlatform().CoRevokeClassObject(cookie);
    return FAILED(g_calls.revokeResult) ? g_calls.revokeResult : real;
}

HRESULT WINAPI RecordSecurity(PSECURITY_DESCRIPTOR, LONG, SOLE_AUTHENTICATION_SERVICE*, void*, DWORD, DWORD,
                              void*, DWORD, void*)
{
    g_calls.order.push_back("security");
    return g_calls.securityResult;
}

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    g_calls.order.push_back("status:" + std::to_string(status->dwCurrentState));
    g_calls.statusReports.push_back(*status);
    return TRUE;
}

BOOL WINAPI RecordEvent(HANDLE, WORD, WORD, DWORD, PSID, WORD count, DWORD, LPCWSTR* strings, LPVOID)
{
    if (count > 0) {
        const std::wstring text = strings[0];
        g_calls.order.push_back("event:" + std::string(text.begin(), text.end()));
    }
    return TRUE;
}

void WINAPI RecordSleep(DWORD ms)
{
    ++g_calls.sleeps;
    g_calls.sleepDurations.push_back(ms);
    if (!g_calls.instantSleep)
        ::Sleep(ms);
}

}  // namespace

HostTest::HostTest()
    : m_create(&PlatformApi::CoCreateInstance, &CreateFakeComponent),
      m_register(&PlatformApi::CoRegisterClassObject, &RecordRegistration),
      m_resume(&PlatformApi::CoResumeClassObjects, &RecordResume),
      m_revoke(&PlatformApi::CoRevokeClassObject, &RecordRevocation),
      m_security(&PlatformApi::CoInitializeSecurity, &RecordSecurity),
      m_status(&PlatformApi::SetServiceStatus, &RecordStatus),
      m_report(&PlatformApi::ReportEventW, &RecordEvent),
      m_sleep(&PlatformApi::Sleep, &RecordSleep)
{
}

void HostTest::SetUp()
{
    g_calls = HostCalls{};
    g_fakeManager = &m_manager;
    g_fakeAgent = &m_agent;
    m_comInitialized = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));

    m_savedLogDir = g_strLogDir;
    m_logDirectory = MakeTempDirectory(L"host");
    g_strLogDir = m_logDirectory;
    const DWORD on = 1;
    m_logEnabled.emplace(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent, REG_DWORD, &on, 4);
    // Crash dumps stay off unless a test asks for them.
    SetParam(kParamEnableDump, 0);

    m_entry.pclsid = &kFakeClassId;
    m_entry.pfnGetClassObject = [](void*, REFIID iid, void** out) -> HRESULT {
        static FakeClassObject classObject;
        return classObject.QueryInterface(iid, out);
    };
    m_entry.pCache = &m_cache;

    m_module.emplace();
    m_module->m_classObjects = ClassObjectSpan(m_table);
}

void HostTest::EndIdleMonitor()
{
    if (!m_module || !m_module->m_hEventShutdown)
        return;
    ::SetEvent(m_module->m_hEventShutdown.get());
    for (int i = 0; i < 500 && m_module->m_hEventShutdown; ++i)
        ::Sleep(10);
    for (int i = 0; i < 200 && !TakeQuitMessage(); ++i)
        ::Sleep(10);
}

void HostTest::TearDown()
{
    EndIdleMonitor();
    if (m_module) {
        (void)m_module->RevokeClassObjects();
        if (m_module->m_pLogFile != nullptr)
            fclose(m_module->m_pLogFile);
        m_module->m_pLogFile = nullptr;
        m_module.reset();
    }
    RemoveDirectoryTree(m_logDirectory);
    g_strLogDir = m_savedLogDir;
    // Put parameters back in the reverse order of their changes.
    while (!m_removedParams.empty())
        m_removedParams.pop_back();
    while (!m_params.empty())
        m_params.pop_back();
    m_logEnabled.reset();
    (void)TakeQuitMessage();
    if (m_comInitialized)
        ::CoUninitialize();
}

std::vector<std::string> HostTest::LogTexts() const
{
    if (m_module && m_module->m_pLogFile != nullptr)
        fflush(m_module->m_pLogFile);
    return LogTextsIn(m_logDirectory);
}

void HostTest::QueueQuitMessage()
{
    MSG msg;
    ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_QUIT, 0, 0);
}

bool HostTest::TakeQuitMessage()
{
    MSG msg;
    return ::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

void HostTest::SetParam(const wchar_t* name, DWORD value)
{
    m_params.emplace_back(HKEY_LOCAL_MACHINE, kParamsKeyPath, name, REG_DWORD, &value, 4);
}

void HostTest::RemoveParam(const wchar_t* name)
{
    m_removedParams.emplace_back(HKEY_LOCAL_MACHINE, kParamsKeyPath, name);
}

std::vector<std::string> HostTest::Calls(const std::string& prefix)
{
    std::vector<std::string> matching;
    for (const std::string& call : g_calls.order) {
        if (call.rfind(prefix, 0) == 0)
            matching.push_back(call);
    }
    return matching;
}
