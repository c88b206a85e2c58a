#include <gtest/gtest.h>

#include <windows.h>
#include <wintrust.h>

#include <string>

#include "host/SignatureCheck.h"
#include "support/UniqueHandle.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestProcess.h"

// The files below are made by the build when it signs (see cmake/VexilSigning.cmake): the
// sample module signed by the expected publisher, and its unsigned, tampered and
// wrongly-published copies, all in the output folder.

namespace {

constexpr wchar_t kSigned[] = L"VexilSignatureSample.dll";
constexpr wchar_t kUnsigned[] = L"VexilSignatureSample-Unsigned.dll";
constexpr wchar_t kTampered[] = L"VexilSignatureSample-Tampered.dll";
constexpr wchar_t kOtherPublisher[] = L"VexilSignatureSample-OtherPublisher.dll";

class SignedFixtures : public testing::Test
{
protected:
    void SetUp() override
    {
#if !defined(VEXIL_SIGNATURE_FIXTURES)
        GTEST_SKIP() << "the build was configured without signing (VEXIL_SIGNING_CERT and "
                        "VEXIL_SIGNING_KEY are empty), so there are no signed files to check; "
                        "scripts/test.sh configures signing with a test certificate";
#endif
    }
};

// Counts the verify and close calls that reach the trust provider, passing both through.
struct TrustCalls
{
    static inline int verifies = 0;
    static inline int closes = 0;
    static inline LONG forcedAnswer = ERROR_SUCCESS;  // non-zero: answer verify with it

    static LONG WINAPI Count(HWND window, GUID* action, void* data)
    {
        auto* trust = static_cast<WINTRUST_DATA*>(data);
        if (trust->dwStateAction == WTD_STATEACTION_VERIFY) {
            ++verifies;
            if (forcedAnswer != ERROR_SUCCESS)
                return forcedAnswer;
        } else if (trust->dwStateAction == WTD_STATEACTION_CLOSE) {
            ++closes;
        }
        return RealPlatform().WinVerifyTrust(window, action, data);
    }
};

class CountedTrustCalls
{
public:
    explicit CountedTrustCalls(LONG forcedAnswer = ERROR_SUCCESS)
    {
        TrustCalls::verifies = 0;
        TrustCalls::closes = 0;
        TrustCalls::forcedAnswer = forcedAnswer;
    }

private:
    ScopedPlatformOverride<decltype(&::WinVerifyTrust)> m_override{&PlatformApi::WinVerifyTrust,
                                                                   &TrustCalls::Count};
};

TEST_F(SignedFixtures, FileSignedByTheExpectedPublisherPasses)
{
    EXPECT_EQ(VerifyPublisherSignature(OutputFile(kSigned).c_str()), S_OK);
}

TEST_F(SignedFixtures, HostExecutableIsSignedByTheBuild)
{
    EXPECT_EQ(VerifyPublisherSignature(OutputFile(L"VexilSrvs.exe").c_str()), S_OK);
}

TEST_F(SignedFixtures, UnsignedFileFailsForWantOfASignature)
{
    EXPECT_EQ(VerifyPublisherSignature(OutputFile(kUnsigned).c_str()), TRUST_E_NOSIGNATURE);
}

TEST_F(SignedFixtures, FileChangedAfterSigningFailsOnItsDigest)
{
    EXPECT_EQ(VerifyPublisherSignature(OutputFile(kTampered).c_str()), TRUST_E_BAD_DIGEST);
}

TEST_F(SignedFixtures, FileSignedByAnotherPublisherFailsAsWrongPublisher)
{
#if !defined(VEXIL_OTHER_PUBLISHER_FIXTURE)
    GTEST_SKIP() << "no other publisher's certificate was configured (VEXIL_OTHER_SIGNING_CERT)";
#endif
    EXPECT_EQ(VerifyPublisherSignature(OutputFile(kOtherPublisher).c_str()), kWrongPublisherError);
}

TEST_F(SignedFixtures, ProviderStateIsClosedAfterEveryVerification)
{
    for (const wchar_t* name : {kSigned, kUnsigned, kTampered, kOtherPublisher, L"NoSuchModule.dll"}) {
        CountedTrustCalls calls;
        (void)VerifyPublisherSignature(OutputFile(name).c_str());
        EXPECT_EQ(TrustCalls::verifies, 1) << name;
        EXPECT_EQ(TrustCalls::closes, 1) << "each verification is closed once";
    }
}

TEST_F(SignedFixtures, LoadedModuleIsVerifiedFromItsOwnFile)
{
    UniqueLibrary signedModule(::LoadLibraryW(OutputFile(kSigned).c_str()));
    UniqueLibrary unsignedModule(::LoadLibraryW(OutputFile(kUnsigned).c_str()));
    ASSERT_TRUE(signedModule);
    ASSERT_TRUE(unsignedModule);

    EXPECT_EQ(VerifyModuleSignature(signedModule.get()), S_OK);
    EXPECT_EQ(VerifyModuleSignature(unsignedModule.get()), TRUST_E_NOSIGNATURE);
}

TEST(VerifyPublisherSignature, MissingFileFails)
{
    // Wine's provider answers a missing file with the plain Win32 code 2, which is not a
    // failure as an HRESULT: the check must not read it as a pass.
    const HRESULT hr = VerifyPublisherSignature(OutputFile(L"NoSuchModule.dll").c_str());
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
}

TEST(VerifyPublisherSignature, NullPathIsRejected)
{
    EXPECT_EQ(VerifyPublisherSignature(nullptr), E_POINTER);
}

TEST(VerifyPublisherSignature, RejectionByTheTrustProviderIsReturnedAndStillClosed)
{
    CountedTrustCalls calls(CERT_E_EXPIRED);
    EXPECT_EQ(VerifyPublisherSignature(OutputFile(L"VexilSrvs.exe").c_str()), CERT_E_EXPIRED);
    EXPECT_EQ(TrustCalls::closes, 1);
}

TEST(VerifyModuleSignature, NullModuleIsTheExecutable)
{
    // The test program itself is not signed.
    EXPECT_EQ(VerifyModuleSignature(nullptr), TRUST_E_NOSIGNATURE);
}

TEST(VerifyModuleSignature, ModuleWithoutAFileNameFailsWithTheLastError)
{
    ScopedPlatformOverride noFileName(&PlatformApi::GetModuleFileNameW, [](HMODULE, LPWSTR, DWORD) -> DWORD {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    });
    CountedTrustCalls calls;
    EXPECT_EQ(VerifyModuleSignature(nullptr), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(TrustCalls::verifies, 0);
}

}  // namespace
