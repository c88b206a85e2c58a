#pragma once

// A module object set up for one test of the host's life: a fresh log directory with the log
// switched on, COM initialised on the test thread, a class-object table holding one fake
// class, and the COM and service-status calls of the host answered and recorded by the
// overrides below, with the fakes of FakeComponents.h standing in for the components.

#include <gtest/gtest.h>

#include <list>
#include <optional>
#include <string>
#include <vector>

#include "host/VexilSrvsModule.h"
#include "host/tests/FakeComponents.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestRegistry.h"

// What the overrides saw, and how they answer; reset for every test.
struct HostCalls
{
    HRESULT managerCreateResult = S_OK;
    HRESULT agentCreateResult = S_OK;
    HRESULT registerResult = S_OK;
    HRESULT resumeResult = S_OK;
    HRESULT revokeResult = S_OK;
    HRESULT securityResult = S_OK;
    bool instantSleep = true;

    int managerCreations = 0;
    int agentCreations = 0;
    int sleeps = 0;
    std::vector<DWORD> sleepDurations;
    DWORD registrationContext = 0;
    DWORD registrationFlags = 0;
    std::vector<std::string> order;  // security, register, resume, revoke, status:<state>, event:<text>
    std::vector<SERVICE_STATUS> statusReports;
};

extern HostCalls g_calls;
extern FakeManager* g_fakeManager;
extern FakeCrashDumpAgent* g_fakeAgent;

class HostTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // The texts the module wrote to its diagnostic log, in order.
    [[nodiscard]] std::vector<std::string> LogTexts() const;

    // Ends an idle monitor the test left waiting, and takes its quit message.
    void EndIdleMonitor();

    // Makes the next message loop of this thread end as soon as it starts.
    static void QueueQuitMessage();
    // Whether a quit message waits in this thread's queue (taken out if so).
    [[nodiscard]] static bool TakeQuitMessage();

    // Sets a DWORD parameter of the host for the rest of the test.
    void SetParam(const wchar_t* name, DWORD value);
    void RemoveParam(const wchar_t* name);

    // The order entries that start with 'prefix'.
    [[nodiscard]] static std::vector<std::string> Calls(const std::string& prefix);

    FakeManager m_manager;
    FakeCrashDumpAgent m_agent;
    FakeClassObject m_classObject;
    std::wstring m_logDirectory;
    std::wstring m_savedLogDir;
    std::optional<CVexilSrvsModule> m_module;
    ClassObjectCache m_cache{nullptr, 0};
    ClassObjectEntry m_entry{};
    ClassObjectEntry* m_table[1] = {&m_entry};
    bool m_comInitialized = false;

private:
    std::optional<ScopedRegistryValue> m_logEnabled;
    std::list<ScopedRegistryValue> m_params;
    std::list<ScopedRegistryValueAbsent> m_removedParams;
    ScopedPlatformOverride<decltype(&::CoCreateInstance)> m_create;
    ScopedPlatformOverride<decltype(&::CoRegisterClassObject)> m_register;
    ScopedPlatformOverride<decltype(&::CoResumeClassObjects)> m_resume;
    ScopedPlatformOverride<decltype(&::CoRevokeClassObject)> m_revoke;
    ScopedPlatformOverride<decltype(&::CoInitializeSecurity)> m_security;
    ScopedPlatformOverride<decltype(&::SetServiceStatus)> m_status;
    ScopedPlatformOverride<decltype(&::ReportEventW)> m_report;
    ScopedPlatformOverride<decltype(&::Sleep)> m_sleep;

public:
    HostTest();
};
