#include "tests/e2e/RegistrationEntries.h"

#include "support/ComPtr.h"

namespace {

// What the platform answers when asked to remove the host's type library while it is not
// registered (Wine: E_INVALIDARG).
HRESULT UnregisterUnregisteredTypeLibrary()
{
    ComPtr<ITypeLib> library;
    TLIBATTR* attributes = nullptr;
    if (FAILED(::LoadTypeLibEx(OutputFile(L"VexilSrvs.tlb").c_str(), REGKIND_NONE, library.put())) ||
        FAILED(library->GetLibAttr(&attributes)))
        return S_OK;  // fails the caller's check: the library must load
    const HRESULT hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                           attributes->lcid, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
    return hr;
}

using Registration = HostEndToEndTest;

// The table runs a copy of the host in a folder whose name has a space and a single quote: the
// paths in the entries must be exactly the ones the system gives.
TEST_F(Registration, EachSwitchLeavesTheEntriesOfItsModeARegistrationSwitchWinsAndAFailureEndsTheSequence)
{
    const std::wstring folder = m_baseDirectory + L"\\Vexil's boards\\";
    const std::wstring executable = folder + L"VexilSrvs.exe";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    for (const wchar_t* file : {L"VexilSrvs.exe", L"VexilSrvs.tlb"})
        ASSERT_TRUE(::CopyFileW(OutputFile(file).c_str(), (folder + file).c_str(), TRUE));
    // Each line starts from what the line before left, so a registration switch that wins also
    // has a service entry to remove, and the service switch a RunAs value to replace.
    const struct { const wchar_t* arguments; Mode mode; } lines[] = {
        {L"-RegServer", Mode::LocalServer},          {L"/sErViCe", Mode::Service},
        {L"-Service -RegServer", Mode::LocalServer}, {L"-service", Mode::Service},
        {L"/REGSERVER /SERVICE", Mode::LocalServer}, {L"/Service", Mode::Service},
        {L"-SERVICE /regserver", Mode::LocalServer}, {L"-Service", Mode::Service},
        {L"-Service /unregSERVER", Mode::Unregistered},
    };
    for (const auto& line : lines) {
        SCOPED_TRACE(Narrow(line.arguments));
        ASSERT_EQ(RunHost(line.arguments, executable), 0u);
        EXPECT_EQ(ServerEntries(), ExpectedEntries(executable, line.mode));
        EXPECT_EQ(RegisteredTypeLibPath(), line.mode == Mode::Unregistered ? L"<absent>" : folder + L"VexilSrvs.tlb");
        EXPECT_EQ(ServiceEntry(), line.mode == Mode::Service ? executable + L"|VexilSrvs" : L"<none>")
            << "unquoted, without a switch";
    }

    // Without its type library, registration writes everything before the library and ends with
    // the loader's failure; unregistration removes the class, fails at the library and never
    // comes to the AppID step, so entry and AppID stay. Nothing done before a failure is undone.
    const std::wstring library = folder + L"VexilSrvs.tlb";
    ASSERT_TRUE(::DeleteFileW(library.c_str()));
    EXPECT_EQ(RunHost(L"-Service", executable), static_cast<DWORD>(TYPE_E_CANTLOADLIBRARY));
    EXPECT_EQ(ServerEntries(), ExpectedEntries(executable, Mode::Service));
    EXPECT_EQ(RunHost(L"-UnregServer", executable), static_cast<DWORD>(TYPE_E_CANTLOADLIBRARY));
    Entries appIdOnly = ExpectedEntries(executable, Mode::Service);
    std::erase_if(appIdOnly, [](const auto& entry) { return !entry.first.starts_with(L"AppID\\"); });
    EXPECT_EQ(ServerEntries(), appIdOnly);
    EXPECT_EQ(ServiceEntry(), executable + L"|VexilSrvs");

    // Registered as a service but started by hand, the host ends with the dispatcher's error.
    // With the AppID key gone, unregistration removes the class, the library and the service
    // entry, then ends with the missing key's code without applying the AppID script; a host
    // started without a switch then ends with the registry's error.
    ASSERT_TRUE(::CopyFileW(OutputFile(L"VexilSrvs.tlb").c_str(), library.c_str(), TRUE));
    ASSERT_EQ(RunHost(L"-Service", executable), 0u);
    EXPECT_EQ(RunHost(L"", executable), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    DeleteKeyTree(HKEY_CLASSES_ROOT, kServerAppIdKey);
    EXPECT_EQ(RunHost(L"-UnregServer", executable), static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    EXPECT_EQ(ServerEntries(), (Entries{{kExeAppIdKey + L"|AppID", kAppId}}));
    EXPECT_EQ(RegisteredTypeLibPath(), L"<absent>");
    EXPECT_EQ(ServiceEntry(), L"<none>");
    EXPECT_EQ(RunHost(L"", executable), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the registry's code, as it is";

    // With nothing left to remove, the library that is not registered fails the removal, and the
    // AppID step is never reached.
    const HRESULT notRegistered = UnregisterUnregisteredTypeLibrary();
    ASSERT_TRUE(FAILED(notRegistered));
    EXPECT_EQ(RunHost(L"-UnregServer", executable), static_cast<DWORD>(notRegistered));
    EXPECT_EQ(ServerEntries(), (Entries{{kExeAppIdKey + L"|AppID", kAppId}}));
}

// Per user, the scripts write below HKEY_CURRENT_USER\\Software\\Classes, while the mode value
// still goes through HKEY_CLASSES_ROOT\\AppID; unregistration per user takes both away again.
// Wine's RegisterTypeLibForUser registers machine-wide, so the library is looked for in both.
TEST_F(Registration, PerUserSwitchesWriteTheScriptsForTheUserAndTheModeValueThroughTheClassesRoot)
{
    ASSERT_EQ(RunHost(L"/regserverPerUser"), 0u);
    Entries scripts = ExpectedEntries(HostPath(), Mode::LocalServer);
    scripts.erase(kServerAppIdKey + L"|RunAs");
    EXPECT_EQ(ServerEntries(HKEY_CURRENT_USER, kClassesKey), scripts);
    EXPECT_EQ(ValueNames(HKEY_LOCAL_MACHINE, kClassesKey + kServerAppIdKey), std::vector<std::wstring>{L"RunAs"})
        << "the machine's classes hold the mode value and no script entry";
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, kServerAppIdKey, L"RunAs")->AsString(), L"Interactive User");
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kClassesKey + kServerClassKey));
    const std::wstring library = OutputFile(L"VexilSrvs.tlb");
    EXPECT_TRUE(RegisteredTypeLibPath(HKEY_CURRENT_USER, kClassesKey) == library || RegisteredTypeLibPath() == library);

    ASSERT_EQ(RunHost(L"-UNREGSERVERPERUSER"), 0u);
    EXPECT_EQ(ServerEntries(HKEY_CURRENT_USER, kClassesKey), Entries{});
    EXPECT_EQ(ValueNames(HKEY_CLASSES_ROOT, kServerAppIdKey), std::vector<std::wstring>{}) << "mode value removed";
    EXPECT_EQ(RegisteredTypeLibPath(HKEY_CURRENT_USER, kClassesKey) + RegisteredTypeLibPath(), L"<absent><absent>");
}

// "Service" while the service runs: the running host is asked to stop and waited for until its
// single-instance event is gone, so its run has ended in order by the time the switch returns,
// and the new entry starts a new host.
TEST_F(Registration, ServiceSwitchWhileTheServiceRunsStopsTheOldHostWaitsForItAndReplacesTheEntry)
{
    Register(L"-Service");
    ASSERT_TRUE(ControlHostService(0));
    ASSERT_TRUE(WaitForLogText("Run Step 3"));
    const DWORD oldHost = QueryHostService().dwProcessId;

    ASSERT_EQ(RunHost(L"-Service"), 0u);
    EXPECT_EQ(QueryHostService().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(ServiceEntry(), HostPath() + L"|VexilSrvs");
    EXPECT_EQ(HostProcessIds(), std::vector<DWORD>{}) << "the old host was waited for";
    const Texts oldLog = HostLog();
    ASSERT_GE(oldLog.size(), 4u);
    EXPECT_EQ(Texts(oldLog.end() - 4, oldLog.end()), (Texts{"dwOpcode = 1", "Run Step 5", "Run End", "Service stopped"}));

    const ClientRun client = RunClient(L"");  // the activation starts the new entry
    ASSERT_EQ(client.process.exitCode, 0u) << client.process.output;
    EXPECT_EQ(client.values.at("server-pid"), Texts{std::to_string(QueryHostService().dwProcessId)});
    EXPECT_NE(QueryHostService().dwProcessId, oldHost);
}

}  // namespace
