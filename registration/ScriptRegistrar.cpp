#include "registration/ScriptRegistrar.h"

#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

HRESULT CVexilSrvsModule::UpdateRegistryFromResource(UINT /*nResId*/, BOOL /*bRegister*/,
                                                     const ScriptReplacement* /*pMapEntries*/) noexcept
{
    return E_NOTIMPL;
}
