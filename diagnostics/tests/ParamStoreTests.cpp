#include <gtest/gtest.h>

#include <cstdint>

#include "diagnostics/DiagnosticsNames.h"
#include "host/VexilSrvsModule.h"
#include "tests/support/TestRegistry.h"

namespace {

constexpr wchar_t kValue[] = L"ParamStoreTestValue";

DWORD Read(DWORD defaultValue)
{
    return CVexilSrvsModule::ReadParamDword(L"", kValue, defaultValue);
}

TEST(ReadParamDword, ReturnsAStoredDword)
{
    auto value = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kParamsKeyPath, kValue, 0xA5A5F00Du);
    EXPECT_EQ(Read(7), 0xA5A5F00Du);
}

TEST(ReadParamDword, ReturnsAStoredZeroRatherThanTheDefault)
{
    auto value = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kParamsKeyPath, kValue, 0);
    EXPECT_EQ(Read(1), 0u);
}

TEST(ReadParamDword, ReturnsTheDefaultWhenTheValueIsMissing)
{
    ScopedRegistryValueAbsent absent(HKEY_LOCAL_MACHINE, kParamsKeyPath, kValue);
    EXPECT_EQ(Read(42), 42u);
}

TEST(ReadParamDword, ReturnsTheDefaultWhenTheParamsKeyIsMissing)
{
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kParamsKeyPath);
    EXPECT_EQ(CVexilSrvsModule::ReadParamDword(L"", kParamEnableWriteEvent, 0), 0u);
    EXPECT_EQ(CVexilSrvsModule::ReadParamDword(L"", kParamEnableDump, 1), 1u);
}

// Only REG_DWORD counts: every other type, whatever its bytes, yields the default.
TEST(ReadParamDword, IgnoresValuesOfAnyOtherType)
{
    const DWORD one = 1;
    const uint64_t qword = 1;
    const BYTE bigEndianOne[4] = {0, 0, 0, 1};
    struct Case
    {
        const char* name;
        DWORD type;
        const void* data;
        DWORD size;
    } cases[] = {
        {"string holding a digit", REG_SZ, L"1", 4},
        {"expandable string", REG_EXPAND_SZ, L"1", 4},
        {"qword", REG_QWORD, &qword, sizeof(qword)},
        {"big-endian dword", REG_DWORD_BIG_ENDIAN, bigEndianOne, 4},
        {"binary of four bytes", REG_BINARY, &one, 4},
    };
    for (const Case& c : cases) {
        ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kParamsKeyPath, kValue, c.type, c.data, c.size);
        EXPECT_EQ(Read(99), 99u) << c.name;
    }
}

TEST(ReadParamDword, ReadsBelowANamedSubKey)
{
    const std::wstring subKeyPath = std::wstring(kParamsKeyPath) + L"\\Sub";
    auto value = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, subKeyPath, kValue, 5);
    EXPECT_EQ(CVexilSrvsModule::ReadParamDword(L"Sub", kValue, 0), 5u);
    EXPECT_EQ(Read(0), 0u);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, subKeyPath);
}

TEST(ReadParamDword, SeesAChangeAtTheNextRead)
{
    auto first = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kParamsKeyPath, kValue, 0);
    EXPECT_EQ(Read(9), 0u);
    {
        auto second = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kParamsKeyPath, kValue, 1);
        EXPECT_EQ(Read(9), 1u);
    }
    EXPECT_EQ(Read(9), 0u);
}

}  // namespace
