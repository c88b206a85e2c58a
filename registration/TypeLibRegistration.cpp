#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

HRESULT CVexilSrvsModule::LoadModuleTypeLib(BSTR* /*pbstrPath*/, ITypeLib** /*ppTypeLib*/) noexcept
{
    return E_NOTIMPL;
}

HRESULT CVexilSrvsModule::RegisterTypeLibrary() noexcept
{
    return E_NOTIMPL;
}

HRESULT CVexilSrvsModule::UnregisterTypeLibrary() noexcept
{
    return E_NOTIMPL;
}
