#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "host/VexilSrvsModule.h"
#include "registration/RegistrationText.h"
#include "registration/ServerRegistration.h"
#include "registration/tests/InstallerTestSupport.h"
#include "tests/support/TestRegistry.h"

namespace {

using Texts = std::vector<std::wstring>;

constexpr wchar_t kAppIdKey[] = L"AppID\\{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";
constexpr wchar_t kAppIdExeKey[] = L"AppID\\VexilSrvs.EXE";

// The AppID entries of the server are absent at the start and removed at the end.
class AppIdKeysRemoved
{
public:
    AppIdKeysRemoved() { Remove(); }
    ~AppIdKeysRemoved() { Remove(); }
    AppIdKeysRemoved(const AppIdKeysRemoved&) = delete;
    AppIdKeysRemoved& operator=(const AppIdKeysRemoved&) = delete;

private:
    static void Remove()
    {
        DeleteKeyTree(HKEY_CLASSES_ROOT, kAppIdKey);
        DeleteKeyTree(HKEY_CLASSES_ROOT, kAppIdExeKey);
    }
};

// The embedded scripts cannot be found, so applying one fails and the steps after it are seen
// not to run.
HRSRC WINAPI NoScriptResource(HMODULE, LPCWSTR, LPCWSTR)
{
    ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

SC_HANDLE WINAPI RefuseOpenForRemoval(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    if (access == (DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return RealPlatform().OpenServiceW(manager, name, access);
}

LSTATUS WINAPI RefuseKeyOpen(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY result)
{
    *result = nullptr;
    return ERROR_ACCESS_DENIED;
}

LSTATUS WINAPI RefuseKeyCreation(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES, PHKEY result,
                                 LPDWORD)
{
    *result = nullptr;
    return ERROR_ACCESS_DENIED;
}

std::optional<RegistryValue> AppIdValue(const wchar_t* name)
{
    return ReadValue(HKEY_CLASSES_ROOT, kAppIdKey, name);
}

void SetAppIdValue(const wchar_t* name, const std::wstring& text)
{
    UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CLASSES_ROOT, kAppIdKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

class AppIdRegistration : public ::testing::Test
{
protected:
    ServiceCleanup m_services;
    AppIdKeysRemoved m_keys;
    ChannelRecorder m_channels;
    CVexilSrvsModule m_module;
};

// ---- The mode values written by code --------------------------------------------------------

TEST_F(AppIdRegistration, ServiceModeWritesLocalServiceAndRemovesRunAs)
{
    SetAppIdValue(L"RunAs", L"Interactive User");

    ASSERT_EQ(WriteAppIdModeValue(m_module.m_szServiceName), S_OK);

    const auto localService = AppIdValue(L"LocalService");
    ASSERT_TRUE(localService.has_value());
    EXPECT_EQ(localService->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(localService->data.size(), sizeof(L"VexilSrvs"));
    EXPECT_EQ(localService->AsString(), L"VexilSrvs");
    EXPECT_FALSE(AppIdValue(L"RunAs").has_value());
    EXPECT_EQ(ChannelRecorder::Progress(), (Texts{kRegisterAppIdStep3, kRegisterAppIdStep4, kRegisterAppIdStep5}));
}

TEST_F(AppIdRegistration, LocalServerModeRunsAsTheInteractiveUserAndRemovesLocalService)
{
    SetAppIdValue(L"LocalService", L"VexilSrvs");

    ASSERT_EQ(WriteAppIdModeValue(nullptr), S_OK);

    const auto runAs = AppIdValue(L"RunAs");
    ASSERT_TRUE(runAs.has_value());
    EXPECT_EQ(runAs->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(runAs->data.size(), 34u);
    EXPECT_EQ(runAs->AsString(), L"Interactive User");
    EXPECT_FALSE(AppIdValue(L"LocalService").has_value());
}

TEST_F(AppIdRegistration, ModeValueReturnsRegistryFailuresAsHresults)
{
    {
        ScopedPlatformOverride refuse(&PlatformApi::RegOpenKeyExW, &RefuseKeyOpen);
        EXPECT_EQ(WriteAppIdModeValue(nullptr), static_cast<HRESULT>(0x80070005));
        EXPECT_EQ(ChannelRecorder::Progress(), Texts{kRegisterAppIdStep3});
    }
    {
        ScopedPlatformOverride refuse(&PlatformApi::RegCreateKeyExW, &RefuseKeyCreation);
        EXPECT_EQ(WriteAppIdModeValue(nullptr), static_cast<HRESULT>(0x80070005));
        EXPECT_EQ(ChannelRecorder::Progress(),
                  (Texts{kRegisterAppIdStep3, kRegisterAppIdStep3, kRegisterAppIdStep4}));
    }
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kAppIdKey));
}

// ---- RegisterAppId --------------------------------------------------------------------------

TEST_F(AppIdRegistration, RegisterAppIdRemovesTheServiceFirstAndStopsAtAFailingScript)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    SetAppIdValue(L"RunAs", L"Interactive User");
    ScopedPlatformOverride noScripts(&PlatformApi::FindResourceW, &NoScriptResource);

    EXPECT_TRUE(FAILED(m_module.RegisterAppId(true)));

    EXPECT_EQ(ChannelRecorder::Progress(),
              (Texts{kRegisterAppIdStep1, kUninstallStep1, kUninstallStep2, kUninstallStep3, kUninstallStep4,
                     kUninstallStep5, kUninstallStep6, kUninstallGoodEnd, kRegisterAppIdStep2}));
    EXPECT_FALSE(TestServiceExists());
    // Nothing after the script ran: the old mode value stays, no new one and no service entry.
    EXPECT_TRUE(AppIdValue(L"RunAs").has_value());
    EXPECT_FALSE(AppIdValue(L"LocalService").has_value());
}

TEST_F(AppIdRegistration, RegisterAppIdFailsWhenTheServiceCannotBeRemoved)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    ScopedPlatformOverride refuse(&PlatformApi::OpenServiceW, &RefuseOpenForRemoval);

    EXPECT_EQ(m_module.RegisterAppId(false), E_FAIL);

    EXPECT_EQ(ChannelRecorder::Progress(),
              (Texts{kRegisterAppIdStep1, kUninstallStep1, kUninstallStep2, kUninstallStep3}));
    EXPECT_TRUE(TestServiceExists());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kAppIdKey));
}

// ---- UnregisterAppId ------------------------------------------------------------------------

TEST_F(AppIdRegistration, UnregisterAppIdRemovesTheServiceAndTheModeValuesBeforeTheScript)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    SetAppIdValue(L"LocalService", L"VexilSrvs");
    SetAppIdValue(L"RunAs", L"Interactive User");
    ScopedPlatformOverride noScripts(&PlatformApi::FindResourceW, &NoScriptResource);

    EXPECT_TRUE(FAILED(m_module.UnregisterAppId()));

    EXPECT_FALSE(TestServiceExists());
    EXPECT_FALSE(AppIdValue(L"LocalService").has_value());
    EXPECT_FALSE(AppIdValue(L"RunAs").has_value());
    EXPECT_EQ(ChannelRecorder::Progress().back(), kUninstallGoodEnd) << "no AppID texts of its own";
}

TEST_F(AppIdRegistration, UnregisterAppIdWithoutTheAppIdKeyEndsWithFileNotFoundAndAppliesNoScript)
{
    UniqueRegKey exeKey;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CLASSES_ROOT, kAppIdExeKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, exeKey.put(),
                                nullptr),
              ERROR_SUCCESS);
    exeKey.reset();

    EXPECT_EQ(m_module.UnregisterAppId(), static_cast<HRESULT>(0x80070002));

    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kAppIdExeKey)) << "the AppID script was applied";
    EXPECT_EQ(ChannelRecorder::Progress(), Texts{kUninstallStep1});
}

TEST_F(AppIdRegistration, UnregisterAppIdFailsWhenTheServiceCannotBeRemoved)
{
    ASSERT_TRUE(m_services.CreateFakeService());
    SetAppIdValue(L"LocalService", L"VexilSrvs");
    ScopedPlatformOverride refuse(&PlatformApi::OpenServiceW, &RefuseOpenForRemoval);

    EXPECT_EQ(m_module.UnregisterAppId(), E_FAIL);

    EXPECT_TRUE(TestServiceExists());
    EXPECT_TRUE(AppIdValue(L"LocalService").has_value());
}

// ---- Class registration step ----------------------------------------------------------------

constexpr CLSID kTestClassId = {0x7B3E1A94, 0x2C5D, 0x4E86, {0x9F, 0x10, 0xA2, 0xB4, 0xC6, 0xD8, 0xE0, 0x13}};

struct ClassUpdate
{
    BOOL bRegister;
    bool typeLibRegisteredAtTheTime;
};
std::vector<ClassUpdate> g_classUpdates;
std::vector<std::wstring> g_classSteps;  // "entries" and "categories", in the order asked
HRESULT g_classUpdateResult = S_OK;

HRESULT WINAPI RecordClassUpdate(BOOL bRegister)
{
    g_classUpdates.push_back({bRegister, KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey)});
    g_classSteps.emplace_back(L"entries");
    return g_classUpdateResult;
}

const CategoryMapEntry* WINAPI NoCategories()
{
    g_classSteps.emplace_back(L"categories");
    return nullptr;
}

class ClassRegistration : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_typeLib.copied());
        g_classUpdates.clear();
        g_classSteps.clear();
        g_classUpdateResult = S_OK;
        m_module.m_classObjects = ClassObjectSpan(m_table);
    }

    ScopedModuleTypeLib m_typeLib;
    CVexilSrvsModule m_module;
    ClassObjectEntry m_entry{&kTestClassId, &RecordClassUpdate, nullptr, nullptr, nullptr, nullptr, &NoCategories,
                             nullptr};
    ClassObjectEntry* const m_table[3] = {nullptr, &m_entry, nullptr};
};

TEST_F(ClassRegistration, RegisterServerWritesTheClassEntriesThenTheTypeLibrary)
{
    ASSERT_EQ(m_module.RegisterServer(), S_OK);

    ASSERT_EQ(g_classUpdates.size(), 1u) << "empty slots of the table are skipped";
    EXPECT_EQ(g_classUpdates[0].bRegister, TRUE);
    EXPECT_FALSE(g_classUpdates[0].typeLibRegisteredAtTheTime);
    EXPECT_EQ(g_classSteps, (std::vector<std::wstring>{L"entries", L"categories"}));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
    // The class declares no categories: nothing is written below its key.
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{7B3E1A94-2C5D-4E86-9F10-A2B4C6D8E013}"));
}

TEST_F(ClassRegistration, UnregisterServerRemovesTheClassEntriesThenTheTypeLibrary)
{
    ASSERT_EQ(m_module.RegisterServer(), S_OK);
    g_classUpdates.clear();
    g_classSteps.clear();

    ASSERT_EQ(m_module.UnregisterServer(), S_OK);

    EXPECT_EQ(g_classSteps, (std::vector<std::wstring>{L"categories", L"entries"}));

    ASSERT_EQ(g_classUpdates.size(), 1u);
    EXPECT_EQ(g_classUpdates[0].bRegister, FALSE);
    EXPECT_TRUE(g_classUpdates[0].typeLibRegisteredAtTheTime);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
}

TEST_F(ClassRegistration, RegisterServerStopsAtAFailingClass)
{
    g_classUpdateResult = E_ACCESSDENIED;

    EXPECT_EQ(m_module.RegisterServer(), E_ACCESSDENIED);

    EXPECT_EQ(g_classSteps, std::vector<std::wstring>{L"entries"}) << "no categories for a failed class";
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
}

TEST_F(ClassRegistration, UnregisterServerStopsAtAFailingClass)
{
    ASSERT_EQ(m_module.RegisterServer(), S_OK);
    g_classUpdateResult = E_ACCESSDENIED;

    EXPECT_EQ(m_module.UnregisterServer(), E_ACCESSDENIED);

    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
}

TEST_F(ClassRegistration, AnEmptyTableLeavesOnlyTheTypeLibrary)
{
    m_module.m_classObjects = ClassObjectSpan();

    ASSERT_EQ(m_module.RegisterServer(), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
    ASSERT_EQ(m_module.UnregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
    EXPECT_TRUE(g_classUpdates.empty());
}

}  // namespace
