#include "registration/ScriptRegistrar.h"

#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

HRESULT CVexilSrvsModule::RegisterAppId(bool /*bService*/) noexcept
{
    return E_NOTIMPL;
}

HRESULT CVexilSrvsModule::UnregisterAppId() noexcept
{
    return E_NOTIMPL;
}

HRESULT CVexilSrvsModule::RegisterServer() noexcept
{
    return E_NOTIMPL;
}

HRESULT CVexilSrvsModule::UnregisterServer() noexcept
{
    return E_NOTIMPL;
}

HRESULT CVexilSrvsModule::AddCommonScriptReplacements(IScriptRegistrar* pRegistrar) noexcept
{
    return pRegistrar->AddReplacement(L"APPID", kAppIdString);
}
