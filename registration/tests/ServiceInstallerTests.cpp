#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "host/VexilSrvsModule.h"
#include "registration/RegistrationText.h"
#include "registration/tests/InstallerTestSupport.h"
#include "tests/support/TestProcess.h"
#include "tests/support/TestRegistry.h"

namespace {

using Texts = std::vector<std::wstring>;

const Texts kInstallCreated = {kInstallStep1, kInstallStep2, kInstallStep3, kInstallStep4,
                               kInstallStep5, kInstallStep6, kInstallGoodEnd};
const Texts kUninstallUpToDelete = {kUninstallStep1, kUninstallStep2, kUninstallStep3,
                                    kUninstallStep4, kUninstallStep5, kUninstallStep6};

Texts Concat(Texts first, const Texts& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

Texts Repeated(const wchar_t* text, size_t count)
{
    return Texts(count, text);
}

// Calls the platform made, recorded by pass-through overrides.
std::vector<DWORD> g_controls;
size_t g_statusQueries = 0;
size_t g_eventOpens = 0;
size_t g_eventOpensSucceeded = 0;

BOOL WINAPI RecordControl(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    g_controls.push_back(control);
    return RealPlatform().ControlService(service, control, status);
}

BOOL WINAPI CountStatusQuery(SC_HANDLE service, LPSERVICE_STATUS status)
{
    ++g_statusQueries;
    return RealPlatform().QueryServiceStatus(service, status);
}

HANDLE WINAPI CountEventOpen(DWORD access, BOOL inherit, LPCWSTR name)
{
    ++g_eventOpens;
    HANDLE event = RealPlatform().OpenEventW(access, inherit, name);
    g_eventOpensSucceeded += event != nullptr ? 1 : 0;
    return event;
}

SC_HANDLE WINAPI RefuseServiceManager(LPCWSTR, LPCWSTR, DWORD)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

class ServiceInstallation : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_controls.clear();
        g_statusQueries = 0;
        g_eventOpens = 0;
        g_eventOpensSucceeded = 0;
    }

    static void ExpectBoxes(const Texts& texts)
    {
        EXPECT_EQ(ChannelRecorder::BoxTexts(), texts);
        for (const MessageBoxCall& box : ChannelRecorder::Boxes()) {
            EXPECT_EQ(box.owner, nullptr);
            EXPECT_EQ(box.caption, L"VexilSrvs");
            EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
        }
    }

    ServiceCleanup m_services;
    ChannelRecorder m_channels;
    CVexilSrvsModule m_module;
};

// ---- IsInstalled ----------------------------------------------------------------------------

TEST_F(ServiceInstallation, IsInstalledAnswersWhetherTheServiceManagerCanBeAskedAndKnowsTheService)
{
    EXPECT_FALSE(m_module.IsInstalled());
    ASSERT_TRUE(m_services.CreateFakeService());
    EXPECT_TRUE(m_module.IsInstalled());

    ScopedPlatformOverride refuse(&PlatformApi::OpenSCManagerW, &RefuseServiceManager);
    EXPECT_FALSE(m_module.IsInstalled());
}

// ---- Install --------------------------------------------------------------------------------

struct CreateServiceCall
{
    DWORD access = 0;
    bool groupNull = false;
    bool tagNull = false;
    bool accountNull = false;
    bool passwordNull = false;
};
CreateServiceCall g_createCall;

SC_HANDLE WINAPI RecordCreateService(SC_HANDLE manager, LPCWSTR name, LPCWSTR display, DWORD access, DWORD type,
                                     DWORD start, DWORD errorControl, LPCWSTR path, LPCWSTR group, LPDWORD tag,
                                     LPCWSTR dependencies, LPCWSTR account, LPCWSTR password)
{
    g_createCall = {access, group == nullptr, tag == nullptr, account == nullptr, password == nullptr};
    return RealPlatform().CreateServiceW(manager, name, display, access, type, start, errorControl, path, group,
                                         tag, dependencies, account, password);
}

struct ServiceConfiguration
{
    bool found = false;
    DWORD type = 0;
    DWORD start = 0;
    DWORD errorControl = 0;
    std::wstring binaryPath;
    std::wstring displayName;
    std::wstring loadOrderGroup;
    std::wstring description;
};

ServiceConfiguration ReadServiceConfiguration()
{
    ServiceConfiguration result;
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(manager ? ::OpenServiceW(manager.get(), kTestServiceName, SERVICE_QUERY_CONFIG) : nullptr);
    if (!service)
        return result;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!::QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                               static_cast<DWORD>(buffer.size()), &needed))
        return result;
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
    result.found = true;
    result.type = config->dwServiceType;
    result.start = config->dwStartType;
    result.errorControl = config->dwErrorControl;
    result.binaryPath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
    result.displayName = config->lpDisplayName != nullptr ? config->lpDisplayName : L"";
    result.loadOrderGroup = config->lpLoadOrderGroup != nullptr ? config->lpLoadOrderGroup : L"";

    std::vector<BYTE> descriptionBuffer(8192);
    if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, descriptionBuffer.data(),
                               static_cast<DWORD>(descriptionBuffer.size()), &needed)) {
        const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(descriptionBuffer.data());
        result.description = description->lpDescription != nullptr ? description->lpDescription : L"";
    }
    return result;
}

std::wstring OwnModulePath()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

TEST_F(ServiceInstallation, InstallCreatesTheEntryWithTheDocumentedConfiguration)
{
    ScopedPlatformOverride record(&PlatformApi::CreateServiceW, &RecordCreateService);

    ASSERT_TRUE(m_module.Install());

    EXPECT_EQ(ChannelRecorder::Progress(), kInstallCreated);
    ExpectBoxes({});
    const ServiceConfiguration config = ReadServiceConfiguration();
    ASSERT_TRUE(config.found);
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.binaryPath, OwnModulePath());
    EXPECT_EQ(config.displayName, L"VexilSrvs");
    EXPECT_EQ(config.loadOrderGroup, L"");
    EXPECT_EQ(config.description, L"Vexil Boards Manager Service");

    // The Service Control Manager keeps the dependencies in the service's key.
    const auto dependencies =
        ReadValue(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\VexilSrvs", L"DependOnService");
    ASSERT_TRUE(dependencies.has_value());
    EXPECT_EQ(dependencies->type, static_cast<DWORD>(REG_MULTI_SZ));
    const std::wstring expected(L"RPCSS\0VexilTimeSrvs\0\0", 21);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(dependencies->data.data()),
                           dependencies->data.size() / sizeof(wchar_t)),
              expected);

    EXPECT_EQ(g_createCall.access, static_cast<DWORD>(SERVICE_ALL_ACCESS));
    EXPECT_TRUE(g_createCall.groupNull);
    EXPECT_TRUE(g_createCall.tagNull);
    EXPECT_TRUE(g_createCall.accountNull);
    EXPECT_TRUE(g_createCall.passwordNull);
}

constexpr wchar_t kPathWithSpaces[] = L"C:\\Program Files\\Vexil Boards\\VexilSrvs.exe";

DWORD WINAPI PathWithSpaces(HMODULE, LPWSTR buffer, DWORD size)
{
    const DWORD length = static_cast<DWORD>(std::size(kPathWithSpaces) - 1);
    if (size <= length)
        return 0;
    std::copy(std::begin(kPathWithSpaces), std::end(kPathWithSpaces), buffer);
    return length;
}

TEST_F(ServiceInstallation, InstallRegistersAPathWithSpacesExactlyAndUnquoted)
{
    ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &PathWithSpaces);
    ASSERT_TRUE(m_module.Install());
    EXPECT_EQ(ReadServiceConfiguration().binaryPath, kPathWithSpaces);
}

TEST_F(ServiceInstallation, InstallOfAnInstalledServiceSucceedsWithoutCreatingAnything)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    const std::wstring before = ReadServiceConfiguration().binaryPath;

    EXPECT_TRUE(m_module.Install());

    EXPECT_EQ(ChannelRecorder::Progress(), Texts{kInstallStep1});
    ExpectBoxes({});
    EXPECT_EQ(ReadServiceConfiguration().binaryPath, before);
}

SC_HANDLE WINAPI RefuseCreation(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD,
                                LPCWSTR, LPCWSTR, LPCWSTR)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

TEST_F(ServiceInstallation, InstallShowsAFailedCreationAndFails)
{
    ScopedPlatformOverride refuse(&PlatformApi::CreateServiceW, &RefuseCreation);

    EXPECT_FALSE(m_module.Install());

    EXPECT_EQ(ChannelRecorder::Progress(), (Texts{kInstallStep1, kInstallStep2, kInstallStep3, kInstallStep4,
                                                  kInstallStep5, kInstallStep7}));
    ExpectBoxes({L"Couldn't create service"});
    EXPECT_FALSE(TestServiceExists());
}

TEST_F(ServiceInstallation, InstallWithoutAccessToTheServiceManagerFails)
{
    ScopedPlatformOverride refuse(&PlatformApi::OpenSCManagerW, &RefuseServiceManager);

    EXPECT_FALSE(m_module.Install());

    EXPECT_EQ(ChannelRecorder::Progress(), (Texts{kInstallStep1, kInstallStep2}));
    ExpectBoxes({L"Couldn't open service manager"});
    EXPECT_FALSE(TestServiceExists());
}

// ---- Uninstall: the ordinary paths ----------------------------------------------------------

TEST_F(ServiceInstallation, UninstallOfAnAbsentServiceOnlyChecks)
{
    EXPECT_TRUE(m_module.Uninstall());
    EXPECT_EQ(ChannelRecorder::Progress(), Texts{kUninstallStep1});
    ExpectBoxes({});
}

TEST_F(ServiceInstallation, UninstallWithoutAccessToTheServiceManagerSucceedsDoingNothing)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    {
        ScopedPlatformOverride refuse(&PlatformApi::OpenSCManagerW, &RefuseServiceManager);
        EXPECT_TRUE(m_module.Uninstall());
    }
    EXPECT_EQ(ChannelRecorder::Progress(), Texts{kUninstallStep1});
    ExpectBoxes({});
    EXPECT_TRUE(TestServiceExists());
}

TEST_F(ServiceInstallation, UninstallOfAStoppedServiceSendsNoStopRequestAndDeletesIt)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    ScopedPlatformOverride controls(&PlatformApi::ControlService, &RecordControl);
    ScopedPlatformOverride queries(&PlatformApi::QueryServiceStatus, &CountStatusQuery);

    EXPECT_TRUE(m_module.Uninstall());

    EXPECT_EQ(ChannelRecorder::Progress(), Concat(kUninstallUpToDelete, {kUninstallGoodEnd}));
    ExpectBoxes({});
    EXPECT_TRUE(g_controls.empty());
    EXPECT_EQ(g_statusQueries, 2u) << "one query before the stop decision, one poll";
    EXPECT_FALSE(TestServiceExists());
}

TEST_F(ServiceInstallation, UninstallStopsARunningServiceWaitsForItAndDeletesIt)
{
    ASSERT_TRUE(m_services.StartFakeService());
    ScopedPlatformOverride controls(&PlatformApi::ControlService, &RecordControl);

    EXPECT_TRUE(m_module.Uninstall());

    EXPECT_EQ(g_controls, std::vector<DWORD>{SERVICE_CONTROL_STOP});
    const Texts& progress = ChannelRecorder::Progress();
    ASSERT_GE(progress.size(), kUninstallUpToDelete.size() + 1);
    EXPECT_EQ(Texts(progress.begin(), progress.begin() + kUninstallUpToDelete.size()), kUninstallUpToDelete);
    EXPECT_EQ(progress.back(), kUninstallGoodEnd);
    ExpectBoxes({});
    EXPECT_EQ(UniqueKernelHandle(::OpenEventW(SYNCHRONIZE, FALSE, kTestSafeEventName)).get(), nullptr);
    EXPECT_EQ(::WaitForSingleObject(m_services.process(), 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(TestServiceExists());
}

TEST_F(ServiceInstallation, UninstallWaitsForTheOldInstanceToReleaseItsEvent)
{
    // The old process reports SERVICE_STOPPED but holds its event 3 s longer.
    ASSERT_TRUE(m_services.StartFakeService(L"/KeepEvent:3000"));
    ScopedPlatformOverride opens(&PlatformApi::OpenEventW, &CountEventOpen);

    EXPECT_TRUE(m_module.Uninstall());

    EXPECT_GE(g_eventOpensSucceeded, 1u) << "the event was still held when the stop poll ended";
    EXPECT_EQ(UniqueKernelHandle(::OpenEventW(SYNCHRONIZE, FALSE, kTestSafeEventName)).get(), nullptr);
    ExpectBoxes({});
    EXPECT_EQ(ChannelRecorder::Progress().back(), kUninstallGoodEnd);
    EXPECT_EQ(::WaitForSingleObject(m_services.process(), 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(TestServiceExists());
}

// ---- Uninstall: time-outs and failures ------------------------------------------------------

TEST_F(ServiceInstallation, UninstallReportsAServiceThatNeverStopsAndStillRequestsDeletion)
{
    ASSERT_TRUE(m_services.StartFakeService(L"/IgnoreStop"));
    InstantSleep instant;
    ScopedPlatformOverride controls(&PlatformApi::ControlService, &RecordControl);
    ScopedPlatformOverride queries(&PlatformApi::QueryServiceStatus, &CountStatusQuery);
    ScopedPlatformOverride opens(&PlatformApi::OpenEventW, &CountEventOpen);

    EXPECT_TRUE(m_module.Uninstall());

    EXPECT_EQ(g_controls, std::vector<DWORD>{SERVICE_CONTROL_STOP});
    EXPECT_EQ(g_statusQueries, 1u + 300u) << "one query before the stop request, then 300 polls";
    EXPECT_EQ(g_eventOpens, 300u) << "the machine-wide name opened at every attempt";
    ExpectBoxes({L"Service could not be Stopped", L"Service could not be Stopped 2"});
    // The running service keeps its entry, marked for deletion, until its process ends.
    EXPECT_EQ(ChannelRecorder::Progress(),
              Concat(Concat(kUninstallUpToDelete, Repeated(kUninstallStillInstalled, 100)),
                     {kUninstallStillInstalledAfterTimeout, kUninstallGoodEnd}));
    EXPECT_EQ(InstantSleep::Calls(), 300u + 300u + 1u + 100u);
}

TEST_F(ServiceInstallation, UninstallReportsAnOldInstanceThatKeepsItsEvent)
{
    ASSERT_TRUE(m_services.StartFakeService(L"/KeepEvent:60000"));
    InstantSleep instant;
    ScopedPlatformOverride opens(&PlatformApi::OpenEventW, &CountEventOpen);

    EXPECT_TRUE(m_module.Uninstall());

    EXPECT_EQ(g_eventOpens, 300u);
    EXPECT_EQ(g_eventOpensSucceeded, 300u);
    ExpectBoxes({L"Service could not be Stopped 2"});
    EXPECT_EQ(ChannelRecorder::Progress().back(), kUninstallGoodEnd);
}

BOOL WINAPI AcceptDeletionButKeepTheEntry(SC_HANDLE)
{
    return TRUE;
}

TEST_F(ServiceInstallation, UninstallReportsAnEntryThatOutlivesTheDeletionWait)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    InstantSleep instant;
    ScopedPlatformOverride keep(&PlatformApi::DeleteService, &AcceptDeletionButKeepTheEntry);

    EXPECT_TRUE(m_module.Uninstall());

    EXPECT_EQ(ChannelRecorder::Progress(),
              Concat(Concat(kUninstallUpToDelete, Repeated(kUninstallStillInstalled, 100)),
                     {kUninstallStillInstalledAfterTimeout, kUninstallGoodEnd}));
    ExpectBoxes({});
}

// Deletes the entry for real once the deletion wait has reported it three times.
void WINAPI DeleteAfterThreeReports(DWORD)
{
    if (ChannelRecorder::CountOf(kUninstallStillInstalled) != 3)
        return;
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueScHandle service(::OpenServiceW(manager.get(), kTestServiceName, DELETE));
    ::DeleteService(service.get());
}

TEST_F(ServiceInstallation, UninstallStopsReportingOnceTheEntryIsGone)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    ScopedPlatformOverride sleep(&PlatformApi::Sleep, &DeleteAfterThreeReports);
    ScopedPlatformOverride keep(&PlatformApi::DeleteService, &AcceptDeletionButKeepTheEntry);

    EXPECT_TRUE(m_module.Uninstall());

    EXPECT_EQ(ChannelRecorder::Progress(),
              Concat(Concat(kUninstallUpToDelete, Repeated(kUninstallStillInstalled, 3)), {kUninstallGoodEnd}));
}

BOOL WINAPI RefuseDeletion(SC_HANDLE)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(ServiceInstallation, UninstallShowsARefusedDeletionAndFails)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    InstantSleep instant;
    ScopedPlatformOverride refuse(&PlatformApi::DeleteService, &RefuseDeletion);

    EXPECT_FALSE(m_module.Uninstall());

    EXPECT_EQ(ChannelRecorder::Progress(),
              Concat(Concat(kUninstallUpToDelete, Repeated(kUninstallStillInstalled, 100)),
                     {kUninstallStillInstalledAfterTimeout, kUninstallBadEnd}));
    ExpectBoxes({L"Service could not be deleted"});
    EXPECT_TRUE(TestServiceExists());
}

SC_HANDLE WINAPI RefuseOpenForRemoval(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    if (access == (DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return RealPlatform().OpenServiceW(manager, name, access);
}

TEST_F(ServiceInstallation, UninstallShowsAServiceThatCannotBeOpenedForRemovalAndFails)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    ScopedPlatformOverride refuse(&PlatformApi::OpenServiceW, &RefuseOpenForRemoval);

    EXPECT_FALSE(m_module.Uninstall());

    EXPECT_EQ(ChannelRecorder::Progress(), (Texts{kUninstallStep1, kUninstallStep2, kUninstallStep3}));
    ExpectBoxes({L"Couldn't open service"});
    EXPECT_TRUE(TestServiceExists());
}

}  // namespace
