// The benchmark driver: measures the host (VexilSrvs.exe) side by side with the bare server
// (VexilBareServer.exe) in the Wine prefix it runs in, and prints one table (docs/benchmarks.md
// explains each figure). bench/run.sh builds everything, registers the stand-in components and
// runs it.
//
//   VexilBench.exe [--rounds N] [--cold N] [--bursts N] [--call-ms N]
//   VexilBench.exe --stress N [--processes M] [--threads T] [--batch B] [--bare]
//
// The second form is a stress run instead of the figures: N activations and releases against
// the host as a service (--bare: the bare service), from M client processes at a time with T
// threads each (default 8 x 5), printing after every B activations (default 2000) the
// activations so far, the failures by step and code and the server's handles, threads and
// private bytes.
//
// The driver registers the host as a service and the bare server as both a local server and a
// service, and removes all of it again at the end. The same executable is the benchmark's
// client; each client mode prints "name=value" lines:
//
//   VexilBench.exe --child activate <host|bare>
//   VexilBench.exe --child calls <host|bare> <threads> <milliseconds>
//   VexilBench.exe --child burst <host|bare> <threads>
//   VexilBench.exe --child stress <host|bare> <threads> <rounds>

#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "VexilBoards.h"  // generated from components/boardsmgr/VexilBoards.idl
#include "VexilSrvs.h"    // generated from manager/VexilSrvs.idl
#include "bench/BenchNames.h"
#include "components/client/HeldVexilTypeLibraries.h"
#include "diagnostics/DiagnosticsNames.h"
#include "host/VexilSrvsModule.h"  // the AppID value that selects service mode
#include "support/ComPtr.h"
#include "support/ConcurrentClient.h"
#include "support/UniqueHandle.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestProcess.h"
#include "tests/support/TestRegistry.h"

namespace {

// A started server that the benchmark stops (kills) and waits for at the end, whatever happens.
class ChildProcess
{
public:
    explicit ChildProcess(const std::wstring& commandLine)
    {
        std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
        line.push_back(L'\0');
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            UniqueKernelHandle thread(info.hThread);
            m_process.reset(info.hProcess);
            m_id = info.dwProcessId;
        }
    }
    ~ChildProcess()
    {
        if (m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(m_process.get(), 0xDEAD);
            ::WaitForSingleObject(m_process.get(), 10000);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] DWORD id() const noexcept { return m_id; }
    [[nodiscard]] HANDLE handle() const noexcept { return m_process.get(); }
    // Waits up to timeoutMs for the child to end; true with its exit code when it did.
    [[nodiscard]] bool Wait(DWORD timeoutMs, DWORD* exitCode)
    {
        if (!m_process || ::WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
            return false;
        return ::GetExitCodeProcess(m_process.get(), exitCode) != FALSE;
    }

private:
    UniqueKernelHandle m_process;
    DWORD m_id = 0;
};

using Values = std::multimap<std::string, std::string>;

double NowMs() noexcept
{
    LARGE_INTEGER counter{}, frequency{};
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Local time of day in ms: the clock of the host's log stamps.
double MsOfDay() noexcept
{
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return ((now.wHour * 60.0 + now.wMinute) * 60.0 + now.wSecond) * 1000.0 + now.wMilliseconds;
}

struct Target
{
    bool host;
    const char* name;
    const wchar_t* word;  // as the client modes name it
    const CLSID* clsid;
    const wchar_t* service;
};

const Target kHost{true, "host", L"host", &CLSID_VexilMgrSrv, L"VexilSrvs"};
const Target kBare{false, "bare", L"bare", &CLSID_VexilBareMgr, kBareServiceName};
const Target kTargets[] = {kHost, kBare};

// ----------------------------------------------------------------------------------------------
// Client modes.

// Releases every burst client at one instant; each client thread reports in when it is ready.
constexpr wchar_t kBurstStartEventName[] = L"VexilBench_BurstStart";
constexpr wchar_t kBurstReadySemaphoreName[] = L"VexilBench_BurstReady";

// One activation as a client program makes it: CoCreateInstance, QueryInterface for the boards
// manager's automation interface, one call. 'at' receives the instant after each of the three,
// 'step' the name of the one that failed.
HRESULT ActivateAndCall(const CLSID& clsid, ComPtr<IVexilBoards>& boards, double (&at)[3],
                        const char** step = nullptr) noexcept
{
    const char* unused = nullptr;
    const char*& failed = step != nullptr ? *step : unused;
    ComPtr<IUnknown> object;
    HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, object.put_void());
    at[0] = NowMs();
    failed = "create";
    if (SUCCEEDED(hr)) {
        hr = object.query(IID_IVexilBoards, boards);
        failed = "query";
    }
    at[1] = NowMs();
    LONG count = 0;
    if (SUCCEEDED(hr)) {
        hr = boards->get_Count(&count);
        failed = "call";
    }
    at[2] = NowMs();
    return hr;
}

int ChildActivate(const Target& target)
{
    ComPtr<IVexilBoards> boards;
    double at[3] = {};
    const double start = NowMs();
    const HRESULT hr = ActivateAndCall(*target.clsid, boards, at);
    LONG pid = 0;
    if (SUCCEEDED(hr) && SUCCEEDED(boards->get_ProcessId(&pid)))
        std::printf("activation-ms=%.3f\ncreate-ms=%.3f\nquery-ms=%.3f\ncall-ms=%.3f\nserver-pid=%ld\n",
                    at[2] - start, at[0] - start, at[1] - at[0], at[2] - at[1], pid);
    return hr;
}

int ChildCalls(const Target& target, DWORD threads, DWORD durationMs)
{
    ComPtr<IVexilBoards> boards;
    double at[3] = {};
    HRESULT hr = ActivateAndCall(*target.clsid, boards, at);
    if (FAILED(hr))
        return hr;
    // Every thread of the multithreaded apartment may use the one proxy this thread got.
    std::atomic<bool> stop{false};
    std::atomic<unsigned long long> calls{0};
    std::atomic<HRESULT> failure{S_OK};
    std::vector<std::thread> workers;
    const double start = NowMs();
    for (DWORD i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            (void)::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (LONG count = 0; !stop; ++calls) {
                if (const HRESULT call = boards->get_Count(&count); FAILED(call)) {
                    failure = call;
                    break;
                }
            }
            ::CoUninitialize();
        });
    }
    ::Sleep(durationMs);
    stop = true;
    const double elapsed = NowMs() - start;
    for (std::thread& worker : workers)
        worker.join();
    std::printf("calls-per-second=%.0f\n", static_cast<double>(calls) * 1000.0 / elapsed);
    return failure;
}

int ChildBurst(const Target& target, DWORD threads)
{
    UniqueKernelHandle start(::OpenEventW(SYNCHRONIZE, FALSE, kBurstStartEventName));
    UniqueKernelHandle ready(::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kBurstReadySemaphoreName));
    if (!start || !ready)
        return E_FAIL;
    std::vector<std::string> lines(threads);
    std::vector<std::thread> workers;
    for (size_t index = 0; index < lines.size(); ++index) {
        workers.emplace_back([&, index] {
            (void)InitializeActivatingThread();
            ::ReleaseSemaphore(ready.get(), 1, nullptr);
            ::WaitForSingleObject(start.get(), 120000);
            ComPtr<IVexilBoards> boards;
            double at[3] = {};
            const HRESULT hr = ActivateAndCall(*target.clsid, boards, at);
            LONG pid = 0, inner = -1, live = -1;
            if (SUCCEEDED(hr)) {
                (void)boards->get_ProcessId(&pid);
                (void)boards->get_InnerObjectCount(&inner);
                (void)boards->get_LiveObjectCount(&live);
            }
            char text[160];
            std::snprintf(text, sizeof(text),
                          "activation-hr=0x%08lX\nend-ms=%.3f\nserver=pid %ld, inner %ld, live %ld\n",
                          static_cast<unsigned long>(hr), at[2], pid, inner, live);
            lines[index] = text;
            boards.reset();
            ::CoUninitialize();
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    for (const std::string& line : lines)
        std::printf("%s", line.c_str());
    return 0;
}

// Each thread activates, asks for the boards and calls them, and lets go, 'rounds' times.
// The round a stress thread is in, for the report of a fault.
thread_local DWORD t_stressRound = 0;

// Says where a stress client faulted before the process ends with the fault: which round of its
// thread (0 is the thread's first activation) and the faulting address and code.
LONG CALLBACK ReportStressFault(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        std::printf("fault=0x%08lX at %p, thread round %lu\n", static_cast<unsigned long>(record.ExceptionCode),
                    record.ExceptionAddress, t_stressRound);
        std::fflush(stdout);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

int ChildStress(const Target& target, DWORD threads, DWORD rounds)
{
    (void)::AddVectoredExceptionHandler(1, ReportStressFault);
    std::atomic<unsigned long> succeeded{0};
    std::map<std::pair<std::string, HRESULT>, unsigned long> failures;  // by step and code
    SRWLOCK failuresLock = SRWLOCK_INIT;
    std::vector<std::thread> workers;
    for (DWORD i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            (void)InitializeActivatingThread();
            for (DWORD round = 0; round < rounds; ++round) {
                t_stressRound = round;
                ComPtr<IVexilBoards> boards;
                double at[3] = {};
                const char* step = nullptr;
                const HRESULT hr = ActivateAndCall(*target.clsid, boards, at, &step);
                if (SUCCEEDED(hr)) {
                    ++succeeded;
                    continue;
                }
                ::AcquireSRWLockExclusive(&failuresLock);
                ++failures[{step, hr}];
                ::ReleaseSRWLockExclusive(&failuresLock);
            }
            ::CoUninitialize();
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    std::printf("activations=%lu\n", succeeded.load());
    for (const auto& [failure, count] : failures)
        std::printf("failed-%s 0x%08lX=%lu\n", failure.first.c_str(), static_cast<unsigned long>(failure.second), count);
    return 0;
}

int RunChild(int argc, wchar_t** argv)
{
    // argv: program --child <mode> <target> [numbers...]
    const Target* target = argc >= 4 ? (std::wcscmp(argv[3], L"host") == 0   ? &kHost
                                        : std::wcscmp(argv[3], L"bare") == 0 ? &kBare
                                                                             : nullptr)
                                     : nullptr;
    if (target == nullptr || FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return E_INVALIDARG;
    const std::wstring mode = argv[2];
    auto number = [&](int index) { return static_cast<DWORD>(std::wcstoul(argv[index], nullptr, 10)); };
    HRESULT hr = E_INVALIDARG;
    if (mode == L"activate" && argc == 4)
        hr = ChildActivate(*target);
    else if (mode == L"calls" && argc == 6 && number(4) > 0)
        hr = ChildCalls(*target, number(4), number(5));
    else if (mode == L"burst" && argc == 5 && number(4) > 0)
        hr = ChildBurst(*target, number(4));
    else if (mode == L"stress" && argc == 6 && number(4) > 0)
        hr = ChildStress(*target, number(4), number(5));
    std::printf("hr=0x%08lX\n", static_cast<unsigned long>(hr));
    ::CoUninitialize();
    return hr;
}

// ----------------------------------------------------------------------------------------------
// Figures.

[[nodiscard]] std::optional<double> Percentile(std::vector<double> samples, double percent)
{
    if (samples.empty())
        return std::nullopt;
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<size_t>(std::ceil(percent / 100.0 * static_cast<double>(samples.size())));
    return samples[std::clamp<size_t>(rank, 1, samples.size()) - 1];  // nearest rank
}

[[nodiscard]] std::optional<double> Median(const std::vector<double>& samples)
{
    return Percentile(samples, 50);
}

struct Samples
{
    std::vector<double> host;
    std::vector<double> bare;
    std::vector<double>& For(const Target& target) { return target.host ? host : bare; }
};

[[nodiscard]] Values ParseValues(const std::string& text)
{
    Values values;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (const size_t equals = line.find('='); equals != std::string::npos)
            values.emplace(line.substr(0, equals), line.substr(equals + 1));
        start = end + 1;
    }
    return values;
}

[[nodiscard]] std::optional<double> Number(const Values& values, const std::string& name)
{
    const auto it = values.find(name);
    if (it == values.end() || it->second.empty())
        return std::nullopt;
    return std::strtod(it->second.c_str(), nullptr);
}

[[nodiscard]] std::string Format(std::optional<double> value, int decimals)
{
    char text[32] = "-";
    if (value)
        std::snprintf(text, sizeof(text), "%.*f", decimals, *value);
    return text;
}

// ----------------------------------------------------------------------------------------------
// Services and the host's log.

[[nodiscard]] UniqueScHandle OpenNamedService(const wchar_t* name, DWORD access)
{
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return manager ? UniqueScHandle(::OpenServiceW(manager.get(), name, access)) : UniqueScHandle();
}

[[nodiscard]] std::optional<SERVICE_STATUS_PROCESS> QueryService(const wchar_t* name)
{
    UniqueScHandle service = OpenNamedService(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                            sizeof(status), &needed))
        return std::nullopt;
    return status;
}

[[nodiscard]] bool StartNamedService(const wchar_t* name)
{
    UniqueScHandle service = OpenNamedService(name, SERVICE_START);
    return service && ::StartServiceW(service.get(), 0, nullptr);
}

// Polls 'condition' every 'pollMs' up to 'timeoutMs'.
[[nodiscard]] bool PollUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() >= end)
            return false;
        ::Sleep(pollMs);
    }
    return true;
}

// Stops the service if it runs and waits until its process is gone, so that the next start
// finds no old instance (the host would wait for its single-instance event).
void StopServiceAndWait(const wchar_t* name)
{
    const auto status = QueryService(name);
    if (!status || status->dwCurrentState == SERVICE_STOPPED)
        return;
    UniqueKernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, status->dwProcessId));
    UniqueScHandle service = OpenNamedService(name, SERVICE_STOP);
    SERVICE_STATUS ignored{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
    (void)PollUntil([&] { const auto now = QueryService(name); return now && now->dwCurrentState == SERVICE_STOPPED; },
                    30000, 10);
    if (process)
        ::WaitForSingleObject(process.get(), 30000);
}

// The local time of day of the first record with exactly 'text' in the newest log file of
// 'directory' (the host started last). A record is "\n -- " + 23-character stamp + " -- \n" + text.
[[nodiscard]] std::optional<double> RecordTime(const std::wstring& directory, const std::string& text)
{
    std::vector<std::wstring> logs = FilesIn(directory);
    std::erase_if(logs, [](const std::wstring& name) { return name.rfind(L"VexilSrvsLog", 0) != 0; });
    if (logs.empty())
        return std::nullopt;
    const std::string bytes = ReadFileBytes(directory + L"\\" + *std::max_element(logs.begin(), logs.end()));
    const std::string needle = " -- \n" + text;
    for (size_t at = bytes.find(needle); at != std::string::npos; at = bytes.find(needle, at + 1)) {
        const size_t after = at + needle.size();
        int hours = 0, minutes = 0, seconds = 0, ms = 0;
        if ((after == bytes.size() || bytes[after] == '\n') && at >= 12 &&
            std::sscanf(bytes.c_str() + at - 12, "%2d-%2d-%2d-%3d", &hours, &minutes, &seconds, &ms) == 4)
            return ((hours * 60.0 + minutes) * 60.0 + seconds) * 1000.0 + ms;
    }
    return std::nullopt;
}

[[nodiscard]] double MemoryMiB(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        return 0;
    // Windows fills PrivateUsage; Wine only PagefileUsage, the same private commit.
    const SIZE_T bytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// ----------------------------------------------------------------------------------------------
// The driver.

struct Options
{
    DWORD rounds = 200;
    DWORD coldRounds = 5;
    DWORD bursts = 3;
    DWORD callMs = 1000;
    // A stress run instead of the figures when 'stress' is not 0.
    DWORD stress = 0;
    DWORD processes = 8;
    DWORD threads = 5;
    DWORD batch = 2000;
    bool bare = false;
};

constexpr DWORD kBurstProcesses = 8;
constexpr DWORD kBurstThreads = 16;
constexpr DWORD kCallRepeats = 3;
constexpr DWORD kWarmUpRounds = 3;
constexpr DWORD kStartTimeoutMs = 30000;
constexpr DWORD kChildTimeoutMs = 60000;
constexpr DWORD kStressChildTimeoutMs = 600000;
// The whole run stays within about ten minutes: a figure whose share is used up stops early
// and says so in its sample count. The warm activations take the largest share, as each round
// starts two client processes.
constexpr ULONGLONG kColdBudgetMs = 60000;
constexpr ULONGLONG kBurstBudgetMs = 90000;
constexpr ULONGLONG kWarmBudgetMs = 330000;

// The host's start-up between its log records, in order.
const char* const kHostStages[] = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Service started"};

class Bench
{
public:
    explicit Bench(const Options& options);
    ~Bench();
    int Run();
    int RunStress();

private:
    void Say(const char* what) const;
    [[nodiscard]] ProcessResult RunChildOf(const std::wstring& arguments, DWORD timeoutMs = kChildTimeoutMs) const;
    void EnableLog(bool enabled);
    void SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text);

    void MeasureColdStart();
    void MeasureBursts();
    bool StartWarmServers();
    void MeasureWarmActivation();
    void MeasureCalls();
    void MeasureIdleMemory(Samples& memory);
    void SampleServiceMemory(const Target& target);
    void MeasureLog();
    void PrintTable() const;

    Options m_options;
    ULONGLONG m_started = ::GetTickCount64();
    std::wstring m_baseDirectory = MakeTempDirectory(L"bench");  // "DefaultDir" during the run
    std::wstring m_logDirectory = m_baseDirectory + L"\\VexilSrvs";
    std::list<ScopedRegistryValue> m_values;
    std::optional<ScopedRegistryValue> m_logSwitch;
    UniqueKernelHandle m_bareReady{::CreateEventW(nullptr, TRUE, FALSE, kBareReadyEventName)};
    UniqueKernelHandle m_bareStop{::CreateEventW(nullptr, TRUE, FALSE, kBareStopEventName)};
    std::optional<ChildProcess> m_bareServer;
    UniqueKernelHandle m_hostProcess;
    DWORD m_hostPid = 0;

    Samples m_activation, m_create, m_query, m_call;
    std::map<DWORD, Samples> m_callsPerSecond;
    Samples m_cold;
    std::map<std::string, std::vector<double>> m_hostStages;
    Samples m_burstRate;
    std::vector<std::string> m_burstChecks;
    Samples m_memoryAfterStart, m_memoryAfterTraffic, m_memoryAsServices;
    Samples m_logRate;  // host: WriteLog; bare: the plain write-and-flush loop
    std::vector<double> m_switchRate;  // the read of "EnableWriteEvent" alone
    std::vector<std::string> m_problems;
};

// How a client process ended, for a problem line.
std::string Outcome(const ProcessResult& child)
{
    char code[64];
    std::snprintf(code, sizeof(code), " (exit code 0x%08lX%s): ", static_cast<unsigned long>(child.exitCode),
                  child.timedOut ? ", killed after the time-out" : "");
    return code + child.output;
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

// A value put back as it was at the end of the run.
void Bench::SetString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text)
{
    const auto size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    m_values.emplace_back(root, path, name, REG_SZ, text.c_str(), size);
}

Bench::Bench(const Options& options) : m_options(options)
{
    ::CreateDirectoryW(m_logDirectory.c_str(), nullptr);
    SetString(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir, m_baseDirectory);
    EnableLog(false);
    // The bare server's class and AppID, as an installer of a plain local server would write
    // them; "LocalService" lets the runtime start the bare service when it is not running.
    const std::wstring bare = OutputFile(L"VexilBareServer.exe");
    SetString(HKEY_CLASSES_ROOT, kBareClassKey, L"AppID", kBareAppId);
    SetString(HKEY_CLASSES_ROOT, std::wstring(kBareClassKey) + L"\\LocalServer32", L"", Quoted(bare));
    SetString(HKEY_CLASSES_ROOT, kBareAppIdKey, kLocalServiceValue, kBareServiceName);
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueScHandle service(::CreateServiceW(manager.get(), kBareServiceName, kBareServiceName, SERVICE_ALL_ACCESS,
                                            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                            (Quoted(bare) + L" " + kBareServiceSwitch).c_str(), nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
    // The host as it is deployed: installed with its own switch, crash dumps on by default.
    const ProcessResult registration = RunProcess(Quoted(OutputFile(L"VexilSrvs.exe")) + L" -Service");
    if (!service || !m_bareReady || !m_bareStop || registration.exitCode != 0)
        m_problems.push_back("set-up failed (bare service entry, events, or host -Service with exit code " +
                             std::to_string(registration.exitCode) + ")");
}

Bench::~Bench()
{
    if (m_bareServer) {
        ::SetEvent(m_bareStop.get());
        DWORD code = 0;
        (void)m_bareServer->Wait(10000, &code);
    }
    StopServiceAndWait(kHost.service);
    StopServiceAndWait(kBare.service);
    (void)RunProcess(Quoted(OutputFile(L"VexilSrvs.exe")) + L" -UnregServer");
    if (UniqueScHandle service = OpenNamedService(kBareServiceName, DELETE))
        ::DeleteService(service.get());
    m_logSwitch.reset();
    m_values.clear();
    DeleteKeyTree(HKEY_CLASSES_ROOT, kBareClassKey);
    DeleteKeyTree(HKEY_CLASSES_ROOT, kBareAppIdKey);
    RemoveDirectoryTree(m_baseDirectory);
}

void Bench::Say(const char* what) const
{
    std::fprintf(stderr, "[%5.0f s] %s\n", static_cast<double>(::GetTickCount64() - m_started) / 1000.0, what);
}

ProcessResult Bench::RunChildOf(const std::wstring& arguments, DWORD timeoutMs) const
{
    ProcessOptions options;
    options.timeoutMs = timeoutMs;
    options.captureOutput = true;
    return RunProcess(Quoted(OutputFile(L"VexilBench.exe")) + L" --child " + arguments, options);
}

// "EnableWriteEvent" is read at every record, so the host's log can be switched while it runs.
void Bench::EnableLog(bool enabled)
{
    m_logSwitch.reset();
    const DWORD value = enabled ? 1 : 0;
    m_logSwitch.emplace(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent, REG_DWORD, &value, sizeof(value));
}

// Start request to the second running report. The host's second report follows its log record
// "Service started" at once; the log is how it can be told from the first, and its stamps show
// where the start-up went. The bare server sets its ready event right after its one report.
void Bench::MeasureColdStart()
{
    Say("cold start as a service");
    const ULONGLONG end = ::GetTickCount64() + kColdBudgetMs;
    for (DWORD round = 0; round < m_options.coldRounds && ::GetTickCount64() < end; ++round) {
        for (const Target& target : kTargets) {
            const bool host = target.host;
            RemoveDirectoryTree(m_logDirectory);
            ::CreateDirectoryW(m_logDirectory.c_str(), nullptr);
            EnableLog(host);
            ::ResetEvent(m_bareReady.get());
            ::ResetEvent(m_bareStop.get());
            const double requested = MsOfDay();
            std::optional<double> ready;
            if (StartNamedService(target.service)) {
                if (host && PollUntil([&] { return RecordTime(m_logDirectory, "Service started").has_value(); },
                                      kStartTimeoutMs, 20))
                    ready = RecordTime(m_logDirectory, "Service started");
                else if (!host && ::WaitForSingleObject(m_bareReady.get(), kStartTimeoutMs) == WAIT_OBJECT_0)
                    ready = MsOfDay();
            }
            EnableLog(false);
            if (ready)
                SampleServiceMemory(target);
            if (!host)
                ::SetEvent(m_bareStop.get());
            StopServiceAndWait(target.service);
            if (!ready) {
                m_problems.push_back(std::string("cold start of ") + target.name + " did not complete");
                continue;
            }
            m_cold.For(target).push_back(*ready - requested);
            const char* from = "start request";
            std::optional<double> previous = requested;
            for (const char* stage : kHostStages) {
                const std::optional<double> at = host ? RecordTime(m_logDirectory, stage) : std::nullopt;
                if (previous && at)
                    m_hostStages[std::string(from) + " -> " + stage].push_back(*at - *previous);
                from = stage;
                previous = at;
            }
        }
    }
}

// 8 processes x 16 threads wait at a start line before the service exists; the service is
// started and they are released the moment it first reports running (the host: just before it
// resumes its class object, while its own creation of the manager may still be under way).
void Bench::MeasureBursts()
{
    Say("8 client processes x 16 threads on a freshly started service");
    const ULONGLONG budgetEnd = ::GetTickCount64() + kBurstBudgetMs;
    const DWORD clients = kBurstProcesses * kBurstThreads;
    for (DWORD round = 0; round < m_options.bursts && ::GetTickCount64() < budgetEnd; ++round) {
        for (const Target& target : kTargets) {
            UniqueKernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, kBurstStartEventName));
            UniqueKernelHandle ready(::CreateSemaphoreW(nullptr, 0, LONG_MAX, kBurstReadySemaphoreName));
            ::ResetEvent(m_bareStop.get());
            std::vector<ProcessResult> results(kBurstProcesses);
            std::vector<std::thread> children;
            const std::wstring arguments =
                std::wstring(L"burst ") + target.word + L" " + std::to_wstring(kBurstThreads);
            for (size_t index = 0; index < results.size(); ++index)
                children.emplace_back([&, index] { results[index] = RunChildOf(arguments); });
            DWORD waiting = 0;
            while (waiting < clients && ::WaitForSingleObject(ready.get(), kChildTimeoutMs) == WAIT_OBJECT_0)
                ++waiting;
            std::optional<SERVICE_STATUS_PROCESS> status;
            auto running = [&] {
                status = QueryService(target.service);
                return status && status->dwCurrentState == SERVICE_RUNNING;
            };
            if (waiting == clients && StartNamedService(target.service))
                (void)PollUntil(running, kStartTimeoutMs, 1);
            const double released = NowMs();
            ::SetEvent(start.get());
            for (std::thread& child : children)
                child.join();
            if (!target.host)
                ::SetEvent(m_bareStop.get());
            StopServiceAndWait(target.service);

            // Every activation succeeded, in the service's process, with one boards manager there
            // (aggregated by the host; created plainly by the bare server).
            const std::string expected = "pid " + std::to_string(status ? status->dwProcessId : 0) + ", inner " +
                                         (target.host ? "1" : "0") + ", live 1";
            DWORD succeeded = 0;
            std::vector<double> done;  // ms from the release
            std::set<std::string> servers;
            for (const ProcessResult& result : results) {
                const Values values = ParseValues(result.output);
                for (const auto& [name, value] : values) {
                    succeeded += name == "activation-hr" && value == "0x00000000" ? 1 : 0;
                    if (name == "end-ms")
                        done.push_back(std::strtod(value.c_str(), nullptr) - released);
                    else if (name == "server")
                        servers.insert(value);
                }
            }
            const bool good = succeeded == clients && servers == std::set<std::string>{expected};
            std::string check = std::string(target.name) + ": " + std::to_string(succeeded) + "/" +
                                std::to_string(clients) + " activations ok; servers seen:";
            for (const std::string& server : servers)
                check += " [" + server + "]";
            check += "; done after ms: first " + Format(Percentile(done, 0), 0) + ", median " +
                     Format(Median(done), 0) + ", last " + Format(Percentile(done, 100), 0);
            m_burstChecks.push_back(check + (good ? "" : "  <-- expected [" + expected + "]"));
            if (!good)
                m_problems.push_back("burst check failed: " + check);
            else
                m_burstRate.For(target).push_back(clients * 1000.0 / *Percentile(done, 100));
        }
    }
}

// The host as it is deployed, a service, past its second running report (with the log on just
// for that, then off); the bare server as a plain local server.
bool Bench::StartWarmServers()
{
    RemoveDirectoryTree(m_logDirectory);
    ::CreateDirectoryW(m_logDirectory.c_str(), nullptr);
    EnableLog(true);
    const bool hostReady =
        StartNamedService(kHost.service) &&
        PollUntil([&] { return RecordTime(m_logDirectory, "Service started").has_value(); }, kStartTimeoutMs, 20);
    EnableLog(false);
    const auto status = QueryService(kHost.service);
    if (!hostReady || !status) {
        m_problems.push_back("the host service did not report its manager started (is the build signed?)");
        return false;
    }
    m_hostPid = status->dwProcessId;
    m_hostProcess.reset(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, m_hostPid));

    ::ResetEvent(m_bareReady.get());
    ::ResetEvent(m_bareStop.get());
    m_bareServer.emplace(Quoted(OutputFile(L"VexilBareServer.exe")));
    if (::WaitForSingleObject(m_bareReady.get(), kStartTimeoutMs) != WAIT_OBJECT_0) {
        m_problems.push_back("the bare local server did not start");
        return false;
    }
    return true;
}

void Bench::MeasureWarmActivation()
{
    Say("warm activation from a new client process");
    const ULONGLONG end = ::GetTickCount64() + kWarmBudgetMs;
    // Interleaved, so both servers see the same machine over the same minutes; the first
    // rounds only warm up the servers' marshaling of the interface.
    for (DWORD round = 0; round < m_options.rounds + kWarmUpRounds && ::GetTickCount64() < end; ++round) {
        for (const Target& target : kTargets) {
            const ProcessResult child = RunChildOf(std::wstring(L"activate ") + target.word);
            const Values values = ParseValues(child.output);
            const DWORD expectedPid = target.host ? m_hostPid : m_bareServer->id();
            if (child.exitCode != 0 || Number(values, "server-pid") != static_cast<double>(expectedPid)) {
                m_problems.push_back(std::string("activation of ") + target.name + " failed" + Outcome(child));
                continue;
            }
            if (round < kWarmUpRounds)
                continue;
            m_activation.For(target).push_back(*Number(values, "activation-ms"));
            m_create.For(target).push_back(*Number(values, "create-ms"));
            m_query.For(target).push_back(*Number(values, "query-ms"));
            m_call.For(target).push_back(*Number(values, "call-ms"));
        }
    }
}

void Bench::MeasureCalls()
{
    Say("calls per second on one object from 1, 4, 16 client threads");
    for (DWORD threads : {1ul, 4ul, 16ul}) {
        for (DWORD repeat = 0; repeat < kCallRepeats; ++repeat) {
            for (const Target& target : kTargets) {
                const std::wstring counts = std::to_wstring(threads) + L" " + std::to_wstring(m_options.callMs);
                const ProcessResult child = RunChildOf(std::wstring(L"calls ") + target.word + L" " + counts);
                const auto rate = Number(ParseValues(child.output), "calls-per-second");
                if (child.exitCode != 0 || !rate)
                    m_problems.push_back(std::string("calls on ") + target.name + " failed" + Outcome(child));
                else
                    m_callsPerSecond[threads].For(target).push_back(*rate);
            }
        }
    }
}

// Taken right after start and again after the warm figures: the runtime keeps the threads
// and buffers that the traffic made it create, whichever server it served.
void Bench::MeasureIdleMemory(Samples& memory)
{
    Say("idle private memory");
    ::Sleep(1000);  // the servers' worker threads go quiet
    for (int sample = 0; sample < 3; ++sample, ::Sleep(200)) {
        memory.host.push_back(MemoryMiB(m_hostProcess.get()));
        memory.bare.push_back(MemoryMiB(m_bareServer->handle()));
    }
}

// Both as services, right after start: a service process has threads that a local server has not
// (the dispatcher's and the service's own), whatever it serves.
void Bench::SampleServiceMemory(const Target& target)
{
    ::Sleep(1000);  // as for the other memory figures: the start-up's worker threads go quiet
    const auto status = QueryService(target.service);
    UniqueKernelHandle process(
        status ? ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, status->dwProcessId) : nullptr);
    if (process)
        m_memoryAsServices.For(target).push_back(MemoryMiB(process.get()));
}

void Bench::MeasureLog()
{
    Say("diagnostic-log records per second");
    EnableLog(true);
    const ProcessResult run = RunProcess(Quoted(OutputFile(L"VexilLogBench.exe")), {kChildTimeoutMs, true});
    EnableLog(false);
    for (const auto& [name, value] : ParseValues(run.output)) {
        std::vector<double>* samples = name == "writelog-rps" ? &m_logRate.host
                                       : name == "plain-rps"  ? &m_logRate.bare
                                       : name == "switch-rps" ? &m_switchRate
                                                              : nullptr;
        if (samples != nullptr)
            samples->push_back(std::strtod(value.c_str(), nullptr));
    }
    if (run.exitCode != 0 || m_logRate.host.empty())
        m_problems.push_back("log benchmark failed: " + run.output);
}

void Bench::PrintTable() const
{
    std::vector<std::vector<std::string>> rows{{"figure", "host", "bare", "host/bare"}};
    auto row = [&](const std::string& figure, std::optional<double> host, std::optional<double> bare, int decimals) {
        const std::optional<double> ratio =
            host && bare && *bare > 0 ? std::optional<double>(*host / *bare) : std::nullopt;
        rows.push_back({figure, Format(host, decimals), Format(bare, decimals), Format(ratio, 2)});
    };
    auto n = [](const std::vector<double>& samples) { return " (n=" + std::to_string(samples.size()) + ")"; };
    row("warm activation, new client process, median ms" + n(m_activation.host), Median(m_activation.host),
        Median(m_activation.bare), 2);
    row("warm activation, new client process, p95 ms", Percentile(m_activation.host, 95),
        Percentile(m_activation.bare, 95), 2);
    row("- of which CoCreateInstance, median ms", Median(m_create.host), Median(m_create.bare), 2);
    row("- of which QueryInterface, median ms", Median(m_query.host), Median(m_query.bare), 2);
    row("- of which the call, median ms", Median(m_call.host), Median(m_call.bare), 2);
    for (const auto& [threads, samples] : m_callsPerSecond)
        row("calls/s on one object, client threads: " + std::to_string(threads), Median(samples.host),
            Median(samples.bare), 0);
    row("cold start, request to second running report, median ms" + n(m_cold.host), Median(m_cold.host),
        Median(m_cold.bare), 0);
    const char* from = "start request";
    for (const char* stage : kHostStages) {
        const auto found = m_hostStages.find(std::string(from) + " -> " + stage);
        row(std::string("- host log: ") + from + " -> " + stage + ", median ms",
            found == m_hostStages.end() ? std::nullopt : Median(found->second), std::nullopt, 0);
        from = stage;
    }
    row("8x16 activations at once on a fresh service, activations/s" + n(m_burstRate.host), Median(m_burstRate.host),
        Median(m_burstRate.bare), 0);
    row("idle private memory after start, MiB", Median(m_memoryAfterStart.host), Median(m_memoryAfterStart.bare), 1);
    row("- the same with the bare server as a service, MiB" + n(m_memoryAsServices.host),
        Median(m_memoryAsServices.host), Median(m_memoryAsServices.bare), 1);
    row("idle private memory after the warm figures, MiB", Median(m_memoryAfterTraffic.host),
        Median(m_memoryAfterTraffic.bare), 1);
    row("log records/s (host: log on; bare: write+flush loop)", Median(m_logRate.host), Median(m_logRate.bare), 0);
    row("- the log's switch read alone (every record reads it), reads/s", Median(m_switchRate), std::nullopt, 0);

    // A Markdown table with padded columns: readable here and ready for the benchmark document.
    std::vector<size_t> widths(4, 0);
    for (const auto& cells : rows) {
        for (size_t column = 0; column < 4; ++column)
            widths[column] = std::max(widths[column], cells[column].size());
    }
    for (size_t index = 0; index < rows.size(); ++index) {
        for (size_t column = 0; column < 4; ++column)
            std::printf(column == 0 ? "| %-*s |" : " %*s |", static_cast<int>(widths[column]),
                        rows[index][column].c_str());
        std::printf("\n");
        if (index == 0)
            std::printf("|%s|%s:|%s:|%s:|\n", std::string(widths[0] + 2, '-').c_str(),
                        std::string(widths[1] + 1, '-').c_str(), std::string(widths[2] + 1, '-').c_str(),
                        std::string(widths[3] + 1, '-').c_str());
    }
    std::printf("\nburst checks:\n");
    for (const std::string& check : m_burstChecks)
        std::printf("  %s\n", check.c_str());
    for (const std::string& problem : m_problems)
        std::printf("problem: %s\n", problem.c_str());
    std::fflush(stdout);
}

// The server as a service, and batches of client processes against it until the activations
// are made; one line after each batch. The server's handles and private bytes come from the
// system's lists, as the soak test reads them (Wine answers zeros for another process).
int Bench::RunStress()
{
    const Target& target = m_options.bare ? kBare : kHost;
    if (!m_problems.empty()) {
        PrintTable();
        return 1;
    }
    ::ResetEvent(m_bareReady.get());
    ::ResetEvent(m_bareStop.get());
    std::optional<SERVICE_STATUS_PROCESS> status;
    const bool running = StartNamedService(target.service) && PollUntil([&] {
        status = QueryService(target.service);
        return status && status->dwCurrentState == SERVICE_RUNNING;
    }, kStartTimeoutMs, 20);
    if (!running) {
        std::printf("problem: the %s service did not start\n", target.name);
        return 1;
    }
    const DWORD pid = status->dwProcessId;
    HeldActivation held(*target.clsid);  // the clients' references never all go at once
    if (FAILED(held.result())) {
        std::printf("problem: the %s service could not be activated (0x%08lX)\n", target.name,
                    static_cast<unsigned long>(held.result()));
        if (!target.host)
            ::SetEvent(m_bareStop.get());
        StopServiceAndWait(target.service);  // the next run installs and starts it afresh
        return 1;
    }
    const DWORD perProcess = std::max<DWORD>(1, m_options.batch / (m_options.processes * m_options.threads));
    std::printf("stress: %lu activations against the %s service (pid %lu) from %lu client processes at a time, "
                "%lu threads x %lu rounds each\n", m_options.stress, target.name, pid, m_options.processes,
                m_options.threads, perProcess);
    unsigned long long made = 0, succeeded = 0;
    std::map<std::string, unsigned long long> failures;  // by code; a client process's own end by its exit code
    while (made < m_options.stress) {
        std::vector<ProcessResult> results(m_options.processes);
        std::vector<std::thread> clients;
        const std::wstring arguments = std::wstring(L"stress ") + target.word + L" " +
                                       std::to_wstring(m_options.threads) + L" " + std::to_wstring(perProcess);
        for (ProcessResult& result : results)
            clients.emplace_back([&, this] { result = RunChildOf(arguments, kStressChildTimeoutMs); });
        for (std::thread& client : clients)
            client.join();
        for (const ProcessResult& result : results) {
            made += static_cast<unsigned long long>(m_options.threads) * perProcess;
            const Values values = ParseValues(result.output);
            succeeded += static_cast<unsigned long long>(Number(values, "activations").value_or(0));
            for (const auto& [name, value] : values) {
                if (name.rfind("failed-", 0) == 0)
                    failures[name.substr(7)] += std::strtoull(value.c_str(), nullptr, 10);
            }
            if (result.exitCode != 0 || result.timedOut) {
                char code[64];
                std::snprintf(code, sizeof(code), "client process ended 0x%08lX%s",
                              static_cast<unsigned long>(result.exitCode), result.timedOut ? " (time-out)" : "");
                ++failures[code];
                // Its own report and Wine's crash dump, which say where it ended.
                std::printf("client process ended 0x%08lX; its output:\n%s\n",
                            static_cast<unsigned long>(result.exitCode), result.output.substr(0, 6000).c_str());
            }
        }
        const std::optional<ProcessUsage> usage = ReadProcessUsage(pid);
        std::string failed;
        for (const auto& [code, count] : failures)
            failed += (failed.empty() ? "" : ", ") + code + " x" + std::to_string(count);
        std::printf("[%6.0f s] %llu/%llu activations ok; failures: %s; server handles %lu, threads %lu, private bytes "
                    "%.1f MiB\n", static_cast<double>(::GetTickCount64() - m_started) / 1000.0, succeeded, made,
                    failed.empty() ? "none" : failed.c_str(), usage ? usage->handles : 0, usage ? usage->threads : 0,
                    usage ? static_cast<double>(usage->privateBytes) / (1024.0 * 1024.0) : 0.0);
        std::fflush(stdout);
    }
    held.release();
    if (!target.host)
        ::SetEvent(m_bareStop.get());
    StopServiceAndWait(target.service);
    const auto stopped = QueryService(target.service);
    std::printf("stress: %llu of %llu activations ok; the service stopped with exit code 0x%08lX\n", succeeded, made,
                stopped ? stopped->dwWin32ExitCode : 0xFFFFFFFFul);
    return succeeded == made && stopped && stopped->dwWin32ExitCode == 0 ? 0 : 1;
}

int Bench::Run()
{
    if (m_problems.empty()) {
        MeasureColdStart();
        MeasureBursts();
        // The bare server is started by hand here, as a plain local server.
        ScopedRegistryValueAbsent localServer(HKEY_CLASSES_ROOT, kBareAppIdKey, kLocalServiceValue);
        if (StartWarmServers()) {
            MeasureIdleMemory(m_memoryAfterStart);
            MeasureWarmActivation();
            MeasureCalls();
            MeasureIdleMemory(m_memoryAfterTraffic);
        }
        MeasureLog();
    }
    PrintTable();
    return m_problems.empty() ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // The client modes make their first out-of-process COM calls from many threads at once:
    // under Wine 8 the RPC runtime must have loaded its marshaling engine's entry points before.
    WarmUpNdrEngine();
    if (argc >= 3 && std::wcscmp(argv[1], L"--child") == 0) {
        // Their threads make and drop proxies of the boards, each in its own apartment, at once:
        // under Wine 8 the type libraries behind those proxies are held for the process's life.
        const HeldVexilTypeLibraries libraries;
        return RunChild(argc, argv);
    }

    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (name == L"--bare") {
            options.bare = true;
            continue;
        }
        const DWORD value = i + 1 < argc ? std::wcstoul(argv[++i], nullptr, 10) : 0;
        DWORD* field = name == L"--rounds" ? &options.rounds
                       : name == L"--cold" ? &options.coldRounds
                       : name == L"--bursts" ? &options.bursts
                       : name == L"--call-ms" ? &options.callMs
                       : name == L"--stress" ? &options.stress
                       : name == L"--processes" ? &options.processes
                       : name == L"--threads" ? &options.threads
                       : name == L"--batch" ? &options.batch
                                              : nullptr;
        if (field == nullptr || value == 0) {
            std::fprintf(stderr, "usage: VexilBench [--rounds N] [--cold N] [--bursts N] [--call-ms N]\n"
                                 "       VexilBench --stress N [--processes M] [--threads T] [--batch B] [--bare]\n");
            return E_INVALIDARG;
        }
        *field = value;
    }
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return E_FAIL;
    ::timeBeginPeriod(1);  // the polling loops sleep 1 ms at a time
    int result = 1;
    try {
        Bench bench(options);
        result = options.stress != 0 ? bench.RunStress() : bench.Run();
    } catch (const std::exception& error) {  // the registry helpers throw when a key cannot be written
        std::printf("problem: %s\n", error.what());
    }
    ::timeEndPeriod(1);
    ::CoUninitialize();
    return result;
}
