#include <gtest/gtest.h>

#include <cstdint>

#include "diagnostics/DiagnosticsNames.h"
#include "host/VexilSrvsModule.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestRegistry.h"

namespace {

// Each row overwrites the same value, so a read that kept an earlier answer shows up.
TEST(ReadParamDword, TakesOnlyAStoredDwordOfThe64BitViewAndReadsItAfreshElseGivesTheDefault)
{
    constexpr wchar_t kValue[] = L"ParamStoreTestValue";
    constexpr wchar_t k32BitView[] = L"SOFTWARE\\Wow6432Node\\Kestrova\\Vexil\\Params";
    const DWORD stored = 0xA5A5F00D, zero = 0;
    const uint64_t qword = 1;
    const struct { DWORD type; const void* data; DWORD size; DWORD expected; } cases[] = {
        {REG_DWORD, &stored, 4, stored}, {REG_DWORD, &zero, 4, 0}, {REG_DWORD, &qword, 8, 99}, {REG_SZ, L"1", 4, 99},
        {REG_QWORD, &qword, 8, 99}, {REG_DWORD_BIG_ENDIAN, &zero, 4, 99}, {REG_BINARY, &stored, 4, 99},
    };
    for (const auto& c : cases) {
        ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kParamsKeyPath, kValue, c.type, c.data, c.size);
        EXPECT_EQ(CVexilSrvsModule::ReadParamDword(L"", kValue, 99), c.expected) << c.type << " " << c.size;
    }
    {
        auto value = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, std::wstring(kParamsKeyPath) + L"\\Sub", kValue, 5);
        auto only32 = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, k32BitView, kValue, 6);
        EXPECT_EQ(CVexilSrvsModule::ReadParamDword(L"Sub", kValue, 0), 5u) << "below a sub-key";
        EXPECT_EQ(CVexilSrvsModule::ReadParamDword(L"", kValue, 7), 7u) << "missing, or only in the 32-bit view";
        ScopedPlatformOverride denied(&PlatformApi::RegOpenKeyExW, [](HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) -> LSTATUS {
            return ERROR_ACCESS_DENIED;
        });
        EXPECT_EQ(CVexilSrvsModule::ReadParamDword(L"Sub", kValue, 8), 8u) << "access denied";
    }
    DeleteKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Kestrova");
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kParamsKeyPath);
    EXPECT_EQ(CVexilSrvsModule::ReadParamDword(L"", kParamEnableDump, 1), 1u) << "missing key";
}

}  // namespace
