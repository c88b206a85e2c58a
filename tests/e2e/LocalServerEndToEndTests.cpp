#include <thread>

#include "VexilSrvs.h"  // generated from manager/VexilSrvs.idl
#include "diagnostics/DiagnosticsNames.h"
#include "support/ConcurrentClient.h"
#include "tests/e2e/HostHarness.h"

namespace {

const Texts kRunning = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 3"};
constexpr char kWaiting[] = "Waiting for previous VexilSrvs Instance to Exit";

// Registers another build of a stand-in (or unregisters one) for the length of a test, and
// registers the genuine one again afterwards.
struct ScopedStandIn
{
    ScopedStandIn(const std::wstring& arguments, const wchar_t* other, const wchar_t* genuine) : genuine(genuine)
    {
        EXPECT_EQ(RunProcess(L"regsvr32.exe /s " + arguments + Quoted(OutputFile(other))).exitCode, 0u);
    }
    ~ScopedStandIn() { EXPECT_EQ(RunProcess(L"regsvr32.exe /s " + Quoted(OutputFile(genuine))).exitCode, 0u); }
    const wchar_t* genuine;
};

using LocalServerTest = HostEndToEndTest;

TEST_F(LocalServerTest, OneHostStartedByTheRuntimeServesEveryClientAndASecondHostWaitsForIt)
{
    Register(L"-RegServer");
    ClientRun first = RunClient(L"");
    ASSERT_EQ(first.process.exitCode, 0u) << first.process.output;
    EXPECT_EQ(first.values["boards"], Texts{"3"});
    const std::vector<DWORD> hosts = HostProcessIds();
    ASSERT_EQ(hosts.size(), 1u) << "the COM runtime started one host";
    // The four threads take and drop the manager at the same time; this process's reference
    // keeps them clear of Wine's stub race (support/ConcurrentClient.h), which one of them met as
    // RPC_E_DISCONNECTED at its activation.
    HeldActivation held(CLSID_VexilMgrSrv);
    ASSERT_EQ(held.result(), S_OK);
    ClientRun second = RunClient(L"--threads 4");
    held.release();
    ASSERT_EQ(second.process.exitCode, 0u) << second.process.output;
    for (ClientRun* run : {&first, &second}) {
        const size_t count = run == &first ? 1 : 4;
        EXPECT_EQ(run->values["server-pid"], Texts(count, std::to_string(hosts[0])));
        EXPECT_EQ(run->values["inner-objects"], Texts(count, "1")) << "every client meets the one manager";
    }
    ASSERT_TRUE(WaitForLogText("Run Step 3"));
    EXPECT_EQ(HostLog(), kRunning) << "a local server logs no service start";
    EXPECT_EQ(HostProcessIds(), hosts) << "clients releasing the manager do not end the host";

    std::jthread another([] { EXPECT_EQ(RunHost(L""), 0u); });  // ends when the test quits it
    const bool waited = WaitUntil([&] { return std::ranges::count(HostLog(1), kWaiting) >= 2; }, 20000);
    EXPECT_TRUE(waited) << "the second host waits once a second";
    EXPECT_EQ(HostLog(0), kRunning) << "the first host is not disturbed";
    EXPECT_TRUE(QuitHost(hosts[0]));
    EXPECT_TRUE(WaitForLogText("Run Step 3", 1));
    const Texts log = HostLog(1);
    Texts expected = {"->Run()"};
    expected.insert(expected.end(), static_cast<size_t>(std::ranges::count(log, kWaiting)), kWaiting);
    expected.insert(expected.end(), kRunning.begin() + 1, kRunning.end());
    EXPECT_EQ(log, expected);
    for (DWORD host : HostProcessIds())
        EXPECT_TRUE(QuitHost(host));
}

TEST_F(LocalServerTest, HostThatRefusesTheManagerEndsByItselfWhenTheLastClientLetsGo)
{
    Register(L"-RegServer");
    ScopedStandIn otherPublisher(L"", L"VexilBoardsStandIn-OtherPublisher.dll", L"VexilBoardsStandIn.dll");
    // The manager's start-up keeps the host busy until the client holds the manager, so the
    // refusal comes while somebody still uses it.
    SetDword(L"SOFTWARE\\VexilStandIns\\BoardsManager", L"BeginInitMs", 4000);
    ClientRun client;
    std::jthread holder([&client] { client = RunClient(L"--hold-ms 6000"); });
    ASSERT_TRUE(WaitUntil([] { return HostProcessIds().size() == 1; }, 20000));
    const UniqueKernelHandle host = OpenHost(HostProcessIds()[0], SYNCHRONIZE);
    holder.join();
    EXPECT_EQ(client.process.exitCode, 0u) << "the client used the manager the host went on to refuse";
    ASSERT_EQ(::WaitForSingleObject(host.get(), 20000), WAIT_OBJECT_0) << "the host ends once nobody holds the manager";
    DWORD exitCode = 1;
    ASSERT_TRUE(::GetExitCodeProcess(host.get(), &exitCode));
    EXPECT_EQ(exitCode, 0u);
    Texts expected = kRunning;
    expected.insert(expected.end(), {"Run Step 5", "Run End"});
    EXPECT_EQ(HostLog(), expected);
}

TEST_F(LocalServerTest, CrashDumpsWithoutTheirAgentEndTheRunAfterStepZero)
{
    Register(L"-RegServer");
    SetDword(kParamsKeyPath, L"EnableDump", 1);
    ScopedStandIn noAgent(L"/u ", L"VexilCrashDumpStandIn.dll", L"VexilCrashDumpStandIn.dll");
    EXPECT_EQ(RunHost(L""), static_cast<DWORD>(E_FAIL));
    EXPECT_EQ(HostLog(), (Texts{"->Run()", "Run Step 0"}));
}

}  // namespace
