#include "diagnostics/DiagnosticsNames.h"
#include "host/HostText.h"
#include "host/SignatureCheck.h"
#include "host/VexilSrvsModule.h"
#include "manager/ComponentIds.h"
#include "support/Hresult.h"
#include "support/Platform.h"
#include "support/ScopedLocks.h"

namespace {

constexpr DWORD kGuardAttempts = 100;
constexpr DWORD kGuardIntervalMs = 1000;
constexpr DWORD kAnyContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                              CLSCTX_REMOTE_SERVER;
constexpr ULONGLONG kModuleHandleSentinel = 100;

// The guard event: auto-reset, not signalled, with a null DACL so that any account in any
// session can open the same name.
HANDLE CreateGuardEvent(const wchar_t* name) noexcept
{
    SECURITY_DESCRIPTOR descriptor{};
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    return Platform().CreateEventW(&attributes, FALSE, FALSE, name);
}

// "DumpType" 0 or 1 gives mode 1, 2 gives mode 2; any other value means no dumps.
bool DumpModeFromType(DWORD dumpType, LONG& mode) noexcept
{
    if (dumpType == 0 || dumpType == 1) {
        mode = 1;
        return true;
    }
    if (dumpType == 2) {
        mode = 2;
        return true;
    }
    return false;
}

void PumpMessages() noexcept
{
    MSG msg;
    while (Platform().GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

}  // namespace

ComPtr<IVexilMgrSrv> CVexilSrvsModule::CurrentManager() noexcept
{
    SharedLock lock(m_managerLock);
    return m_spManager;
}

void CVexilSrvsModule::SetManager(ComPtr<IVexilMgrSrv> manager) noexcept
{
    ExclusiveLock lock(m_managerLock);
    m_spManager.swap(manager);
}

void CVexilSrvsModule::ReleaseManager() noexcept
{
    ComPtr<IVexilMgrSrv> released;
    {
        ExclusiveLock lock(m_managerLock);
        released.swap(m_spManager);
    }
    // The last release may run the manager's teardown: never under the lock.
}

HRESULT CVexilSrvsModule::Run(int nShowCmd) noexcept
{
    WriteLog(kLogRunBegin);
    VEXIL_RETURN_IF_FAILED(AcquireSingleInstanceGuard());

    // The quit message that ends the run may be posted before the message loop starts (by the
    // idle monitor, or by an early stop): the thread's queue must exist to keep it.
    MSG msg;
    Platform().PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);

    m_dwTimeOut = 15000;
    WriteLog(kLogRunStep0);
    HRESULT hr = PreMessageLoop(nShowCmd);

    ComPtr<ICrashDumpAgent> crashDumps;
    if (hr == S_OK) {
        hr = EnableCrashDumps(crashDumps);
        if (FAILED(hr))
            return E_FAIL;
    }

    WriteLog(kLogRunStep1);
    if (hr == S_OK)
        hr = CreateManager();

    WriteLog(kLogRunStep2);
    if (hr == S_OK) {
        ComPtr<IVexilMgrControl> control;
        hr = StartManager(control);
        if (hr != S_OK)
            return hr;  // the manager stays held until COM is about to end

        WriteLog(kLogRunStep3);
        PumpMessages();
        StopManager();
        control.reset();
        hr = S_OK;
    }

    ReleaseManager();

    if (crashDumps) {
        // Its answer replaces whatever the run held, an earlier failure included.
        hr = crashDumps->DisableCrashDumps();
        crashDumps.reset();
    }

    WriteLog(kLogRunStep5);
    if (SUCCEEDED(hr)) {
        hr = RevokeClassObjects();
        if (m_bDelayShutdown)
            Platform().Sleep(m_dwPause);
    }
    WriteLog(kLogRunEnd);
    return hr;
}

HRESULT CVexilSrvsModule::AcquireSingleInstanceGuard() noexcept
{
    for (DWORD attempt = 0;;) {
        ::SetLastError(ERROR_SUCCESS);
        m_hSafeEvent.reset(CreateGuardEvent(kSafeEventGlobalName));
        if (!m_hSafeEvent) {
            ::SetLastError(ERROR_SUCCESS);
            m_hSafeEvent.reset(CreateGuardEvent(kSafeEventLocalName));
        }
        const DWORD lastError = ::GetLastError();
        if (!m_hSafeEvent && lastError != ERROR_SUCCESS)
            return HResultFromWin32(static_cast<LONG>(lastError));
        if (lastError != ERROR_ALREADY_EXISTS)
            return S_OK;

        // Another instance holds the name: only opened and closed here, never disturbed.
        m_hSafeEvent.reset();
        WriteLog(kLogWaitingForPreviousInstance);
        Platform().Sleep(kGuardIntervalMs);
        if (++attempt == kGuardAttempts)
            return E_ACCESSDENIED;
    }
}

HRESULT CVexilSrvsModule::EnableCrashDumps(ComPtr<ICrashDumpAgent>& agent) noexcept
{
    if (ReadParamDword(L"", kParamEnableDump, 1) == 0)
        return S_OK;
    LONG mode = 0;
    if (!DumpModeFromType(ReadParamDword(L"", kParamDumpType, 1), mode))
        return S_OK;

    if (FAILED(Platform().CoCreateInstance(CLSID_CrashDumpAgent, nullptr, kAnyContext, IID_ICrashDumpAgent,
                                           agent.put_void())))
        return E_FAIL;
    const HRESULT hr = agent->EnableCrashDumps(m_bService ? 1 : 0, mode, 0);
    // A positive success code is kept: it stops the rest of the start-up like a failure would.
    return FAILED(hr) ? E_FAIL : hr;
}

HRESULT CVexilSrvsModule::CreateManager() noexcept
{
    // Through the host's own class object, so the run holds the same instance every client gets.
    ComPtr<IVexilMgrSrv> manager;
    const HRESULT hr = Platform().CoCreateInstance(CLSID_VexilMgrSrv, nullptr, kAnyContext, IID_IVexilMgrSrv,
                                                   manager.put_void());
    SetManager(std::move(manager));
    return hr;
}

HRESULT CVexilSrvsModule::StartManager(ComPtr<IVexilMgrControl>& control) noexcept
{
    const HRESULT hrQuery = CurrentManager().query(IID_IVexilMgrControl, control);
    if (hrQuery != S_OK) {
        control.reset();
        return hrQuery;
    }

    LONGLONG moduleHandle = static_cast<LONGLONG>(kModuleHandleSentinel);
    const HRESULT hrModule = control->GetImplementationModule(&moduleHandle);
    if (hrModule != S_OK) {
        control.reset();
        return hrModule;
    }

    (void)control->BeginInit();

    const bool verified =
        SUCCEEDED(m_ownSignature.Result()) &&
        SUCCEEDED(VerifyModuleSignature(reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(moduleHandle))));
    if (!verified) {
        // A manager from an unexpected publisher is not kept: clients that already hold it
        // finish with it, and the host ends once they have let go.
        ReleaseManager();
    } else if (m_bService) {
        WriteLog(kTextServiceStarted);
        LogEvent(kTextServiceStarted);
        // A stop requested meanwhile is not overwritten with a running report.
        if (!ChangeServiceState(SERVICE_RUNNING, SERVICE_RUNNING))
            (void)ChangeServiceState(SERVICE_START_PENDING, SERVICE_RUNNING);
    }

    (void)control->EndInit();
    if (!verified) {
        // The control interface belongs to the aggregated manager and counts as a reference to
        // it: kept, it would hold the module lock and the idle end could never come.
        control.reset();
    }
    return S_OK;
}

void CVexilSrvsModule::StopManager() noexcept
{
    ComPtr<IVexilMgrState> state;
    if (ComPtr<IVexilMgrSrv> manager = CurrentManager()) {
        if (FAILED(manager.query(IID_IVexilMgrState, state)))
            state.reset();
    }
    if (state)
        (void)state->Shutdown();
}
