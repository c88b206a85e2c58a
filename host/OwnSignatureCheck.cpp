#include "host/OwnSignatureCheck.h"

#include "host/SignatureCheck.h"
#include "support/Hresult.h"
#include "support/Platform.h"

void COwnSignatureCheck::Begin() noexcept
{
    m_hThread.reset(Platform().CreateThread(nullptr, 0, &Work, this, 0, nullptr));
}

HRESULT COwnSignatureCheck::Result() noexcept
{
    if (!m_hThread && !m_bEnded)
        return VerifyModuleSignature(::GetModuleHandleW(nullptr));
    Finish();
    return m_bEnded ? m_hrResult : HResultFromWin32(WAIT_TIMEOUT);
}

void COwnSignatureCheck::Finish() noexcept
{
    if (m_hThread && Platform().WaitForSingleObject(m_hThread.get(), kWaitMs) == WAIT_OBJECT_0) {
        m_hThread.reset();
        m_bEnded = true;
    }
}

DWORD WINAPI COwnSignatureCheck::Work(void* pCheck) noexcept
{
    static_cast<COwnSignatureCheck*>(pCheck)->m_hrResult = VerifyModuleSignature(::GetModuleHandleW(nullptr));
    return 0;
}
