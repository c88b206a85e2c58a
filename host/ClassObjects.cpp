#include "host/VexilSrvsModule.h"
#include "host/HostText.h"
#include "support/Platform.h"
#include "support/ScopedLocks.h"

namespace {

// The standard global interface table.
constexpr CLSID kClsidStdGlobalInterfaceTable = {
    0x00000323, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace

LONG CVexilSrvsModule::Lock() noexcept
{
    return static_cast<LONG>(Platform().CoAddRefServerProcess());
}

LONG CVexilSrvsModule::Unlock() noexcept
{
    if (m_bService) {
        // The server reference taken by Lock is never given back in service mode: the COM
        // runtime never suspends the class object, and lock traffic never ends a service.
        return ::InterlockedDecrement(&m_nLockCnt);
    }

    const LONG count = static_cast<LONG>(Platform().CoReleaseServerProcess());
    if (count == 0) {
        if (m_bDelayShutdown)
            SignalShutdownEvent();
        else
            Platform().PostThreadMessageW(m_dwMainThreadID, WM_QUIT, 0, 0);
    }
    return count;
}

LONG CVexilSrvsModule::GetLockCount() noexcept
{
    return m_nLockCnt;
}

HRESULT CVexilSrvsModule::GetGITPtr(IGlobalInterfaceTable** ppGIT) noexcept
{
    if (ppGIT == nullptr)
        return E_POINTER;
    *ppGIT = nullptr;
    if (m_pGIT == nullptr) {
        const HRESULT hr = Platform().CoCreateInstance(kClsidStdGlobalInterfaceTable, nullptr,
                                                       CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                                                       reinterpret_cast<void**>(&m_pGIT));
        if (FAILED(hr))
            return hr;
    }
    m_pGIT->AddRef();
    *ppGIT = m_pGIT;
    return S_OK;
}

HRESULT CVexilSrvsModule::PreMessageLoop(int /*nShowCmd*/) noexcept
{
    if (m_bService) {
        // Security must be in place before the first activation can reach the class object.
        const HRESULT hrSecurity = InitializeSecurity();
        if (FAILED(hrSecurity))
            return hrSecurity;
    }

    HRESULT hr = RegisterClassObjects(REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
    if (FAILED(hr))
        return hr;
    if (hr == S_FALSE) {
        m_bDelayShutdown = false;
        return S_FALSE;
    }

    UniqueKernelHandle monitor;
    if (m_bDelayShutdown)
        hr = StartIdleMonitor(monitor);

    if (SUCCEEDED(hr)) {
        ReportRunningIfStartPending();
        hr = Platform().CoResumeClassObjects();
        if (FAILED(hr) && monitor) {
            SignalShutdownEvent();
            Platform().WaitForSingleObject(monitor.get(), m_dwTimeOut * 2);
        }
    }

    monitor.reset();  // the monitor thread runs on without its handle
    if (FAILED(hr)) {
        (void)RevokeClassObjects();
        return hr;
    }
    return hr;
}

HRESULT CVexilSrvsModule::StartIdleMonitor(UniqueKernelHandle& thread) noexcept
{
    m_hEventShutdown.reset(Platform().CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_hEventShutdown)
        return E_FAIL;
    thread.reset(Platform().CreateThread(nullptr, 0, &MonitorProc, this, 0, nullptr));
    if (!thread) {
        m_hEventShutdown.reset();
        return E_FAIL;
    }
    return S_OK;
}

void CVexilSrvsModule::ReportRunningIfStartPending() noexcept
{
    // In service mode the service reports running as soon as its class object is about to be
    // served, before the manager exists; only the first such change is announced, in the event
    // log first and then to the Service Control Manager.
    if (m_bService && ExchangeServiceState(SERVICE_START_PENDING, SERVICE_RUNNING)) {
        LogEvent(kTextServiceStartedResumed);
        Platform().SetServiceStatus(m_hServiceStatus, &m_status);
    }
}

void CVexilSrvsModule::SignalShutdownEvent() noexcept
{
    SharedLock lock(m_shutdownEventLock);
    Platform().SetEvent(m_hEventShutdown.get());
}

HRESULT CVexilSrvsModule::RegisterClassObjects(DWORD dwFlags) noexcept
{
    HRESULT hr = S_FALSE;
    for (ClassObjectEntry* entry : m_classObjects) {
        if (FAILED(hr))
            break;
        if (entry == nullptr)
            continue;
        if (entry->pfnGetClassObject == nullptr) {
            hr = S_OK;
            continue;
        }
        ComPtr<IUnknown> classObject;
        hr = entry->pfnGetClassObject(reinterpret_cast<void*>(entry->pfnCreateInstance), IID_IUnknown,
                                      classObject.put_void());
        if (SUCCEEDED(hr)) {
            // The COM runtime keeps its own reference until the class object is revoked.
            hr = Platform().CoRegisterClassObject(*entry->pclsid, classObject.get(),
                                                  CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, dwFlags,
                                                  &entry->pCache->dwRegister);
        }
    }
    return hr;
}

HRESULT CVexilSrvsModule::RevokeClassObjects() noexcept
{
    for (ClassObjectEntry* entry : m_classObjects) {
        if (entry == nullptr || entry->pCache == nullptr || entry->pCache->dwRegister == 0)
            continue;
        const HRESULT hr = Platform().CoRevokeClassObject(entry->pCache->dwRegister);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

DWORD WINAPI CVexilSrvsModule::MonitorProc(void* pModule) noexcept
{
    // No grace period and no second look at the lock count: the first time the outside users
    // are gone, the message loop is told to end.
    auto* module = static_cast<CVexilSrvsModule*>(pModule);
    Platform().WaitForSingleObject(module->m_hEventShutdown.get(), INFINITE);
    {
        ExclusiveLock lock(module->m_shutdownEventLock);
        module->m_hEventShutdown.reset();
    }
    Platform().PostThreadMessageW(module->m_dwMainThreadID, WM_QUIT, 0, 0);
    return 0;
}
