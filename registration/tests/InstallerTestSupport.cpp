#include "registration/tests/InstallerTestSupport.h"

#include "host/VexilSrvsModule.h"
#include "tests/support/TestProcess.h"
#include "tests/support/TestRegistry.h"

namespace {

constexpr DWORD kQuitControl = 128;  // ends FakeOldInstance whatever its knobs

std::vector<std::wstring> g_progress;
std::vector<MessageBoxCall> g_boxes;
size_t g_sleepCalls = 0;

void WINAPI RecordProgress(LPCWSTR text)
{
    g_progress.emplace_back(text != nullptr ? text : L"");
}

int WINAPI RecordMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    g_boxes.push_back({owner, text != nullptr ? text : L"", caption != nullptr ? caption : L"", type});
    return IDOK;
}

void WINAPI CountSleep(DWORD /*milliseconds*/)
{
    ++g_sleepCalls;
}

UniqueScHandle OpenManager()
{
    return UniqueScHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

SERVICE_STATUS_PROCESS QueryStatus(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed))
        status.dwCurrentState = 0;
    return status;
}

// Polls every 50 ms for up to timeoutMs; true as soon as 'done' holds.
template <typename Condition>
bool WaitUntil(DWORD timeoutMs, Condition done)
{
    for (DWORD waited = 0;; waited += 50) {
        if (done())
            return true;
        if (waited >= timeoutMs)
            return false;
        ::Sleep(50);
    }
}

void Terminate(HANDLE process)
{
    if (process != nullptr && ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process, 0xDEAD);
        ::WaitForSingleObject(process, 10000);
    }
}

}  // namespace

ChannelRecorder::ChannelRecorder()
    : m_progress(&PlatformApi::OutputDebugStringW, &RecordProgress),
      m_boxes(&PlatformApi::MessageBoxW, &RecordMessageBox)
{
    g_progress.clear();
    g_boxes.clear();
}

ChannelRecorder::~ChannelRecorder() = default;

const std::vector<std::wstring>& ChannelRecorder::Progress()
{
    return g_progress;
}

const std::vector<MessageBoxCall>& ChannelRecorder::Boxes()
{
    return g_boxes;
}

std::vector<std::wstring> ChannelRecorder::BoxTexts()
{
    std::vector<std::wstring> texts;
    for (const MessageBoxCall& box : g_boxes)
        texts.push_back(box.text);
    return texts;
}

size_t ChannelRecorder::CountOf(const std::wstring& text)
{
    size_t count = 0;
    for (const std::wstring& line : g_progress)
        count += line == text ? 1 : 0;
    return count;
}

InstantSleep::InstantSleep() : m_sleep(&PlatformApi::Sleep, &CountSleep)
{
    g_sleepCalls = 0;
}

InstantSleep::~InstantSleep() = default;

size_t InstantSleep::Calls()
{
    return g_sleepCalls;
}

bool TestServiceExists()
{
    UniqueScHandle manager = OpenManager();
    return manager && UniqueScHandle(::OpenServiceW(manager.get(), kTestServiceName, SERVICE_QUERY_CONFIG));
}

SERVICE_STATUS_PROCESS QueryTestServiceStatus()
{
    UniqueScHandle manager = OpenManager();
    UniqueScHandle service(manager ? ::OpenServiceW(manager.get(), kTestServiceName, SERVICE_QUERY_STATUS) : nullptr);
    return service ? QueryStatus(service.get()) : SERVICE_STATUS_PROCESS{};
}

void RemoveTestService()
{
    {
        UniqueScHandle manager = OpenManager();
        UniqueScHandle service(manager ? ::OpenServiceW(manager.get(), kTestServiceName, SERVICE_ALL_ACCESS) : nullptr);
        if (!service)
            return;
        const SERVICE_STATUS_PROCESS before = QueryStatus(service.get());
        if (before.dwCurrentState != SERVICE_STOPPED && before.dwCurrentState != 0) {
            SERVICE_STATUS ignored{};
            ::ControlService(service.get(), kQuitControl, &ignored);
            ::ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
            const bool stopped = WaitUntil(10000, [&] {
                return QueryStatus(service.get()).dwCurrentState == SERVICE_STOPPED;
            });
            if (!stopped && before.dwProcessId != 0) {
                UniqueKernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, before.dwProcessId));
                Terminate(process.get());
            }
        }
        ::DeleteService(service.get());
    }
    WaitUntil(15000, [] { return !TestServiceExists(); });
}

ServiceCleanup::ServiceCleanup()
{
    RemoveTestService();
}

ServiceCleanup::~ServiceCleanup()
{
    // A fake instance that ignores stop requests or outlives its stop report goes first; the
    // Service Control Manager then sees its service stopped and drops an entry marked for deletion.
    Terminate(m_process.get());
    RemoveTestService();
}

bool ServiceCleanup::CreateFakeService(const std::wstring& knobs)
{
    const std::wstring binaryPath = L"\"" + OutputFile(L"FakeOldInstance.exe") + L"\" " + knobs;
    UniqueScHandle manager = OpenManager();
    UniqueScHandle service(manager ? ::CreateServiceW(manager.get(), kTestServiceName, kTestServiceName,
                                                      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                                      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                      binaryPath.c_str(), nullptr, nullptr, nullptr,
                                                      nullptr, nullptr)
                                   : nullptr);
    return service.valid();
}

bool ServiceCleanup::StartFakeService(const std::wstring& knobs)
{
    if (!CreateFakeService(knobs))
        return false;
    UniqueScHandle manager = OpenManager();
    UniqueScHandle service(::OpenServiceW(manager.get(), kTestServiceName, SERVICE_ALL_ACCESS));
    if (!service || !::StartServiceW(service.get(), 0, nullptr))
        return false;
    SERVICE_STATUS_PROCESS status{};
    if (!WaitUntil(15000, [&] {
            status = QueryStatus(service.get());
            return status.dwCurrentState == SERVICE_RUNNING;
        }))
        return false;
    m_process.reset(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
    UniqueKernelHandle event(::OpenEventW(SYNCHRONIZE, FALSE, kTestSafeEventName));
    return m_process.valid() && event.valid();
}

void RemoveServerTypeLibRegistration()
{
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER}) {
        const std::wstring prefix = root == HKEY_CURRENT_USER ? L"Software\\Classes\\" : L"";
        DeleteKeyTree(root, prefix + kServerTypeLibKey);
        DeleteKeyTree(root, prefix + kServerInterfaceKey);
    }
}

ScopedModuleTypeLib::ScopedModuleTypeLib()
{
    wchar_t modulePath[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    m_path = modulePath;
    m_path = m_path.substr(0, m_path.find_last_of(L'.')) + L".tlb";
    RemoveServerTypeLibRegistration();
    m_copied = ::CopyFileW(OutputFile(L"VexilSrvs.tlb").c_str(), m_path.c_str(), FALSE) != FALSE;
}

ScopedModuleTypeLib::~ScopedModuleTypeLib()
{
    RemoveServerTypeLibRegistration();
    ::DeleteFileW(m_path.c_str());
}

ScopedPerUserRegistration::ScopedPerUserRegistration() : m_saved(g_bPerUserRegistration)
{
    g_bPerUserRegistration = true;
}

ScopedPerUserRegistration::~ScopedPerUserRegistration()
{
    g_bPerUserRegistration = m_saved;
}
