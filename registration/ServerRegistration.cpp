#include "registration/ServerRegistration.h"

#include <cwchar>

#include "host/VexilSrvsModule.h"
#include "registration/RegistrationText.h"
#include "registration/ScriptRegistrar.h"
#include "support/Hresult.h"
#include "support/Platform.h"
#include "support/UniqueHandle.h"

namespace {

const ScriptReplacement kAppIdReplacements[] = {
    {kAppIdReplacementName, kAppIdString},
    {nullptr, nullptr},
};

void DeleteAppIdModeValues(HKEY appIdKey) noexcept
{
    // Missing values are the normal case on a first registration.
    Platform().RegDeleteValueW(appIdKey, kLocalServiceValue);
    Platform().RegDeleteValueW(appIdKey, kAppIdRunAsValue);
}

void SetStringValue(HKEY key, const wchar_t* name, const wchar_t* text) noexcept
{
    const DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
    Platform().RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

// The host's classes declare no component categories, so for them this step touches nothing.
// A class that did declare some would need the component-category manager, which this host
// does not carry: it fails rather than leaving the categories out unnoticed.
HRESULT UpdateClassCategories(const ClassObjectEntry& entry) noexcept
{
    const CategoryMapEntry* categories =
        entry.pfnGetCategoryMap != nullptr ? entry.pfnGetCategoryMap() : nullptr;
    return categories == nullptr ? S_OK : E_NOTIMPL;
}

HRESULT UpdateClassScript(const ClassObjectEntry& entry, BOOL bRegister) noexcept
{
    return entry.pfnUpdateRegistry != nullptr ? entry.pfnUpdateRegistry(bRegister) : S_OK;
}

// Registration writes each class's entries, then its categories; removal takes the categories
// away first, so no category key is left under a class key that is gone.
HRESULT UpdateClassRegistration(ClassObjectSpan classObjects, BOOL bRegister) noexcept
{
    for (ClassObjectEntry* entry : classObjects) {
        if (entry == nullptr)
            continue;
        if (bRegister) {
            VEXIL_RETURN_IF_FAILED(UpdateClassScript(*entry, TRUE));
            VEXIL_RETURN_IF_FAILED(UpdateClassCategories(*entry));
        } else {
            VEXIL_RETURN_IF_FAILED(UpdateClassCategories(*entry));
            VEXIL_RETURN_IF_FAILED(UpdateClassScript(*entry, FALSE));
        }
    }
    return S_OK;
}

}  // namespace

HRESULT WriteAppIdModeValue(const wchar_t* serviceName) noexcept
{
    ReportProgress(kRegisterAppIdStep3);
    UniqueRegKey appIdParent;
    const LONG openError =
        Platform().RegOpenKeyExW(HKEY_CLASSES_ROOT, kAppIdKeyName, 0, KEY_WRITE, appIdParent.put());
    if (openError != ERROR_SUCCESS)
        return HResultFromWin32(openError);

    ReportProgress(kRegisterAppIdStep4);
    UniqueRegKey appIdKey;
    const LONG createError = Platform().RegCreateKeyExW(appIdParent.get(), kAppIdString, 0, nullptr,
                                                        REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                                        nullptr, appIdKey.put(), nullptr);
    if (createError != ERROR_SUCCESS)
        return HResultFromWin32(createError);

    ReportProgress(kRegisterAppIdStep5);
    DeleteAppIdModeValues(appIdKey.get());
    if (serviceName != nullptr)
        SetStringValue(appIdKey.get(), kLocalServiceValue, serviceName);
    else
        SetStringValue(appIdKey.get(), kAppIdRunAsValue, kAppIdRunAsInteractiveUser);
    return S_OK;
}

HRESULT CVexilSrvsModule::RegisterAppId(bool bService) noexcept
{
    // A service entry left from an earlier registration would start the old binary path, or
    // start the server as a service after a plain registration: it always goes first.
    ReportProgress(kRegisterAppIdStep1);
    if (!Uninstall())
        return E_FAIL;

    ReportProgress(kRegisterAppIdStep2);
    VEXIL_RETURN_IF_FAILED(UpdateRegistryFromResource(IDR_APPID, TRUE, kAppIdReplacements));

    VEXIL_RETURN_IF_FAILED(WriteAppIdModeValue(bService ? m_szServiceName : nullptr));
    if (!bService)
        return S_OK;

    // The entry is created only now that "LocalService" tells a started host it is the service.
    ReportProgress(kRegisterAppIdStep6);
    return Install() ? S_OK : E_FAIL;
}

HRESULT CVexilSrvsModule::UnregisterAppId() noexcept
{
    if (!Uninstall())
        return E_FAIL;

    {
        UniqueRegKey appIdParent;
        const LONG parentError =
            Platform().RegOpenKeyExW(HKEY_CLASSES_ROOT, kAppIdKeyName, 0, KEY_WRITE, appIdParent.put());
        if (parentError != ERROR_SUCCESS)
            return HResultFromWin32(parentError);
        UniqueRegKey appIdKey;
        const LONG keyError =
            Platform().RegOpenKeyExW(appIdParent.get(), kAppIdString, 0, KEY_WRITE, appIdKey.put());
        if (keyError != ERROR_SUCCESS)
            return HResultFromWin32(keyError);
        // The script knows only its own entries; the mode values are written by code.
        DeleteAppIdModeValues(appIdKey.get());
    }

    return UpdateRegistryFromResource(IDR_APPID, FALSE, kAppIdReplacements);
}

HRESULT CVexilSrvsModule::RegisterServer() noexcept
{
    VEXIL_RETURN_IF_FAILED(UpdateClassRegistration(m_classObjects, TRUE));
    return RegisterTypeLibrary();
}

HRESULT CVexilSrvsModule::UnregisterServer() noexcept
{
    VEXIL_RETURN_IF_FAILED(UpdateClassRegistration(m_classObjects, FALSE));
    return UnregisterTypeLibrary();
}

HRESULT CVexilSrvsModule::AddCommonScriptReplacements(IScriptRegistrar* pRegistrar) noexcept
{
    return pRegistrar->AddReplacement(L"APPID", kAppIdString);
}
