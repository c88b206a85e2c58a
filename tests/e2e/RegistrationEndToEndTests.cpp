#include "tests/e2e/HostHarness.h"

namespace {

using Entries = std::map<std::wstring, std::wstring>;  // "key path|value name" -> REG_SZ text

constexpr wchar_t kAppId[] = L"{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";
constexpr wchar_t kClsid[] = L"{6D1F3A20-8C44-4B7E-A5D2-19E07C3B5F41}";
constexpr wchar_t kClassName[] = L"VexilMgrSrv Class";
const std::wstring kExeAppIdKey = L"AppID\\VexilSrvs.EXE";
const std::wstring kProgId = L"VexilSrvs.VexilMgrSrv.1";
const std::wstring kIndependentProgId = L"VexilSrvs.VexilMgrSrv";

// The mode value of the AppID key, or no entries at all.
enum class Mode { LocalServer, Service, Unregistered };

// Every value of every key below the host's registration keys in HKEY_CLASSES_ROOT.
Entries ServerEntries()
{
    Entries entries;
    for (std::vector<std::wstring> pending = {kServerAppIdKey, kExeAppIdKey, kProgId, kIndependentProgId, kServerClassKey};
         !pending.empty();) {
        const std::wstring path = pending.back();
        pending.pop_back();
        for (const std::wstring& name : ValueNames(HKEY_CLASSES_ROOT, path)) {
            const auto value = ReadValue(HKEY_CLASSES_ROOT, path, name);
            entries[path + L"|" + name] = value->type == REG_SZ ? value->AsString() : L"<not REG_SZ>";
        }
        for (const std::wstring& subkey : SubkeyNames(HKEY_CLASSES_ROOT, path))
            pending.push_back(path + L"\\" + subkey);
    }
    return entries;
}

// What the two registration scripts write, and the mode value that code adds.
Entries ExpectedEntries(const std::wstring& executable, Mode mode)
{
    if (mode == Mode::Unregistered)
        return {};
    Entries entries = {
        {kServerAppIdKey + L"|", L"VexilSrvs"}, {kExeAppIdKey + L"|AppID", kAppId},
        {kProgId + L"|", kClassName}, {kProgId + L"\\CLSID|", kClsid},
        {kIndependentProgId + L"|", kClassName}, {kIndependentProgId + L"\\CLSID|", kClsid},
        {kIndependentProgId + L"\\CurVer|", kProgId}, {kServerClassKey + L"|", kClassName}, {kServerClassKey + L"|AppID", kAppId},
        {kServerClassKey + L"\\ProgID|", kProgId}, {kServerClassKey + L"\\VersionIndependentProgID|", kIndependentProgId},
        {kServerClassKey + L"\\LocalServer32|", Quoted(executable)},
        {kServerClassKey + L"\\TypeLib|", L"{9E47B1D2-5A6C-4F38-B017-3C82E5D9A4F6}"},
    };
    if (mode == Mode::LocalServer)
        entries[kServerAppIdKey + L"|RunAs"] = L"Interactive User";
    if (mode == Mode::Service)
        entries[kServerAppIdKey + L"|LocalService"] = L"VexilSrvs";
    return entries;
}

std::wstring RegisteredTypeLibPath()
{
    const auto value = ReadValue(HKEY_CLASSES_ROOT, kServerTypeLibKey + L"\\1.0\\0\\win64", L"");
    return value ? value->AsString() : L"<absent>";
}

// The service entry's program path and display name; the rest of its configuration is the
// installer's and checked with it.
std::wstring ServiceEntry()
{
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    const UniqueScHandle service = OpenHostService(SERVICE_QUERY_CONFIG);
    if (!service || !::QueryServiceConfigW(service.get(), config, 8192, &needed))
        return L"<none>";
    return std::wstring(config->lpBinaryPathName) + L"|" + config->lpDisplayName;
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

    // Without its type library, unregistration removes the class, fails at the library and
    // never comes to the AppID step: the loader's failure is the exit code; entry and AppID stay.
    ASSERT_EQ(RunHost(L"-Service", executable), 0u);
    ASSERT_TRUE(::DeleteFileW((folder + L"VexilSrvs.tlb").c_str()));
    EXPECT_EQ(RunHost(L"-UnregServer", executable), static_cast<DWORD>(TYPE_E_CANTLOADLIBRARY));
    Entries appIdOnly = ExpectedEntries(executable, Mode::Service);
    std::erase_if(appIdOnly, [](const auto& entry) { return !entry.first.starts_with(L"AppID\\"); });
    EXPECT_EQ(ServerEntries(), appIdOnly);
    EXPECT_EQ(ServiceEntry(), executable + L"|VexilSrvs");
}

}  // namespace
