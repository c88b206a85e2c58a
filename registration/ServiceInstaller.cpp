#include "host/VexilSrvsModule.h"
#include "registration/RegistrationText.h"
#include "support/Platform.h"
#include "support/UniqueHandle.h"

namespace {

constexpr DWORD kUninstallAccess = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;

// Both waits for the old instance poll every 100 ms for about 30 s; a host that is still busy
// finishing its manager gets that long before the user is told.
constexpr int kStopPolls = 300;
constexpr int kOldInstanceAttempts = 300;
constexpr int kDeletionAttempts = 100;
constexpr DWORD kPollIntervalMs = 100;

// Failures are shown to the person running the registration; the box blocks until dismissed.
void ShowFailure(const wchar_t* serviceName, const wchar_t* text) noexcept
{
    Platform().MessageBoxW(nullptr, text, serviceName, MB_OK);
}

UniqueScHandle OpenServiceManager() noexcept
{
    return UniqueScHandle(Platform().OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

// Asks a running service to stop and polls until it reports SERVICE_STOPPED. True when it did.
bool StopRunningService(SC_HANDLE service) noexcept
{
    SERVICE_STATUS status{};
    if (Platform().QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED)
        Platform().ControlService(service, SERVICE_CONTROL_STOP, &status);

    for (int poll = 0; poll < kStopPolls; ++poll) {
        if (Platform().QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED)
            return true;
        Platform().Sleep(kPollIntervalMs);
    }
    return false;
}

// A stopped service may still be a process finishing its shutdown; it holds its single-instance
// event until it ends, and a new instance started before that would refuse to run. True when
// neither name can be opened any more.
bool WaitForOldInstanceExit() noexcept
{
    for (int attempt = 0; attempt < kOldInstanceAttempts; ++attempt) {
        Platform().Sleep(kPollIntervalMs);
        UniqueKernelHandle event(Platform().OpenEventW(SYNCHRONIZE, FALSE, kSafeEventGlobalName));
        if (!event)
            event.reset(Platform().OpenEventW(SYNCHRONIZE, FALSE, kSafeEventLocalName));
        if (!event)
            return true;
    }
    return false;
}

// The Service Control Manager removes an entry marked for deletion only once every handle to it
// is closed and its process has ended; give it up to about 10 s. Only its answer that the
// service does not exist means gone: any other refusal to open it says nothing about the entry.
void WaitForEntryToDisappear(const wchar_t* serviceName) noexcept
{
    for (int attempt = 0; attempt < kDeletionAttempts; ++attempt) {
        {
            UniqueScHandle manager = OpenServiceManager();
            if (!manager)
                return;
            UniqueScHandle service(Platform().OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_CONFIG));
            if (!service && ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
                return;
        }
        ReportProgress(kUninstallStillInstalled);
        Platform().Sleep(kPollIntervalMs);
    }
}

}  // namespace

bool CVexilSrvsModule::IsInstalled() noexcept
{
    UniqueScHandle manager = OpenServiceManager();
    if (!manager)
        return false;
    UniqueScHandle service(Platform().OpenServiceW(manager.get(), m_szServiceName, SERVICE_QUERY_CONFIG));
    return service.valid();
}

bool CVexilSrvsModule::Install() noexcept
{
    ReportProgress(kInstallStep1);
    if (IsInstalled())
        return true;

    ReportProgress(kInstallStep2);
    UniqueScHandle manager = OpenServiceManager();
    if (!manager) {
        ShowFailure(m_szServiceName, kMessageCouldNotOpenManager);
        return false;
    }

    ReportProgress(kInstallStep3);
    // No quotes and no switch: the service host recognises service mode from its AppID.
    wchar_t modulePath[MAX_PATH] = {};
    Platform().GetModuleFileNameW(nullptr, modulePath, MAX_PATH);

    ReportProgress(kInstallStep4);
    UniqueScHandle service(Platform().CreateServiceW(
        manager.get(), m_szServiceName, m_szServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, modulePath, nullptr, nullptr, kServiceDependencies,
        nullptr, nullptr));

    ReportProgress(kInstallStep5);
    if (!service) {
        ReportProgress(kInstallStep7);
        manager.reset();
        ShowFailure(m_szServiceName, kMessageCouldNotCreateService);
        return false;
    }

    // Only cosmetic: a service without its description still runs.
    SERVICE_DESCRIPTIONW description{g_szServiceDescription};
    Platform().ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    ReportProgress(kInstallStep6);
    ReportProgress(kInstallGoodEnd);
    return true;
}

bool CVexilSrvsModule::Uninstall() noexcept
{
    ReportProgress(kUninstallStep1);
    if (!IsInstalled())
        return true;

    ReportProgress(kUninstallStep2);
    UniqueScHandle manager = OpenServiceManager();
    if (!manager) {
        ShowFailure(m_szServiceName, kMessageCouldNotOpenManager);
        return false;
    }

    ReportProgress(kUninstallStep3);
    UniqueScHandle service(Platform().OpenServiceW(manager.get(), m_szServiceName, kUninstallAccess));
    if (!service) {
        manager.reset();
        ShowFailure(m_szServiceName, kMessageCouldNotOpenService);
        return false;
    }

    ReportProgress(kUninstallStep4);
    if (!StopRunningService(service.get()))
        ShowFailure(m_szServiceName, kMessageCouldNotStop);

    ReportProgress(kUninstallStep5);
    if (!WaitForOldInstanceExit())
        ShowFailure(m_szServiceName, kMessageOldInstanceStillThere);

    // Deleting is requested even when the old instance is still there: the Service Control
    // Manager then marks the entry and removes it when that process ends.
    ReportProgress(kUninstallStep6);
    Platform().Sleep(kPollIntervalMs);
    const bool deleteAccepted = Platform().DeleteService(service.get()) != FALSE;
    service.reset();
    manager.reset();

    WaitForEntryToDisappear(m_szServiceName);
    if (IsInstalled())
        ReportProgress(kUninstallStillInstalledAfterTimeout);

    if (deleteAccepted) {
        ReportProgress(kUninstallGoodEnd);
        return true;
    }
    ReportProgress(kUninstallBadEnd);
    ShowFailure(m_szServiceName, kMessageCouldNotDelete);
    return false;
}
