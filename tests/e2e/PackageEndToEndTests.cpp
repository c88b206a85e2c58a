#include "tests/e2e/RegistrationEntries.h"

#include <msi.h>
#include <msiquery.h>

#include <algorithm>

#include "tests/support/TestFiles.h"

namespace {

constexpr wchar_t kHostUpgradeCode[] = L"{900878CD-CB68-4381-B27F-92B2FC123BB3}";
constexpr wchar_t kStandInsUpgradeCode[] = L"{A5823644-2C06-491A-B433-E138FBE1FB39}";
const std::wstring kManagerClassKey = L"CLSID\\{E5F91B3C-6A27-4D8E-92B1-7C4A3E0D5F86}";
const std::wstring kCrashDumpClassKey = L"CLSID\\{3E9A7C15-D4B8-4F21-86E5-0B7C2A9F4D13}";

std::wstring ManufacturerFolder()
{
    wchar_t programFiles[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"ProgramW6432", programFiles, MAX_PATH);
    return std::wstring(programFiles) + L"\\Kestrova\\";
}
std::wstring InstallFolder() { return ManufacturerFolder() + L"Vexil\\"; }
bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::vector<std::wstring> InstalledFiles()
{
    std::vector<std::wstring> files = FilesIn(InstallFolder());
    std::ranges::sort(files);
    return files;
}

// Product codes of the installed products of one upgrade code.
std::vector<std::wstring> InstalledProducts(const wchar_t* upgradeCode)
{
    std::vector<std::wstring> products;
    wchar_t product[39];
    for (DWORD index = 0; ::MsiEnumRelatedProductsW(upgradeCode, 0, index, product) == ERROR_SUCCESS; ++index)
        products.emplace_back(product);
    return products;
}

std::wstring ProductProperty(const std::wstring& product, const wchar_t* property)
{
    wchar_t text[256] = {};
    DWORD length = 256;
    return ::MsiGetProductInfoW(product.c_str(), property, text, &length) == ERROR_SUCCESS ? text : L"<none>";
}

// Name, publisher and version as the installed product and as the executable's version resource
// tell them.
std::wstring ProductIdentity(const std::wstring& product)
{
    return ProductProperty(product, INSTALLPROPERTY_INSTALLEDPRODUCTNAME) + L"|" +
           ProductProperty(product, INSTALLPROPERTY_PUBLISHER) + L"|" + ProductProperty(product, INSTALLPROPERTY_VERSIONSTRING);
}

std::wstring ResourceIdentity(const std::wstring& executable)
{
    DWORD ignored = 0;
    std::vector<BYTE> resource(::GetFileVersionInfoSizeW(executable.c_str(), &ignored));
    if (resource.empty() || !::GetFileVersionInfoW(executable.c_str(), 0, static_cast<DWORD>(resource.size()), resource.data()))
        return L"<no version resource>";
    auto text = [&](const wchar_t* name) {
        wchar_t* value = nullptr;
        UINT length = 0;
        return ::VerQueryValueW(resource.data(), (std::wstring(L"\\StringFileInfo\\040904B0\\") + name).c_str(),
                                reinterpret_cast<void**>(&value), &length) ? std::wstring(value) : L"<none>";
    };
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(resource.data(), L"\\", reinterpret_cast<void**>(&fixed), &length))
        return L"<no fixed version>";
    return text(L"ProductName") + L"|" + text(L"CompanyName") + L"|" + std::to_wstring(HIWORD(fixed->dwProductVersionMS)) +
           L"." + std::to_wstring(LOWORD(fixed->dwProductVersionMS)) + L"." + std::to_wstring(HIWORD(fixed->dwProductVersionLS));
}

struct MsiHandleTraits
{
    static MSIHANDLE Invalid() noexcept { return 0; }
    static bool IsValid(MSIHANDLE h) noexcept { return h != 0; }
    static void Close(MSIHANDLE h) noexcept { ::MsiCloseHandle(h); }
};
using UniqueMsiHandle = UniqueHandle<MSIHANDLE, MsiHandleTraits>;

// The first 'columns' fields of every row that 'query' selects from a package of the output
// folder, joined by "|", sorted.
std::vector<std::wstring> PackageRows(const std::wstring& package, const std::wstring& query, UINT columns)
{
    std::vector<std::wstring> rows;
    UniqueMsiHandle database, view, record;
    if (::MsiOpenDatabaseW(OutputFile(package).c_str(), MSIDBOPEN_READONLY, database.put()) != ERROR_SUCCESS)
        return {L"<cannot open>"};
    if (::MsiDatabaseOpenViewW(database.get(), query.c_str(), view.put()) != ERROR_SUCCESS ||
        ::MsiViewExecute(view.get(), 0) != ERROR_SUCCESS)
        return {};  // a table the package does not have
    while (::MsiViewFetch(view.get(), record.put()) == ERROR_SUCCESS) {
        std::wstring row;
        for (UINT column = 1; column <= columns; ++column) {
            wchar_t text[256] = {};
            DWORD length = 256;
            ::MsiRecordGetStringW(record.get(), column, text, &length);
            row += (column > 1 ? L"|" : L"") + std::wstring(text);
        }
        rows.push_back(row);
    }
    std::ranges::sort(rows);
    return rows;
}

// An installation environment: before and after each test no package of the host or the
// stand-ins is installed and the installation folder is gone; the stand-ins of the build's
// output folder stay registered for the other tests.
class Package : public HostEndToEndTest
{
protected:
    void SetUp() override
    {
        RemovePackages();
        HostEndToEndTest::SetUp();
    }
    void TearDown() override
    {
        RemovePackages();
        HostEndToEndTest::TearDown();
    }

    // Runs Wine's msiexec silently with 'action' ("/i" or "/x") on a package of the output folder,
    // logging verbosely; answers its exit code.
    DWORD Installer(const wchar_t* action, const std::wstring& package)
    {
        m_log = m_baseDirectory + L"\\" + package + L".log";
        const ProcessResult result = RunProcess(L"msiexec " + std::wstring(action) + L" " + Quoted(OutputFile(package)) +
                                                L" /qn /l*v " + Quoted(m_log), {300000});
        EXPECT_TRUE(result.started && !result.timedOut) << Narrow(package) << " (start error " << result.startError << ")";
        return result.exitCode;
    }
    [[nodiscard]] std::string Log() const { return ReadFileBytes(m_log); }

    // Every trace of the host's package: its files, its registration, its service, its product.
    void ExpectNothingOfTheHostLeft()
    {
        EXPECT_EQ(InstalledFiles(), std::vector<std::wstring>{});
        EXPECT_FALSE(Exists(ManufacturerFolder())) << "the folders too";
        EXPECT_EQ(ServerEntries(), Entries{});
        EXPECT_EQ(RegisteredTypeLibPath(), L"<absent>");
        EXPECT_EQ(ServiceEntry(), L"<none>");
        EXPECT_EQ(InstalledProducts(kHostUpgradeCode), std::vector<std::wstring>{});
        EXPECT_EQ(HostProcessIds(), std::vector<DWORD>{});
    }

private:
    static void RemovePackages()
    {
        for (const wchar_t* upgradeCode : {kHostUpgradeCode, kStandInsUpgradeCode}) {
            for (const std::wstring& product : InstalledProducts(upgradeCode))
                (void)RunProcess(L"msiexec /x " + product + L" /qn", {300000});
        }
        RemoveDirectoryTree(ManufacturerFolder());
        // The stand-ins' own package unregisters them: the output folder's copies take their
        // classes back, as the test fixture had registered them.
        for (const wchar_t* standIn : {L"VexilBoardsStandIn.dll", L"VexilCrashDumpStandIn.dll"})
            (void)RunProcess(L"regsvr32 /s " + Quoted(OutputFile(standIn)), {120000});
    }

    std::wstring m_log;
};

// The package puts the signed build outputs in place and runs the host's own "-Service": the
// registry then holds exactly what the switch writes for the installed executable. The service
// serves a client with the installed host (whose signature it checks), and removal, while the
// service runs, stops it and takes everything away again.
TEST_F(Package, SilentInstallRegistersTheHostWithItsOwnSwitchTheServiceServesAndSilentRemovalLeavesNothing)
{
    ASSERT_EQ(Installer(L"/i", L"VexilSrvs.msi"), 0u) << Log();
    const std::wstring executable = InstallFolder() + L"VexilSrvs.exe";
    for (const wchar_t* file : {L"VexilSrvs.exe", L"VexilSrvs.tlb"})
        EXPECT_EQ(ReadFileBytes(InstallFolder() + file), ReadFileBytes(OutputFile(file))) << Narrow(file);
    EXPECT_EQ(InstalledFiles(), (std::vector<std::wstring>{L"VexilSrvs.exe", L"VexilSrvs.tlb"}));
    EXPECT_EQ(ServerEntries(), ExpectedEntries(executable, Mode::Service));
    EXPECT_EQ(RegisteredTypeLibPath(), InstallFolder() + L"VexilSrvs.tlb");
    EXPECT_EQ(ServiceEntry(), executable + L"|VexilSrvs");
    const std::vector<std::wstring> products = InstalledProducts(kHostUpgradeCode);
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(ProductIdentity(products[0]), ResourceIdentity(executable));

    ASSERT_TRUE(ControlHostService(0));
    ASSERT_TRUE(WaitForServiceState(SERVICE_RUNNING));
    const ClientRun client = RunClient(L"");
    ASSERT_EQ(client.process.exitCode, 0u) << client.process.output;
    EXPECT_EQ(client.values.at("server-pid"), Texts{std::to_string(QueryHostService().dwProcessId)});
    EXPECT_TRUE(WaitForLogText("Service started")) << "both signatures verified";

    ASSERT_EQ(Installer(L"/x", L"VexilSrvs.msi"), 0u) << Log();
    ExpectNothingOfTheHostLeft();
}

// A package whose host cannot register (its type library is missing) fails with the host's exit
// code and takes its files and its product registration back. What the host wrote before the
// type library stays, the AppID and the service entry at least, because the host's own removal
// begins with the type library (under Wine the rollback runs the removal after the files are
// gone, so the class entries stay as well). A sound package takes them over, and its removal
// then leaves nothing.
TEST_F(Package, AnInstallationWhoseHostFailsToRegisterFailsAndASoundPackageTakesOverWhatTheHostLeft)
{
    EXPECT_NE(Installer(L"/i", L"VexilSrvs-NoTypeLibrary.msi"), 0u) << Log();
    const std::wstring executable = InstallFolder() + L"VexilSrvs.exe";
    EXPECT_FALSE(Exists(InstallFolder())) << "files rolled back";
    EXPECT_EQ(InstalledProducts(kHostUpgradeCode), std::vector<std::wstring>{});
    const auto appIdOnly = [](Entries entries) {
        std::erase_if(entries, [](const auto& entry) { return !entry.first.starts_with(L"AppID\\"); });
        return entries;
    };
    EXPECT_EQ(appIdOnly(ServerEntries()), appIdOnly(ExpectedEntries(executable, Mode::Service)));
    EXPECT_EQ(ServiceEntry(), executable + L"|VexilSrvs");

    ASSERT_EQ(Installer(L"/i", L"VexilSrvs.msi"), 0u) << Log();
    EXPECT_EQ(ServerEntries(), ExpectedEntries(executable, Mode::Service));
    ASSERT_EQ(Installer(L"/x", L"VexilSrvs.msi"), 0u) << Log();
    ExpectNothingOfTheHostLeft();
}

// A package of the same version built again (a new product code) and then the next version each
// replace the installed one (its removal runs first, then the new -Service); an older version is
// refused while a newer one is installed, and the removal of the newer one leaves nothing.
TEST_F(Package, ARebuiltAndTheNextVersionReplaceTheInstalledOneAndAnOlderOneIsRefused)
{
    const std::wstring executable = InstallFolder() + L"VexilSrvs.exe";
    std::vector<std::wstring> installed, versions;
    for (const wchar_t* package : {L"VexilSrvs.msi", L"VexilSrvs-Rebuilt.msi", L"VexilSrvs-NextVersion.msi"}) {
        SCOPED_TRACE(Narrow(package));
        ASSERT_EQ(Installer(L"/i", package), 0u) << Log();
        const std::vector<std::wstring> products = InstalledProducts(kHostUpgradeCode);
        ASSERT_EQ(products.size(), 1u) << "one product of the upgrade code";
        EXPECT_TRUE(installed.empty() || products[0] != installed.back());
        EXPECT_EQ(ServerEntries(), ExpectedEntries(executable, Mode::Service));
        EXPECT_EQ(RegisteredTypeLibPath(), InstallFolder() + L"VexilSrvs.tlb");
        EXPECT_EQ(ServiceEntry(), executable + L"|VexilSrvs");
        installed.push_back(products[0]);
        versions.push_back(ProductProperty(products[0], INSTALLPROPERTY_VERSIONSTRING));
    }
    EXPECT_EQ(versions[1], versions[0]);
    EXPECT_GT(versions[2], versions[1]);

    EXPECT_NE(Installer(L"/i", L"VexilSrvs.msi"), 0u) << "a downgrade";
    EXPECT_EQ(InstalledProducts(kHostUpgradeCode), std::vector<std::wstring>{installed.back()});
    EXPECT_EQ(ServerEntries(), ExpectedEntries(executable, Mode::Service));

    ASSERT_EQ(Installer(L"/x", L"VexilSrvs-NextVersion.msi"), 0u) << Log();
    ExpectNothingOfTheHostLeft();
}

// A test machine from packages alone: the stand-ins' package registers the two components from
// the installation folder, the installed client's activation starts the installed service, and
// each package's removal takes its own part away.
TEST_F(Package, TheStandInsPackageMakesATestMachineWithTheProductAndEachRemovalTakesItsOwnPart)
{
    ASSERT_EQ(Installer(L"/i", L"VexilStandIns.msi"), 0u) << Log();
    for (const auto& [key, file] : {std::pair(kManagerClassKey, L"VexilBoardsStandIn.dll"),
                                    std::pair(kCrashDumpClassKey, L"VexilCrashDumpStandIn.dll")}) {
        const auto server = ReadValue(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"");
        EXPECT_EQ(server ? server->AsString() : L"<none>", InstallFolder() + file);
    }
    ASSERT_EQ(Installer(L"/i", L"VexilSrvs.msi"), 0u) << Log();

    const ProcessResult client = RunProcess(Quoted(InstallFolder() + L"VexilClient.exe"), {60000, true});
    ASSERT_EQ(client.exitCode, 0u) << client.output;
    EXPECT_NE(client.output.find("server-pid=" + std::to_string(QueryHostService().dwProcessId)), std::string::npos)
        << client.output;
    EXPECT_TRUE(WaitForLogText("Service started")) << "the installed manager's signature verified";

    // The product first: its removal stops the service, which holds the manager's module.
    ASSERT_EQ(Installer(L"/x", L"VexilSrvs.msi"), 0u) << Log();
    EXPECT_EQ(InstalledFiles(), (std::vector<std::wstring>{L"VexilBoardsStandIn.dll", L"VexilClient.exe",
                                                            L"VexilCrashDumpStandIn.dll"}));
    EXPECT_EQ(ServerEntries(), Entries{});
    ASSERT_EQ(Installer(L"/x", L"VexilStandIns.msi"), 0u) << Log();
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kManagerClassKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kCrashDumpClassKey));
    EXPECT_EQ(InstalledProducts(kStandInsUpgradeCode), std::vector<std::wstring>{});
    ExpectNothingOfTheHostLeft();
}

// Read from the package itself: the host's two switches run from the installed executable with
// the system's rights inside the installation script (3090), each with a rollback twin that the
// installer keeps for a rollback (3410); removal comes before the files go and registration
// after they are in place, all between InstallInitialize and InstallFinalize (a deferred step
// outside them never runs). No table of the package writes registry values or services.
TEST(PackageContent, TheHostsSwitchesRunAsTheSystemInsideTheScriptAroundTheFilesAndNothingElseRegisters)
{
    EXPECT_EQ(PackageRows(L"VexilSrvs.msi", L"SELECT `Action`, `Type`, `Source`, `Target` FROM `CustomAction`", 4),
              (std::vector<std::wstring>{L"RegisterHostRollback|3410|VexilSrvs.exe|-UnregServer",
                                         L"RegisterHost|3090|VexilSrvs.exe|-Service",
                                         L"UnregisterHostRollback|3410|VexilSrvs.exe|-Service",
                                         L"UnregisterHost|3090|VexilSrvs.exe|-UnregServer"}));
    const wchar_t* order[] = {L"InstallInitialize", L"UnregisterHostRollback", L"UnregisterHost", L"RemoveFiles",
                              L"InstallFiles", L"RegisterHostRollback", L"RegisterHost", L"InstallFinalize"};
    std::vector<int> sequence;
    for (const wchar_t* action : order) {
        const std::wstring query = L"SELECT `Sequence` FROM `InstallExecuteSequence` WHERE `Action` = '" + std::wstring(action) + L"'";
        const std::vector<std::wstring> rows = PackageRows(L"VexilSrvs.msi", query, 1);
        sequence.push_back(rows.size() == 1 ? std::stoi(rows[0]) : -1);
    }
    EXPECT_TRUE(sequence.front() > 0 && std::ranges::is_sorted(sequence) &&
                std::ranges::adjacent_find(sequence) == sequence.end())
        << "sequence numbers in this order: " << ::testing::PrintToString(sequence);
    for (const wchar_t* table : {L"Registry", L"ServiceInstall", L"ServiceControl", L"Class", L"TypeLib", L"AppId"}) {
        const std::wstring query = L"SELECT * FROM `" + std::wstring(table) + L"`";
        EXPECT_EQ(PackageRows(L"VexilSrvs.msi", query, 1), std::vector<std::wstring>{}) << Narrow(table);
    }
}

}  // namespace
