#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

HRESULT CVexilSrvsModule::Run(int /*nShowCmd*/) noexcept
{
    return E_NOTIMPL;
}
