// The floor the benchmark measures the host against: an out-of-process COM server with none
// of the host's machinery. No single-instance guard, no diagnostic log, no parameters, no COM
// security, no crash dumps, no aggregation, no signature check. It creates the stand-in boards
// manager directly, registers one class object whose CreateInstance hands out that manager,
// and waits for the driver's stop event.
//
//   VexilBareServer.exe            a local server (also when COM starts it with "-Embedding")
//   VexilBareServer.exe -service   a service; a stop request sets the stop event

#include <windows.h>
#include <objbase.h>

#include <cwchar>
#include <iterator>

#include "bench/BenchNames.h"
#include "manager/ComponentIds.h"
#include "support/ComPtr.h"
#include "support/UniqueHandle.h"

namespace {

// The boards manager every activation receives, created once at start.
ComPtr<IUnknown> g_boards;

// Static and never counted: the driver, not the clients, decides when the process ends.
class BareClassFactory final : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return 2; }
    ULONG STDMETHODCALLTYPE Release() noexcept override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** ppv) noexcept override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        return g_boards->QueryInterface(iid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL /*lock*/) noexcept override { return S_OK; }
};

BareClassFactory g_factory;

// COM, the boards manager and the class object; then "ready", the wait for "stop", and the
// same undone in reverse. 'onServing' runs once activations are served, before "ready".
template <typename OnServing>
HRESULT Serve(OnServing onServing) noexcept
{
    UniqueKernelHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, kBareReadyEventName));
    UniqueKernelHandle stop(::OpenEventW(SYNCHRONIZE, FALSE, kBareStopEventName));
    if (!ready || !stop)
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);  // started without the driver
    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr))
        return hr;
    DWORD cookie = 0;
    hr = ::CoCreateInstance(CLSID_VexilMgr, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, g_boards.put_void());
    if (SUCCEEDED(hr))
        hr = ::CoRegisterClassObject(CLSID_VexilBareMgr, &g_factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (SUCCEEDED(hr)) {
        onServing();
        ::SetEvent(ready.get());
        ::WaitForSingleObject(stop.get(), INFINITE);
        ::CoRevokeClassObject(cookie);
    }
    g_boards.reset();
    ::CoUninitialize();
    return hr;
}

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};

void ReportServiceState(DWORD state) noexcept
{
    g_status.dwCurrentState = state;
    ::SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI ServiceHandler(DWORD control, DWORD /*eventType*/, void* /*eventData*/, void* /*context*/) noexcept
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        ReportServiceState(SERVICE_STOP_PENDING);
        UniqueKernelHandle stop(::OpenEventW(EVENT_MODIFY_STATE, FALSE, kBareStopEventName));
        ::SetEvent(stop.get());
    }
    return NO_ERROR;
}

void WINAPI BareServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) noexcept
{
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(kBareServiceName, &ServiceHandler, nullptr);
    if (g_statusHandle == nullptr)
        return;
    ReportServiceState(SERVICE_START_PENDING);
    // The one running report, once activations are served: the point the host reaches with
    // its second one.
    g_status.dwWin32ExitCode = static_cast<DWORD>(Serve([] { ReportServiceState(SERVICE_RUNNING); }));
    ReportServiceState(SERVICE_STOPPED);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPWSTR commandLine, int /*show*/)
{
    if (commandLine == nullptr || std::wcsstr(commandLine, kBareServiceSwitch) == nullptr)
        return Serve([] {});
    wchar_t name[std::size(kBareServiceName)] = {};  // the table takes a modifiable name
    wcscpy_s(name, kBareServiceName);
    const SERVICE_TABLE_ENTRYW table[] = {{name, &BareServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table))
        return static_cast<int>(::GetLastError());
    return static_cast<int>(g_status.dwWin32ExitCode);
}
