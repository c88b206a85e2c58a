#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/ComPtr.h"
#include "support/UniqueHandle.h"
#include "tests/e2e/HostHarness.h"

namespace {

constexpr wchar_t kAppId[] = L"{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";
constexpr wchar_t kClsid[] = L"{6D1F3A20-8C44-4B7E-A5D2-19E07C3B5F41}";
constexpr wchar_t kLibId[] = L"{9E47B1D2-5A6C-4F38-B017-3C82E5D9A4F6}";
constexpr wchar_t kClassName[] = L"VexilMgrSrv Class";
constexpr wchar_t kProgId[] = L"VexilSrvs.VexilMgrSrv.1";
constexpr wchar_t kIndependentProgId[] = L"VexilSrvs.VexilMgrSrv";
constexpr wchar_t kExeAppIdKey[] = L"AppID\\VexilSrvs.EXE";
constexpr wchar_t kUserClasses[] = L"Software\\Classes\\";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\VexilSrvs";
constexpr DWORD kFileNotFound = 0x80070002;

// The value of the AppID key that selects the mode. Per user it is not compared below the
// user's classes: it is written through HKEY_CLASSES_ROOT, and where that lands is the system's.
enum class Mode { LocalServer, Service, PerUser };

struct ExpectedKey
{
    std::wstring path;                             // below the classes root
    std::map<std::wstring, std::wstring> values;   // name ("" is the default value) -> REG_SZ text
    std::set<std::wstring> subkeys;
};

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// Every key the two registration scripts write, with exactly the values and subkeys they hold,
// plus the mode value that code writes into the AppID key.
std::vector<ExpectedKey> ServerTable(const std::wstring& executable, Mode mode)
{
    const std::wstring appIdKey = ServerAppIdKey();
    const std::wstring classKey = ServerClassKey();
    ExpectedKey appId{appIdKey, {{L"", L"VexilSrvs"}}, {}};
    if (mode == Mode::LocalServer)
        appId.values[L"RunAs"] = L"Interactive User";
    else if (mode == Mode::Service)
        appId.values[L"LocalService"] = L"VexilSrvs";
    return {
        appId,
        {kExeAppIdKey, {{L"AppID", kAppId}}, {}},
        {kProgId, {{L"", kClassName}}, {L"CLSID"}},
        {std::wstring(kProgId) + L"\\CLSID", {{L"", kClsid}}, {}},
        {kIndependentProgId, {{L"", kClassName}}, {L"CLSID", L"CurVer"}},
        {std::wstring(kIndependentProgId) + L"\\CLSID", {{L"", kClsid}}, {}},
        {std::wstring(kIndependentProgId) + L"\\CurVer", {{L"", kProgId}}, {}},
        {classKey, {{L"", kClassName}, {L"AppID", kAppId}},
         {L"ProgID", L"VersionIndependentProgID", L"LocalServer32", L"TypeLib"}},
        {classKey + L"\\ProgID", {{L"", kProgId}}, {}},
        {classKey + L"\\VersionIndependentProgID", {{L"", kIndependentProgId}}, {}},
        {classKey + L"\\LocalServer32", {{L"", Quoted(executable)}}, {}},
        {classKey + L"\\TypeLib", {{L"", kLibId}}, {}},
    };
}

// The values of a key as text; anything but REG_SZ shows as its type so that it cannot match.
std::map<std::wstring, std::wstring> ValuesOf(HKEY root, const std::wstring& path)
{
    std::map<std::wstring, std::wstring> values;
    for (const std::wstring& name : ValueNames(root, path)) {
        const auto value = ReadValue(root, path, name);
        values[name] = !value ? L"<unreadable>"
                       : value->type == REG_SZ ? value->AsString()
                                               : L"<type " + std::to_wstring(value->type) + L">";
    }
    return values;
}

std::set<std::wstring> SubkeysOf(HKEY root, const std::wstring& path)
{
    const auto names = SubkeyNames(root, path);
    return {names.begin(), names.end()};
}

void ExpectServerTable(HKEY root, const std::wstring& prefix, const std::wstring& executable, Mode mode)
{
    for (const ExpectedKey& key : ServerTable(executable, mode)) {
        const std::wstring path = prefix + key.path;
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        ASSERT_TRUE(KeyExists(root, path));
        auto values = ValuesOf(root, path);
        if (mode == Mode::PerUser) {
            values.erase(L"RunAs");
            values.erase(L"LocalService");
        }
        EXPECT_EQ(values, key.values);
        EXPECT_EQ(SubkeysOf(root, path), key.subkeys);
    }
}

std::wstring ModeValue(const wchar_t* name)
{
    const auto value = ReadValue(HKEY_CLASSES_ROOT, ServerAppIdKey(), name);
    return value ? value->AsString() : L"<absent>";
}

std::wstring LocalServer32()
{
    const auto value = ReadValue(HKEY_CLASSES_ROOT, ServerClassKey() + L"\\LocalServer32", L"");
    return value ? value->AsString() : L"<absent>";
}

// The path a registered type library was registered from.
std::wstring RegisteredTypeLibPath()
{
    const auto value = ReadValue(HKEY_CLASSES_ROOT, ServerTypeLibKey() + L"\\1.0\\0\\win64", L"");
    return value ? value->AsString() : L"<absent>";
}

struct HostServiceConfig
{
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::wstring binaryPath;
    std::wstring displayName;
    std::wstring account;
    std::wstring description;
    std::wstring dependencies;  // as stored: each name ends with a NUL, one more NUL ends the list
};

std::optional<HostServiceConfig> QueryHostServiceConfig()
{
    UniqueScHandle service = OpenHostService(SERVICE_QUERY_CONFIG);
    if (!service)
        return std::nullopt;
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, needed, &needed))
        return std::nullopt;
    HostServiceConfig result;
    result.serviceType = config->dwServiceType;
    result.startType = config->dwStartType;
    result.errorControl = config->dwErrorControl;
    result.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    result.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
    result.account = config->lpServiceStartName ? config->lpServiceStartName : L"";

    ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> descriptionBuffer(needed);
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(descriptionBuffer.data());
    if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, descriptionBuffer.data(), needed, &needed) &&
        description->lpDescription != nullptr)
        result.description = description->lpDescription;

    // Wine keeps the dependencies in the entry's key but does not hand them back.
    if (const auto stored = ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"DependOnService"); stored) {
        EXPECT_EQ(stored->type, static_cast<DWORD>(REG_MULTI_SZ));
        result.dependencies.assign(reinterpret_cast<const wchar_t*>(stored->data.data()),
                                   stored->data.size() / sizeof(wchar_t));
    }
    return result;
}

void ExpectServiceEntryFor(const std::wstring& executable)
{
    const auto config = QueryHostServiceConfig();
    ASSERT_TRUE(config) << "no service entry";
    EXPECT_EQ(config->serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config->binaryPath, executable) << "unquoted, without a switch";
    EXPECT_EQ(config->displayName, L"VexilSrvs");
    EXPECT_EQ(config->account, L"LocalSystem");
    EXPECT_EQ(config->description, L"Vexil Boards Manager Service");
    EXPECT_EQ(config->dependencies, std::wstring(L"RPCSS\0VexilTimeSrvs\0\0", 21));
}

bool HostServiceExists()
{
    return OpenHostService(SERVICE_QUERY_STATUS).valid();
}

void ExpectNoServerKeys(HKEY root, const std::wstring& prefix)
{
    for (const std::wstring& key : {ServerAppIdKey(), std::wstring(kExeAppIdKey), std::wstring(kProgId),
                                    std::wstring(kIndependentProgId), ServerClassKey()}) {
        EXPECT_FALSE(KeyExists(root, prefix + key)) << std::string(key.begin(), key.end());
    }
}

// What removing the host's type library answers while it is not registered.
HRESULT UnregisterUnregisteredTypeLibrary()
{
    ComPtr<ITypeLib> library;
    HRESULT hr = ::LoadTypeLib(OutputFile(L"VexilSrvs.tlb").c_str(), library.put());
    if (FAILED(hr))
        return S_OK;  // fails the caller's check: the library must load
    TLIBATTR* attributes = nullptr;
    if (FAILED(library->GetLibAttr(&attributes)))
        return S_OK;
    hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                             attributes->syskind);
    library->ReleaseTLibAttr(attributes);
    return hr;
}

bool GuardEventExists()
{
    UniqueKernelHandle event(::OpenEventW(SYNCHRONIZE, FALSE, L"Global\\VexilSrvs_SafeEvent"));
    if (!event)
        event.reset(::OpenEventW(SYNCHRONIZE, FALSE, L"VexilSrvs_SafeEvent"));
    return event.valid();
}

class MachineRegistration : public HostEndToEndTest {};
class PerUserRegistration : public HostEndToEndTest {};
class ServiceReRegistration : public HostEndToEndTest {};
class SwitchPrecedence : public HostEndToEndTest {};

// A copy of the host in a folder of the test's own, so its path and neighbours can be chosen.
class CopiedHost : public HostEndToEndTest
{
protected:
    std::wstring CopyHost(const std::wstring& folderName, bool withTypeLibrary)
    {
        const std::wstring folder = m_baseDirectory + L"\\" + folderName;
        EXPECT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        const std::wstring executable = folder + L"\\VexilSrvs.exe";
        EXPECT_TRUE(::CopyFileW(HostPath().c_str(), executable.c_str(), TRUE));
        if (withTypeLibrary) {
            const std::wstring library = folder + L"\\VexilSrvs.tlb";
            EXPECT_TRUE(::CopyFileW(OutputFile(L"VexilSrvs.tlb").c_str(), library.c_str(), TRUE));
        }
        return executable;
    }
};

TEST_F(MachineRegistration, RegServerWritesTheServerTableForAPlainLocalServerAndItsTypeLibrary)
{
    EXPECT_EQ(RunHost(L"-RegServer"), 0u);

    ExpectServerTable(HKEY_CLASSES_ROOT, L"", HostPath(), Mode::LocalServer);
    EXPECT_EQ(RegisteredTypeLibPath(), OutputFile(L"VexilSrvs.tlb"));
    EXPECT_FALSE(HostServiceExists());
}

TEST_F(MachineRegistration, ServiceInstallsTheEntryAndSelectsServiceModeInTheAppId)
{
    EXPECT_EQ(RunHost(L"-Service"), 0u);

    ExpectServiceEntryFor(HostPath());
    ExpectServerTable(HKEY_CLASSES_ROOT, L"", HostPath(), Mode::Service);
    EXPECT_EQ(RegisteredTypeLibPath(), OutputFile(L"VexilSrvs.tlb"));
}

TEST_F(MachineRegistration, RegServerAfterServiceRemovesTheEntryAndRunsAsTheInteractiveUser)
{
    Register(L"-Service");
    ASSERT_TRUE(HostServiceExists());

    EXPECT_EQ(RunHost(L"-RegServer"), 0u);

    EXPECT_FALSE(HostServiceExists());
    EXPECT_EQ(ModeValue(L"LocalService"), L"<absent>");
    EXPECT_EQ(ModeValue(L"RunAs"), L"Interactive User");
}

TEST_F(MachineRegistration, ServiceAfterRegServerReplacesRunAsWithLocalService)
{
    Register(L"-RegServer");

    EXPECT_EQ(RunHost(L"-Service"), 0u);

    ExpectServiceEntryFor(HostPath());
    EXPECT_EQ(ModeValue(L"RunAs"), L"<absent>");
    EXPECT_EQ(ModeValue(L"LocalService"), L"VexilSrvs");
}

TEST_F(MachineRegistration, UnregServerLeavesOnlyTheSharedKeysAndAProgIdThatGainedAForeignSubkey)
{
    Register(L"-Service");
    const auto foreign = ScopedRegistryValue::String(HKEY_CLASSES_ROOT, std::wstring(kIndependentProgId) + L"\\Foreign",
                                                     L"Owner", L"other software");

    EXPECT_EQ(RunHost(L"-UnregServer"), 0u);

    EXPECT_FALSE(HostServiceExists());
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    for (const std::wstring& key : {ServerAppIdKey(), std::wstring(kExeAppIdKey), std::wstring(kProgId),
                                    ServerClassKey(), ServerTypeLibKey()}) {
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << std::string(key.begin(), key.end());
    }
    // The ProgID key keeps its default value and the foreign subkey; its own subkeys are gone.
    EXPECT_EQ(ValuesOf(HKEY_CLASSES_ROOT, kIndependentProgId),
              (std::map<std::wstring, std::wstring>{{L"", kClassName}}));
    EXPECT_EQ(SubkeysOf(HKEY_CLASSES_ROOT, kIndependentProgId), std::set<std::wstring>{L"Foreign"});
    EXPECT_EQ(ValuesOf(HKEY_CLASSES_ROOT, std::wstring(kIndependentProgId) + L"\\Foreign"),
              (std::map<std::wstring, std::wstring>{{L"Owner", L"other software"}}));
}

TEST_F(MachineRegistration, UnregServerWithNothingRegisteredEndsWhereTheTypeLibraryCannotBeRemoved)
{
    // The class goes first, then the type library; removing a library that is not registered
    // fails, and that failure ends the sequence before the AppID step.
    const HRESULT unregistrationCode = UnregisterUnregisteredTypeLibrary();
    ASSERT_TRUE(FAILED(unregistrationCode));

    EXPECT_EQ(RunHost(L"-UnregServer"), static_cast<DWORD>(unregistrationCode));

    ExpectNoServerKeys(HKEY_CLASSES_ROOT, L"");
    EXPECT_FALSE(HostServiceExists());
}

TEST_F(MachineRegistration, UnregServerWithoutTheAppIdKeyRemovesTheServiceAndAppliesNoAppIdScript)
{
    Register(L"-Service");
    DeleteKeyTree(HKEY_CLASSES_ROOT, ServerAppIdKey());

    EXPECT_EQ(RunHost(L"-UnregServer"), kFileNotFound);

    EXPECT_FALSE(HostServiceExists());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ServerClassKey())) << "the class goes before the AppID";
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kExeAppIdKey)) << "the AppID script would have removed it";
}

TEST_F(PerUserRegistration, RegServerPerUserWritesTheScriptsBelowTheUsersClassesAndTheModeValueThroughHkcr)
{
    EXPECT_EQ(RunHost(L"-RegServerPerUser"), 0u);

    ExpectServerTable(HKEY_CURRENT_USER, kUserClasses, HostPath(), Mode::PerUser);
    EXPECT_EQ(ModeValue(L"RunAs"), L"Interactive User");
    EXPECT_EQ(ModeValue(L"LocalService"), L"<absent>");
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kUserClasses) + kIndependentProgId));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kUserClasses) + ServerClassKey()));
    // Wine registers a per-user type library machine-wide; either way HKCR shows it.
    EXPECT_EQ(RegisteredTypeLibPath(), OutputFile(L"VexilSrvs.tlb"));
}

TEST_F(PerUserRegistration, UnregServerPerUserRemovesTheUsersEntriesAndTheModeValue)
{
    Register(L"-RegServerPerUser");

    EXPECT_EQ(RunHost(L"-UnregServerPerUser"), 0u);

    ExpectNoServerKeys(HKEY_CURRENT_USER, kUserClasses);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + L"AppID"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + L"CLSID"));
    EXPECT_EQ(ModeValue(L"RunAs"), L"<absent>");
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ServerTypeLibKey()));
}

TEST_F(ServiceReRegistration, ServiceSwitchWhileTheServiceRunsStopsItWaitsForItsProcessAndReplacesTheEntry)
{
    Register(L"-Service");
    ASSERT_TRUE(StartHostService());
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 20000));
    const auto old = QueryHostService();
    ASSERT_TRUE(old);
    UniqueKernelHandle oldProcess(::OpenProcess(SYNCHRONIZE, FALSE, old->dwProcessId));
    ASSERT_TRUE(oldProcess);
    {
        // Marks the old entry, so that a new one can be told from it.
        UniqueScHandle service = OpenHostService(SERVICE_CHANGE_CONFIG);
        ASSERT_TRUE(::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, L"Old entry"));
    }
    ASSERT_EQ(QueryHostServiceConfig()->displayName, L"Old entry");

    EXPECT_EQ(RunHost(L"-Service"), 0u);

    EXPECT_FALSE(GuardEventExists()) << "the old instance has given up its guard";
    EXPECT_EQ(::WaitForSingleObject(oldProcess.get(), 10000), WAIT_OBJECT_0);
    const auto fresh = QueryHostService();
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    ExpectServiceEntryFor(HostPath());

    ASSERT_TRUE(StartHostService());
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING, 20000));
    const auto restarted = QueryHostService();
    ASSERT_TRUE(restarted);
    EXPECT_NE(restarted->dwProcessId, old->dwProcessId);
    const ClientRun client = RunClient(L"");
    EXPECT_EQ(client.process.exitCode, 0u) << client.process.output;
    EXPECT_EQ(client.Value("server-pid"), std::to_string(restarted->dwProcessId));
    EXPECT_TRUE(StopHostService());
    EXPECT_TRUE(WaitForServiceState(SERVICE_STOPPED, 30000));
}

TEST_F(SwitchPrecedence, RegistrationSwitchWinsOverServiceWhateverTheOrderCaseOrIntroducer)
{
    enum class Outcome { Service, LocalServer, Unregistered };
    struct Line
    {
        const wchar_t* arguments;
        Outcome outcome;
    };
    // Each line starts from what the line before left, so a registration switch that wins
    // also has a service entry to remove.
    const Line lines[] = {
        {L"/sErViCe", Outcome::Service},
        {L"-Service -RegServer", Outcome::LocalServer},
        {L"-service", Outcome::Service},
        {L"/REGSERVER /SERVICE", Outcome::LocalServer},
        {L"/Service", Outcome::Service},
        {L"-SERVICE /regserver", Outcome::LocalServer},
        {L"-Service", Outcome::Service},
        {L"-Service /unregSERVER", Outcome::Unregistered},
    };
    for (const Line& line : lines) {
        const std::wstring arguments = line.arguments;
        SCOPED_TRACE(std::string(arguments.begin(), arguments.end()));
        ASSERT_EQ(RunHost(arguments), 0u);
        EXPECT_EQ(HostServiceExists(), line.outcome == Outcome::Service);
        EXPECT_EQ(ModeValue(L"LocalService"), line.outcome == Outcome::Service ? L"VexilSrvs" : L"<absent>");
        EXPECT_EQ(ModeValue(L"RunAs"), line.outcome == Outcome::LocalServer ? L"Interactive User" : L"<absent>");
        EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, ServerClassKey()), line.outcome != Outcome::Unregistered);
    }
}

TEST_F(CopiedHost, WithoutItsTypeLibraryEachSwitchEndsWithTheLoadersCodeAfterTheEntriesBeforeIt)
{
    const std::wstring executable = CopyHost(L"no-tlb", false);
    const std::wstring missingLibrary = m_baseDirectory + L"\\no-tlb\\VexilSrvs.tlb";
    ComPtr<ITypeLib> library;
    const HRESULT loaderCode = ::LoadTypeLib(missingLibrary.c_str(), library.put());
    ASSERT_TRUE(FAILED(loaderCode));

    EXPECT_EQ(RunHostAt(executable, L"-RegServer"), static_cast<DWORD>(loaderCode));
    ExpectServerTable(HKEY_CLASSES_ROOT, L"", executable, Mode::LocalServer);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ServerTypeLibKey()));

    EXPECT_EQ(RunHostAt(executable, L"-Service"), static_cast<DWORD>(loaderCode));
    ExpectServiceEntryFor(executable);
    ExpectServerTable(HKEY_CLASSES_ROOT, L"", executable, Mode::Service);

    // Unregistration removes the class first and stops at the library: the AppID and the
    // service entry stay.
    EXPECT_EQ(RunHostAt(executable, L"-UnregServer"), static_cast<DWORD>(loaderCode));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ServerClassKey()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kProgId));
    EXPECT_TRUE(HostServiceExists());
    EXPECT_EQ(ModeValue(L"LocalService"), L"VexilSrvs");
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kExeAppIdKey));
}

TEST_F(CopiedHost, PathWithASpaceAndASingleQuoteIsStoredExactlyAsTheSystemGivesIt)
{
    const std::wstring executable = CopyHost(L"Vexil's boards", true);

    EXPECT_EQ(RunHostAt(executable, L"-Service"), 0u);

    EXPECT_EQ(LocalServer32(), Quoted(executable)) << "one quote, as in the path";
    ExpectServiceEntryFor(executable);
    EXPECT_EQ(RegisteredTypeLibPath(), m_baseDirectory + L"\\Vexil's boards\\VexilSrvs.tlb");
}

}  // namespace
