#include "host/SignatureCheck.h"

HRESULT VerifyPublisherSignature(const wchar_t* /*path*/) noexcept
{
    return E_NOTIMPL;
}

HRESULT VerifyModuleSignature(HMODULE /*module*/) noexcept
{
    return E_NOTIMPL;
}
