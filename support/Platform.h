#pragma once

// The host reaches the platform calls that tests must be able to fail through one table of
// function pointers. The table starts out pointing at the real API; a test may replace single
// entries for its own duration (see tests/support/PlatformOverride.h). Production code calls
// Platform().CreateEventW(...) and reads like ordinary Win32 code.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <mmsystem.h>
#include <wintrust.h>

#include <stdio.h>
#include <stdlib.h>

#define VEXIL_PLATFORM_CALLS(X)                                                            \
    /* process, threads, kernel objects */                                                 \
    X(SetPriorityClass) X(timeBeginPeriod) X(timeEndPeriod) X(GetCommandLineW)             \
    X(InitializeCriticalSectionEx) X(CreateEventW) X(OpenEventW) X(SetEvent)               \
    X(CreateThread) X(WaitForSingleObject) X(Sleep) X(GetLocalTime)                       \
    X(PostThreadMessageW) X(GetMessageW) X(PeekMessageW)                                   \
    /* modules and resources */                                                            \
    X(GetModuleFileNameW) X(GetModuleHandleW) X(LoadStringW) X(LoadLibraryExW)             \
    X(FindResourceW) X(LoadResource) X(SizeofResource) X(GetProcAddress)                   \
    X(MultiByteToWideChar)                                                                 \
    /* files */                                                                            \
    X(CreateDirectoryW)                                                                    \
    /* user interface and debugger channel */                                              \
    X(MessageBoxW) X(OutputDebugStringW)                                                   \
    /* registry */                                                                         \
    X(RegOpenKeyExW) X(RegCreateKeyExW) X(RegQueryValueExW) X(RegSetValueExW)              \
    X(RegDeleteValueW) X(RegDeleteKeyW) X(RegQueryInfoKeyW) X(RegEnumKeyExW)               \
    X(RegCloseKey)                                                                         \
    /* event log */                                                                        \
    X(RegisterEventSourceW) X(ReportEventW) X(DeregisterEventSource)                       \
    /* Service Control Manager */                                                          \
    X(OpenSCManagerW) X(OpenServiceW) X(CreateServiceW) X(ChangeServiceConfig2W)           \
    X(QueryServiceStatus) X(ControlService) X(DeleteService)                               \
    X(StartServiceCtrlDispatcherW) X(RegisterServiceCtrlHandlerExW) X(SetServiceStatus)    \
    /* COM and OLE Automation */                                                           \
    X(CoInitializeEx) X(CoUninitialize) X(CoInitializeSecurity) X(CoCreateInstance)        \
    X(CoRegisterClassObject) X(CoRevokeClassObject) X(CoResumeClassObjects)                \
    X(CoAddRefServerProcess) X(CoReleaseServerProcess) X(CoCreateFreeThreadedMarshaler)    \
    X(CoTaskMemAlloc) X(CoTaskMemRealloc) X(VarUI4FromStr)                                 \
    X(LoadTypeLib) X(RegisterTypeLib) X(UnRegisterTypeLib)                                 \
    /* access tokens, SIDs and security descriptors */                                     \
    X(OpenThreadToken) X(OpenProcessToken) X(GetTokenInformation)                          \
    X(InitializeSecurityDescriptor) X(SetSecurityDescriptorOwner)                          \
    X(SetSecurityDescriptorGroup) X(SetSecurityDescriptorDacl)                             \
    X(IsValidSid) X(GetLengthSid) X(CopySid) X(HeapAlloc)                                  \
    /* code signatures */                                                                  \
    X(WinVerifyTrust)                                                                      \
    /* process-heap release, so tests can count that every buffer taken is given back */   \
    X(HeapFree)                                                                            \
    /* registration scripts: their text buffers are freed through the table as well */     \
    X(CoTaskMemFree)

// Runtime-library calls, named by their exact signature (C++ overloads some of them).
using WfsopenFunction = FILE* (__cdecl*)(const wchar_t* path, const wchar_t* mode, int shareFlag);
using WgetenvSFunction = errno_t (__cdecl*)(size_t* length, wchar_t* buffer, size_t bufferUnits,
                                             const wchar_t* name);

struct PlatformApi
{
#define VEXIL_PLATFORM_MEMBER(name) decltype(&::name) name;
    VEXIL_PLATFORM_CALLS(VEXIL_PLATFORM_MEMBER)
#undef VEXIL_PLATFORM_MEMBER
    WfsopenFunction _wfsopen;
    WgetenvSFunction _wgetenv_s;
};

// The table in use by the process. Built on first use, so it is ready for the static
// initialisation of the module object whatever the order of translation units.
[[nodiscard]] PlatformApi& Platform() noexcept;

// The table as the process started: every entry the real API.
[[nodiscard]] const PlatformApi& RealPlatform() noexcept;
