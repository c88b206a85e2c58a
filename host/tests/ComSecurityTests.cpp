#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <set>
#include <string>

#include "host/SecurityDescriptor.h"
#include "host/VexilSrvsModule.h"
#include "support/UniqueHandle.h"
#include "tests/support/PlatformOverride.h"

namespace {

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text))
        return L"none";
    const std::wstring result = text;
    ::LocalFree(text);
    return result;
}

// Control flags (defaulted owner or group, DACL or SACL present), revision, owner and group.
std::wstring Describe(PSECURITY_DESCRIPTOR sd)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = FALSE;
    if (sd == nullptr || !::GetSecurityDescriptorControl(sd, &control, &revision))
        return L"absent";
    ::GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    ::GetSecurityDescriptorGroup(sd, &group, &defaulted);
    return std::to_wstring(control) + L" " + std::to_wstring(revision) + L" " + SidText(owner) + L" " + SidText(group);
}

std::wstring ProcessTokenSid(TOKEN_INFORMATION_CLASS infoClass)
{
    UniqueKernelHandle token;
    alignas(8) BYTE information[256] = {};
    DWORD size = 0;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put());
    ::GetTokenInformation(token.get(), infoClass, information, sizeof(information), &size);
    return SidText(*reinterpret_cast<PSID*>(information));  // TOKEN_USER and TOKEN_PRIMARY_GROUP begin with it
}

// Every platform call the descriptor makes is counted; the one numbered g_failAt fails as that
// call fails, and g_expected is the code the build must then give.
int g_failAt = 0, g_calls = 0;
HRESULT g_expected = S_OK;
std::set<void*> g_live;  // process-heap buffers taken through the table and not yet freed
std::wstring g_comSaw;
size_t g_liveDuringCom = 0;

bool Fails(const char* call)
{
    if (++g_calls != g_failAt)
        return false;
    g_expected = strcmp(call, "HeapAlloc") == 0    ? E_OUTOFMEMORY
                 : strcmp(call, "IsValidSid") == 0 ? E_INVALIDARG
                                                   : E_ACCESSDENIED;
    ::SetLastError(ERROR_ACCESS_DENIED);
    return true;
}

#define VEXIL_FAILABLE(call)                                                                \
    ScopedPlatformOverride<decltype(&::call)> m_##call{&PlatformApi::call, [](auto... arguments) { \
        return Fails(#call) ? FALSE : RealPlatform().call(arguments...);                   \
    }};

class ComSecurity : public ::testing::Test
{
protected:
    VEXIL_FAILABLE(InitializeSecurityDescriptor) VEXIL_FAILABLE(OpenThreadToken) VEXIL_FAILABLE(OpenProcessToken)
    VEXIL_FAILABLE(GetTokenInformation) VEXIL_FAILABLE(IsValidSid) VEXIL_FAILABLE(CopySid)
    VEXIL_FAILABLE(SetSecurityDescriptorOwner) VEXIL_FAILABLE(SetSecurityDescriptorGroup)
    ScopedPlatformOverride<decltype(&::HeapAlloc)> m_alloc{&PlatformApi::HeapAlloc,
        [](HANDLE heap, DWORD flags, SIZE_T size) {
            void* p = Fails("HeapAlloc") ? nullptr : RealPlatform().HeapAlloc(heap, flags, size);
            return p != nullptr ? *g_live.insert(p).first : nullptr;
        }};
    ScopedPlatformOverride<decltype(&::HeapFree)> m_free{&PlatformApi::HeapFree,
        [](HANDLE heap, DWORD flags, LPVOID p) {
            EXPECT_TRUE(p == nullptr || g_live.erase(p) == 1) << "freed a buffer not taken";
            return RealPlatform().HeapFree(heap, flags, p);
        }};
    ScopedPlatformOverride<decltype(&::CoInitializeSecurity)> m_com{&PlatformApi::CoInitializeSecurity,
        [](PSECURITY_DESCRIPTOR sd, LONG services, SOLE_AUTHENTICATION_SERVICE* list, void* reserved1,
           DWORD authentication, DWORD impersonation, void* authList, DWORD capabilities, void* reserved3) {
            g_comSaw = Describe(sd);
            g_liveDuringCom = g_live.size();
            EXPECT_TRUE(services == -1 && !list && !reserved1 && !authList && !reserved3);
            EXPECT_EQ(capabilities, static_cast<DWORD>(EOAC_NONE));
            EXPECT_TRUE(authentication == RPC_C_AUTHN_LEVEL_PKT && impersonation == RPC_C_IMP_LEVEL_IMPERSONATE);
            return RPC_E_TOO_LATE;
        }};
};

// Without an impersonation token the descriptor carries the process token's user and group,
// not marked as defaulted, and no DACL or SACL. Whichever call fails, the descriptor is left
// blank (absent when it could not even be made), every buffer is given back, and COM is asked
// all the same: only its answer counts. A thread token that cannot be opened is never replaced
// by the process token.
TEST_F(ComSecurity, ComGetsTheServiceIdentityOrABlankDescriptorWhicheverCallFailsAndDecidesAlone)
{
    const std::wstring full = L"0 1 " + ProcessTokenSid(TokenUser) + L" " + ProcessTokenSid(TokenPrimaryGroup);
    CVexilSrvsModule module;
    for (g_failAt = 1; g_failAt < 100; ++g_failAt) {
        SCOPED_TRACE(g_failAt);
        g_calls = 0;
        g_expected = S_OK;
        HRESULT hr = S_OK;
        std::wstring described;
        {
            CSecurityDescriptor descriptor;
            hr = descriptor.InitializeFromThreadToken(FALSE, TRUE);
            described = Describe(descriptor.get());
        }
        const std::wstring built = g_expected == S_OK ? full : g_failAt <= 2 ? L"absent" : L"0 1 none none";
        EXPECT_EQ(hr, g_expected);
        EXPECT_EQ(described, built);
        EXPECT_TRUE(g_live.empty());
        const int callsOfOneBuild = g_calls;
        g_calls = 0;
        EXPECT_EQ(module.InitializeSecurity(), RPC_E_TOO_LATE);
        EXPECT_EQ(g_calls, callsOfOneBuild);
        EXPECT_EQ(g_comSaw, built);
        EXPECT_EQ(g_liveDuringCom, built == full ? 3u : built == L"absent" ? 0u : 1u);  // descriptor, owner, group
        EXPECT_TRUE(g_live.empty()) << "every buffer is given back";
        if (g_expected == S_OK)
            break;  // nothing left to fail
    }
}

}  // namespace
