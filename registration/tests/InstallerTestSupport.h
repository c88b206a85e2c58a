#pragma once

// Helpers for the installer and registration tests: a recorder of the two user-facing channels
// (debugger output and message boxes), an instant Sleep, and services of the test prefix's real
// Service Control Manager that are removed whatever a test does.

#include <windows.h>

#include <string>
#include <vector>

#include "support/UniqueHandle.h"
#include "tests/support/PlatformOverride.h"

inline constexpr wchar_t kTestServiceName[] = L"VexilSrvs";
inline constexpr wchar_t kTestSafeEventName[] = L"Global\\VexilSrvs_SafeEvent";

struct MessageBoxCall
{
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT type;
};

// Records every progress text and message box for its lifetime; message boxes return IDOK at once.
class ChannelRecorder
{
public:
    ChannelRecorder();
    ~ChannelRecorder();
    ChannelRecorder(const ChannelRecorder&) = delete;
    ChannelRecorder& operator=(const ChannelRecorder&) = delete;

    [[nodiscard]] static const std::vector<std::wstring>& Progress();
    [[nodiscard]] static const std::vector<MessageBoxCall>& Boxes();
    [[nodiscard]] static std::vector<std::wstring> BoxTexts();
    // How often one progress text was emitted.
    [[nodiscard]] static size_t CountOf(const std::wstring& text);

private:
    ScopedPlatformOverride<decltype(&::OutputDebugStringW)> m_progress;
    ScopedPlatformOverride<decltype(&::MessageBoxW)> m_boxes;
};

// Makes Sleep return at once and counts the calls, so the long waits of removal run in no time.
class InstantSleep
{
public:
    InstantSleep();
    ~InstantSleep();
    InstantSleep(const InstantSleep&) = delete;
    InstantSleep& operator=(const InstantSleep&) = delete;

    [[nodiscard]] static size_t Calls();

private:
    ScopedPlatformOverride<decltype(&::Sleep)> m_sleep;
};

// Stops (killing it if it must) and deletes the service "VexilSrvs" and waits until the Service
// Control Manager has forgotten it. Safe to call when there is none.
void RemoveTestService();

[[nodiscard]] bool TestServiceExists();

// Removes any leftover service on construction and whatever the test created on destruction;
// kills the processes of services it started.
class ServiceCleanup
{
public:
    ServiceCleanup();
    ~ServiceCleanup();
    ServiceCleanup(const ServiceCleanup&) = delete;
    ServiceCleanup& operator=(const ServiceCleanup&) = delete;

    // Registers the service "VexilSrvs" running FakeOldInstance.exe with 'knobs', not started.
    [[nodiscard]] bool CreateFakeService(const std::wstring& knobs = {});
    // Creates it, starts it and waits until it runs and holds its event. Keeps its process.
    [[nodiscard]] bool StartFakeService(const std::wstring& knobs = {});
    [[nodiscard]] HANDLE process() const noexcept { return m_process.get(); }

private:
    UniqueKernelHandle m_process;
};

[[nodiscard]] SERVICE_STATUS_PROCESS QueryTestServiceStatus();

// The server's type library as registered: HKEY_CLASSES_ROOT\TypeLib\{LIBID}\1.0.
inline constexpr wchar_t kServerTypeLibKey[] = L"TypeLib\\{9E47B1D2-5A6C-4F38-B017-3C82E5D9A4F6}";
inline constexpr wchar_t kServerTypeLibVersionKey[] = L"TypeLib\\{9E47B1D2-5A6C-4F38-B017-3C82E5D9A4F6}\\1.0";
inline constexpr wchar_t kServerInterfaceKey[] = L"Interface\\{5F2C8E93-1D7B-4A64-8E3F-B6A0C4D7E915}";

// Removes every trace of the server's type-library registration, machine-wide and per user.
void RemoveServerTypeLibRegistration();

// Puts a copy of the built VexilSrvs.tlb beside the test executable under the executable's own
// name, where the module looks for its type library; removes it and any registration at the end.
class ScopedModuleTypeLib
{
public:
    ScopedModuleTypeLib();
    ~ScopedModuleTypeLib();
    ScopedModuleTypeLib(const ScopedModuleTypeLib&) = delete;
    ScopedModuleTypeLib& operator=(const ScopedModuleTypeLib&) = delete;

    [[nodiscard]] bool copied() const noexcept { return m_copied; }
    [[nodiscard]] const std::wstring& path() const noexcept { return m_path; }

private:
    std::wstring m_path;
    bool m_copied = false;
};

// Sets the per-user registration flag for its lifetime.
class ScopedPerUserRegistration
{
public:
    ScopedPerUserRegistration();
    ~ScopedPerUserRegistration();
    ScopedPerUserRegistration(const ScopedPerUserRegistration&) = delete;
    ScopedPerUserRegistration& operator=(const ScopedPerUserRegistration&) = delete;

private:
    bool m_saved;
};
