#pragma once

// Texts, names and fixed values of registration and installation. The progress texts go to
// the debugger output channel and the failure texts to a message box, exactly as they stand:
// installers and support staff watch for them.

#include <windows.h>

#include "support/Platform.h"

// Service installation.
inline constexpr wchar_t kInstallStep1[] = L"Install Step 1";
inline constexpr wchar_t kInstallStep2[] = L"Install Step 2";
inline constexpr wchar_t kInstallStep3[] = L"Install Step 3";
inline constexpr wchar_t kInstallStep4[] = L"Install Step 4";
inline constexpr wchar_t kInstallStep5[] = L"Install Step 5";
inline constexpr wchar_t kInstallStep6[] = L"Install Step 6";
inline constexpr wchar_t kInstallStep7[] = L"Install Step 7";
inline constexpr wchar_t kInstallGoodEnd[] = L"Install Step 8 Good End";

// Service removal.
inline constexpr wchar_t kUninstallStep1[] = L"Uninstall Step 1";
inline constexpr wchar_t kUninstallStep2[] = L"Uninstall Step 2";
inline constexpr wchar_t kUninstallStep3[] = L"Uninstall Step 3";
inline constexpr wchar_t kUninstallStep4[] = L"Uninstall Step 4";
inline constexpr wchar_t kUninstallStep5[] = L"Uninstall Step 5";
inline constexpr wchar_t kUninstallStep6[] = L"Uninstall Step 6";
inline constexpr wchar_t kUninstallStillInstalled[] = L"Uninstall Step 6.5 Service Still installed???";
inline constexpr wchar_t kUninstallStillInstalledAfterTimeout[] =
    L"Uninstall Step 6.6 Service Still installed after 10 seconds timeout???";
inline constexpr wchar_t kUninstallGoodEnd[] = L"Uninstall Step 7 Good End";
inline constexpr wchar_t kUninstallBadEnd[] = L"Uninstall Step 8 Bad End";

// Message boxes of installation and removal.
inline constexpr wchar_t kMessageCouldNotOpenManager[] = L"Couldn't open service manager";
inline constexpr wchar_t kMessageCouldNotCreateService[] = L"Couldn't create service";
inline constexpr wchar_t kMessageCouldNotOpenService[] = L"Couldn't open service";
inline constexpr wchar_t kMessageCouldNotStop[] = L"Service could not be Stopped";
inline constexpr wchar_t kMessageOldInstanceStillThere[] = L"Service could not be Stopped 2";
inline constexpr wchar_t kMessageCouldNotDelete[] = L"Service could not be deleted";

// AppID registration.
inline constexpr wchar_t kRegisterAppIdStep1[] = L"RegisterAppId Step 1";
inline constexpr wchar_t kRegisterAppIdStep2[] = L"RegisterAppId Step 2";
inline constexpr wchar_t kRegisterAppIdStep3[] = L"RegisterAppId Step 3";
inline constexpr wchar_t kRegisterAppIdStep4[] = L"RegisterAppId Step 4";
inline constexpr wchar_t kRegisterAppIdStep5[] = L"RegisterAppId Step 5";
inline constexpr wchar_t kRegisterAppIdStep6[] = L"RegisterAppId Step 6";

// The service entry. The description record takes a non-constant pointer, so the text lives
// in a modifiable buffer; nothing writes to it.
inline wchar_t g_szServiceDescription[] = L"Vexil Boards Manager Service";
inline constexpr wchar_t kServiceDependencies[] = L"RPCSS\0VexilTimeSrvs\0";  // the literal adds the final NUL

// Values of the server's AppID key besides the one that selects service mode.
inline constexpr wchar_t kAppIdRunAsValue[] = L"RunAs";
inline constexpr wchar_t kAppIdRunAsInteractiveUser[] = L"Interactive User";
inline constexpr wchar_t kAppIdReplacementName[] = L"APPID";

// Per-user type-library registration, exported by OLE Automation but not declared by every SDK.
inline constexpr wchar_t kOleAutomationModule[] = L"OLEAUT32.DLL";
inline constexpr char kRegisterTypeLibForUserName[] = "RegisterTypeLibForUser";
inline constexpr char kUnRegisterTypeLibForUserName[] = "UnRegisterTypeLibForUser";

// Registration and installation report their progress on the debugger output channel only,
// apart from the diagnostic log of the running host.
inline void ReportProgress(const wchar_t* text) noexcept
{
    Platform().OutputDebugStringW(text);
}
