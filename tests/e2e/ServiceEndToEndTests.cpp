#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/UniqueHandle.h"
#include "tests/e2e/HostHarness.h"

namespace {

using Texts = std::vector<std::string>;

class ServiceTest : public HostEndToEndTest
{
protected:
    void SetUp() override
    {
        HostEndToEndTest::SetUp();
        Register(L"-Service");
    }

    bool WaitForLogText(const std::string& text, DWORD timeoutMs = 20000)
    {
        return WaitUntil(
            [&] {
                const Texts log = HostLog();
                return std::find(log.begin(), log.end(), text) != log.end();
            },
            timeoutMs);
    }

    void StartAndWaitUntilRunning()
    {
        ASSERT_TRUE(StartHostService());
        ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 20000));
    }

    void StopAndExpectStoppedWithExitCode(DWORD exitCode)
    {
        ASSERT_TRUE(StopHostService());
        ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000));
        const auto status = QueryHostService();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->dwWin32ExitCode, exitCode);
    }
};

TEST_F(ServiceTest, StartsServesClientsAndStopsWithTheWholeLifeInItsLog)
{
    StartAndWaitUntilRunning();
    ASSERT_TRUE(WaitForLogText("Run Step 3"));
    const auto status = QueryHostService();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCheckPoint, 0u);
    EXPECT_EQ(status->dwWaitHint, 0u);
    EXPECT_EQ(status->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));

    const ClientRun client = RunClient(L"");
    ASSERT_EQ(client.process.exitCode, 0u) << client.process.output;
    EXPECT_EQ(client.Value("boards"), "3");
    EXPECT_EQ(client.Value("server-pid"), std::to_string(status->dwProcessId)) << "clients reach the service";
    EXPECT_EQ(client.Value("inner-objects"), "1");

    StopAndExpectStoppedWithExitCode(0);
    EXPECT_EQ(HostLog(), (Texts{"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Service started", "Run Step 3",
                                "dwOpcode = 1", "Run Step 5", "Run End", "Service stopped"}));
}

TEST_F(ServiceTest, ClientActivationStartsAStoppedService)
{
    ASSERT_TRUE(WaitForServiceState(SERVICE_STOPPED, 5000));
    const ClientRun client = RunClient(L"");
    ASSERT_EQ(client.process.exitCode, 0u) << client.process.output;
    EXPECT_EQ(client.Value("boards"), "3");
    const auto status = QueryHostService();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(client.Value("server-pid"), std::to_string(status->dwProcessId));
    StopAndExpectStoppedWithExitCode(0);
}

TEST_F(ServiceTest, StopWaitsOnceASecondForTheManagerToFinishItsInitialisation)
{
    SetBoardsKnob(L"InitDelayMs", 3500);
    StartAndWaitUntilRunning();
    ASSERT_TRUE(WaitForLogText("Run Step 3"));
    StopAndExpectStoppedWithExitCode(0);

    const Texts log = HostLog();
    const auto stop = std::find(log.begin(), log.end(), "dwOpcode = 1");
    ASSERT_NE(stop, log.end());
    const auto waits = std::count(log.begin(), log.end(), "Waiting for Init End");
    EXPECT_GE(waits, 1);
    EXPECT_LE(waits, 4) << "one entry per second of the 3.5-s initialisation";
    EXPECT_TRUE(std::all_of(stop + 1, stop + 1 + waits, [](const std::string& t) { return t == "Waiting for Init End"; }));
    EXPECT_EQ(log.back(), "Service stopped");
}

TEST_F(ServiceTest, StopRightAfterStartEndsTheServicePromptly)
{
    ASSERT_TRUE(StartHostService());
    ASSERT_TRUE(WaitUntil(
        [] {
            const auto status = QueryHostService();
            return status && status->dwCurrentState != SERVICE_START_PENDING;
        },
        20000));
    StopAndExpectStoppedWithExitCode(0);
    const Texts log = HostLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Service stopped");
    EXPECT_TRUE(HostProcessIds().empty() || WaitUntil([] { return HostProcessIds().empty(); }, 10000));
}

TEST_F(ServiceTest, UnknownControlIsLoggedAsABadRequestAndTheServiceRunsOn)
{
    StartAndWaitUntilRunning();
    ASSERT_TRUE(WaitForLogText("Run Step 3"));
    {
        UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueScHandle service(::OpenServiceW(manager.get(), L"VexilSrvs", SERVICE_USER_DEFINED_CONTROL));
        SERVICE_STATUS status{};
        ASSERT_TRUE(::ControlService(service.get(), 200, &status));
    }
    ASSERT_TRUE(WaitForLogText("Bad service request"));
    const Texts log = HostLog();
    const auto request = std::find(log.begin(), log.end(), "dwOpcode = 200");
    ASSERT_NE(request, log.end());
    EXPECT_EQ(*(request + 1), "Bad service request");
    EXPECT_EQ(QueryHostService()->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    StopAndExpectStoppedWithExitCode(0);
}

TEST_F(ServiceTest, HostStartedByHandWhileRegisteredAsAServiceEndsWithTheDispatcherError)
{
    EXPECT_EQ(RunHost(L"", 30000), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_TRUE(HostLogFiles().empty());
}

}  // namespace
