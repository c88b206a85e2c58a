#include "host/HostText.h"
#include "host/VexilSrvsModule.h"
#include "support/Hresult.h"
#include "support/Platform.h"

namespace {

constexpr DWORD kInitWaitAttempts = 100;
constexpr DWORD kInitWaitIntervalMs = 1000;

// "LocalService" selects service mode when it is a string of at most 259 characters that is
// empty or properly terminated; its content is not used.
bool IsUsableLocalService(LSTATUS status, DWORD type, const wchar_t* data, DWORD size) noexcept
{
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    if (size == 0)
        return true;
    return size % sizeof(wchar_t) == 0 && data[size / sizeof(wchar_t) - 1] == L'\0';
}

// COM on this thread, for the multithreaded apartment. A thread already in another apartment
// is accepted only when the .NET runtime is loaded, which initialises threads itself.
HRESULT InitializeComForThisThread(bool& initialized) noexcept
{
    const HRESULT hr = Platform().CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) {
        initialized = true;
        return hr;
    }
    if (hr == RPC_E_CHANGED_MODE && Platform().GetModuleHandleW(L"Mscoree.dll") != nullptr)
        return S_OK;
    return hr;
}

}  // namespace

void CVexilSrvsModule::SetServiceState(DWORD state) noexcept
{
    ::InterlockedExchange(reinterpret_cast<volatile LONG*>(&m_status.dwCurrentState), static_cast<LONG>(state));
    Platform().SetServiceStatus(m_hServiceStatus, &m_status);
}

bool CVexilSrvsModule::ExchangeServiceState(DWORD expected, DWORD state) noexcept
{
    const LONG previous = ::InterlockedCompareExchange(
        reinterpret_cast<volatile LONG*>(&m_status.dwCurrentState), static_cast<LONG>(state),
        static_cast<LONG>(expected));
    return previous == static_cast<LONG>(expected);
}

bool CVexilSrvsModule::ChangeServiceState(DWORD expected, DWORD state) noexcept
{
    if (!ExchangeServiceState(expected, state))
        return false;
    Platform().SetServiceStatus(m_hServiceStatus, &m_status);
    return true;
}

HRESULT CVexilSrvsModule::Start(int nShowCmd) noexcept
{
    // The AppID tells the mode: a "LocalService" value means the Service Control Manager
    // started this process; without it the host runs as a plain local server.
    UniqueRegKey appIds;
    LSTATUS status = Platform().RegOpenKeyExW(HKEY_CLASSES_ROOT, kAppIdKeyName, 0, KEY_READ, appIds.put());
    if (status != ERROR_SUCCESS) {
        m_status.dwWin32ExitCode = static_cast<DWORD>(status);
        return status;
    }
    UniqueRegKey appId;
    status = Platform().RegOpenKeyExW(appIds.get(), kAppIdString, 0, KEY_READ, appId.put());
    if (status != ERROR_SUCCESS) {
        m_status.dwWin32ExitCode = static_cast<DWORD>(status);
        return status;
    }
    wchar_t value[260] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    status = Platform().RegQueryValueExW(appId.get(), kLocalServiceValue, nullptr, &type,
                                         reinterpret_cast<BYTE*>(value), &size);
    m_bService = IsUsableLocalService(status, type, value, size) ? TRUE : FALSE;
    appId.reset();
    appIds.reset();

    if (m_bService) {
        const SERVICE_TABLE_ENTRYW dispatchTable[] = {
            {m_szServiceName, &CVexilSrvsModule::_ServiceMain},
            {nullptr, nullptr},
        };
        if (!Platform().StartServiceCtrlDispatcherW(dispatchTable))
            m_status.dwWin32ExitCode = ::GetLastError();
        return static_cast<HRESULT>(m_status.dwWin32ExitCode);
    }

    bool comInitialized = false;
    const HRESULT hrCom = InitializeComForThisThread(comInitialized);
    m_bComInitialized = comInitialized;
    if (FAILED(hrCom))
        return hrCom;
    const HRESULT hr = Run(nShowCmd);
    m_status.dwWin32ExitCode = static_cast<DWORD>(hr);
    return hr;
}

void CVexilSrvsModule::ServiceMain(DWORD /*dwArgc*/, LPWSTR* /*lpszArgv*/) noexcept
{
    m_status.dwCurrentState = SERVICE_START_PENDING;
    m_dwThreadID = ::GetCurrentThreadId();

    // The run thread's message queue exists before a stop can be requested, so a quit message
    // posted by an early stop waits in it until the message loop starts.
    MSG msg;
    Platform().PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);

    m_hServiceStatus = Platform().RegisterServiceCtrlHandlerExW(m_szServiceName, &CVexilSrvsModule::HandlerEx,
                                                                nullptr);
    if (m_hServiceStatus == nullptr) {
        WriteLog(kTextHandlerNotInstalled);
        LogEvent(kTextHandlerNotInstalled);
        return;
    }

    SetServiceState(SERVICE_START_PENDING);  // the only report with a wait hint
    m_status.dwWin32ExitCode = S_OK;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;

    bool comInitialized = false;
    const HRESULT hrCom = InitializeComForThisThread(comInitialized);
    m_bComInitialized = comInitialized;
    if (FAILED(hrCom)) {
        // Without COM there is no run; a final status keeps the Service Control Manager from
        // waiting on a service that will never report again.
        m_status.dwWin32ExitCode = static_cast<DWORD>(hrCom);
        SetServiceState(SERVICE_STOPPED);
        return;
    }

    m_bDelayShutdown = false;  // a service ends through service control, never through idleness
    m_status.dwWin32ExitCode = static_cast<DWORD>(Run(0));

    // A manager still held after an early end of the run goes while COM is alive: the last
    // CoUninitialize may unload the module that implements it.
    ReleaseManager();
    if (m_bService && m_bComInitialized)
        Platform().CoUninitialize();

    WriteLog(kTextServiceStopped);
    LogEvent(kTextServiceStopped);
    SetServiceState(SERVICE_STOPPED);
}

void CVexilSrvsModule::Handler(DWORD dwOpcode) noexcept
{
    wchar_t line[64] = {};
    _snwprintf_s(line, std::size(line), _TRUNCATE, kFormatOpcode, static_cast<int>(dwOpcode));
    WriteLog(line);

    switch (dwOpcode) {
    case SERVICE_CONTROL_STOP:
        OnStop();
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        WriteLog(kTextShuttingDown);
        LogEvent(kTextShuttingDown);
        OnStop();
        break;
    case SERVICE_CONTROL_PRESHUTDOWN:
        WriteLog(kTextPreShuttingDown);
        LogEvent(kTextPreShuttingDown);
        OnStop();
        break;
    default:
        WriteLog(kTextBadServiceRequest);
        LogEvent(kTextBadServiceRequest);
        break;
    }
}

void CVexilSrvsModule::OnStop() noexcept
{
    SetServiceState(SERVICE_STOP_PENDING);

    ComPtr<IVexilMgrState> state;
    if (ComPtr<IVexilMgrSrv> manager = CurrentManager()) {
        if (FAILED(manager.query(IID_IVexilMgrState, state)))
            state.reset();
    }
    if (state)
        WaitForManagerInitEnd(state.get());

    Platform().PostThreadMessageW(m_dwThreadID, WM_QUIT, 0, 0);
}

void CVexilSrvsModule::WaitForManagerInitEnd(IVexilMgrState* state) noexcept
{
    // A manager stopped in the middle of its initialisation may leave the boards in an unknown
    // state, so the stop waits for it; the wait is bounded so a hung manager cannot keep the
    // service from stopping.
    for (DWORD attempt = 0; attempt < kInitWaitAttempts; ++attempt) {
        LONG initState = 0;
        if (state->GetInitState(&initState) != S_OK || initState > 1)
            return;
        WriteLog(kTextWaitingForInitEnd);
        Platform().Sleep(kInitWaitIntervalMs);
    }
}

void WINAPI CVexilSrvsModule::_ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv) noexcept
{
    static_cast<CVexilSrvsModule*>(g_pModule)->ServiceMain(dwArgc, lpszArgv);
}

DWORD WINAPI CVexilSrvsModule::HandlerEx(DWORD dwOpcode, DWORD /*dwEventType*/, void* /*pEventData*/,
                                         void* /*pContext*/) noexcept
{
    static_cast<CVexilSrvsModule*>(g_pModule)->Handler(dwOpcode);
    return NO_ERROR;
}
