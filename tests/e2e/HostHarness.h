#pragma once

// Drives the built host from outside, as its users do: runs VexilSrvs.exe with switches,
// starts and stops it through the Service Control Manager, runs VexilClient.exe against it,
// points its diagnostic log at a fresh directory and reads the log back.

#include <gtest/gtest.h>

#include <windows.h>

#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/UniqueHandle.h"
#include "tests/support/TestProcess.h"
#include "tests/support/TestRegistry.h"

// One run of VexilClient.exe: its "name=value" lines and exit code.
struct ClientRun
{
    ProcessResult process;
    std::multimap<std::string, std::string> values;

    [[nodiscard]] std::string Value(const std::string& name) const;
    [[nodiscard]] std::vector<std::string> Values(const std::string& name) const;
};

[[nodiscard]] std::wstring HostPath();
[[nodiscard]] std::wstring ServerAppIdKey();
[[nodiscard]] std::wstring ServerClassKey();
[[nodiscard]] std::wstring ServerTypeLibKey();

// Runs the host with 'arguments' to completion and answers its full exit code.
[[nodiscard]] DWORD RunHost(const std::wstring& arguments, DWORD timeoutMs = 120000);
// The same with a copy of the host elsewhere ('executable' is its full path).
[[nodiscard]] DWORD RunHostAt(const std::wstring& executable, const std::wstring& arguments,
                              DWORD timeoutMs = 120000);

// Runs the client with 'arguments' and parses its output.
[[nodiscard]] ClientRun RunClient(const std::wstring& arguments, DWORD timeoutMs = 60000);

// Asks a host to end as its idle path would: a quit message to its threads, so the run stops in
// order and revokes its class object. True when the process ended within 'timeoutMs'.
bool QuitHost(DWORD pid, DWORD timeoutMs = 15000);

// Ends every VexilSrvs.exe process of the prefix: in order where possible, else by force.
void KillHostProcesses();
[[nodiscard]] std::vector<DWORD> HostProcessIds();

// Waits until 'condition' holds, polling every 50 ms; false when 'timeoutMs' ran out.
template <typename Condition>
[[nodiscard]] bool WaitUntil(Condition condition, DWORD timeoutMs)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() >= end)
            return false;
        ::Sleep(50);
    }
    return true;
}

// Service Control Manager helpers for the "VexilSrvs" entry.
[[nodiscard]] UniqueScHandle OpenHostService(DWORD access);
[[nodiscard]] std::optional<SERVICE_STATUS_PROCESS> QueryHostService();
[[nodiscard]] bool StartHostService();
[[nodiscard]] bool StopHostService();
[[nodiscard]] bool WaitForServiceState(DWORD state, DWORD timeoutMs);
// Stops and deletes the entry if there is one, whatever state it is in.
void RemoveHostService();

// Deletes every key the host's registration writes, below HKEY_CLASSES_ROOT and below the
// user's classes, including keys that unregistration spares because they gained subkeys.
void RemoveServerKeys();

// The test environment of one end-to-end test: a fresh log directory for the host (through
// "DefaultDir"), the log switched on, crash dumps off unless asked for, and at the end no host
// process, no service entry and no registration left behind.
class HostEndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Registers the host with its own switch ("-RegServer" or "-Service") and expects success.
    void Register(const wchar_t* switchWord);

    // Log files of the host processes of this test, oldest first (their names carry the time
    // of their first record), and the texts of one of them.
    [[nodiscard]] std::vector<std::wstring> HostLogFiles() const;
    [[nodiscard]] std::vector<std::string> HostLog(size_t index = 0) const;

    void SetParam(const wchar_t* name, DWORD value);
    void SetBoardsKnob(const wchar_t* name, DWORD value);

    std::wstring m_baseDirectory;  // "DefaultDir"; the host logs into <base>\VexilSrvs
    std::wstring m_logDirectory;

private:
    std::list<ScopedRegistryValue> m_values;
};
