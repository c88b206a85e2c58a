#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/UniqueHandle.h"
#include "tests/e2e/HostHarness.h"

namespace {

using Texts = std::vector<std::string>;

const Texts kRunningLocalServer = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 3"};
constexpr char kWaiting[] = "Waiting for previous VexilSrvs Instance to Exit";

// Registers one build of a stand-in in place of another for the length of a test, and puts the
// genuine one back afterwards.
class ScopedStandInRegistration
{
public:
    ScopedStandInRegistration(std::wstring registerArguments, std::wstring restoreArguments)
        : m_restore(std::move(restoreArguments))
    {
        EXPECT_EQ(Regsvr32(registerArguments), 0u);
    }
    ~ScopedStandInRegistration() { EXPECT_EQ(Regsvr32(m_restore), 0u); }

    static DWORD Regsvr32(const std::wstring& arguments)
    {
        ProcessOptions options;
        options.timeoutMs = 60000;
        return RunProcess(L"regsvr32.exe /s " + arguments, options).exitCode;
    }

private:
    std::wstring m_restore;
};

std::wstring Quoted(const std::wstring& file)
{
    return L"\"" + OutputFile(file) + L"\"";
}

class LocalServerTest : public HostEndToEndTest
{
protected:
    // Waits until the log of host number 'index' holds at least 'count' records.
    bool WaitForLog(size_t index, size_t count, DWORD timeoutMs = 20000)
    {
        return WaitUntil([&] { return HostLog(index).size() >= count; }, timeoutMs);
    }
};

TEST_F(LocalServerTest, ClientsInOtherProcessesReachTheOneManagerInsideTheHost)
{
    Register(L"-RegServer");

    const ClientRun first = RunClient(L"");
    ASSERT_EQ(first.process.exitCode, 0u) << first.process.output;
    EXPECT_EQ(first.Value("boards"), "3");
    EXPECT_EQ(first.Values("board[0]"), (std::vector<std::string>{"VX-100 Slot 1"}));
    EXPECT_EQ(first.Value("inner-objects"), "1");
    const std::vector<DWORD> hosts = HostProcessIds();
    ASSERT_EQ(hosts.size(), 1u) << "the COM runtime started one host";
    EXPECT_EQ(first.Value("server-pid"), std::to_string(hosts[0]));
    EXPECT_NE(first.Value("client-pid"), first.Value("server-pid"));

    const ClientRun second = RunClient(L"--threads 4");
    ASSERT_EQ(second.process.exitCode, 0u) << second.process.output;
    for (const std::string& pid : second.Values("server-pid"))
        EXPECT_EQ(pid, std::to_string(hosts[0]));
    for (const std::string& count : second.Values("inner-objects"))
        EXPECT_EQ(count, "1") << "every client meets the one manager the host created";

    ASSERT_TRUE(WaitForLog(0, kRunningLocalServer.size()));
    EXPECT_EQ(HostLog(), kRunningLocalServer) << "a local server logs no service start";
    EXPECT_EQ(HostProcessIds(), hosts) << "clients releasing the manager do not end the host";
}

TEST_F(LocalServerTest, HostThatRefusesTheManagerEndsByItselfWhenTheLastClientLetsGo)
{
    Register(L"-RegServer");
    ScopedStandInRegistration otherPublisher(Quoted(L"VexilBoardsStandIn-OtherPublisher.dll"),
                                             Quoted(L"VexilBoardsStandIn.dll"));
    // The manager's start-up keeps the host busy until the client holds the manager, so the
    // refusal comes while somebody still uses it.
    SetBoardsKnob(L"BeginInitMs", 4000);

    ChildProcess client(L"\"" + OutputFile(L"VexilClient.exe") + L"\" --hold-ms 6000");
    ASSERT_TRUE(client.started());
    ASSERT_TRUE(WaitUntil([] { return HostProcessIds().size() == 1; }, 20000));
    UniqueKernelHandle host(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, HostProcessIds()[0]));
    ASSERT_TRUE(host);

    DWORD clientExit = 1;
    ASSERT_TRUE(client.Wait(30000, &clientExit));
    EXPECT_EQ(clientExit, 0u) << "the client used the manager the host went on to refuse";
    ASSERT_EQ(::WaitForSingleObject(host.get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the host ends once nobody holds the manager";
    DWORD hostExit = 1;
    ASSERT_TRUE(::GetExitCodeProcess(host.get(), &hostExit));
    EXPECT_EQ(hostExit, 0u);
    EXPECT_EQ(HostLog(), (Texts{"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 3", "Run Step 5",
                                "Run End"}));
}

TEST_F(LocalServerTest, HostStartedByHandWithoutClientsAndARefusedManagerEndsAtOnce)
{
    Register(L"-RegServer");
    ScopedStandInRegistration unsignedManager(Quoted(L"VexilBoardsStandIn-Unsigned.dll"),
                                              Quoted(L"VexilBoardsStandIn.dll"));
    EXPECT_EQ(RunHost(L"", 30000), 0u);
    const Texts log = HostLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(Texts(log.end() - 2, log.end()), (Texts{"Run Step 5", "Run End"}));
}

TEST_F(LocalServerTest, CrashDumpsWithoutTheirAgentEndTheRunAfterStepZero)
{
    Register(L"-RegServer");
    SetParam(L"EnableDump", 1);
    ScopedStandInRegistration noAgent(L"/u " + Quoted(L"VexilCrashDumpStandIn.dll"),
                                      Quoted(L"VexilCrashDumpStandIn.dll"));
    EXPECT_EQ(RunHost(L"", 30000), static_cast<DWORD>(E_FAIL));
    EXPECT_EQ(HostLog(), (Texts{"->Run()", "Run Step 0"}));
}

TEST_F(LocalServerTest, UnregisteredHostEndsWithTheRegistryError)
{
    (void)RunHost(L"-UnregServer");
    EXPECT_EQ(RunHost(L"", 30000), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(HostLogFiles().empty()) << "nothing runs, so nothing is logged";
}

TEST_F(LocalServerTest, SecondHostWaitsForTheFirstAndThenRunsNormally)
{
    Register(L"-RegServer");
    ChildProcess first(L"\"" + HostPath() + L"\"");
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(WaitForLog(0, kRunningLocalServer.size()));

    ChildProcess second(L"\"" + HostPath() + L"\"");
    ASSERT_TRUE(second.started());
    ASSERT_TRUE(WaitUntil(
        [&] {
            const Texts log = HostLog(1);
            return std::count(log.begin(), log.end(), kWaiting) >= 2;
        },
        20000))
        << "the second host waits once a second";
    DWORD exitCode = 0;
    EXPECT_FALSE(first.Wait(0, &exitCode)) << "the first host is not disturbed";
    EXPECT_EQ(HostLog(0), kRunningLocalServer);

    ASSERT_TRUE(QuitHost(::GetProcessId(first.handle())));
    ASSERT_TRUE(WaitUntil([&] { return !HostLog(1).empty() && HostLog(1).back() == "Run Step 3"; }, 20000));
    const Texts log = HostLog(1);
    const auto waits = std::count(log.begin(), log.end(), kWaiting);
    Texts expected = {"->Run()"};
    expected.insert(expected.end(), static_cast<size_t>(waits), kWaiting);
    expected.insert(expected.end(), kRunningLocalServer.begin() + 1, kRunningLocalServer.end());
    EXPECT_EQ(log, expected);
}

}  // namespace
