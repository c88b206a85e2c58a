#pragma once

// Drives the built host from outside, as its users do: runs VexilSrvs.exe with switches,
// starts and stops it through the Service Control Manager, runs VexilClient.exe against it,
// points its diagnostic log at a fresh directory and reads the log back.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "support/UniqueHandle.h"
#include "tests/support/LogReader.h"
#include "tests/support/TestProcess.h"
#include "tests/support/TestRegistry.h"

using Texts = std::vector<std::string>;

inline const std::wstring kServerAppIdKey = L"AppID\\{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";
inline const std::wstring kServerClassKey = L"CLSID\\{6D1F3A20-8C44-4B7E-A5D2-19E07C3B5F41}";
inline const std::wstring kServerTypeLibKey = L"TypeLib\\{9E47B1D2-5A6C-4F38-B017-3C82E5D9A4F6}";

// One run of VexilClient.exe: its exit code and output, and the values of its "name=value"
// lines by name, in order.
struct ClientRun
{
    ProcessResult process;
    std::map<std::string, Texts> values;
};

inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }  // ASCII
inline std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }
inline constexpr wchar_t kHostExecutable[] = L"VexilSrvs.exe";
inline std::wstring HostPath() { return OutputFile(kHostExecutable); }

// Runs the host (or a copy of it at 'executable') with 'arguments' and answers its exit code.
[[nodiscard]] DWORD RunHost(const std::wstring& arguments, const std::wstring& executable = HostPath());
[[nodiscard]] ClientRun RunClient(const std::wstring& arguments, DWORD timeoutMs = 60000);

// Asks a host to end as its idle path would: a quit message to its threads, so the run stops in
// order and revokes its class object. True when the process ended within 'timeoutMs'.
bool QuitHost(DWORD pid, DWORD timeoutMs = 15000);
[[nodiscard]] std::vector<DWORD> ProcessIdsNamed(const wchar_t* executable);
[[nodiscard]] inline std::vector<DWORD> HostProcessIds() { return ProcessIdsNamed(kHostExecutable); }
// Opens the process with id 'pid' only while it is still 'executable'. An id read from a
// snapshot or a status goes back to the pool when its process ends, and Wine hands it to a new
// thread or process a few hundred creations later: by the time it is opened it may name a
// program of another test that is just starting, which must not be quit or killed.
[[nodiscard]] UniqueKernelHandle OpenProgram(DWORD pid, const wchar_t* executable, DWORD access);
[[nodiscard]] inline UniqueKernelHandle OpenHost(DWORD pid, DWORD access) { return OpenProgram(pid, kHostExecutable, access); }

// Waits until 'condition' holds, polling every 50 ms; false when 'timeoutMs' ran out.
template <typename Condition>
[[nodiscard]] bool WaitUntil(Condition condition, DWORD timeoutMs)
{
    for (const ULONGLONG end = ::GetTickCount64() + timeoutMs; !condition(); ::Sleep(50)) {
        if (::GetTickCount64() >= end)
            return false;
    }
    return true;
}

// The "VexilSrvs" entry of the Service Control Manager. The status is all zero without an entry.
[[nodiscard]] UniqueScHandle OpenHostService(DWORD access);
[[nodiscard]] SERVICE_STATUS_PROCESS QueryHostService();
// Starts the service (code 0) or sends it a control code.
[[nodiscard]] bool ControlHostService(DWORD code);

// The environment of one end-to-end test: a fresh log directory for the host (through
// "DefaultDir"), the log switched on, crash dumps off unless asked for, and before and after
// it no host process, no service entry and no registration.
class HostEndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Registers the host with its own switch ("-RegServer" or "-Service") and expects success.
    void Register(const wchar_t* switchWord) { ASSERT_EQ(RunHost(switchWord), 0u) << Narrow(switchWord); }

    // Log files of the host processes of this test, oldest first (their names carry the time
    // of their first record), and the texts of one of them.
    [[nodiscard]] std::vector<std::wstring> HostLogFiles() const;
    [[nodiscard]] Texts HostLog(size_t index = 0) const
    {
        const auto logs = HostLogFiles();
        return index < logs.size() ? LogRecordTexts(logs[index]) : Texts{};
    }
    // Succeeds once 'text' is in the log; after 20 s without it, says what the service and the
    // log show, so that a run that stalls can be told from one that ended.
    [[nodiscard]] ::testing::AssertionResult WaitForLogText(const std::string& text, size_t index = 0) const
    {
        if (WaitUntil([&] { return std::ranges::count(HostLog(index), text) > 0; }, 20000))
            return ::testing::AssertionSuccess();
        return DescribeServiceAndLog(::testing::AssertionFailure() << "\"" << text << "\" not in log " << index << " after 20 s",
                                     index);
    }
    // Succeeds once the service reports 'state'; after 30 s, says what the service and the
    // first log show (a start-up that stalls at a step, or a host that has gone).
    [[nodiscard]] ::testing::AssertionResult WaitForServiceState(DWORD state) const
    {
        if (WaitUntil([state] { return QueryHostService().dwCurrentState == state; }, 30000))
            return ::testing::AssertionSuccess();
        return DescribeServiceAndLog(::testing::AssertionFailure() << "state " << state << " not reported after 30 s", 0);
    }
    [[nodiscard]] ::testing::AssertionResult DescribeServiceAndLog(::testing::AssertionResult failure, size_t index) const
    {
        const SERVICE_STATUS_PROCESS service = QueryHostService();
        failure << "; the service's state " << service.dwCurrentState << " (check point " << service.dwCheckPoint
                << "), exit code " << service.dwWin32ExitCode << ", process " << service.dwProcessId << ", host processes "
                << HostProcessIds().size() << "; log " << index << ":";
        for (const std::string& record : HostLog(index))
            failure << "\n  " << record;
        return failure;
    }

    // A DWORD under 'key' of HKEY_LOCAL_MACHINE (the host's parameters, the stand-ins' knobs)
    // for the length of the test.
    void SetDword(const wchar_t* key, const wchar_t* name, DWORD value)
    {
        m_values.emplace_back(HKEY_LOCAL_MACHINE, key, name, REG_DWORD, &value, 4);
    }
    void SetString(const wchar_t* key, const wchar_t* name, const std::wstring& text)
    {
        m_values.emplace_back(HKEY_LOCAL_MACHINE, key, name, REG_SZ, text.c_str(),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    std::wstring m_baseDirectory;  // "DefaultDir"; the host logs into <base>\VexilSrvs

private:
    std::list<ScopedRegistryValue> m_values;
};
