#include <gtest/gtest.h>

#include "host/SignatureCheck.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestProcess.h"

namespace {

// The build signs the sample module as the expected publisher and leaves beside it an unsigned,
// a tampered and (with a second certificate configured) another publisher's copy. The check of
// the loaded host and manager, and a manager refused for its signature, are seen end to end.
TEST(SignatureCheck, PassesOnlyAnIntactSignatureOfTheExpectedPublisherAndClosesEveryVerification)
{
#if !defined(VEXIL_SIGNATURE_FIXTURES)
    GTEST_SKIP() << "the build signs nothing (VEXIL_SIGNING_CERT is empty); scripts/test.sh configures signing";
#endif
    const struct { const wchar_t* file; HRESULT expected; } cases[] = {
        {L"VexilSignatureSample.dll", S_OK},
        {L"VexilSignatureSample-Unsigned.dll", TRUST_E_NOSIGNATURE},
        {L"VexilSignatureSample-Tampered.dll", TRUST_E_BAD_DIGEST},
#if defined(VEXIL_OTHER_PUBLISHER_FIXTURE)
        {L"VexilSignatureSample-OtherPublisher.dll", kWrongPublisherError},
#endif
    };
    static int s_open;  // verifications whose provider state is not closed yet
    ScopedPlatformOverride count(&PlatformApi::WinVerifyTrust, [](HWND window, GUID* action, void* data) {
        const DWORD stateAction = static_cast<WINTRUST_DATA*>(data)->dwStateAction;
        s_open += stateAction == WTD_STATEACTION_VERIFY ? 1 : stateAction == WTD_STATEACTION_CLOSE ? -1 : 100;
        return RealPlatform().WinVerifyTrust(window, action, data);
    });
    for (const auto& c : cases) {
        EXPECT_EQ(VerifyPublisherSignature(OutputFile(c.file).c_str()), c.expected) << c.file;
        EXPECT_EQ(s_open, 0) << "the provider's state is closed whatever the outcome";
    }

    // A module is checked by the handle it is loaded at, and only then: null (which would name
    // the signed test program), an address inside the module or a data mapping of its file name
    // no module loaded here.
    const std::wstring sample = OutputFile(L"VexilSignatureSample.dll");
    const UniqueLibrary data(::LoadLibraryExW(sample.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const UniqueLibrary loaded(::LoadLibraryW(sample.c_str()));
    ASSERT_TRUE(loaded && data);
    const HMODULE modules[] = {loaded.get(), nullptr, reinterpret_cast<HMODULE>(100), data.get(),
                               reinterpret_cast<HMODULE>(reinterpret_cast<ULONG_PTR>(loaded.get()) + 0x1000)};
    for (const HMODULE module : modules) {
        EXPECT_EQ(VerifyModuleSignature(module), module == loaded.get() ? S_OK : HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND))
            << module;
    }
}

}  // namespace
