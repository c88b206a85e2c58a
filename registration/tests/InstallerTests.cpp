// Service installation, AppID, class and type-library registration. The service entry is made in
// the test prefix's own Service Control Manager, whose calls pass through unless a row asks one
// to fail; progress texts and message boxes are recorded and Sleep returns at once.

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
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
    int managerFailsFromCall = 0;  // the n-th and every later OpenSCManagerW fails; 0: none
    bool createFails = false, openForRemovalFails = false, deleteRefused = false;
    bool reportsRunning = false;  // status queries never see SERVICE_STOPPED
};

struct Record
{
    Faults faults;
    int managerCalls = 0;
    Texts progress, boxes;
    std::vector<DWORD> controls;
    std::size_t sleeps = 0;
} g_record;

bool ServiceExists()
{
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return UniqueScHandle(::OpenServiceW(manager.get(), L"VexilSrvs", SERVICE_QUERY_STATUS)).valid();
}

// No service "VexilSrvs" (none is ever started, so it goes at once), or with 'installed' one that
// is not running; 'faults' set and nothing recorded. Needs the overrides of the fixture.
bool Reset(bool installed = false, const Faults& faults = {})
{
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (UniqueScHandle service{::OpenServiceW(manager.get(), L"VexilSrvs", DELETE)})
        ::DeleteService(service.get());
    for (int attempt = 0; attempt < 200 && ServiceExists(); ++attempt)
        ::Sleep(50);
    g_record = Record{};
    const bool ready = !installed || CVexilSrvsModule().Install();
    g_record = Record{};
    g_record.faults = faults;
    return ready;
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
        const int failFrom = g_record.faults.managerFailsFromCall;
        return ++g_record.managerCalls >= failFrom && failFrom != 0 ? nullptr : RealPlatform().OpenSCManagerW(m, d, a);
    }};
    Override<decltype(&::CreateServiceW)> m_create{&PlatformApi::CreateServiceW, [](auto... arguments) {
        return g_record.faults.createFails ? nullptr : RealPlatform().CreateServiceW(arguments...);
    }};
    Override<decltype(&::OpenServiceW)> m_open{&PlatformApi::OpenServiceW, [](SC_HANDLE m, LPCWSTR n, DWORD a) {
        const bool refused = g_record.faults.openForRemovalFails && a == (DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
        return refused ? nullptr : RealPlatform().OpenServiceW(m, n, a);
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
        return g_record.faults.deleteRefused ? FALSE : RealPlatform().DeleteService(service);
    }};
};

TEST_F(Installer, InstallCreatesAMissingEntryAndShowsWhatStopsIt)
{
    const Texts upToCreation = {kInstallStep1, kInstallStep2, kInstallStep3, kInstallStep4, kInstallStep5};
    const struct { bool installed; Faults faults; std::size_t steps; Texts after; Texts boxes; } rows[] = {
        {true, {}, 1, {}, {}},
        {false, {.createFails = true}, 5, {kInstallStep7}, {L"Couldn't create service"}},
        {false, {.managerFailsFromCall = 1}, 2, {}, {L"Couldn't open service manager"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.steps);
        ASSERT_TRUE(Reset(row.installed, row.faults));
        EXPECT_EQ(m_module.Install(), row.installed);
        Texts progress(upToCreation.begin(), upToCreation.begin() + static_cast<std::ptrdiff_t>(row.steps));
        progress.insert(progress.end(), row.after.begin(), row.after.end());
        EXPECT_EQ(g_record.progress, progress);
        EXPECT_EQ(g_record.boxes, row.boxes);
        EXPECT_EQ(ServiceExists(), row.installed);
    }
}

TEST_F(Installer, UninstallStopsWaitsDeletesAndReportsEveryWaitThatRunsOut)
{
    const Texts steps = {kUninstallStep1, kUninstallStep2, kUninstallStep3,
                         kUninstallStep4, kUninstallStep5, kUninstallStep6};
    // heldEvent: held by the test, as an old instance would; steps: of the numbered texts emitted.
    const struct { bool installed; Faults faults; const wchar_t* heldEvent; bool result; std::size_t steps; Texts boxes;
                   std::size_t sleeps; } rows[] = {
        {false, {}, nullptr, true, 1, {}, 0},
        {true, {.managerFailsFromCall = 1}, nullptr, true, 1, {}, 0},  // no rights: nothing to do
        {true, {.managerFailsFromCall = 2}, nullptr, false, 2, {L"Couldn't open service manager"}, 0},
        {true, {.openForRemovalFails = true}, nullptr, false, 3, {L"Couldn't open service"}, 0},
        {true, {}, nullptr, true, 6, {}, 2},  // the stop poll checks once before it sleeps
        {true, {.reportsRunning = true}, nullptr, true, 6, {L"Service could not be Stopped"}, 302},
        {true, {}, L"Global\\VexilSrvs_SafeEvent", true, 6, {L"Service could not be Stopped 2"}, 301},
        {true, {}, L"VexilSrvs_SafeEvent", true, 6, {L"Service could not be Stopped 2"}, 301},
        {true, {.deleteRefused = true}, nullptr, false, 6, {L"Service could not be deleted"}, 102},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.boxes) + " " + std::to_string(row.steps));
        ASSERT_TRUE(Reset(row.installed, row.faults));
        UniqueKernelHandle event(row.heldEvent ? ::CreateEventW(nullptr, TRUE, FALSE, row.heldEvent) : nullptr);
        EXPECT_EQ(m_module.Uninstall(), row.result);
        Texts progress(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(row.steps));
        if (row.faults.deleteRefused) {  // the entry outlives the deletion wait
            progress.insert(progress.end(), 100, kUninstallStillInstalled);
            progress.insert(progress.end(), {kUninstallStillInstalledAfterTimeout, kUninstallBadEnd});
        } else if (row.steps == 6) {
            progress.emplace_back(kUninstallGoodEnd);
        }
        EXPECT_EQ(g_record.progress, progress);
        EXPECT_EQ(g_record.boxes, row.boxes);
        EXPECT_EQ(g_record.sleeps, row.sleeps);
        EXPECT_EQ(g_record.controls, std::vector<DWORD>(row.faults.reportsRunning ? 1 : 0, SERVICE_CONTROL_STOP));
        EXPECT_EQ(ServiceExists(), row.installed && (row.steps < 6 || row.faults.deleteRefused));
    }
}

TEST_F(Installer, ServiceRegistrationRemovesTheOldEntryWritesTheAppIdAndInstallsLast)
{
    ASSERT_TRUE(Reset(true));
    ASSERT_EQ(m_module.RegisterAppId(true), S_OK);
    EXPECT_EQ(g_record.progress,
              (Texts{kRegisterAppIdStep1, kUninstallStep1, kUninstallStep2, kUninstallStep3, kUninstallStep4,
                     kUninstallStep5, kUninstallStep6, kUninstallGoodEnd, kRegisterAppIdStep2, kRegisterAppIdStep3,
                     kRegisterAppIdStep4, kRegisterAppIdStep5, kRegisterAppIdStep6, kInstallStep1, kInstallStep2,
                     kInstallStep3, kInstallStep4, kInstallStep5, kInstallStep6, kInstallGoodEnd}));
    EXPECT_TRUE(ServiceExists());
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
}

// The module's type library is VexilSrvs.tlb beside VexilSrvs.exe in the output folder.
constexpr GUID kServerLibId = {0x9E47B1D2, 0x5A6C, 0x4F38, {0xB0, 0x17, 0x3C, 0x82, 0xE5, 0xD9, 0xA4, 0xF6}};
std::wstring g_modulePath;
Texts g_calls;  // what the registration functions were asked, one line each
bool g_forUserExported = true;

template <bool ForUser>
HRESULT WINAPI RecordRegistration(ITypeLib*, OLECHAR* path, OLECHAR* helpDirectory)
{
    g_calls.push_back(std::wstring(ForUser ? L"RegisterTypeLibForUser " : L"RegisterTypeLib ") + path +
                      (helpDirectory ? L" help " : L"") + (helpDirectory ? helpDirectory : L""));
    return S_OK;
}

template <bool ForUser>
HRESULT WINAPI RecordRemoval(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND kind)
{
    const bool server = IsEqualGUID(libId, kServerLibId) && major == 1 && minor == 0 && lcid == 0 && kind == SYS_WIN64;
    g_calls.push_back(std::wstring(ForUser ? L"UnRegisterTypeLibForUser " : L"UnRegisterTypeLib ") +
                      (server ? L"the server's library 1.0" : L"another library"));
    return S_OK;
}

class TypeLibrary : public ::testing::Test
{
protected:
    void SetUp() override { g_calls.clear(); g_modulePath = OutputFile(L"VexilSrvs.exe"); }

    CVexilSrvsModule m_module;
    Override<decltype(&::GetModuleFileNameW)> m_path{&PlatformApi::GetModuleFileNameW, [](HMODULE, LPWSTR out, DWORD units) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        const auto length = static_cast<DWORD>(std::min<std::size_t>(g_modulePath.size(), units));
        std::wmemcpy(out, g_modulePath.c_str(), length);
        out[std::min(length, units - 1)] = L'\0';
        return length;
    }};
    Override<decltype(&::RegisterTypeLib)> m_register{&PlatformApi::RegisterTypeLib, &RecordRegistration<false>};
    Override<decltype(&::UnRegisterTypeLib)> m_unregister{&PlatformApi::UnRegisterTypeLib, &RecordRemoval<false>};
    Override<decltype(&::GetProcAddress)> m_lookup{&PlatformApi::GetProcAddress, [](HMODULE module, LPCSTR name) {
        const std::string wanted = IS_INTRESOURCE(name) ? "" : name;
        void* const forUser = wanted == "RegisterTypeLibForUser"     ? reinterpret_cast<void*>(&RecordRegistration<true>)
                              : wanted == "UnRegisterTypeLibForUser" ? reinterpret_cast<void*>(&RecordRemoval<true>)
                                                                     : nullptr;
        if (forUser == nullptr)
            return RealPlatform().GetProcAddress(module, name);
        return g_forUserExported ? reinterpret_cast<FARPROC>(forUser) : nullptr;
    }};
};

TEST_F(TypeLibrary, PerUserRegistrationUsesTheForUserFunctionsWhereOleAutomationHasThem)
{
    const std::wstring library = OutputFile(L"VexilSrvs.tlb");
    const struct { bool perUser; bool exported; const wchar_t* suffix; } rows[] = {
        {true, true, L"ForUser "}, {true, false, L" "}, {false, true, L" "}};
    for (const auto& row : rows) {
        const ScopedPerUser perUser(row.perUser);
        g_forUserExported = row.exported;
        g_calls.clear();
        ASSERT_EQ(m_module.RegisterTypeLibrary(), S_OK);
        ASSERT_EQ(m_module.UnregisterTypeLibrary(), S_OK);
        EXPECT_EQ(g_calls, (Texts{L"RegisterTypeLib" + (row.suffix + library),  // the library names no help file
                                  L"UnRegisterTypeLib" + (row.suffix + std::wstring(L"the server's library 1.0"))}));
    }
}

TEST_F(TypeLibrary, LoadsTheLibraryBesideTheModuleUnderItsNameWithTheExtensionReplaced)
{
    static Texts s_loads;
    Override<decltype(&::LoadTypeLib)> load(&PlatformApi::LoadTypeLib, [](LPCOLESTR file, ITypeLib**) -> HRESULT {
        s_loads.emplace_back(file);
        return TYPE_E_CANTLOADLIBRARY;
    });
    const std::wstring stem = L"C:\\" + std::wstring(252, L'a');  // 255 characters: with ".tlb" 260 in all
    const struct { std::wstring module; HRESULT hr; Texts loads; } rows[] = {
        {L"C:\\bin.d\\Srvs", TYPE_E_CANTLOADLIBRARY, {L"C:\\bin.d\\Srvs", L"C:\\bin.d\\Srvs.tlb"}},
        {stem, TYPE_E_CANTLOADLIBRARY, {stem, stem + L".tlb"}},  // a failed load is returned unchanged
        {stem + L"b", E_FAIL, {stem + L"b"}},
        {L"C:\\" + std::wstring(MAX_PATH, L'a'), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), {}},
        {L"", E_ACCESSDENIED, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.module.size());
        g_modulePath = row.module;
        s_loads.clear();
        UniqueSysString path;
        ComPtr<ITypeLib> library;
        EXPECT_EQ(m_module.LoadModuleTypeLib(path.put(), library.put()), row.hr);
        EXPECT_EQ(s_loads, row.loads);
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
