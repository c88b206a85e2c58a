#include <gtest/gtest.h>

#include <algorithm>

#include "diagnostics/DiagnosticsNames.h"
#include "host/HostText.h"
#include "host/tests/HostTestFixture.h"
#include "support/Hresult.h"

namespace {

using Texts = std::vector<std::string>;

const Texts kNormalLocalRun = {"->Run()",    "Run Step 0", "Run Step 1", "Run Step 2",
                               "Run Step 3", "Run Step 5", "Run End"};
const Texts kStartUpFailedBeforeTheManager = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 5",
                                              "Run End"};

class RunTest : public HostTest
{
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        UseSignedManager();
    }

    HRESULT RunLocal()
    {
        m_module->m_bService = FALSE;
        QueueQuitMessage();
        return m_module->Run(SW_SHOWNORMAL);
    }

    HRESULT RunService()
    {
        m_module->m_bService = TRUE;
        m_module->m_bDelayShutdown = false;
        m_module->m_status.dwCurrentState = SERVICE_START_PENDING;
        QueueQuitMessage();
        return m_module->Run(0);
    }

    // The manager's module is the (signed) test executable itself.
    void UseSignedManager() { m_manager.moduleHandle = reinterpret_cast<LONGLONG>(::GetModuleHandleW(nullptr)); }
    // A module of the platform, which carries no signature of the expected publisher.
    void UseUnsignedManager() { m_manager.moduleHandle = reinterpret_cast<LONGLONG>(::GetModuleHandleW(L"kernel32.dll")); }

    void TurnCrashDumpsOn() { RemoveParam(kParamEnableDump); }

};

TEST_F(RunTest, LocalRunLogsEveryStepAndStopsInOrder)
{
    EXPECT_EQ(RunLocal(), S_OK);
    EXPECT_EQ(LogTexts(), kNormalLocalRun);
    EXPECT_EQ(m_module->m_dwTimeOut, 15000u);
    EXPECT_EQ(m_manager.modulePresetSeen, 100);
    EXPECT_EQ(m_manager.beginInitCalls, 1);
    EXPECT_EQ(m_manager.endInitCalls, 1);
    EXPECT_EQ(m_manager.shutdownCalls, 1);
    EXPECT_FALSE(m_module->m_spManager);
    EXPECT_EQ(m_manager.References(), 0) << "every reference the run took is given back";
    EXPECT_EQ(Calls("revoke").size(), 1u);
    EXPECT_TRUE(Calls("status").empty()) << "a local server reports no service status";
    EXPECT_TRUE(Calls("security").empty()) << "a local server sets no COM security";
    ASSERT_FALSE(g_calls.sleepDurations.empty());
    EXPECT_EQ(g_calls.sleepDurations.back(), 1000u) << "pause after revocation when shutdown is delayed";
}

TEST_F(RunTest, ServiceRunReportsRunningOnRegistrationAndAgainOnceTheManagerIsVerified)
{
    EXPECT_EQ(RunService(), S_OK);
    const Texts expected = {"->Run()",         "Run Step 0", "Run Step 1", "Run Step 2",
                            "Service started", "Run Step 3", "Run Step 5", "Run End"};
    EXPECT_EQ(LogTexts(), expected);
    const std::vector<std::string> expectedOrder = {
        "security", "register", "status:4", "event:Service started/resumed", "resume",
        "event:Service started", "status:4", "revoke"};
    EXPECT_EQ(g_calls.order, expectedOrder);
    EXPECT_TRUE(g_calls.sleepDurations.empty()) << "no pause in service mode";
}

TEST_F(RunTest, ManagerFailingTheSignatureCheckIsLetGoAndNeverShutDown)
{
    UseUnsignedManager();
    EXPECT_EQ(RunService(), S_OK);
    const Texts expected = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 3", "Run Step 5",
                            "Run End"};
    EXPECT_EQ(LogTexts(), expected);
    EXPECT_EQ(std::count(g_calls.order.begin(), g_calls.order.end(), "event:Service started"), 0);
    EXPECT_EQ(Calls("status").size(), 1u) << "only the running report of the registration";
    EXPECT_EQ(m_manager.beginInitCalls, 1);
    EXPECT_EQ(m_manager.endInitCalls, 1) << "initialisation is still ended";
    EXPECT_EQ(m_manager.shutdownCalls, 0);
    EXPECT_FALSE(m_module->m_spManager);
    EXPECT_EQ(m_manager.References(), 0);
}

TEST_F(RunTest, FailedRegistrationEndsTheRunWithItsCodeAndWithoutRevocation)
{
    g_calls.registerResult = E_OUTOFMEMORY;
    EXPECT_EQ(RunLocal(), E_OUTOFMEMORY);
    EXPECT_EQ(LogTexts(), kStartUpFailedBeforeTheManager);
    EXPECT_EQ(g_calls.managerCreations, 0);
    EXPECT_TRUE(Calls("revoke").empty());
}

TEST_F(RunTest, NothingToRegisterEndsTheRunWithTheRevocationResult)
{
    m_module->m_classObjects = {};
    EXPECT_EQ(RunLocal(), S_OK);
    EXPECT_EQ(LogTexts(), kStartUpFailedBeforeTheManager);
    EXPECT_EQ(g_calls.managerCreations, 0);
    EXPECT_FALSE(m_module->m_bDelayShutdown);
}

TEST_F(RunTest, ManagerThatCannotBeCreatedEndsTheRunWithTheCreationFailure)
{
    g_calls.managerCreateResult = REGDB_E_CLASSNOTREG;
    EXPECT_EQ(RunLocal(), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(LogTexts(), kStartUpFailedBeforeTheManager);
    EXPECT_TRUE(Calls("revoke").empty());
}

TEST_F(RunTest, ControlInterfaceMissingEndsTheRunAfterStepTwo)
{
    TurnCrashDumpsOn();
    m_manager.controlQueryResult = E_NOINTERFACE;
    EXPECT_EQ(RunLocal(), E_NOINTERFACE);
    EXPECT_EQ(LogTexts(), (Texts{"->Run()", "Run Step 0", "Run Step 1", "Run Step 2"}));
    EXPECT_EQ(m_agent.disableCalls, 0);
    EXPECT_EQ(m_agent.References(), 0) << "the agent is released without being disabled";
    EXPECT_TRUE(Calls("revoke").empty());
    EXPECT_TRUE(m_module->m_spManager) << "held until the module goes";
}

TEST_F(RunTest, ImplementationModuleAnsweredWithSFalseEndsTheRunWithOne)
{
    m_manager.moduleResult = S_FALSE;
    EXPECT_EQ(RunLocal(), S_FALSE);
    EXPECT_EQ(LogTexts(), (Texts{"->Run()", "Run Step 0", "Run Step 1", "Run Step 2"}));
    EXPECT_EQ(m_manager.beginInitCalls, 0);
}

// --- crash dumps ---

TEST_F(RunTest, CrashDumpsAreOnInModeOneWhenNoParameterIsSet)
{
    RemoveParam(kParamEnableDump);
    RemoveParam(kParamDumpType);
    EXPECT_EQ(RunLocal(), S_OK);
    EXPECT_EQ(g_calls.agentCreations, 1);
    EXPECT_EQ(m_agent.dumpModeSeen, 1);
    EXPECT_EQ(m_agent.isServiceSeen, 0);
    EXPECT_EQ(m_agent.reservedSeen, 0);
    EXPECT_EQ(m_agent.disableCalls, 1);
    EXPECT_EQ(m_agent.References(), 0);
}

TEST_F(RunTest, DumpTypeSelectsTheDumpModeOrNoDumpsAtAll)
{
    struct Case
    {
        DWORD dumpType;
        int agents;
        LONG mode;
    } cases[] = {{0, 1, 1}, {1, 1, 1}, {2, 1, 2}, {3, 0, -1}, {0xFFFFFFFF, 0, -1}};
    TurnCrashDumpsOn();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dumpType);
        SetParam(kParamDumpType, c.dumpType);
        g_calls.agentCreations = 0;
        m_agent.dumpModeSeen = -1;
        m_module->m_hSafeEvent.reset();  // a run keeps the guard; the next run must find it free
        ASSERT_EQ(RunLocal(), S_OK);
        EXPECT_EQ(g_calls.agentCreations, c.agents);
        EXPECT_EQ(m_agent.dumpModeSeen, c.mode);
        EndIdleMonitor();
    }
}

TEST_F(RunTest, ServiceRunTellsTheAgentItIsAService)
{
    TurnCrashDumpsOn();
    EXPECT_EQ(RunService(), S_OK);
    EXPECT_EQ(m_agent.isServiceSeen, 1);
}

TEST_F(RunTest, CrashDumpsOffCreatesNoAgentAndDisablesNothing)
{
    SetParam(kParamEnableDump, 0);
    SetParam(kParamDumpType, 2);
    EXPECT_EQ(RunLocal(), S_OK);
    EXPECT_EQ(g_calls.agentCreations, 0);
}

TEST_F(RunTest, MissingCrashDumpAgentEndsTheRunRightAfterStepZero)
{
    TurnCrashDumpsOn();
    g_calls.agentCreateResult = REGDB_E_CLASSNOTREG;
    EXPECT_EQ(RunLocal(), E_FAIL);
    EXPECT_EQ(LogTexts(), (Texts{"->Run()", "Run Step 0"}));
    EXPECT_EQ(g_calls.managerCreations, 0);
}

TEST_F(RunTest, FailingEnableCrashDumpsEndsTheRunWithEFail)
{
    TurnCrashDumpsOn();
    m_agent.enableResult = E_ACCESSDENIED;
    EXPECT_EQ(RunLocal(), E_FAIL);
    EXPECT_EQ(LogTexts(), (Texts{"->Run()", "Run Step 0"}));
    EXPECT_EQ(m_agent.disableCalls, 0);
    EXPECT_EQ(m_agent.References(), 0);
}

TEST_F(RunTest, PositiveEnableCrashDumpsAnswerKeepsTheManagerFromBeingCreated)
{
    TurnCrashDumpsOn();
    m_agent.enableResult = S_FALSE;
    EXPECT_EQ(RunLocal(), S_OK);
    EXPECT_EQ(LogTexts(), kStartUpFailedBeforeTheManager);
    EXPECT_EQ(g_calls.managerCreations, 0);
    EXPECT_EQ(m_agent.disableCalls, 1);
    EXPECT_EQ(Calls("revoke").size(), 1u);
}

TEST_F(RunTest, DisableCrashDumpsAnswerReplacesAManagerCreationFailure)
{
    TurnCrashDumpsOn();
    g_calls.managerCreateResult = REGDB_E_CLASSNOTREG;
    m_agent.disableResult = S_FALSE;
    EXPECT_EQ(RunLocal(), S_OK) << "a non-negative answer leads to revocation, whose result counts";
    EXPECT_EQ(Calls("revoke").size(), 1u);
}

TEST_F(RunTest, FailingDisableCrashDumpsIsReturnedAndNothingIsRevoked)
{
    TurnCrashDumpsOn();
    m_agent.disableResult = E_UNEXPECTED;
    EXPECT_EQ(RunLocal(), E_UNEXPECTED);
    EXPECT_EQ(LogTexts(), (Texts{"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 3",
                                 "Run Step 5", "Run End"}));
    EXPECT_TRUE(Calls("revoke").empty());
    EXPECT_EQ(m_manager.shutdownCalls, 1);
}

// --- single-instance guard ---

class SingleInstanceGuardTest : public RunTest
{
protected:
    void TearDown() override
    {
        s_holder = nullptr;
        RunTest::TearDown();
    }

    static HANDLE s_holder;
    static int s_releaseAfterSleeps;
};

HANDLE SingleInstanceGuardTest::s_holder = nullptr;
int SingleInstanceGuardTest::s_releaseAfterSleeps = 0;

TEST_F(SingleInstanceGuardTest, SecondInstanceWaitsOnceASecondUntilTheFirstEnds)
{
    UniqueKernelHandle holder(::CreateEventW(nullptr, FALSE, FALSE, kSafeEventGlobalName));
    ASSERT_TRUE(holder);
    s_holder = holder.release();
    s_releaseAfterSleeps = 3;
    ScopedPlatformOverride sleep(&PlatformApi::Sleep, [](DWORD ms) {
        ++g_calls.sleeps;
        g_calls.sleepDurations.push_back(ms);
        if (g_calls.sleeps == s_releaseAfterSleeps && s_holder != nullptr) {
            ::CloseHandle(s_holder);
            s_holder = nullptr;
        }
    });
    EXPECT_EQ(RunLocal(), S_OK);
    Texts expected = {"->Run()", "Waiting for previous VexilSrvs Instance to Exit",
                      "Waiting for previous VexilSrvs Instance to Exit",
                      "Waiting for previous VexilSrvs Instance to Exit"};
    expected.insert(expected.end(), kNormalLocalRun.begin() + 1, kNormalLocalRun.end());
    EXPECT_EQ(LogTexts(), expected);
    EXPECT_EQ(g_calls.sleepDurations[0], 1000u);
    EXPECT_TRUE(m_module->m_hSafeEvent);
}

TEST_F(SingleInstanceGuardTest, GivesUpWithAccessDeniedAfterTheHundredthWait)
{
    UniqueKernelHandle holder(::CreateEventW(nullptr, FALSE, FALSE, kSafeEventGlobalName));
    ASSERT_TRUE(holder);
    EXPECT_EQ(RunLocal(), E_ACCESSDENIED);
    const Texts texts = LogTexts();
    ASSERT_EQ(texts.size(), 101u);
    EXPECT_EQ(texts[0], "->Run()");
    for (size_t i = 1; i < texts.size(); ++i)
        EXPECT_EQ(texts[i], "Waiting for previous VexilSrvs Instance to Exit");
    EXPECT_EQ(g_calls.sleeps, 100);
    EXPECT_FALSE(m_module->m_hSafeEvent) << "the other instance's event is only opened and closed";
    EXPECT_EQ(::WaitForSingleObject(holder.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the first instance's event is never signalled";
}

TEST_F(SingleInstanceGuardTest, FailsWithTheLastErrorWhenNeitherNameCanBeCreated)
{
    ScopedPlatformOverride create(&PlatformApi::CreateEventW, [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    });
    EXPECT_EQ(RunLocal(), HResultFromWin32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(LogTexts(), (Texts{"->Run()"}));
}

TEST_F(SingleInstanceGuardTest, FallsBackToTheSessionLocalNameWhenTheGlobalOneIsRefused)
{
    ScopedPlatformOverride create(&PlatformApi::CreateEventW,
                                  [](LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name) -> HANDLE {
                                      if (name != nullptr && wcsncmp(name, L"Global\\", 7) == 0) {
                                          ::SetLastError(ERROR_ACCESS_DENIED);
                                          return nullptr;
                                      }
                                      return RealPlatform().CreateEventW(sa, manual, initial, name);
                                  });
    EXPECT_EQ(RunLocal(), S_OK);
    UniqueKernelHandle local(::OpenEventW(SYNCHRONIZE, FALSE, kSafeEventLocalName));
    EXPECT_TRUE(local) << "the session-local guard is held";
    UniqueKernelHandle global(::OpenEventW(SYNCHRONIZE, FALSE, kSafeEventGlobalName));
    EXPECT_FALSE(global);
}

TEST_F(SingleInstanceGuardTest, GuardEventCarriesANullDacl)
{
    static bool s_nullDacl = false;
    s_nullDacl = false;
    ScopedPlatformOverride create(&PlatformApi::CreateEventW,
                                  [](LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name) -> HANDLE {
                                      if (name == nullptr)
                                          return RealPlatform().CreateEventW(sa, manual, initial, name);
                                      BOOL present = FALSE;
                                      BOOL defaulted = TRUE;
                                      PACL dacl = reinterpret_cast<PACL>(1);
                                      s_nullDacl = sa != nullptr && sa->nLength == 24 && !sa->bInheritHandle &&
                                                   ::GetSecurityDescriptorDacl(sa->lpSecurityDescriptor, &present,
                                                                               &dacl, &defaulted) &&
                                                   present && dacl == nullptr && !manual && !initial;
                                      return RealPlatform().CreateEventW(sa, manual, initial, name);
                                  });
    EXPECT_EQ(RunLocal(), S_OK);
    EXPECT_TRUE(s_nullDacl);
}

}  // namespace
