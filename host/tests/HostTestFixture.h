#pragma once

// A module object set up for one test of the host's life: its own log directory with the log
// on, crash dumps off unless the test switches them on, and fakes in place of the outside
// components, the COM runtime's class-object calls, the service status, the event log, Sleep
// and the idle monitor. What the host did is kept in one trace, in order; the answers it gets
// come from g_answers.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/DiagnosticsNames.h"
#include "host/VexilSrvsModule.h"
#include "manager/ComponentIds.h"
#include "tests/support/LogReader.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestRegistry.h"

using Texts = std::vector<std::string>;

struct HostAnswers
{
    HRESULT managerCreate = S_OK, agentCreate = S_OK, registration = S_OK, resume = S_OK, revoke = S_OK;
    HRESULT security = S_OK, enable = S_OK, disable = S_OK, module = S_OK, initAnswer = S_OK;
    bool handler = true, control = true, state = true, signedManager = true, nullModule = false;
    bool refuseGlobalEvent = false, refuseNamedEvents = false, refuseMonitorEvent = false, refuseThread = false;
    bool refuseWorker = false;        // the own-signature worker's thread
    HMODULE managerModule = nullptr;  // the signed manager's module; null: the test program
    std::vector<LONG> initStates{2};  // GetInitState answers in turn; the last one repeats
};
inline HostAnswers g_answers;
inline constexpr DWORD kZero = 0, kOne = 1;
inline std::string g_trace;
inline std::function<void(const std::string&)> g_onTrace;  // sees each entry as it is traced, on its thread

// Appends "entry" or "entry(v1,v2)" to the trace and answers hr.
template <typename... Values>
HRESULT Trace(HRESULT hr, const std::string& entry, Values... values)
{
    std::string list;
    ((list += (list.empty() ? "(" : ",") + std::to_string(values)), ...);
    g_trace += (g_trace.empty() ? "" : "; ") + entry + list + (list.empty() ? "" : ")");
    if (g_onTrace)
        g_onTrace(entry);
    return hr;
}

#define VEXIL_RESERVED(n) HRESULT STDMETHODCALLTYPE Reserved##n() override { return E_NOTIMPL; }

// The boards manager and the crash-dump agent in one object, so one count shows that the host
// gave back every reference it took.
class FakeComponents final : public IVexilMgrSrv, public IVexilMgrControl, public IVexilMgrState, public ICrashDumpAgent
{
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override { return ::InterlockedDecrement(&refs); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        void* const own[] = {static_cast<IVexilMgrSrv*>(this), static_cast<IVexilMgrControl*>(this),
                             static_cast<IVexilMgrState*>(this), static_cast<ICrashDumpAgent*>(this)};
        *out = iid == IID_IUnknown || iid == IID_IVexilMgrSrv ? own[0]
             : iid == IID_IVexilMgrControl && g_answers.control ? own[1]
             : iid == IID_IVexilMgrState && g_answers.state ? own[2] : iid == IID_ICrashDumpAgent ? own[3] : nullptr;
        return *out != nullptr ? AddRef(), S_OK : E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetImplementationModule(LONGLONG* module) override
    {
        Trace(S_OK, "module", *module);  // the signed test program stands in for the manager; kernel32 is nobody's
        *module = g_answers.nullModule        ? 0
                : !g_answers.signedManager    ? reinterpret_cast<LONGLONG>(::GetModuleHandleW(L"kernel32"))
                : g_answers.managerModule     ? reinterpret_cast<LONGLONG>(g_answers.managerModule)
                                              : reinterpret_cast<LONGLONG>(::GetModuleHandleW(nullptr));
        return g_answers.module;
    }
    HRESULT STDMETHODCALLTYPE BeginInit() override { return Trace(S_OK, "begin"); }
    HRESULT STDMETHODCALLTYPE EndInit() override { return Trace(S_OK, "end"); }
    HRESULT STDMETHODCALLTYPE Shutdown() override { return Trace(S_OK, "shutdown"); }
    HRESULT STDMETHODCALLTYPE GetInitState(LONG* state) override
    {
        *state = g_answers.initStates[std::min<size_t>(initCalls++, g_answers.initStates.size() - 1)];
        return Trace(g_answers.initAnswer, "initstate");
    }
    HRESULT STDMETHODCALLTYPE EnableCrashDumps(LONG isService, LONG mode, LONG reserved) override
    {
        return Trace(g_answers.enable, "enable", isService, mode, reserved);
    }
    HRESULT STDMETHODCALLTYPE DisableCrashDumps() override { return Trace(g_answers.disable, "disable"); }
    VEXIL_RESERVED(3) VEXIL_RESERVED(4) VEXIL_RESERVED(5) VEXIL_RESERVED(6) VEXIL_RESERVED(7) VEXIL_RESERVED(8)
    VEXIL_RESERVED(9) VEXIL_RESERVED(10) VEXIL_RESERVED(11) VEXIL_RESERVED(12) VEXIL_RESERVED(13)
    VEXIL_RESERVED(14) VEXIL_RESERVED(16) VEXIL_RESERVED(17)
    volatile LONG refs = 0;
    size_t initCalls = 0;
};
inline FakeComponents* g_components = nullptr;

class HostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_trace.clear();
        g_answers = {};
        g_components = &m_components;
        m_savedLogDir = std::exchange(*g_strLogDir, m_logDirectory = MakeTempDirectory(L"host"));
        RenewModule();
        (void)TakeQuitMessage();  // gives the thread its message queue, which keeps quit messages posted to it
    }
    void TearDown() override
    {
        g_onTrace = nullptr;
        if (m_module->m_pLogFile != nullptr)
            fclose(std::exchange(m_module->m_pLogFile, nullptr));
        m_module.reset();
        RemoveDirectoryTree(m_logDirectory);
        *g_strLogDir = m_savedLogDir;
        while (TakeQuitMessage()) {
        }
    }
    // A module as the process starts with, the one before it gone (its guard event and log too).
    void RenewModule()
    {
        if (m_module && m_module->m_pLogFile != nullptr)
            fclose(std::exchange(m_module->m_pLogFile, nullptr));
        m_module.emplace();
        m_module->m_classObjects = ClassObjectSpan(m_table);
    }
    // The texts logged since the previous call.
    [[nodiscard]] Texts LogTexts()
    {
        const Texts all = LogTextsIn(m_logDirectory);
        return Texts(all.begin() + static_cast<ptrdiff_t>(std::exchange(m_logSeen, all.size())), all.end());
    }
    static void QueueQuitMessage() { ::PostThreadMessageW(::GetCurrentThreadId(), WM_QUIT, 0, 0); }
    [[nodiscard]] static bool TakeQuitMessage()
    {
        MSG msg;
        return ::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    }

    FakeComponents m_components;
    std::wstring m_logDirectory, m_savedLogDir;
    size_t m_logSeen = 0;
    std::optional<CVexilSrvsModule> m_module;
    ClassObjectCache m_cache{nullptr, 0};
    ClassObjectEntry m_entry{&CLSID_VexilMgrSrv, nullptr,
                             [](void*, REFIID iid, void** out) { return g_components->QueryInterface(iid, out); },
                             nullptr, &m_cache, nullptr, nullptr, nullptr};
    ClassObjectEntry* m_table[1] = {&m_entry};

private:
    ScopedRegistryValue m_logOn{HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent, REG_DWORD, &kOne, 4};
    ScopedRegistryValue m_dumpsOff{HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableDump, REG_DWORD, &kZero, 4};
    ScopedRegistryValueAbsent m_noDumpType{HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamDumpType};
    template <typename F>
    using Override = ScopedPlatformOverride<F>;
    Override<decltype(&::CoCreateInstance)> m_create{&PlatformApi::CoCreateInstance,
        [](REFCLSID clsid, LPUNKNOWN, DWORD context, REFIID iid, LPVOID* out) -> HRESULT {
            const bool manager = clsid == CLSID_VexilMgrSrv;
            const HRESULT hr = Trace(manager ? g_answers.managerCreate : g_answers.agentCreate,
                                     manager ? "manager" : "agent", context);
            return FAILED(hr) ? (*out = nullptr, hr) : g_components->QueryInterface(iid, out);
        }};
    Override<decltype(&::CoRegisterClassObject)> m_register{&PlatformApi::CoRegisterClassObject,
        [](REFCLSID, LPUNKNOWN, DWORD context, DWORD flags, LPDWORD cookie) {
            *cookie = SUCCEEDED(g_answers.registration) ? 7 : 0;
            return Trace(g_answers.registration, "register", context, flags);
        }};
    Override<decltype(&::CoResumeClassObjects)> m_resume{&PlatformApi::CoResumeClassObjects,
                                                         [] { return Trace(g_answers.resume, "resume"); }};
    Override<decltype(&::CoRevokeClassObject)> m_revoke{
        &PlatformApi::CoRevokeClassObject, [](DWORD cookie) { return Trace(g_answers.revoke, "revoke", cookie); }};
    Override<decltype(&::CoInitializeSecurity)> m_security{&PlatformApi::CoInitializeSecurity,
        [](PSECURITY_DESCRIPTOR, LONG, SOLE_AUTHENTICATION_SERVICE*, void*, DWORD, DWORD, void*, DWORD, void*) {
            return Trace(g_answers.security, "security");
        }};
    Override<decltype(&::RegisterServiceCtrlHandlerExW)> m_handler{&PlatformApi::RegisterServiceCtrlHandlerExW,
        [](LPCWSTR name, LPHANDLER_FUNCTION_EX function, LPVOID context) {
            EXPECT_TRUE(wcscmp(name, L"VexilSrvs") == 0 && function == &CVexilSrvsModule::HandlerEx && !context);
            return g_answers.handler ? reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150) : nullptr;
        }};
    Override<decltype(&::SetServiceStatus)> m_status{&PlatformApi::SetServiceStatus,
        [](SERVICE_STATUS_HANDLE, LPSERVICE_STATUS s) -> BOOL {
            EXPECT_TRUE(s->dwCheckPoint == 0 && s->dwControlsAccepted == 5);
            return Trace(TRUE, "status", s->dwCurrentState, s->dwWaitHint, LONG(s->dwWin32ExitCode));
        }};
    Override<decltype(&::ReportEventW)> m_report{&PlatformApi::ReportEventW,
        [](HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR* strings, LPVOID) -> BOOL {
            return Trace(TRUE, "event(" + std::string(strings[0], strings[0] + wcslen(strings[0])) + ")");
        }};
    Override<decltype(&::CoUninitialize)> m_uninitialize{&PlatformApi::CoUninitialize, [] {
        Trace(S_OK, "uninit", LONG(g_components->refs));  // the references to the fakes still held
        RealPlatform().CoUninitialize();
    }};
    Override<decltype(&::Sleep)> m_sleep{&PlatformApi::Sleep, [](DWORD ms) { Trace(S_OK, "sleep", ms); }};
    Override<decltype(&::WaitForSingleObject)> m_wait{&PlatformApi::WaitForSingleObject, [](HANDLE handle, DWORD ms) {
        return Trace(S_OK, "wait", ms), RealPlatform().WaitForSingleObject(handle, ms);
    }};
    // Named events are the guard, which must carry a present, null DACL so that any account in
    // any session can open it; the unnamed one wakes the idle monitor.
    Override<decltype(&::CreateEventW)> m_event{&PlatformApi::CreateEventW,
        [](LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name) -> HANDLE {
            BOOL present = FALSE, defaulted = FALSE;
            PACL dacl = reinterpret_cast<PACL>(1);
            EXPECT_TRUE(!manual && !initial);
            EXPECT_TRUE(name == nullptr || (sa != nullptr && sa->nLength == 24 && !sa->bInheritHandle &&
                                            ::GetSecurityDescriptorDacl(sa->lpSecurityDescriptor, &present, &dacl,
                                                                        &defaulted) && present && !dacl));
            const bool refused = name == nullptr ? g_answers.refuseMonitorEvent
                : g_answers.refuseNamedEvents || (g_answers.refuseGlobalEvent && wcsncmp(name, L"Global\\", 7) == 0);
            if (refused)
                return ::SetLastError(ERROR_ACCESS_DENIED), nullptr;
            return RealPlatform().CreateEventW(sa, manual, initial, name);
        }};
    // The idle monitor is a thread that ends at once: the tests here watch what PreMessageLoop
    // does with it, and the real one is seen at work end to end. The own-signature worker runs.
    Override<decltype(&::CreateThread)> m_thread{&PlatformApi::CreateThread,
        [](LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
           LPDWORD id) -> HANDLE {
            const bool monitor = routine == &CVexilSrvsModule::MonitorProc;
            if (FAILED(Trace(monitor ? (g_answers.refuseThread ? E_FAIL : S_OK) : g_answers.refuseWorker ? E_FAIL : S_OK,
                             monitor ? "monitor" : "worker")))
                return ::SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
            return monitor ? RealPlatform().CreateThread(sa, stack, [](void*) -> DWORD { return 0; }, nullptr, flags, id)
                           : RealPlatform().CreateThread(sa, stack, routine, parameter, flags, id);
        }};
};
