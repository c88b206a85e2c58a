#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

HRESULT CVexilSrvsModule::InitializeSecurity() noexcept
{
    return E_NOTIMPL;
}
