#pragma once

// The security descriptor the host hands to the COM runtime in service mode: owner and group
// of the identity the service runs under, and no access-control list at all, so that every
// authenticated caller is granted access.

#include <windows.h>

#include "support/UniqueHandle.h"

// An absolute security descriptor together with the buffers it points to. Every buffer comes
// from the process heap and is owned here, so destroying the object frees all of them.
class CSecurityDescriptor
{
public:
    CSecurityDescriptor() noexcept = default;
    CSecurityDescriptor(const CSecurityDescriptor&) = delete;
    CSecurityDescriptor& operator=(const CSecurityDescriptor&) = delete;

    // Frees whatever is held and starts a new, blank descriptor (no owner, group or lists).
    [[nodiscard]] HRESULT Initialize() noexcept;

    // A new descriptor whose owner and group are the user and primary group of the calling
    // thread's token; without an impersonation token, of the process token when
    // bRevertToProcessToken is set. On failure the descriptor is left blank.
    [[nodiscard]] HRESULT InitializeFromThreadToken(BOOL bDefaulted = FALSE,
                                                    BOOL bRevertToProcessToken = TRUE) noexcept;

    // Points the descriptor at a private copy of the SID; a null SID removes the owner (group).
    [[nodiscard]] HRESULT SetOwner(PSID pOwnerSid, BOOL bDefaulted = FALSE) noexcept;
    [[nodiscard]] HRESULT SetGroup(PSID pGroupSid, BOOL bDefaulted = FALSE) noexcept;

    // The descriptor itself; null before Initialize, or when its allocation failed.
    [[nodiscard]] PSECURITY_DESCRIPTOR get() const noexcept { return m_pSD.get(); }

private:
    UniquePlatformHeapPtr<SECURITY_DESCRIPTOR> m_pSD;
    UniquePlatformHeapPtr<void> m_pOwner;
    UniquePlatformHeapPtr<void> m_pGroup;
    UniquePlatformHeapPtr<ACL> m_pDACL;  // never filled: the descriptor carries no DACL
    UniquePlatformHeapPtr<ACL> m_pSACL;  // never filled: the descriptor carries no SACL
};

// Copies the user SID (TokenUser) and the primary group SID (TokenPrimaryGroup) of a token.
// Either output may be null when that SID is not wanted. The copies come from the process
// heap through Platform().HeapAlloc; the caller frees them (UniquePlatformHeapPtr). On failure
// both outputs are null.
[[nodiscard]] HRESULT GetTokenSids(HANDLE hToken, PSID* ppUserSid, PSID* ppGroupSid) noexcept;

// Copies a valid SID into a new process-heap buffer that the caller frees.
[[nodiscard]] HRESULT CopySidAlloc(PSID* ppDstSid, PSID pSrcSid) noexcept;
