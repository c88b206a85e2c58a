// Service installation, AppID, class and type-library registration. The service entry is made in
// the test prefix's own Service Control Manager, whose calls pass through unless a row asks one
// to fail; progress texts and message boxes are recorded and Sleep returns at once.

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <cwchar>
#include <string>
#include <vector>

#include "registration/RegistrationText.h"
#include "registration/ServerRegistration.h"
#include "registration/tests/ScriptTestSupport.h"
#include "support/ComPtr.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestProcess.h"

namespace {

using Texts = std::vector<std::wstring>;

struct Faults
{
    std::size_t managerFailsFromCall = 0;  // the n-th and every later OpenSCManagerW fails; 0: none
    bool createFails = false, openForRemovalFails = false, deleteRefused = false;
    bool reportsRunning = false;  // status queries never see SERVICE_STOPPED
    int deniedAfterDelete = 0;    // the first n opens for a query after the delete request are denied
    bool entryHeld = false;       // the test holds a handle to the entry, so a deleted entry lingers
};

struct Record
{
    Faults faults;
    Texts progress, boxes;
    std::vector<DWORD> controls;
    std::size_t managerCalls = 0, sleeps = 0;
    bool deleteRequested = false;
} g_record;

UniqueScHandle OpenEntry()
{
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return UniqueScHandle(::OpenServiceW(manager.get(), L"VexilSrvs", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
}

bool ServiceExists()
{
    return OpenEntry().valid();
}

// Type, start, error control, program path, display name, dependencies (from the entry's key:
// Wine's QueryServiceConfigW does not give them) and description, as the system keeps them.
std::wstring ServiceConfiguration(const ScratchRoots& roots)
{
    alignas(8) BYTE config[8192], description[8192];
    DWORD needed = 0;
    const UniqueScHandle service = OpenEntry();
    const auto* c = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config);
    if (!::QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config), 8192, &needed) ||
        !::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description, 8192, &needed))
        return L"<none>";
    const auto dependencies = roots.ThroughRealRoot(HKEY_LOCAL_MACHINE, [] {
        return ReadValue(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\VexilSrvs", L"DependOnService");
    });
    std::wstring list = dependencies ? std::wstring(reinterpret_cast<const wchar_t*>(dependencies->data.data()),
                                                    dependencies->data.size() / sizeof(wchar_t)) : L"<none>";
    std::replace(list.begin(), list.end(), L'\0', L';');
    return std::to_wstring(c->dwServiceType) + L" " + std::to_wstring(c->dwStartType) + L" " +
           std::to_wstring(c->dwErrorControl) + L" " + c->lpBinaryPathName + L"|" + c->lpDisplayName + L"|" + list +
           L"|" + reinterpret_cast<const SERVICE_DESCRIPTIONW*>(description)->lpDescription;
}

// Starts with no service "VexilSrvs", or with 'installed' one that is not running (the tests never
// start one, so it goes at once); then sets 'faults' and forgets what was recorded. Runs under the
// fixture's overrides.
bool Reset(bool installed = false, const Faults& faults = {})
{
    g_record = Record{};
    CVexilSrvsModule module;
    const bool ready = module.Uninstall() && (!installed || module.Install());
    g_record = Record{};
    g_record.faults = faults;
    return ready && ServiceExists() == installed;
}

template <typename Function>
using Override = ScopedPlatformOverride<Function>;

class Installer : public ::testing::Test
{
protected:
    Installer() { Reset(); }
    ~Installer() override { Reset(); }

    ScratchRoots m_roots;  // the AppID entries land in the stand-in of HKEY_CLASSES_ROOT
    CVexilSrvsModule m_module;
    Override<decltype(&::OutputDebugStringW)> m_progress{&PlatformApi::OutputDebugStringW,
                                                         [](LPCWSTR text) { g_record.progress.emplace_back(text); }};
    Override<decltype(&::MessageBoxW)> m_box{&PlatformApi::MessageBoxW, [](HWND owner, LPCWSTR text, LPCWSTR caption,
                                                                            UINT type) {
        g_record.boxes.emplace_back(owner == nullptr && std::wstring(caption) == L"VexilSrvs" && type == MB_OK
                                        ? text : L"box of the wrong kind");
        return IDOK;
    }};
    Override<decltype(&::Sleep)> m_sleep{&PlatformApi::Sleep, [](DWORD) { ++g_record.sleeps; }};
    Override<decltype(&::OpenSCManagerW)> m_manager{&PlatformApi::OpenSCManagerW, [](LPCWSTR m, LPCWSTR d, DWORD a) {
        const std::size_t failFrom = g_record.faults.managerFailsFromCall;
        return ++g_record.managerCalls >= failFrom && failFrom != 0 ? nullptr : RealPlatform().OpenSCManagerW(m, d, a);
    }};
    Override<decltype(&::CreateServiceW)> m_create{&PlatformApi::CreateServiceW, [](auto... arguments) {
        return g_record.faults.createFails ? nullptr : RealPlatform().CreateServiceW(arguments...);
    }};
    Override<decltype(&::OpenServiceW)> m_open{&PlatformApi::OpenServiceW, [](SC_HANDLE m, LPCWSTR n, DWORD a) {
        const bool refused = g_record.faults.openForRemovalFails && a == (DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
        const bool denied = g_record.deleteRequested && a == SERVICE_QUERY_CONFIG &&
                            g_record.faults.deniedAfterDelete-- > 0;
        if (denied)
            ::SetLastError(ERROR_ACCESS_DENIED);
        return refused || denied ? nullptr : RealPlatform().OpenServiceW(m, n, a);
    }};
    Override<decltype(&::QueryServiceStatus)> m_query{&PlatformApi::QueryServiceStatus, [](SC_HANDLE s, LPSERVICE_STATUS st) {
        return g_record.faults.reportsRunning ? (st->dwCurrentState = SERVICE_RUNNING, TRUE)
                                              : RealPlatform().QueryServiceStatus(s, st);
    }};
    Override<decltype(&::ControlService)> m_control{&PlatformApi::ControlService, [](SC_HANDLE s, DWORD c, LPSERVICE_STATUS st) {
        g_record.controls.push_back(c);
        return RealPlatform().ControlService(s, c, st);
    }};
    Override<decltype(&::DeleteService)> m_delete{&PlatformApi::DeleteService, [](SC_HANDLE service) {
        g_record.deleteRequested = true;
        return g_record.faults.deleteRefused ? FALSE : RealPlatform().DeleteService(service);
    }};
};

TEST_F(Installer, InstallAndUninstallReportEachStepAndShowWhatStopsThem)
{
    const Texts installSteps = {kInstallStep1, kInstallStep2, kInstallStep3, kInstallStep4, kInstallStep5};
    const Texts uninstallSteps = {kUninstallStep1, kUninstallStep2, kUninstallStep3,
                                  kUninstallStep4, kUninstallStep5, kUninstallStep6};
    // heldEvent: held by the test as an old instance would; steps: of the numbered texts above.
    const struct { bool install, installed; Faults faults; const wchar_t* heldEvent; bool result; std::size_t steps;
                   Texts tail, boxes; std::size_t sleeps; } rows[] = {
        {true, true, {}, nullptr, true, 1, {}, {}, 0},
        {true, false, {.createFails = true}, nullptr, false, 5, {kInstallStep7}, {L"Couldn't create service"}, 0},
        {true, false, {.managerFailsFromCall = 1}, nullptr, false, 2, {}, {L"Couldn't open service manager"}, 0},
        {false, false, {}, nullptr, true, 1, {}, {}, 0},
        {false, true, {.managerFailsFromCall = 1}, nullptr, true, 1, {}, {}, 0},  // no rights: nothing to do
        {false, true, {.managerFailsFromCall = 2}, nullptr, false, 2, {}, {L"Couldn't open service manager"}, 0},
        {false, true, {.openForRemovalFails = true}, nullptr, false, 3, {}, {L"Couldn't open service"}, 0},
        {false, true, {}, nullptr, true, 6, {kUninstallGoodEnd}, {}, 2},  // the stop poll checks before it sleeps
        {false, true, {.reportsRunning = true}, nullptr, true, 6, {kUninstallGoodEnd}, {L"Service could not be Stopped"},
         302},
        {false, true, {}, L"Global\\VexilSrvs_SafeEvent", true, 6, {kUninstallGoodEnd},
         {L"Service could not be Stopped 2"}, 301},
        {false, true, {}, L"VexilSrvs_SafeEvent", true, 6, {kUninstallGoodEnd}, {L"Service could not be Stopped 2"}, 301},
        {false, true, {.deleteRefused = true}, nullptr, false, 6, {kUninstallBadEnd}, {L"Service could not be deleted"},
         102},
        // Only "does not exist" means gone: a denied open is waited out like a lingering entry.
        {false, true, {.deniedAfterDelete = 3}, nullptr, true, 6,
         {kUninstallStillInstalled, kUninstallStillInstalled, kUninstallStillInstalled, kUninstallGoodEnd}, {}, 5},
        {false, true, {.entryHeld = true}, nullptr, true, 6, {kUninstallGoodEnd}, {}, 102},  // deleted, lingering
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.boxes) + " " + std::to_string(row.steps));
        ASSERT_TRUE(Reset(row.installed, row.faults));
        UniqueKernelHandle event(row.heldEvent ? ::CreateEventW(nullptr, TRUE, FALSE, row.heldEvent) : nullptr);
        UniqueScHandle held = row.faults.entryHeld ? OpenEntry() : UniqueScHandle();
        EXPECT_EQ(row.install ? m_module.Install() : m_module.Uninstall(), row.result);
        held.reset();
        const Texts& steps = row.install ? installSteps : uninstallSteps;
        Texts progress(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(row.steps));
        if (row.faults.deleteRefused || row.faults.entryHeld) {  // the entry outlives the deletion wait
            progress.insert(progress.end(), 100, kUninstallStillInstalled);
            progress.emplace_back(kUninstallStillInstalledAfterTimeout);
        }
        progress.insert(progress.end(), row.tail.begin(), row.tail.end());
        EXPECT_EQ(g_record.progress, progress);
        EXPECT_EQ(g_record.boxes, row.boxes);
        EXPECT_EQ(g_record.sleeps, row.sleeps);
        EXPECT_EQ(g_record.controls, std::vector<DWORD>(row.faults.reportsRunning ? 1 : 0, SERVICE_CONTROL_STOP));
        EXPECT_EQ(ServiceExists(), row.install ? row.installed : row.installed && (row.steps < 6 || !row.result));
    }
}

// The mode value is stored with its terminator; the service entry runs the program itself,
// unquoted and without a switch, on every start of the system, after COM's own service.
TEST_F(Installer, RegistrationRemovesTheOldEntryWritesTheModeValueAndInstallsTheServiceLast)
{
    const ExactValueSizes exact;
    const auto modeValue = [this](const wchar_t* name) {
        const auto value = ReadValue(m_roots.StandIn(HKEY_CLASSES_ROOT),
                                     std::wstring(kAppIdKeyName) + L"\\" + kAppIdString, name);
        return value ? std::wstring(reinterpret_cast<const wchar_t*>(value->data.data()), value->data.size() / 2)
                     : L"<none>";
    };
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    ASSERT_TRUE(Reset(true));
    ASSERT_EQ(m_module.RegisterAppId(true), S_OK);
    EXPECT_EQ(modeValue(L"LocalService") + L"," + modeValue(L"RunAs"), std::wstring(L"VexilSrvs\0,<none>", 17));
    EXPECT_EQ(ServiceConfiguration(m_roots), L"16 2 1 " + std::wstring(program) +
                                          L"|VexilSrvs|RPCSS;VexilTimeSrvs;;|Vexil Boards Manager Service");
    EXPECT_EQ(g_record.progress,
              (Texts{kRegisterAppIdStep1, kUninstallStep1, kUninstallStep2, kUninstallStep3, kUninstallStep4,
                     kUninstallStep5, kUninstallStep6, kUninstallGoodEnd, kRegisterAppIdStep2, kRegisterAppIdStep3,
                     kRegisterAppIdStep4, kRegisterAppIdStep5, kRegisterAppIdStep6, kInstallStep1, kInstallStep2,
                     kInstallStep3, kInstallStep4, kInstallStep5, kInstallStep6, kInstallGoodEnd}));
    ASSERT_EQ(m_module.RegisterAppId(false), S_OK);
    EXPECT_EQ(modeValue(L"LocalService") + L"," + modeValue(L"RunAs"), std::wstring(L"<none>,Interactive User\0", 24));
    EXPECT_FALSE(ServiceExists());
}

TEST_F(Installer, AppIdFailuresOfTheServiceStepsGiveEFailAndOfTheKeysTheirOwnCode)
{
    EXPECT_EQ(WriteAppIdModeValue(nullptr), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));  // no AppID key yet
    EXPECT_EQ(g_record.progress, Texts{kRegisterAppIdStep3});
    ASSERT_TRUE(Reset(true, {.openForRemovalFails = true}));
    EXPECT_EQ(m_module.RegisterAppId(false), E_FAIL);
    EXPECT_EQ(m_module.UnregisterAppId(), E_FAIL);
    EXPECT_TRUE(m_roots.Intact(true));
    ASSERT_TRUE(Reset(false, {.createFails = true}));
    EXPECT_EQ(m_module.RegisterAppId(true), E_FAIL);
    EXPECT_EQ(g_record.boxes, Texts{L"Couldn't create service"});  // the only one, and from the installer
}

// The module's type library is VexilSrvs.tlb beside VexilSrvs.exe in the output folder.
constexpr GUID kServerLibId = {0x9E47B1D2, 0x5A6C, 0x4F38, {0xB0, 0x17, 0x3C, 0x82, 0xE5, 0xD9, 0xA4, 0xF6}};
const std::wstring kModulePath = OutputFile(L"VexilSrvs.exe");
Texts g_calls;  // what the registration functions were asked, one line each

HRESULT WINAPI RecordRegistration(ITypeLib*, OLECHAR* path, OLECHAR* helpDirectory)
{
    g_calls.push_back(L"RegisterTypeLib " + std::wstring(path) + (helpDirectory ? L" with a help directory" : L""));
    return S_OK;
}

HRESULT WINAPI RecordRemoval(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND kind)
{
    const bool server = IsEqualGUID(libId, kServerLibId) && major == 1 && minor == 0 && lcid == 0 && kind == SYS_WIN64;
    g_calls.emplace_back(server ? L"UnRegisterTypeLib the server's library 1.0" : L"UnRegisterTypeLib another library");
    return S_OK;
}

class TypeLibrary : public ::testing::Test
{
protected:
    void SetUp() override { g_calls.clear(); }

    CVexilSrvsModule m_module;
    Override<decltype(&::GetModuleFileNameW)> m_path{&PlatformApi::GetModuleFileNameW, [](HMODULE, LPWSTR out, DWORD) {
        std::wmemcpy(out, kModulePath.c_str(), kModulePath.size() + 1);
        return static_cast<DWORD>(kModulePath.size());
    }};
    Override<decltype(&::RegisterTypeLib)> m_register{&PlatformApi::RegisterTypeLib, &RecordRegistration};
    Override<decltype(&::UnRegisterTypeLib)> m_unregister{&PlatformApi::UnRegisterTypeLib, &RecordRemoval};
};

TEST_F(TypeLibrary, PerUserModeUsesTheForUserFunctionsOfOleAutomationAndMachineModeTheOthers)
{
    const ScratchRoots roots;  // where the per-user functions write
    for (const bool perUser : {true, false}) {
        const ScopedPerUser scope(perUser);
        g_calls.clear();
        ASSERT_EQ(m_module.RegisterTypeLibrary(), S_OK);
        ASSERT_EQ(m_module.UnregisterTypeLibrary(), S_OK);
        EXPECT_EQ(g_calls, (perUser ? Texts{}  // the library names no help file
                                    : Texts{L"RegisterTypeLib " + OutputFile(L"VexilSrvs.tlb"),
                                            L"UnRegisterTypeLib the server's library 1.0"}));
    }
}

TEST_F(TypeLibrary, AFailingClassScriptEndsEitherSequenceBeforeTheLibrary)
{
    Override<decltype(&::FindResourceW)> none(&PlatformApi::FindResourceW, [](HMODULE, LPCWSTR, LPCWSTR) -> HRSRC {
        ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    });
    EXPECT_EQ(m_module.RegisterServer(), HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(m_module.UnregisterServer(), HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(g_calls, Texts{});
}

}  // namespace
