#include "tests/e2e/HostHarness.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "diagnostics/DiagnosticsNames.h"
#include "tests/support/TestFiles.h"

namespace {

bool IsProgram(HANDLE process, const wchar_t* executable)
{
    wchar_t path[MAX_PATH * 2];
    DWORD length = ARRAYSIZE(path);
    if (!::QueryFullProcessImageNameW(process, 0, path, &length))
        return false;  // not started far enough to have an image: not one of ours either
    const size_t separator = std::wstring_view(path, length).find_last_of(L"\\/");  // npos + 1 is 0: a bare name
    return _wcsicmp(path + separator + 1, executable) == 0;
}

void TerminateProgram(DWORD id, const wchar_t* executable)
{
    UniqueKernelHandle process = OpenProgram(id, executable, PROCESS_TERMINATE | SYNCHRONIZE);
    if (process && ::TerminateProcess(process.get(), 0xDEAD))
        ::WaitForSingleObject(process.get(), 10000);
}

}  // namespace

UniqueKernelHandle OpenProgram(DWORD pid, const wchar_t* executable, DWORD access)
{
    UniqueKernelHandle process(::OpenProcess(access | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process && !IsProgram(process.get(), executable)) {
        std::printf("process %lu is no longer %ls; left alone\n", pid, executable);
        process.reset();
    }
    return process;
}

std::vector<DWORD> ProcessIdsNamed(const wchar_t* name)
{
    std::vector<DWORD> ids;
    UniqueKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

DWORD RunHost(const std::wstring& arguments, const std::wstring& executable)
{
    const ProcessResult result = RunProcess(Quoted(executable) + L" " + arguments, {120000});
    EXPECT_TRUE(result.started && !result.timedOut)
        << Narrow(kHostExecutable) << " " << Narrow(arguments) << (result.started ? ": timed out" : ": not started, error ")
        << (result.started ? "" : std::to_string(result.startError));
    return result.exitCode;
}

ClientRun RunClient(const std::wstring& arguments, DWORD timeoutMs)
{
    ClientRun run{RunProcess(Quoted(OutputFile(L"VexilClient.exe")) + L" " + arguments, {timeoutMs, true}), {}};
    std::istringstream lines(run.process.output);
    for (std::string line; std::getline(lines, line);) {
        if (const size_t equals = line.find('='); equals != std::string::npos)
            run.values[line.substr(0, equals)].push_back(line.substr(equals + 1, line.find_last_not_of('\r') - equals));
    }
    return run;
}

bool QuitHost(DWORD pid, DWORD timeoutMs)
{
    const UniqueKernelHandle process = OpenHost(pid, SYNCHRONIZE);
    if (!process)
        return true;  // ended, and its id may already be another program's
    UniqueKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 thread{};
    thread.dwSize = sizeof(thread);
    for (BOOL more = ::Thread32First(snapshot.get(), &thread); more; more = ::Thread32Next(snapshot.get(), &thread)) {
        if (thread.th32OwnerProcessID == pid)
            ::PostThreadMessageW(thread.th32ThreadID, WM_QUIT, 0, 0);  // only the run thread pumps
    }
    return ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

UniqueScHandle OpenHostService(DWORD access)
{
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return UniqueScHandle(manager ? ::OpenServiceW(manager.get(), L"VexilSrvs", access) : nullptr);
}

SERVICE_STATUS_PROCESS QueryHostService()
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (const UniqueScHandle service = OpenHostService(SERVICE_QUERY_STATUS))
        (void)::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                     sizeof(status), &needed);  // a failed query leaves it zero
    return status;
}

bool ControlHostService(DWORD code)
{
    UniqueScHandle service = OpenHostService(SERVICE_START | SERVICE_STOP | SERVICE_USER_DEFINED_CONTROL);
    SERVICE_STATUS status{};
    return service && (code == 0 ? ::StartServiceW(service.get(), 0, nullptr)
                                 : ::ControlService(service.get(), code, &status));
}

void HostEndToEndTest::SetUp()
{
    TearDown();
    m_baseDirectory = MakeTempDirectory(L"e2e");
    m_values.emplace_back(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir, REG_SZ, m_baseDirectory.c_str(),
                          static_cast<DWORD>((m_baseDirectory.size() + 1) * sizeof(wchar_t)));
    SetDword(kParamsKeyPath, kParamEnableWriteEvent, 1);
    SetDword(kParamsKeyPath, kParamEnableDump, 0);
}

void HostEndToEndTest::TearDown()
{
    if (ControlHostService(SERVICE_CONTROL_STOP))
        (void)WaitForServiceState(SERVICE_STOPPED);
    ::DeleteService(OpenHostService(DELETE).get());
    for (DWORD id : HostProcessIds())
        TerminateProgram(id, kHostExecutable);
    // Wine's RPC service keeps the class registration of a server that ended without revoking
    // it (killed, or a run that stops before its revocation step, as the host's early failures
    // do) and sends later activations to the dead endpoint (0x800706BA). Windows drops them
    // with the process; here the service is ended and starts afresh on the next COM call.
    for (DWORD id : ProcessIdsNamed(L"rpcss.exe"))
        TerminateProgram(id, L"rpcss.exe");
    // A failed run of a test may leave a registration that unregistration cannot remove.
    (void)RunHost(L"-UnregServer");
    for (const std::wstring& key : {kServerAppIdKey, kServerClassKey, kServerTypeLibKey, std::wstring(L"AppID\\VexilSrvs.EXE"),
                                    std::wstring(L"VexilSrvs.VexilMgrSrv.1"), std::wstring(L"VexilSrvs.VexilMgrSrv")}) {
        DeleteKeyTree(HKEY_CLASSES_ROOT, key);
        DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Classes\\" + key);  // a per-user registration
    }
    while (!m_values.empty())
        m_values.pop_back();  // newest first, so a value set twice gets its first old value back
    if (!m_baseDirectory.empty())
        RemoveDirectoryTree(m_baseDirectory);
}

std::vector<std::wstring> HostEndToEndTest::HostLogFiles() const
{
    std::vector<std::wstring> logs = FilesIn(m_baseDirectory + L"\\VexilSrvs");
    std::erase_if(logs, [](const std::wstring& name) { return !name.starts_with(L"VexilSrvsLog"); });
    for (std::wstring& name : logs)
        name = m_baseDirectory + L"\\VexilSrvs\\" + name;
    std::ranges::sort(logs);
    return logs;
}
