#include "tests/e2e/HostHarness.h"

#include <tlhelp32.h>

#include <algorithm>

#include "diagnostics/DiagnosticsNames.h"
#include "support/UniqueHandle.h"
#include "tests/support/LogReader.h"
#include "tests/support/TestFiles.h"

namespace {

constexpr wchar_t kServiceName[] = L"VexilSrvs";
constexpr wchar_t kBoardsKnobsKey[] = L"SOFTWARE\\VexilStandIns\\BoardsManager";

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

}  // namespace

UniqueScHandle OpenHostService(DWORD access)
{
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return {};
    return UniqueScHandle(::OpenServiceW(manager.get(), kServiceName, access));
}

std::string ClientRun::Value(const std::string& name) const
{
    const auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
}

std::vector<std::string> ClientRun::Values(const std::string& name) const
{
    std::vector<std::string> found;
    const auto range = values.equal_range(name);
    for (auto it = range.first; it != range.second; ++it)
        found.push_back(it->second);
    return found;
}

std::wstring HostPath()
{
    return OutputFile(L"VexilSrvs.exe");
}

std::wstring ServerAppIdKey()
{
    return L"AppID\\{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";
}

std::wstring ServerClassKey()
{
    return L"CLSID\\{6D1F3A20-8C44-4B7E-A5D2-19E07C3B5F41}";
}

std::wstring ServerTypeLibKey()
{
    return L"TypeLib\\{9E47B1D2-5A6C-4F38-B017-3C82E5D9A4F6}";
}

DWORD RunHost(const std::wstring& arguments, DWORD timeoutMs)
{
    return RunHostAt(HostPath(), arguments, timeoutMs);
}

DWORD RunHostAt(const std::wstring& executable, const std::wstring& arguments, DWORD timeoutMs)
{
    ProcessOptions options;
    options.timeoutMs = timeoutMs;
    const ProcessResult result = RunProcess(Quoted(executable) + L" " + arguments, options);
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut) << "VexilSrvs.exe " << std::string(arguments.begin(), arguments.end());
    return result.exitCode;
}

ClientRun RunClient(const std::wstring& arguments, DWORD timeoutMs)
{
    ProcessOptions options;
    options.timeoutMs = timeoutMs;
    options.captureOutput = true;
    ClientRun run;
    run.process = RunProcess(Quoted(OutputFile(L"VexilClient.exe")) + L" " + arguments, options);
    size_t start = 0;
    const std::string& output = run.process.output;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // "name=value" and "what hr=0x..." lines alike: the name is what precedes the last '='.
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            std::string name = line.substr(0, equals);
            if (const size_t space = name.rfind(' '); space != std::string::npos && name.substr(space + 1) == "hr")
                name = name.substr(0, space);
            run.values.emplace(name, line.substr(equals + 1));
        }
        start = end + 1;
    }
    return run;
}

std::vector<DWORD> HostProcessIds()
{
    std::vector<DWORD> ids;
    UniqueKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"VexilSrvs.exe") == 0)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool QuitHost(DWORD pid, DWORD timeoutMs)
{
    UniqueKernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process)
        return true;
    UniqueKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 thread{};
    thread.dwSize = sizeof(thread);
    for (BOOL more = ::Thread32First(snapshot.get(), &thread); more; more = ::Thread32Next(snapshot.get(), &thread)) {
        if (thread.th32OwnerProcessID == pid)
            ::PostThreadMessageW(thread.th32ThreadID, WM_QUIT, 0, 0);  // only the run thread pumps
    }
    return ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

namespace {

void TerminateProcessesNamed(const wchar_t* name)
{
    UniqueKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, name) != 0)
            continue;
        UniqueKernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (process) {
            ::TerminateProcess(process.get(), 0xDEAD);
            ::WaitForSingleObject(process.get(), 10000);
        }
    }
}

}  // namespace

void KillHostProcesses()
{
    for (DWORD id : HostProcessIds()) {
        if (!QuitHost(id)) {
            UniqueKernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
            if (process) {
                ::TerminateProcess(process.get(), 0xDEAD);
                ::WaitForSingleObject(process.get(), 10000);
            }
        }
    }
    // Wine's RPC service keeps the class registration of a server that ended without revoking
    // it (killed, or a run that stops before its revocation step, as the host's early failures
    // do) and sends later activations to the dead endpoint (0x800706BA). Windows drops them
    // with the process; here the service is ended and starts afresh on the next COM call.
    TerminateProcessesNamed(L"rpcss.exe");
}

std::optional<SERVICE_STATUS_PROCESS> QueryHostService()
{
    UniqueScHandle service = OpenHostService(SERVICE_QUERY_STATUS);
    if (!service)
        return std::nullopt;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed))
        return std::nullopt;
    return status;
}

bool StartHostService()
{
    UniqueScHandle service = OpenHostService(SERVICE_START);
    return service && ::StartServiceW(service.get(), 0, nullptr);
}

bool StopHostService()
{
    UniqueScHandle service = OpenHostService(SERVICE_STOP);
    SERVICE_STATUS status{};
    return service && ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
}

bool WaitForServiceState(DWORD state, DWORD timeoutMs)
{
    return WaitUntil(
        [state] {
            const auto status = QueryHostService();
            return status && status->dwCurrentState == state;
        },
        timeoutMs);
}

void RemoveHostService()
{
    UniqueScHandle service = OpenHostService(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!service)
        return;
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    (void)WaitForServiceState(SERVICE_STOPPED, 20000);
    ::DeleteService(service.get());
}

void RemoveServerKeys()
{
    const std::wstring serverKeys[] = {
        ServerAppIdKey(), L"AppID\\VexilSrvs.EXE", L"VexilSrvs.VexilMgrSrv.1", L"VexilSrvs.VexilMgrSrv",
        ServerClassKey(), ServerTypeLibKey(),
    };
    for (const std::wstring& key : serverKeys) {
        DeleteKeyTree(HKEY_CLASSES_ROOT, key);
        DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Classes\\" + key);
    }
}

void HostEndToEndTest::SetUp()
{
    KillHostProcesses();
    m_baseDirectory = MakeTempDirectory(L"e2e");
    m_logDirectory = m_baseDirectory + L"\\VexilSrvs";
    m_values.emplace_back(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir, REG_SZ, m_baseDirectory.c_str(),
                          static_cast<DWORD>((m_baseDirectory.size() + 1) * sizeof(wchar_t)));
    SetParam(kParamEnableWriteEvent, 1);
    SetParam(kParamEnableDump, 0);
}

void HostEndToEndTest::TearDown()
{
    RemoveHostService();
    KillHostProcesses();
    (void)RunHost(L"-UnregServer");
    (void)RunHost(L"-UnregServerPerUser");
    RemoveServerKeys();
    while (!m_values.empty())
        m_values.pop_back();
    RemoveDirectoryTree(m_baseDirectory);
}

void HostEndToEndTest::Register(const wchar_t* switchWord)
{
    ASSERT_EQ(RunHost(switchWord), 0u) << "registration with " << std::string(switchWord, switchWord + wcslen(switchWord));
}

std::vector<std::wstring> HostEndToEndTest::HostLogFiles() const
{
    std::vector<std::wstring> logs;
    for (const std::wstring& name : FilesIn(m_logDirectory)) {
        if (name.rfind(L"VexilSrvsLog", 0) == 0)
            logs.push_back(m_logDirectory + L"\\" + name);
    }
    std::sort(logs.begin(), logs.end());
    return logs;
}

std::vector<std::string> HostEndToEndTest::HostLog(size_t index) const
{
    const auto logs = HostLogFiles();
    return index < logs.size() ? LogRecordTexts(logs[index]) : std::vector<std::string>{};
}

void HostEndToEndTest::SetParam(const wchar_t* name, DWORD value)
{
    m_values.emplace_back(HKEY_LOCAL_MACHINE, kParamsKeyPath, name, REG_DWORD, &value, 4);
}

void HostEndToEndTest::SetBoardsKnob(const wchar_t* name, DWORD value)
{
    m_values.emplace_back(HKEY_LOCAL_MACHINE, kBoardsKnobsKey, name, REG_DWORD, &value, 4);
}
