#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

HRESULT CVexilSrvsModule::Start(int /*nShowCmd*/) noexcept
{
    return E_NOTIMPL;
}

void CVexilSrvsModule::ServiceMain(DWORD /*dwArgc*/, LPWSTR* /*lpszArgv*/) noexcept
{
}

void CVexilSrvsModule::Handler(DWORD /*dwOpcode*/) noexcept
{
}

void CVexilSrvsModule::OnStop() noexcept
{
}

void WINAPI CVexilSrvsModule::_ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv) noexcept
{
    static_cast<CVexilSrvsModule*>(g_pModule)->ServiceMain(dwArgc, lpszArgv);
}

DWORD WINAPI CVexilSrvsModule::HandlerEx(DWORD dwOpcode, DWORD /*dwEventType*/, void* /*pEventData*/,
                                         void* /*pContext*/) noexcept
{
    static_cast<CVexilSrvsModule*>(g_pModule)->Handler(dwOpcode);
    return NO_ERROR;
}
