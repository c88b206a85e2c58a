#include <thread>

#include "host/HostText.h"
#include "host/tests/HostTestFixture.h"
#include "tests/support/TestProcess.h"

namespace {

const Texts kFullRun = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 3", "Run Step 5", "Run End"};
const Texts kNoManager = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 5", "Run End"};
const Texts kEndAfterStep2 = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2"};
const std::string kStart = "register(20,5); monitor; resume; ";
const std::string kServiceStart =
    "status(2,100000,0); security; register(20,5); event(Service started/resumed); status(4,0,0); resume; ";
const std::string kDumps = "agent(23); enable(0,1,0); ";
const std::string kManager = "manager(23); module(100); begin; end; shutdown; ";
const std::string kEnd = "revoke(7); sleep(1000)";
const std::string kStopped = "; uninit(0); event(Service stopped); status(1,0,";
const std::string kWaiting = "Waiting for previous VexilSrvs Instance to Exit";
const Texts kStoppedEarly = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "dwOpcode = 1", "Service started",
                             "Run Step 3", "Run Step 5", "Run End", "Service stopped"};

// A service row runs ServiceMain, which reports the run's result as the exit code of its last
// status; an entry row runs the process entry as a local server; a local row runs Run itself.
// The normal local and service lives are also seen end to end.
// A row with 'stopAt' runs on a thread of its own, which has no message queue yet, as a thread the
// Service Control Manager starts; when the trace reaches that entry, a stop comes from another
// thread as from the dispatcher (a local run: a quit message, as from the idle monitor). The quit
// message must wait for the loop, and no running report may follow the stop's.
struct RunCase
{
    const char* name;
    HostAnswers answers{};
    bool service = false, entry = false;
    std::optional<DWORD> enableDump = 0, dumpType = std::nullopt;  // no value: absent
    bool emptyTable = false;
    HRESULT result = S_OK;
    Texts log = {};
    std::string trace = {};
    bool managerHeld = false;
    const char* stopAt = nullptr;
    bool guardHeld = false;  // by a previous instance, which never signals it; gone once a stop has come
};
void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

const RunCase kRunCases[] = {
    {.name = "LocalRunWithDumpsOffReadsNoDumpType", .dumpType = 2, .log = kFullRun, .trace = kStart + kManager + kEnd},
    {.name = "ServiceLifeWithDumpsByDefault", .service = true, .enableDump = std::nullopt,
     .log = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Service started", "Run Step 3", "Run Step 5",
             "Run End", "Service stopped"},
     .trace = kServiceStart + "agent(23); enable(1,1,0); manager(23); module(100); begin; event(Service started); "
              "status(4,0,0); end; shutdown; disable; revoke(7)" + kStopped + "0)"},
    {.name = "ServiceLetsGoOfAManagerOfAnotherPublisher", .answers = {.signedManager = false}, .service = true,
     .log = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 3", "Run Step 5", "Run End",
             "Service stopped"},
     .trace = kServiceStart + "manager(23); module(100); begin; end; revoke(7)" + kStopped + "0)"},
    {.name = "ServiceLetsGoOfAManagerThatNamesNoModule", .answers = {.nullModule = true}, .service = true,
     .log = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 3", "Run Step 5", "Run End",
             "Service stopped"},
     .trace = kServiceStart + "manager(23); module(100); begin; end; revoke(7)" + kStopped + "0)"},
    {.name = "ServiceLetsGoOfAManagerLeftByAnEarlyEndBeforeCom", .answers = {.module = S_FALSE}, .service = true,
     .log = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Service stopped"},
     .trace = kServiceStart + "manager(23); module(100)" + kStopped + "1)"},
    {.name = "LocalServerLetsGoOfAManagerLeftByAnEarlyEndBeforeCom", .answers = {.control = false}, .entry = true,
     .result = E_NOINTERFACE, .log = kEndAfterStep2,
     .trace = "worker; " + kStart + "manager(23); wait(60000); uninit(0)"},
    {.name = "ServiceWhoseSecurityFailsStopsWithItsCode", .answers = {.security = E_OUTOFMEMORY}, .service = true,
     .log = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 5", "Run End", "Service stopped"},
     .trace = "status(2,100000,0); security" + kStopped + "-2147024882)"},
    {.name = "ServiceHandlerNotInstalled", .answers = {.handler = false}, .service = true,
     .log = {"Handler not installed"}, .trace = "event(Handler not installed)"},
    {.name = "GuardNotCreated", .answers = {.refuseNamedEvents = true}, .result = E_ACCESSDENIED, .log = {"->Run()"}},
    {.name = "SessionLocalGuard", .answers = {.refuseGlobalEvent = true}, .log = kFullRun,
     .trace = kStart + kManager + kEnd},
    {.name = "RegistrationFails", .answers = {.registration = E_OUTOFMEMORY}, .result = E_OUTOFMEMORY,
     .log = kNoManager, .trace = "register(20,5)"},
    {.name = "NothingToRegister", .emptyTable = true, .log = kNoManager},
    {.name = "MonitorEventFails", .answers = {.refuseMonitorEvent = true}, .result = E_FAIL, .log = kNoManager,
     .trace = "register(20,5); revoke(7)"},
    {.name = "MonitorThreadFails", .answers = {.refuseThread = true}, .result = E_FAIL, .log = kNoManager,
     .trace = "register(20,5); monitor; revoke(7)"},
    {.name = "ResumeFails", .answers = {.resume = E_UNEXPECTED}, .result = E_UNEXPECTED, .log = kNoManager,
     .trace = kStart + "wait(30000); revoke(7)"},
    {.name = "DumpTypeZeroIsModeOne", .enableDump = 1, .dumpType = 0, .log = kFullRun,
     .trace = kStart + kDumps + kManager + "disable; " + kEnd},
    {.name = "DumpTypeTwoIsModeTwo", .enableDump = 1, .dumpType = 2, .log = kFullRun,
     .trace = kStart + "agent(23); enable(0,2,0); " + kManager + "disable; " + kEnd},
    {.name = "DumpTypeThreeMeansNoDumps", .enableDump = 1, .dumpType = 3, .log = kFullRun,
     .trace = kStart + kManager + kEnd},
    {.name = "EnableFails", .answers = {.enable = E_ACCESSDENIED}, .enableDump = 1, .result = E_FAIL,
     .log = {"->Run()", "Run Step 0"}, .trace = kStart + "agent(23); enable(0,1,0)"},
    {.name = "EnableAnswersSFalse", .answers = {.enable = S_FALSE}, .enableDump = 1, .log = kNoManager,
     .trace = kStart + kDumps + "disable; " + kEnd},
    {.name = "ManagerNotCreated", .answers = {.managerCreate = REGDB_E_CLASSNOTREG}, .result = REGDB_E_CLASSNOTREG,
     .log = kNoManager, .trace = kStart + "manager(23)"},
    {.name = "ManagerNotCreatedWithDumps", .answers = {.managerCreate = REGDB_E_CLASSNOTREG, .disable = S_FALSE},
     .enableDump = 1, .log = kNoManager, .trace = kStart + kDumps + "manager(23); disable; " + kEnd},
    {.name = "ControlMissing", .answers = {.control = false}, .enableDump = 1, .result = E_NOINTERFACE,
     .log = kEndAfterStep2, .trace = kStart + kDumps + "manager(23)", .managerHeld = true},
    {.name = "ImplementationModuleSFalse", .answers = {.module = S_FALSE}, .result = S_FALSE,
     .log = kEndAfterStep2, .trace = kStart + "manager(23); module(100)", .managerHeld = true},
    {.name = "DisableFails", .answers = {.disable = E_UNEXPECTED}, .enableDump = 1, .result = E_UNEXPECTED,
     .log = kFullRun, .trace = kStart + kDumps + kManager + "disable"},
    {.name = "RevokeFails", .answers = {.revoke = RPC_E_DISCONNECTED}, .result = RPC_E_DISCONNECTED,
     .log = kFullRun, .trace = kStart + kManager + kEnd},
    // A second host waits once a second and runs on when the first ends: seen end to end.
    {.name = "SecondInstanceGivesUpAfterTheHundredthWait", .result = E_ACCESSDENIED,
     .log = [] { Texts log(101, kWaiting); log[0] = "->Run()"; return log; }(),
     .trace = [] {
         std::string trace = "sleep(1000)";
         for (int i = 1; i < 100; ++i)
             trace += "; sleep(1000)";
         return trace;
     }(),
     .guardHeld = true},
    {.name = "ServiceStoppedWhileItStarts", .service = true,
     .log = {"->Run()", kWaiting, "dwOpcode = 1", "Run Step 0", "Run Step 1",
             "Run Step 2", "Service started", "Run Step 3", "Run Step 5", "Run End", "Service stopped"},
     .trace = "status(2,100000,0); sleep(1000); status(3,0,0); security; register(20,5); resume; manager(23); "
              "module(100); begin; event(Service started); end; shutdown; revoke(7)" + kStopped + "0)",
     .stopAt = "sleep", .guardHeld = true},
    {.name = "ServiceStoppedAfterItsFirstRunningReport", .service = true, .log = kStoppedEarly,
     .trace = kServiceStart + "manager(23); module(100); begin; status(3,0,0); initstate; event(Service started); end; "
              "shutdown; revoke(7)" + kStopped + "0)", .stopAt = "begin"},
    {.name = "LocalRunQuitBeforeItsLoop", .log = kFullRun, .trace = kStart + kManager + kEnd, .stopAt = "begin"},
};

// Runs 'body' on a new thread, which has no message queue until it makes one. A run whose quit
// message was lost is told to quit again after 60 s, so that the test ends; false then.
bool RunsToItsEndOnANewThread(std::function<void()> body)
{
    DWORD id = 0;
    const auto start = [](void* body) -> DWORD { return (*static_cast<std::function<void()>*>(body))(), 0; };
    UniqueKernelHandle thread(::CreateThread(nullptr, 0, start, &body, 0, &id));
    if (::WaitForSingleObject(thread.get(), 60000) == WAIT_OBJECT_0)
        return true;
    ::PostThreadMessageW(id, WM_QUIT, 0, 0);
    ::WaitForSingleObject(thread.get(), 60000);
    return false;
}

class RunSequence : public HostTest, public ::testing::WithParamInterface<RunCase>
{
};

TEST_P(RunSequence, EndsWithItsResultLogAndCallsInOrder)
{
    const RunCase& c = GetParam();
    g_answers = c.answers;
    std::optional<ScopedRegistryValueAbsent> noDump;
    std::optional<ScopedRegistryValue> dump, dumpType;
    if (!c.enableDump)
        noDump.emplace(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableDump);
    else
        dump.emplace(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableDump, REG_DWORD, &*c.enableDump, 4);
    if (c.dumpType)
        dumpType.emplace(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamDumpType, REG_DWORD, &*c.dumpType, 4);
    if (c.emptyTable)
        m_module->m_classObjects = {};
    UniqueKernelHandle guard(c.guardHeld ? ::CreateEventW(nullptr, FALSE, FALSE, kSafeEventGlobalName) : nullptr);
    g_onTrace = [&, stopped = false](const std::string& entry) mutable {
        if (c.stopAt == nullptr || entry != c.stopAt || std::exchange(stopped, true))
            return;
        guard.reset();
        std::thread([&] {
            if (c.service)
                CVexilSrvsModule::HandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
            else
                ::PostThreadMessageW(m_module->m_dwMainThreadID, WM_QUIT, 0, 0);
        }).join();
    };
    HRESULT result = S_OK;
    const auto run = [&] {
        if (c.service)
            return m_module->ServiceMain(0, nullptr);
        if (c.entry) {
            ScopedPlatformOverride line(&PlatformApi::GetCommandLineW,
                                        [] { return const_cast<LPWSTR>(L"VexilSrvs.exe"); });
            ScopedPlatformOverride priority(&PlatformApi::SetPriorityClass, [](HANDLE, DWORD) { return TRUE; });
            const std::wstring appId = std::wstring(kAppIdKeyName) + L"\\" + kAppIdString;
            {
                ScopedRegistryValue withoutLocalService(HKEY_CLASSES_ROOT, appId, L"", REG_SZ, L"", sizeof(wchar_t));
                result = m_module->WinMain(SW_SHOWNORMAL);
            }
            return DeleteKeyTree(HKEY_CLASSES_ROOT, appId);
        }
        m_module->m_bService = FALSE;
        m_module->m_dwMainThreadID = ::GetCurrentThreadId();
        result = m_module->Run(SW_SHOWNORMAL);
    };
    if (c.stopAt != nullptr) {
        EXPECT_TRUE(RunsToItsEndOnANewThread(run)) << "the quit message was lost";
    } else {
        QueueQuitMessage();
        run();
    }
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(!guard || ::WaitForSingleObject(guard.get(), 0) == WAIT_TIMEOUT) << "the holder's event is left alone";
    EXPECT_EQ(LogTexts(), c.log);
    EXPECT_EQ(g_trace, c.trace);
    EXPECT_EQ(m_components.refs, c.managerHeld ? 1 : 0);
    EXPECT_EQ(static_cast<bool>(m_module->m_spManager), c.managerHeld);
    // The guard stays held after the run: machine-wide, or session-local when that was refused.
    const bool ran = !c.log.empty() && c.log[0] == "->Run()" && !c.answers.refuseNamedEvents;
    UniqueKernelHandle global(::OpenEventW(SYNCHRONIZE, FALSE, kSafeEventGlobalName));
    UniqueKernelHandle local(::OpenEventW(SYNCHRONIZE, FALSE, kSafeEventLocalName));
    EXPECT_EQ(static_cast<bool>(global), ran && !c.answers.refuseGlobalEvent);
    EXPECT_EQ(static_cast<bool>(local), ran && c.answers.refuseGlobalEvent);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunSequence, ::testing::ValuesIn(kRunCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The host's own signature, checked ahead on a worker that the entry begins: its answer counts at
// the signature step exactly as a check made there would, and no path leaves the worker running.
// The signed sample module stands in for the manager's, so that only the host's own check fails.
// "Unsigned": the trust provider rejects the test program itself; "unfinished": the worker is
// still verifying when the first wait for it ends, and finishes only once it is waited for again.
struct OwnCheck
{
    static inline bool s_unsigned = false, s_unfinished = false, s_waited = false;
    static inline UniqueKernelHandle s_release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    static inline UniqueKernelHandle s_worker;  // a second handle on the worker thread

    static LONG WINAPI Verify(HWND window, GUID* action, void* data)
    {
        auto* trust = static_cast<WINTRUST_DATA*>(data);
        if (!IsOwnPath(trust->pFile->pcwszFilePath))
            return RealPlatform().WinVerifyTrust(window, action, data);
        if (s_unfinished)
            ::WaitForSingleObject(s_release.get(), 60000);
        if (!s_unsigned || trust->dwStateAction == WTD_STATEACTION_CLOSE)
            return RealPlatform().WinVerifyTrust(window, action, data);
        return TRUST_E_NOSIGNATURE;
    }
    static DWORD WINAPI Wait(HANDLE handle, DWORD ms)
    {
        Trace(S_OK, "wait", ms);
        if (s_unfinished && !std::exchange(s_waited, true))
            return WAIT_TIMEOUT;
        ::SetEvent(s_release.get());
        return RealPlatform().WaitForSingleObject(handle, ms);
    }
    static HANDLE WINAPI Create(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                                DWORD flags, LPDWORD id)
    {
        if (FAILED(Trace(g_answers.refuseWorker ? E_FAIL : S_OK, "worker")))
            return ::SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
        const HANDLE thread = RealPlatform().CreateThread(sa, stack, routine, parameter, flags, id);
        ::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(), s_worker.put(), SYNCHRONIZE, FALSE, 0);
        return thread;
    }
    static bool IsOwnPath(const wchar_t* path)
    {
        wchar_t own[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, own, MAX_PATH);
        return _wcsicmp(path, own) == 0;
    }
};

struct OwnCase
{
    const char* name;
    bool refuseWorker, unsignedHost, unfinished, started;
    std::string trace;
};
void PrintTo(const OwnCase& c, std::ostream* os) { *os << c.name; }

const std::string kManagerStep = "manager(23); module(100); begin; ";
const std::string kKept = "event(Service started); status(4,0,0); end; shutdown; revoke(7)" + kStopped + "0)";
const std::string kLetGo = "end; revoke(7)" + kStopped + "0)";
const OwnCase kOwnCases[] = {
    {"WorkerAnswers", false, false, false, true, "worker; " + kServiceStart + kManagerStep + "wait(60000); " + kKept},
    {"WorkerFindsTheHostUnsigned", false, true, false, false,
     "worker; " + kServiceStart + kManagerStep + "wait(60000); " + kLetGo},
    {"WorkerUnfinishedAtTheBound", false, false, true, false,
     "worker; " + kServiceStart + kManagerStep + "wait(60000); " + kLetGo},
    {"NoWorkerTheStepChecks", true, false, false, true, "worker; " + kServiceStart + kManagerStep + kKept},
    {"NoWorkerTheStepFindsTheHostUnsigned", true, true, false, false, "worker; " + kServiceStart + kManagerStep + kLetGo},
};

class OwnSignature : public HostTest, public ::testing::WithParamInterface<OwnCase>
{
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        OwnCheck::s_unsigned = OwnCheck::s_unfinished = OwnCheck::s_waited = false;
        ::ResetEvent(OwnCheck::s_release.get());
        OwnCheck::s_worker.reset();
        g_answers.managerModule = m_sample.get();
        ASSERT_TRUE(m_sample);
    }
    void TearDown() override
    {
        ::SetEvent(OwnCheck::s_release.get());  // a worker left blocked by a failing test ends
        HostTest::TearDown();
    }

    UniqueLibrary m_sample{::LoadLibraryW(OutputFile(L"VexilSignatureSample.dll").c_str())};
    ScopedPlatformOverride<decltype(&::WinVerifyTrust)> m_verify{&PlatformApi::WinVerifyTrust, &OwnCheck::Verify};
    ScopedPlatformOverride<decltype(&::WaitForSingleObject)> m_wait{&PlatformApi::WaitForSingleObject,
                                                                     &OwnCheck::Wait};
    ScopedPlatformOverride<decltype(&::CreateThread)> m_create{&PlatformApi::CreateThread, &OwnCheck::Create};
};

TEST_P(OwnSignature, CountsAtTheSignatureStepAsACheckMadeThereWould)
{
    const OwnCase& c = GetParam();
    OwnCheck::s_unsigned = c.unsignedHost;
    OwnCheck::s_unfinished = c.unfinished;
    g_answers.refuseWorker = c.refuseWorker;
    m_module->m_ownSignature.Begin();
    QueueQuitMessage();
    m_module->ServiceMain(0, nullptr);
    Texts log = {"->Run()", "Run Step 0", "Run Step 1", "Run Step 2", "Run Step 3", "Run Step 5", "Run End",
                 "Service stopped"};
    if (c.started)
        log.insert(log.begin() + 4, "Service started");
    EXPECT_EQ(LogTexts(), log);
    EXPECT_EQ(g_trace, c.trace);
    EXPECT_EQ(m_components.refs, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, OwnSignature, ::testing::ValuesIn(kOwnCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The entry begins the check once the process will run and waits for the worker before it
// returns, also when the start fails before any run (no AppID key to read the mode from).
TEST_F(HostTest, EntryJoinsTheOwnSignatureWorkerWhenTheStartFails)
{
    OwnCheck::s_unfinished = true;  // the worker can end only once it is waited for
    OwnCheck::s_waited = true;
    ::ResetEvent(OwnCheck::s_release.get());
    ScopedPlatformOverride verify(&PlatformApi::WinVerifyTrust, &OwnCheck::Verify);
    ScopedPlatformOverride wait(&PlatformApi::WaitForSingleObject, &OwnCheck::Wait);
    ScopedPlatformOverride create(&PlatformApi::CreateThread, &OwnCheck::Create);
    ScopedPlatformOverride priority(&PlatformApi::SetPriorityClass, [](HANDLE, DWORD) { return TRUE; });
    ScopedPlatformOverride line(&PlatformApi::GetCommandLineW, [] { return const_cast<LPWSTR>(L"VexilSrvs.exe"); });
    ScopedPlatformOverride noAppIds(&PlatformApi::RegOpenKeyExW,
                                    [](HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) -> LSTATUS { return ERROR_FILE_NOT_FOUND; });
    EXPECT_EQ(m_module->WinMain(SW_SHOWNORMAL), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(g_trace, "worker; wait(60000)");
    EXPECT_EQ(::WaitForSingleObject(OwnCheck::s_worker.get(), 0), WAIT_OBJECT_0) << "ended before the entry returned";
    ::SetEvent(OwnCheck::s_release.get());
    OwnCheck::s_unfinished = false;
}

// Around the run, the entry gives back the timer resolution on every path, and COM only where the
// module took it in local-server mode (a service's thread gives back its own). A thread already in a
// single-threaded apartment refuses the module's apartment: the host goes on only when the .NET
// runtime is loaded, and a service otherwise ends at once reporting that code.
TEST_F(HostTest, ProcessEntryGivesBackTheTimerAlwaysAndComOnlyWhereTheModuleTookIt)
{
    constexpr wchar_t kAppIdPath[] = L"AppID\\{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";
    ScopedPlatformOverride line(&PlatformApi::GetCommandLineW, [] { return const_cast<LPWSTR>(L"VexilSrvs.exe"); });
    ScopedPlatformOverride priority(&PlatformApi::SetPriorityClass,
                                    [](HANDLE, DWORD c) { return BOOL(Trace(TRUE, "class", c)); });
    ScopedPlatformOverride begin(&PlatformApi::timeBeginPeriod, [](UINT p) { return UINT(Trace(0, "period", p)); });
    ScopedPlatformOverride end(&PlatformApi::timeEndPeriod, [](UINT p) { return UINT(Trace(0, "endperiod", p)); });
    ScopedPlatformOverride dispatcher(&PlatformApi::StartServiceCtrlDispatcherW, [](const SERVICE_TABLE_ENTRYW* table) {
        table[0].lpServiceProc(0, nullptr);  // the service's whole life, on this thread
        return TRUE;
    });
    // The entry begins the own-signature worker; the signature step waits for its answer, and an
    // entry that ends before any run still waits for it before returning.
    const std::string local = kStart + "manager(23); module(100); begin; wait(60000); end; shutdown; " + kEnd;
    const std::string service = kServiceStart + "manager(23); module(100); begin; wait(60000); "
                                "event(Service started); status(4,0,0); end; shutdown; revoke(7)";
    const struct { bool service, sta, mscoree; HRESULT result; std::string trace; } cases[] = {
        {false, false, false, S_OK, local + "; uninit(0); "},
        {false, true, false, RPC_E_CHANGED_MODE, "wait(60000); "},
        {false, true, true, S_OK, local + "; "},
        {true, false, false, S_OK, service + kStopped + "0); "},
        {true, true, false, RPC_E_CHANGED_MODE, "status(2,100000,0); status(1,0,-2147417850); wait(60000); "},
        {true, true, true, S_OK, service + "; event(Service stopped); status(1,0,0); "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.service) + std::to_string(c.sta) + std::to_string(c.mscoree));
        const wchar_t* mode = c.service ? L"LocalService" : L"RunAs";
        ASSERT_EQ(::RegSetKeyValueW(HKEY_CLASSES_ROOT, kAppIdPath, mode, REG_SZ, L"", 2), 0);
        ASSERT_TRUE(!c.sta || ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_OK);
        const HMODULE runtime = c.mscoree ? ::LoadLibraryW(L"mscoree.dll") : nullptr;
        ASSERT_EQ(runtime != nullptr, c.mscoree);
        RenewModule();
        g_trace.clear();
        QueueQuitMessage();
        EXPECT_EQ(m_module->WinMain(SW_SHOWNORMAL), c.result);
        EXPECT_EQ(g_trace, "class(256); period(1); worker; " + c.trace + "endperiod(1)");
        if (runtime != nullptr)
            ::FreeLibrary(runtime);
        if (c.sta)
            ::CoUninitialize();
        (void)TakeQuitMessage();
        DeleteKeyTree(HKEY_CLASSES_ROOT, kAppIdPath);
    }
}

// A service only counts down, so lock traffic never ends it; a local server whose last outside
// user is gone wakes the idle monitor (seen at work end to end), or quits at once without one.
TEST_F(HostTest, UnlockEndsOnlyALocalServerAndOnlyWhenTheServerCountFallsToZero)
{
    static ULONG s_count;
    ScopedPlatformOverride addRef(&PlatformApi::CoAddRefServerProcess, [] { return Trace(0, "addref"), ++s_count; });
    ScopedPlatformOverride release(&PlatformApi::CoReleaseServerProcess, [] { return Trace(0, "release"), --s_count; });
    ScopedPlatformOverride signal(&PlatformApi::SetEvent, [](HANDLE) -> BOOL { return Trace(FALSE, "signal"); });
    const struct { BOOL service, delay; int locks; LONG last; std::string trace; bool quit; } cases[] = {
        {TRUE, FALSE, 1, -1, "addref", false},
        {FALSE, TRUE, 2, 1, "addref; addref; release", false},
        {FALSE, TRUE, 1, 0, "addref; release; signal", false},  // the monitor has fired: no event, no effect
        {FALSE, FALSE, 1, 0, "addref; release", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        g_trace.clear();
        s_count = 0;
        m_module->m_nLockCnt = 0;
        m_module->m_bService = c.service;
        m_module->m_bDelayShutdown = c.delay;
        for (int i = 0; i < c.locks; ++i)
            EXPECT_EQ(m_module->Lock(), i + 1);
        EXPECT_EQ(m_module->Unlock(), c.last);
        EXPECT_EQ(g_trace, c.trace);
        EXPECT_EQ(TakeQuitMessage(), c.quit);
    }
}

}  // namespace
