#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "host/SecurityDescriptor.h"
#include "host/VexilSrvsModule.h"
#include "support/UniqueHandle.h"
#include "tests/support/PlatformOverride.h"

namespace {

using SidBytes = std::vector<BYTE>;

[[nodiscard]] SidBytes BytesOf(PSID sid)
{
    if (sid == nullptr)
        return {};
    const auto* bytes = static_cast<const BYTE*>(sid);
    return SidBytes(bytes, bytes + ::GetLengthSid(sid));
}

struct TokenIdentity
{
    SidBytes user;
    SidBytes group;
};

// Read straight from the platform, as the code under test is not trusted to read it.
[[nodiscard]] SidBytes ReadTokenSid(HANDLE token, TOKEN_INFORMATION_CLASS infoClass)
{
    DWORD size = 0;
    (void)::GetTokenInformation(token, infoClass, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, infoClass, buffer.data(), size, &size))
        return {};
    if (infoClass == TokenUser)
        return BytesOf(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    return BytesOf(reinterpret_cast<TOKEN_PRIMARY_GROUP*>(buffer.data())->PrimaryGroup);
}

[[nodiscard]] TokenIdentity IdentityOf(HANDLE token)
{
    return {ReadTokenSid(token, TokenUser), ReadTokenSid(token, TokenPrimaryGroup)};
}

[[nodiscard]] TokenIdentity ProcessIdentity()
{
    UniqueKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return {};
    return IdentityOf(token.get());
}

// What a security descriptor says about itself, through the platform's own accessors.
struct DescriptorView
{
    bool present = false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    SidBytes owner;
    SidBytes group;
    BOOL daclPresent = TRUE;
    BOOL saclPresent = TRUE;

    [[nodiscard]] bool Blank() const
    {
        return present && owner.empty() && group.empty() && !daclPresent && !saclPresent;
    }
};

[[nodiscard]] DescriptorView Inspect(PSECURITY_DESCRIPTOR descriptor)
{
    DescriptorView view;
    if (descriptor == nullptr)
        return view;
    view.present = true;
    EXPECT_TRUE(::GetSecurityDescriptorControl(descriptor, &view.control, &view.revision));
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    EXPECT_TRUE(::GetSecurityDescriptorOwner(descriptor, &sid, &defaulted));
    view.owner = BytesOf(sid);
    EXPECT_TRUE(::GetSecurityDescriptorGroup(descriptor, &sid, &defaulted));
    view.group = BytesOf(sid);
    PACL acl = nullptr;
    EXPECT_TRUE(::GetSecurityDescriptorDacl(descriptor, &view.daclPresent, &acl, &defaulted));
    EXPECT_TRUE(::GetSecurityDescriptorSacl(descriptor, &view.saclPresent, &acl, &defaulted));
    return view;
}

// Counts the process-heap buffers taken and given back through the platform table; can make
// the n-th allocation fail.
struct HeapLedger
{
    static inline int allocations = 0;
    static inline int failAt = 0;  // 0: never
    static inline std::set<void*> live;
    static inline int unknownFrees = 0;

    static LPVOID WINAPI Alloc(HANDLE heap, DWORD flags, SIZE_T size)
    {
        if (++allocations == failAt)
            return nullptr;
        void* p = RealPlatform().HeapAlloc(heap, flags, size);
        if (p != nullptr)
            live.insert(p);
        return p;
    }

    static BOOL WINAPI Free(HANDLE heap, DWORD flags, LPVOID p)
    {
        if (p != nullptr && live.erase(p) == 0)
            ++unknownFrees;
        return RealPlatform().HeapFree(heap, flags, p);
    }
};

class CountedHeap
{
public:
    explicit CountedHeap(int failAt = 0)
    {
        HeapLedger::allocations = 0;
        HeapLedger::failAt = failAt;
        HeapLedger::live.clear();
        HeapLedger::unknownFrees = 0;
    }

    [[nodiscard]] static size_t Live() { return HeapLedger::live.size(); }
    [[nodiscard]] static int Allocations() { return HeapLedger::allocations; }
    [[nodiscard]] static bool AllReturned()
    {
        return HeapLedger::live.empty() && HeapLedger::unknownFrees == 0;
    }

private:
    ScopedPlatformOverride<decltype(&::HeapAlloc)> m_alloc{&PlatformApi::HeapAlloc, &HeapLedger::Alloc};
    ScopedPlatformOverride<decltype(&::HeapFree)> m_free{&PlatformApi::HeapFree, &HeapLedger::Free};
};

// Counts process-token opens and passes them through.
struct ProcessTokenOpens
{
    static inline int count = 0;
    static BOOL WINAPI Count(HANDLE process, DWORD access, PHANDLE token)
    {
        ++count;
        return RealPlatform().OpenProcessToken(process, access, token);
    }
};

class CountedProcessTokenOpens
{
public:
    CountedProcessTokenOpens() { ProcessTokenOpens::count = 0; }
    [[nodiscard]] static int Count() { return ProcessTokenOpens::count; }

private:
    ScopedPlatformOverride<decltype(&::OpenProcessToken)> m_override{&PlatformApi::OpenProcessToken,
                                                                     &ProcessTokenOpens::Count};
};

// A thread token that exists but cannot be opened.
BOOL WINAPI ThreadTokenAccessDenied(HANDLE, DWORD, BOOL, PHANDLE token)
{
    *token = nullptr;
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Setting a group (owner) fails; clearing it still works.
BOOL WINAPI GroupCannotBeSet(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL defaulted)
{
    if (group == nullptr)
        return RealPlatform().SetSecurityDescriptorGroup(descriptor, group, defaulted);
    ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
}

BOOL WINAPI OwnerCannotBeSet(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL defaulted)
{
    if (owner == nullptr)
        return RealPlatform().SetSecurityDescriptorOwner(descriptor, owner, defaulted);
    ::SetLastError(ERROR_INVALID_OWNER);
    return FALSE;
}

// The size probe of the primary group answers with an error other than "buffer too small".
BOOL WINAPI GroupInformationDenied(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD size,
                                   PDWORD needed)
{
    if (infoClass == TokenPrimaryGroup) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return RealPlatform().GetTokenInformation(token, infoClass, buffer, size, needed);
}

// The size probe works; reading into the buffer does not.
BOOL WINAPI TokenInformationUnreadable(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer,
                                       DWORD size, PDWORD needed)
{
    if (buffer != nullptr) {
        ::SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    return RealPlatform().GetTokenInformation(token, infoClass, buffer, size, needed);
}

// Impersonates the process's own identity on this thread for the life of the object.
class ScopedSelfImpersonation
{
public:
    ScopedSelfImpersonation() : m_active(::ImpersonateSelf(SecurityImpersonation) != FALSE) {}
    ~ScopedSelfImpersonation()
    {
        if (m_active)
            ::RevertToSelf();
    }
    [[nodiscard]] bool active() const { return m_active; }

private:
    bool m_active;
};

[[nodiscard]] SidBytes WorldSid()
{
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(buffer);
    if (!::CreateWellKnownSid(WinWorldSid, nullptr, buffer, &size))
        return {};
    return SidBytes(buffer, buffer + size);
}

// ---------------------------------------------------------------------------------------------
// CSecurityDescriptor

TEST(SecurityDescriptorFromToken, ThreadWithoutImpersonationTokenTakesOwnerAndGroupFromTheProcessToken)
{
    UniqueKernelHandle threadToken;
    ASSERT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, threadToken.put()));
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN)) << "the test thread must not impersonate";
    const TokenIdentity process = ProcessIdentity();
    ASSERT_FALSE(process.user.empty());
    ASSERT_FALSE(process.group.empty());

    CSecurityDescriptor descriptor;
    ASSERT_EQ(descriptor.InitializeFromThreadToken(FALSE, TRUE), S_OK);

    const DescriptorView view = Inspect(descriptor.get());
    EXPECT_EQ(view.owner, process.user);
    EXPECT_EQ(view.group, process.group);
    EXPECT_EQ(view.revision, static_cast<DWORD>(SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(view.control & (SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED | SE_SELF_RELATIVE), 0);
    EXPECT_FALSE(view.daclPresent);
    EXPECT_FALSE(view.saclPresent);
}

TEST(SecurityDescriptorFromToken, ImpersonatingThreadTakesItsOwnTokenWithoutOpeningTheProcessToken)
{
    ScopedSelfImpersonation impersonation;
    ASSERT_TRUE(impersonation.active());
    UniqueKernelHandle threadToken;
    ASSERT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, threadToken.put()));
    const TokenIdentity thread = IdentityOf(threadToken.get());

    CountedProcessTokenOpens processOpens;
    CSecurityDescriptor descriptor;
    ASSERT_EQ(descriptor.InitializeFromThreadToken(FALSE, TRUE), S_OK);

    const DescriptorView view = Inspect(descriptor.get());
    EXPECT_EQ(view.owner, thread.user);
    EXPECT_EQ(view.group, thread.group);
    EXPECT_EQ(processOpens.Count(), 0);
}

TEST(SecurityDescriptorFromToken, DefaultedFlagMarksOwnerAndGroup)
{
    CSecurityDescriptor descriptor;
    ASSERT_EQ(descriptor.InitializeFromThreadToken(TRUE, TRUE), S_OK);
    EXPECT_EQ(Inspect(descriptor.get()).control & (SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED),
              SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED);
}

TEST(SecurityDescriptorFromToken, ThreadTokenErrorOtherThanNoTokenDoesNotFallBack)
{
    ScopedPlatformOverride denied(&PlatformApi::OpenThreadToken, &ThreadTokenAccessDenied);
    CountedProcessTokenOpens processOpens;
    CountedHeap heap;
    {
        CSecurityDescriptor descriptor;
        EXPECT_EQ(descriptor.InitializeFromThreadToken(FALSE, TRUE), E_ACCESSDENIED);
        EXPECT_TRUE(Inspect(descriptor.get()).Blank());
    }
    EXPECT_EQ(processOpens.Count(), 0);
    EXPECT_TRUE(heap.AllReturned());
}

TEST(SecurityDescriptorFromToken, MissingThreadTokenWithoutFallbackIsReturned)
{
    CountedProcessTokenOpens processOpens;
    CSecurityDescriptor descriptor;
    EXPECT_EQ(descriptor.InitializeFromThreadToken(FALSE, FALSE), HRESULT_FROM_WIN32(ERROR_NO_TOKEN));
    EXPECT_TRUE(Inspect(descriptor.get()).Blank());
    EXPECT_EQ(processOpens.Count(), 0);
}

TEST(SecurityDescriptorFromToken, ProcessTokenThatCannotBeOpenedGivesTheLastError)
{
    ScopedPlatformOverride denied(&PlatformApi::OpenProcessToken, [](HANDLE, DWORD, PHANDLE token) -> BOOL {
        *token = nullptr;
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    });
    CSecurityDescriptor descriptor;
    EXPECT_EQ(descriptor.InitializeFromThreadToken(FALSE, TRUE), E_ACCESSDENIED);
    EXPECT_TRUE(Inspect(descriptor.get()).Blank());
}

TEST(SecurityDescriptorFromToken, EveryAllocationFailureGivesOutOfMemoryAndLeavesNothingHalfBuilt)
{
    int allocationsOfASuccess = 0;
    {
        CountedHeap heap;
        CSecurityDescriptor descriptor;
        ASSERT_EQ(descriptor.InitializeFromThreadToken(FALSE, TRUE), S_OK);
        allocationsOfASuccess = heap.Allocations();
        EXPECT_EQ(heap.Live(), 3u) << "descriptor, owner and group remain; the token's copies are gone";
    }
    // Descriptor, then per SID an information buffer and a copy, then the descriptor's copies.
    ASSERT_EQ(allocationsOfASuccess, 7);

    for (int failAt = 1; failAt <= allocationsOfASuccess; ++failAt) {
        CountedHeap heap(failAt);
        {
            CSecurityDescriptor descriptor;
            EXPECT_EQ(descriptor.InitializeFromThreadToken(FALSE, TRUE), E_OUTOFMEMORY)
                << "allocation " << failAt;
            const DescriptorView view = Inspect(descriptor.get());
            if (failAt == 1)
                EXPECT_FALSE(view.present) << "no descriptor without memory for it";
            else
                EXPECT_TRUE(view.Blank()) << "allocation " << failAt;
        }
        EXPECT_TRUE(heap.AllReturned()) << "allocation " << failAt;
    }
}

TEST(SecurityDescriptorFromToken, InvalidTokenSidGivesInvalidArgAndABlankDescriptor)
{
    ScopedPlatformOverride invalid(&PlatformApi::IsValidSid, [](PSID) -> BOOL { return FALSE; });
    CountedHeap heap;
    {
        CSecurityDescriptor descriptor;
        EXPECT_EQ(descriptor.InitializeFromThreadToken(FALSE, TRUE), E_INVALIDARG);
        EXPECT_TRUE(Inspect(descriptor.get()).Blank());
    }
    EXPECT_TRUE(heap.AllReturned());
}

TEST(SecurityDescriptorFromToken, GroupThatCannotBeSetUndoesTheOwner)
{
    ScopedPlatformOverride failGroup(&PlatformApi::SetSecurityDescriptorGroup, &GroupCannotBeSet);
    CountedHeap heap;
    {
        CSecurityDescriptor descriptor;
        EXPECT_EQ(descriptor.InitializeFromThreadToken(FALSE, TRUE),
                  HRESULT_FROM_WIN32(ERROR_INVALID_SECURITY_DESCR));
        EXPECT_TRUE(Inspect(descriptor.get()).Blank());
        EXPECT_EQ(heap.Live(), 1u) << "only the blank descriptor";
    }
    EXPECT_TRUE(heap.AllReturned());
}

TEST(SecurityDescriptorInitialize, DescriptorThatCannotBeInitialisedIsFreedAndTheLastErrorReturned)
{
    ScopedPlatformOverride fail(&PlatformApi::InitializeSecurityDescriptor,
                                [](PSECURITY_DESCRIPTOR, DWORD) -> BOOL {
                                    ::SetLastError(ERROR_INVALID_PARAMETER);
                                    return FALSE;
                                });
    CountedHeap heap;
    CSecurityDescriptor descriptor;
    EXPECT_EQ(descriptor.Initialize(), E_INVALIDARG);
    EXPECT_EQ(descriptor.get(), nullptr);
    EXPECT_TRUE(heap.AllReturned());
}

TEST(SecurityDescriptorSetOwner, OwnerIsAPrivateCopyReplacedAndRemovedWithoutLeaks)
{
    SidBytes world = WorldSid();
    ASSERT_FALSE(world.empty());
    const TokenIdentity process = ProcessIdentity();
    CountedHeap heap;
    {
        CSecurityDescriptor descriptor;
        ASSERT_EQ(descriptor.Initialize(), S_OK);

        ASSERT_EQ(descriptor.SetOwner(world.data()), S_OK);
        PSID owner = nullptr;
        BOOL defaulted = TRUE;
        ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
        EXPECT_NE(owner, static_cast<PSID>(world.data())) << "the descriptor keeps its own copy";
        EXPECT_FALSE(defaulted);
        std::fill(world.begin(), world.end(), BYTE{0});
        EXPECT_EQ(Inspect(descriptor.get()).owner, WorldSid());

        ASSERT_EQ(descriptor.SetOwner(const_cast<BYTE*>(process.user.data()), TRUE), S_OK);
        EXPECT_EQ(Inspect(descriptor.get()).owner, process.user);
        EXPECT_EQ(heap.Live(), 2u) << "the replaced copy is freed";

        ASSERT_EQ(descriptor.SetOwner(nullptr), S_OK);
        EXPECT_TRUE(Inspect(descriptor.get()).owner.empty());
        EXPECT_EQ(heap.Live(), 1u);
    }
    EXPECT_TRUE(heap.AllReturned());
}

TEST(SecurityDescriptorSetOwner, OwnerThatCannotBeSetIsFreedAndTheLastErrorReturned)
{
    SidBytes world = WorldSid();
    ScopedPlatformOverride failOwner(&PlatformApi::SetSecurityDescriptorOwner, &OwnerCannotBeSet);
    CountedHeap heap;
    {
        CSecurityDescriptor descriptor;
        ASSERT_EQ(descriptor.Initialize(), S_OK);
        EXPECT_EQ(descriptor.SetOwner(world.data()), HRESULT_FROM_WIN32(ERROR_INVALID_OWNER));
        EXPECT_TRUE(Inspect(descriptor.get()).owner.empty());
        EXPECT_EQ(heap.Live(), 1u);
    }
    EXPECT_TRUE(heap.AllReturned());
}

TEST(SecurityDescriptorSetOwner, NothingIsSetBeforeInitialize)
{
    SidBytes world = WorldSid();
    CSecurityDescriptor descriptor;
    EXPECT_EQ(descriptor.SetOwner(world.data()), E_UNEXPECTED);
    EXPECT_EQ(descriptor.SetGroup(world.data()), E_UNEXPECTED);
}

// ---------------------------------------------------------------------------------------------
// GetTokenSids and CopySidAlloc

class ProcessToken : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, m_token.put()));
    }
    [[nodiscard]] HANDLE token() const { return m_token.get(); }

private:
    UniqueKernelHandle m_token;
};

TEST_F(ProcessToken, GetTokenSidsCopiesUserAndPrimaryGroup)
{
    const TokenIdentity expected = IdentityOf(token());
    CountedHeap heap;
    UniquePlatformHeapPtr<void> user;
    UniquePlatformHeapPtr<void> group;
    ASSERT_EQ(GetTokenSids(token(), user.put(), group.put()), S_OK);
    EXPECT_EQ(BytesOf(user.get()), expected.user);
    EXPECT_EQ(BytesOf(group.get()), expected.group);
    EXPECT_EQ(heap.Live(), 2u) << "only the two copies outlive the call";
}

TEST_F(ProcessToken, GetTokenSidsCopiesOnlyWhatIsAskedFor)
{
    CountedHeap heap;
    UniquePlatformHeapPtr<void> group;
    ASSERT_EQ(GetTokenSids(token(), nullptr, group.put()), S_OK);
    EXPECT_EQ(BytesOf(group.get()), IdentityOf(token()).group);
    EXPECT_EQ(heap.Allocations(), 2);
}

TEST(GetTokenSids, HandleThatIsNotATokenGivesTheErrorOfTheSizeProbe)
{
    UniqueKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    CountedHeap heap;
    PSID user = reinterpret_cast<PSID>(1);
    PSID group = reinterpret_cast<PSID>(1);
    EXPECT_EQ(GetTokenSids(event.get(), &user, &group), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(group, nullptr);
    EXPECT_EQ(heap.Allocations(), 0);
}

TEST_F(ProcessToken, GetTokenSidsFailingOnTheGroupFreesTheUserCopy)
{
    ScopedPlatformOverride failGroup(&PlatformApi::GetTokenInformation, &GroupInformationDenied);
    CountedHeap heap;
    PSID user = nullptr;
    PSID group = nullptr;
    EXPECT_EQ(GetTokenSids(token(), &user, &group), E_ACCESSDENIED);
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(group, nullptr);
    EXPECT_EQ(heap.Allocations(), 2) << "the user's buffer and copy were made";
    EXPECT_TRUE(heap.AllReturned());
}

TEST_F(ProcessToken, GetTokenSidsFailingToReadIntoTheBufferGivesTheLastError)
{
    ScopedPlatformOverride failRead(&PlatformApi::GetTokenInformation, &TokenInformationUnreadable);
    CountedHeap heap;
    PSID user = nullptr;
    EXPECT_EQ(GetTokenSids(token(), &user, nullptr), HRESULT_FROM_WIN32(ERROR_BAD_LENGTH));
    EXPECT_EQ(user, nullptr);
    EXPECT_TRUE(heap.AllReturned());
}

TEST_F(ProcessToken, GetTokenSidsRejectsASizeProbeThatSucceeds)
{
    ScopedPlatformOverride succeed(&PlatformApi::GetTokenInformation,
                                   [](HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD needed) -> BOOL {
                                       *needed = 0;
                                       ::SetLastError(ERROR_SUCCESS);
                                       return TRUE;
                                   });
    CountedHeap heap;
    PSID user = nullptr;
    EXPECT_TRUE(FAILED(GetTokenSids(token(), &user, nullptr)));
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(heap.Allocations(), 0);
}

TEST(CopySidAlloc, CopiesAValidSidIntoANewBuffer)
{
    SidBytes world = WorldSid();
    CountedHeap heap;
    UniquePlatformHeapPtr<void> copy;
    ASSERT_EQ(CopySidAlloc(copy.put(), world.data()), S_OK);
    EXPECT_NE(copy.get(), static_cast<PSID>(world.data()));
    EXPECT_EQ(BytesOf(copy.get()), world);
    EXPECT_EQ(heap.Live(), 1u);
}

TEST(CopySidAlloc, RejectsNullOutputAndInvalidSids)
{
    SidBytes world = WorldSid();
    EXPECT_EQ(CopySidAlloc(nullptr, world.data()), E_POINTER);

    CountedHeap heap;
    PSID copy = reinterpret_cast<PSID>(1);
    BYTE notASid[SECURITY_MAX_SID_SIZE] = {};  // revision 0
    EXPECT_EQ(CopySidAlloc(&copy, notASid), E_INVALIDARG);
    EXPECT_EQ(copy, nullptr);
    copy = reinterpret_cast<PSID>(1);
    EXPECT_EQ(CopySidAlloc(&copy, nullptr), E_INVALIDARG);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(heap.Allocations(), 0);
}

TEST(CopySidAlloc, AllocationFailureGivesOutOfMemory)
{
    SidBytes world = WorldSid();
    CountedHeap heap(1);
    PSID copy = reinterpret_cast<PSID>(1);
    EXPECT_EQ(CopySidAlloc(&copy, world.data()), E_OUTOFMEMORY);
    EXPECT_EQ(copy, nullptr);
}

TEST(CopySidAlloc, CopyFailureFreesTheBufferAndGivesTheLastError)
{
    SidBytes world = WorldSid();
    ScopedPlatformOverride failCopy(&PlatformApi::CopySid, [](DWORD, PSID, PSID) -> BOOL {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    });
    CountedHeap heap;
    PSID copy = reinterpret_cast<PSID>(1);
    EXPECT_EQ(CopySidAlloc(&copy, world.data()), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(heap.Allocations(), 1);
    EXPECT_TRUE(heap.AllReturned());
}

// ---------------------------------------------------------------------------------------------
// CVexilSrvsModule::InitializeSecurity

// Everything the COM runtime is given, read while the call is in progress (the descriptor is
// gone once it returns).
struct SecurityCall
{
    static inline int calls = 0;
    static inline HRESULT answer = S_OK;
    static inline DescriptorView descriptor;
    static inline size_t liveBuffers = 0;
    static inline LONG authServiceCount = 0;
    static inline void* authServices = nullptr;
    static inline void* reserved1 = nullptr;
    static inline DWORD authnLevel = 0;
    static inline DWORD impLevel = 0;
    static inline void* authList = nullptr;
    static inline DWORD capabilities = 0;
    static inline void* reserved3 = nullptr;

    static HRESULT WINAPI Capture(PSECURITY_DESCRIPTOR sd, LONG cAuthSvc,
                                  SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void* pReserved1, DWORD dwAuthnLevel,
                                  DWORD dwImpLevel, void* pAuthList, DWORD dwCapabilities, void* pReserved3)
    {
        ++calls;
        descriptor = Inspect(sd);
        liveBuffers = HeapLedger::live.size();
        authServiceCount = cAuthSvc;
        authServices = asAuthSvc;
        reserved1 = pReserved1;
        authnLevel = dwAuthnLevel;
        impLevel = dwImpLevel;
        authList = pAuthList;
        capabilities = dwCapabilities;
        reserved3 = pReserved3;
        return answer;
    }
};

class InitializeSecurity : public testing::Test
{
protected:
    InitializeSecurity()
    {
        SecurityCall::calls = 0;
        SecurityCall::answer = S_OK;
        SecurityCall::descriptor = {};
    }

    CVexilSrvsModule m_module;
    CountedHeap m_heap;
    ScopedPlatformOverride<decltype(&::CoInitializeSecurity)> m_security{&PlatformApi::CoInitializeSecurity,
                                                                        &SecurityCall::Capture};
};

TEST_F(InitializeSecurity, HandsComTheNineDocumentedArguments)
{
    EXPECT_EQ(m_module.InitializeSecurity(), S_OK);
    ASSERT_EQ(SecurityCall::calls, 1);
    EXPECT_TRUE(SecurityCall::descriptor.present);
    EXPECT_EQ(SecurityCall::authServiceCount, -1);
    EXPECT_EQ(SecurityCall::authServices, nullptr);
    EXPECT_EQ(SecurityCall::reserved1, nullptr);
    EXPECT_EQ(SecurityCall::authnLevel, 4u);  // RPC_C_AUTHN_LEVEL_PKT
    EXPECT_EQ(SecurityCall::impLevel, 3u);    // RPC_C_IMP_LEVEL_IMPERSONATE
    EXPECT_EQ(SecurityCall::authList, nullptr);
    EXPECT_EQ(SecurityCall::capabilities, 0u);  // EOAC_NONE
    EXPECT_EQ(SecurityCall::reserved3, nullptr);
}

TEST_F(InitializeSecurity, DescriptorCarriesTheServiceIdentityAndNoAccessLists)
{
    const TokenIdentity process = ProcessIdentity();
    ASSERT_EQ(m_module.InitializeSecurity(), S_OK);
    const DescriptorView& view = SecurityCall::descriptor;
    EXPECT_EQ(view.owner, process.user);
    EXPECT_EQ(view.group, process.group);
    EXPECT_FALSE(view.daclPresent);
    EXPECT_FALSE(view.saclPresent);
    EXPECT_EQ(view.control & (SE_DACL_PRESENT | SE_SACL_PRESENT | SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED), 0);
    EXPECT_EQ(view.revision, static_cast<DWORD>(SECURITY_DESCRIPTOR_REVISION));
}

TEST_F(InitializeSecurity, ReturnsTheAnswerOfComAndFreesEveryBufferEitherWay)
{
    for (const HRESULT answer : {S_OK, S_FALSE, RPC_E_TOO_LATE, E_OUTOFMEMORY}) {
        SecurityCall::answer = answer;
        HeapLedger::live.clear();
        EXPECT_EQ(m_module.InitializeSecurity(), answer);
        EXPECT_EQ(SecurityCall::liveBuffers, 3u) << "descriptor, owner and group during the call";
        EXPECT_TRUE(m_heap.AllReturned()) << std::hex << answer;
    }
}

TEST_F(InitializeSecurity, UnreadableThreadTokenStillCallsComWithABlankDescriptor)
{
    ScopedPlatformOverride denied(&PlatformApi::OpenThreadToken, &ThreadTokenAccessDenied);
    SecurityCall::answer = E_ACCESSDENIED;
    EXPECT_EQ(m_module.InitializeSecurity(), E_ACCESSDENIED);
    ASSERT_EQ(SecurityCall::calls, 1);
    EXPECT_TRUE(SecurityCall::descriptor.Blank());
    EXPECT_TRUE(m_heap.AllReturned());
}

TEST_F(InitializeSecurity, NoMemoryForTheDescriptorStillCallsComWithoutOne)
{
    HeapLedger::failAt = 1;
    EXPECT_EQ(m_module.InitializeSecurity(), S_OK);
    ASSERT_EQ(SecurityCall::calls, 1);
    EXPECT_FALSE(SecurityCall::descriptor.present);
    EXPECT_TRUE(m_heap.AllReturned());
}

}  // namespace
