#include "host/SecurityDescriptor.h"

#include "support/Hresult.h"
#include "support/Platform.h"

namespace {

using UniqueSid = UniquePlatformHeapPtr<void>;

[[nodiscard]] void* AllocateFromProcessHeap(SIZE_T size) noexcept
{
    return Platform().HeapAlloc(::GetProcessHeap(), 0, size);
}

// The SID at the start of a TokenUser or TokenPrimaryGroup answer.
[[nodiscard]] PSID SidOfTokenInformation(TOKEN_INFORMATION_CLASS infoClass, const void* information) noexcept
{
    return infoClass == TokenUser ? static_cast<const TOKEN_USER*>(information)->User.Sid
                                  : static_cast<const TOKEN_PRIMARY_GROUP*>(information)->PrimaryGroup;
}

// Reads one SID-carrying information class of a token and returns a private copy of the SID.
[[nodiscard]] HRESULT CopyTokenSid(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, UniqueSid& sid) noexcept
{
    // The size probe has to fail for want of a buffer; anything else means the token cannot
    // be read at all.
    DWORD size = 0;
    if (Platform().GetTokenInformation(token, infoClass, nullptr, 0, &size) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        const HRESULT hr = HResultFromLastError();
        return FAILED(hr) ? hr : E_FAIL;  // a probe that "succeeds" without a buffer gives no SID
    }

    UniquePlatformHeapPtr<void> information(AllocateFromProcessHeap(size));
    if (!information)
        return E_OUTOFMEMORY;
    if (!Platform().GetTokenInformation(token, infoClass, information.get(), size, &size))
        return HResultFromLastError();

    return CopySidAlloc(sid.put(), SidOfTokenInformation(infoClass, information.get()));
}

// The SIDs of the token that the thread runs with: its impersonation token, or the process
// token when it has none and falling back is allowed.
[[nodiscard]] HRESULT CopyThreadTokenSids(BOOL bRevertToProcessToken, UniqueSid& user, UniqueSid& group) noexcept
{
    HRESULT hr = S_OK;
    {
        UniqueKernelHandle token;
        if (Platform().OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, token.put()))
            hr = GetTokenSids(token.get(), user.put(), group.put());
        else
            hr = HResultFromLastError();
    }

    // Only a thread that has no token at all falls back; a token that exists but cannot be
    // read must not be silently replaced by the process identity.
    if ((static_cast<ULONG>(hr) & 0xFFFFu) == ERROR_NO_TOKEN && bRevertToProcessToken) {
        UniqueKernelHandle token;
        if (Platform().OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
            hr = GetTokenSids(token.get(), user.put(), group.put());
        else
            hr = HResultFromLastError();
    }
    return hr;
}

}  // namespace

HRESULT CSecurityDescriptor::Initialize() noexcept
{
    m_pSD.reset();
    m_pOwner.reset();
    m_pGroup.reset();
    m_pDACL.reset();
    m_pSACL.reset();

    m_pSD.reset(static_cast<SECURITY_DESCRIPTOR*>(AllocateFromProcessHeap(sizeof(SECURITY_DESCRIPTOR))));
    if (!m_pSD)
        return E_OUTOFMEMORY;
    if (!Platform().InitializeSecurityDescriptor(m_pSD.get(), SECURITY_DESCRIPTOR_REVISION)) {
        const HRESULT hr = HResultFromLastError();
        m_pSD.reset();
        return hr;
    }
    return S_OK;
}

HRESULT CSecurityDescriptor::InitializeFromThreadToken(BOOL bDefaulted, BOOL bRevertToProcessToken) noexcept
{
    VEXIL_RETURN_IF_FAILED(Initialize());

    HRESULT hr = S_OK;
    {
        UniqueSid user;
        UniqueSid group;
        VEXIL_RETURN_IF_FAILED(CopyThreadTokenSids(bRevertToProcessToken, user, group));

        hr = SetOwner(user.get(), bDefaulted);
        if (SUCCEEDED(hr))
            hr = SetGroup(group.get(), bDefaulted);
    }  // the descriptor holds its own copies; the token's go here

    if (FAILED(hr)) {
        // No half-built descriptor: an owner without a group is as blank as it gets.
        (void)Initialize();
    }
    return hr;
}

HRESULT CSecurityDescriptor::SetOwner(PSID pOwnerSid, BOOL bDefaulted) noexcept
{
    if (!m_pSD)
        return E_UNEXPECTED;  // called before a successful Initialize

    // The descriptor lets go of the old copy before that copy is freed.
    if (!Platform().SetSecurityDescriptorOwner(m_pSD.get(), nullptr, bDefaulted))
        return HResultFromLastError();
    m_pOwner.reset();
    if (pOwnerSid == nullptr)
        return S_OK;

    VEXIL_RETURN_IF_FAILED(CopySidAlloc(m_pOwner.put(), pOwnerSid));
    if (!Platform().SetSecurityDescriptorOwner(m_pSD.get(), m_pOwner.get(), bDefaulted)) {
        const HRESULT hr = HResultFromLastError();
        m_pOwner.reset();
        return hr;
    }
    return S_OK;
}

HRESULT CSecurityDescriptor::SetGroup(PSID pGroupSid, BOOL bDefaulted) noexcept
{
    if (!m_pSD)
        return E_UNEXPECTED;  // called before a successful Initialize

    if (!Platform().SetSecurityDescriptorGroup(m_pSD.get(), nullptr, bDefaulted))
        return HResultFromLastError();
    m_pGroup.reset();
    if (pGroupSid == nullptr)
        return S_OK;

    VEXIL_RETURN_IF_FAILED(CopySidAlloc(m_pGroup.put(), pGroupSid));
    if (!Platform().SetSecurityDescriptorGroup(m_pSD.get(), m_pGroup.get(), bDefaulted)) {
        const HRESULT hr = HResultFromLastError();
        m_pGroup.reset();
        return hr;
    }
    return S_OK;
}

HRESULT GetTokenSids(HANDLE hToken, PSID* ppUserSid, PSID* ppGroupSid) noexcept
{
    if (ppUserSid != nullptr)
        *ppUserSid = nullptr;
    if (ppGroupSid != nullptr)
        *ppGroupSid = nullptr;

    // Both copies are kept until both are made, so a failure on the second frees the first.
    UniqueSid user;
    UniqueSid group;
    if (ppUserSid != nullptr)
        VEXIL_RETURN_IF_FAILED(CopyTokenSid(hToken, TokenUser, user));
    if (ppGroupSid != nullptr)
        VEXIL_RETURN_IF_FAILED(CopyTokenSid(hToken, TokenPrimaryGroup, group));

    if (ppUserSid != nullptr)
        *ppUserSid = user.release();
    if (ppGroupSid != nullptr)
        *ppGroupSid = group.release();
    return S_OK;
}

HRESULT CopySidAlloc(PSID* ppDstSid, PSID pSrcSid) noexcept
{
    if (ppDstSid == nullptr)
        return E_POINTER;
    *ppDstSid = nullptr;
    if (pSrcSid == nullptr || !Platform().IsValidSid(pSrcSid))
        return E_INVALIDARG;

    const DWORD length = Platform().GetLengthSid(pSrcSid);
    UniqueSid copy(AllocateFromProcessHeap(length));
    if (!copy)
        return E_OUTOFMEMORY;
    if (!Platform().CopySid(length, copy.get(), pSrcSid))
        return HResultFromLastError();

    *ppDstSid = copy.release();
    return S_OK;
}
