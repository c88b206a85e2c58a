#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

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
            Platform().SetEvent(m_hEventShutdown.get());
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
    return E_NOTIMPL;
}

HRESULT CVexilSrvsModule::RegisterClassObjects(DWORD /*dwFlags*/) noexcept
{
    return E_NOTIMPL;
}

HRESULT CVexilSrvsModule::RevokeClassObjects() noexcept
{
    return E_NOTIMPL;
}

DWORD WINAPI CVexilSrvsModule::MonitorProc(void* /*pModule*/) noexcept
{
    return 0;
}
