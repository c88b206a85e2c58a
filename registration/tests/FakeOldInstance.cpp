// Stands in for an old host instance running as the service "VexilSrvs" while a registration
// removes it. Like the host it holds "Global\VexilSrvs_SafeEvent" while it runs and stops on
// SERVICE_CONTROL_STOP. Knobs, given in the service's binary path:
//   /IgnoreStop          accept stop requests but keep running
//   /KeepEvent:<ms>      after reporting SERVICE_STOPPED, hold the event <ms> longer before exiting
// The user control 128 ends it whatever the knobs say, so tests can always clean up.

#include <windows.h>

#include <cwchar>
#include <iterator>

namespace {

constexpr wchar_t kServiceName[] = L"VexilSrvs";
constexpr wchar_t kSafeEventName[] = L"Global\\VexilSrvs_SafeEvent";
constexpr DWORD kQuitControl = 128;

bool g_ignoreStop = false;
DWORD g_keepEventMs = 0;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
HANDLE g_stopRequested = nullptr;
HANDLE g_safeEvent = nullptr;

void Report(DWORD state)
{
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    ::SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD /*eventType*/, void* /*eventData*/, void* /*context*/)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        if (!g_ignoreStop)
            ::SetEvent(g_stopRequested);
        return NO_ERROR;
    case kQuitControl:
        ::SetEvent(g_stopRequested);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/)
{
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(kServiceName, Handler, nullptr);
    if (g_statusHandle == nullptr)
        return;
    // Created before the service reports running, so whoever sees it running finds the event.
    g_safeEvent = ::CreateEventW(nullptr, TRUE, FALSE, kSafeEventName);
    Report(SERVICE_RUNNING);

    ::WaitForSingleObject(g_stopRequested, INFINITE);
    Report(SERVICE_STOP_PENDING);
    if (g_keepEventMs == 0) {
        ::CloseHandle(g_safeEvent);
        g_safeEvent = nullptr;
    }
    Report(SERVICE_STOPPED);
}

void ReadKnobs(const wchar_t* commandLine)
{
    g_ignoreStop = std::wcsstr(commandLine, L"/IgnoreStop") != nullptr;
    if (const wchar_t* keep = std::wcsstr(commandLine, L"/KeepEvent:"))
        g_keepEventMs = static_cast<DWORD>(std::wcstoul(keep + std::wcslen(L"/KeepEvent:"), nullptr, 10));
}

}  // namespace

int main()
{
    ReadKnobs(::GetCommandLineW());
    g_stopRequested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    wchar_t name[std::size(kServiceName)];
    std::wmemcpy(name, kServiceName, std::size(kServiceName));
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table))
        return 1;

    if (g_safeEvent != nullptr) {
        ::Sleep(g_keepEventMs);
        ::CloseHandle(g_safeEvent);
    }
    return 0;
}
