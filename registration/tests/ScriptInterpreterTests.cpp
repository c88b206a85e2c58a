#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registration/tests/ScriptTestSupport.h"
#include "resources/resource.h"
#include "tests/support/PlatformOverride.h"

namespace {

using Names = std::vector<std::wstring>;

std::vector<BYTE> Bytes(const void* data, std::size_t size)
{
    return {static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size};
}

class Script : public ::testing::Test
{
protected:
    HKEY Hkcr() const { return m_roots.StandIn(HKEY_CLASSES_ROOT); }
    bool Exists(const std::wstring& path) const { return KeyExists(Hkcr(), path); }
    std::wstring Text(const std::wstring& path, const std::wstring& name = L"", HKEY root = HKEY_CLASSES_ROOT) const
    {
        const auto value = ReadValue(m_roots.StandIn(root), path, name);
        return value ? value->AsString() : L"<missing>";
    }
    void Create(const std::wstring& path) const
    {
        HKEY key = nullptr;
        if (::RegCreateKeyExW(Hkcr(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == 0)
            ::RegCloseKey(key);
    }

    ScratchRoots m_roots;
};

TEST_F(Script, ValuesAreWrittenAsTheirTypeLetterSays)
{
    const std::wstring longest(4094, L'x');
    const std::wstring name31(31, L'N');
    const DWORD max = 0xFFFFFFFF;
    const DWORD seventeen = 17;
    const struct { std::wstring text; DWORD type; std::vector<BYTE> bytes; } rows[] = {
        {L"s 'it''s'", REG_SZ, Bytes(L"it's", 10)},
        {L"S '100%%'", REG_SZ, Bytes(L"100%", 10)},
        {L"s '%name%'", REG_SZ, Bytes(L"first", 12)},  // any case, and the first pair wins
        {L"s %Raw%", REG_SZ, Bytes(L"50%%", 10)},      // a replacement is not read again
        {L"s '%" + name31 + L"%'", REG_SZ, Bytes(L"31", 6)},
        {L"s '" + longest + L"'", REG_SZ, Bytes(longest.c_str(), 8190)},
        {L"m 'a\\0b'", REG_MULTI_SZ, Bytes(L"a\0b\0", 10)},
        {L"M 'a\\0\\0b'", REG_MULTI_SZ, Bytes(L"a\0", 6)},  // an empty string ends the list
        {L"b '0aFz'", REG_BINARY, {0x0A, 0xF0}},
        {L"B ''", REG_BINARY, {}},
        {L"d '4294967295'", REG_DWORD, Bytes(&max, 4)},
        {L"D 17", REG_DWORD, Bytes(&seventeen, 4)},
    };
    const Variables variables = {{L"Name", L"first"}, {L"NAME", L"second"}, {L"Raw", L"50%%"}, {name31, L"31"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.text.substr(0, 40)));
        ASSERT_EQ(ApplyScript(L"HKCR { val V = " + row.text + L" }", true, variables), S_OK);
        const auto value = ReadValue(Hkcr(), L"", L"V");
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, row.type);
        EXPECT_EQ(value->data, row.bytes);
    }
}

TEST_F(Script, MalformedScriptsFailWithTheirCodeAndLeaveNothing)
{
    std::wstring deep = L"HKCR {";  // deeper than the registry allows: ends before the stack runs out
    for (int level = 0; level < 20000; ++level)
        deep += L" K {";
    const struct { std::wstring script; HRESULT hr; bool bRegister = true; } rows[] = {
        {L"HKCR {", DISP_E_EXCEPTION},  // end of text where a token is needed
        {L"HKCR { val V = s '" + std::wstring(4095, L'x') + L"' }", DISP_E_EXCEPTION},
        {L"HKXX { K }", DISP_E_EXCEPTION},
        {L"HKCR K { }", DISP_E_EXCEPTION},
        {L"HKCR { K = s '%APPID' }", DISP_E_EXCEPTION},
        {L"HKCR { K = s '%Nowhere%' }", DISP_E_EXCEPTION},
        {L"HKCR { 'a\\b' }", DISP_E_EXCEPTION},
        {L"HKCR { val V s 'x' }", DISP_E_EXCEPTION},
        {L"HKCR { K { val V = q 'x' } }", DISP_E_EXCEPTION},
        {L"HKCR { K = s '%" + std::wstring(32, L'N') + L"%' }", E_FAIL},
        {L"HKCR { K { val V = b 'abc' } }", E_FAIL},
        {L"HKCR { K { val V = d 'twelve' } }", DISP_E_TYPEMISMATCH},
        {L"HKCR { K { val V = d 4294967296 } }", DISP_E_OVERFLOW},
        {deep + std::wstring(20001, L'}'), DISP_E_EXCEPTION, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.script.substr(0, 40)));
        EXPECT_EQ(ApplyScript(row.script, row.bRegister, {{std::wstring(32, L'N'), L"32"}}), row.hr);
        EXPECT_TRUE(m_roots.Intact(true));
    }
}

TEST_F(Script, FailedRegistrationTakesBackTheWholeFailingBlockOnly)
{
    Create(L"Second\\Before");
    EXPECT_EQ(ApplyScript(L"HKCR { First } HKCR { NoRemove Shared { Mine } Second { Before } Bad { val W = q 'y' } Z }",
                          true),
              DISP_E_EXCEPTION);
    EXPECT_EQ(SubkeyNames(Hkcr(), L""), (Names{L"First", L"Shared"}));
    EXPECT_EQ(SubkeyNames(Hkcr(), L"Shared"), Names{});
}

TEST_F(Script, UnregistrationRemovesWhatTheScriptNamesButSharedKeysAndKeysThatGainedSubkeys)
{
    const Names neverDeleted = {L"AppID",     L"clsid",    L"Component Categories", L"FileType",
                                L"Interface", L"Hardware", L"Mime", L"SAM", L"SECURITY", L"SYSTEM", L"Software",
                                L"TypeLib"};
    std::wstring script = L"HKCR { NoRemove Shared { Mine = s 'm' } NoRemove val Kept = s 'k' val Gone = s 'g' "
                          L"App = s 'def' { val V = d 3 Sub { Deeper = b '00' } } Held = s 'h' { Inner } "
                          L"ForceRemove Forced = s 'f' { New } Delete Old = s 'x' ForceRemove CLSIDs Glued= s 'v' ";
    for (const std::wstring& name : neverDeleted) {
        Create(name + L"\\Foreign");
        script += L"ForceRemove '" + name + L"' { Mine } ";
    }
    script += L"}";
    for (const wchar_t* path : {L"Forced\\Earlier\\Deeper", L"Old\\Sub", L"CLSIDs\\Foreign"})
        Create(path);

    ASSERT_EQ(ApplyScript(script, true), S_OK);
    EXPECT_EQ(SubkeyNames(Hkcr(), L"Forced"), Names{L"New"});
    EXPECT_EQ(Text(L"Forced") + L"," + Text(L"App"), L"f,def");
    EXPECT_TRUE(Exists(L"App\\Sub\\Deeper"));
    EXPECT_FALSE(Exists(L"Old"));
    EXPECT_FALSE(Exists(L"CLSIDs\\Foreign"));
    for (const std::wstring& name : neverDeleted)
        EXPECT_TRUE(Exists(name + L"\\Foreign")) << testing::PrintToString(name);
    for (const wchar_t* key : {L"Glued=", L"s", L"v"})  // only whitespace separates tokens
        EXPECT_TRUE(Exists(key));

    Create(L"Held\\Foreign");
    ASSERT_EQ(ApplyScript(script, false), S_OK);
    EXPECT_EQ(SubkeyNames(Hkcr(), L"Shared"), Names{});
    EXPECT_EQ(Text(L"", L"Kept") + L"," + Text(L"", L"Gone") + L"," + Text(L"Held"), L"k,<missing>,h");
    EXPECT_EQ(SubkeyNames(Hkcr(), L"Held"), Names{L"Foreign"});
    for (const wchar_t* gone : {L"App", L"Forced", L"Glued=", L"s", L"v", L"AppID\\Mine"})
        EXPECT_FALSE(Exists(gone)) << testing::PrintToString(std::wstring(gone));

    // What does not exist is only read over, even where it could not be registered.
    const Names before = SubkeyNames(Hkcr(), L"");
    EXPECT_EQ(ApplyScript(script + L" HKCR { Missing = s 'x' { val V = q 'y' Deeper { D } } }", false), S_OK);
    EXPECT_EQ(SubkeyNames(Hkcr(), L""), before);
}

TEST_F(Script, PerUserModeRedirectsOnlyTheExactTopLevelHkcrBlocks)
{
    const ScopedPerUser perUser;
    ASSERT_EQ(ApplyScript(L"HKCR { 'q}' = s 'it''s}' A = s %B% } hkcr { B } HKEY_CLASSES_ROOT { C } HKCU { HKCR { D } }",
                          true, {{L"B", L"{"}}),
              S_OK);
    EXPECT_EQ(Text(L"Software\\Classes\\q}", L"", HKEY_CURRENT_USER), L"it's}");
    EXPECT_EQ(Text(L"Software\\Classes\\A", L"", HKEY_CURRENT_USER), L"{");
    EXPECT_EQ(SubkeyNames(Hkcr(), L""), (Names{L"B", L"C"}));
    EXPECT_TRUE(KeyExists(m_roots.StandIn(HKEY_CURRENT_USER), L"HKCR\\D"));
}

TEST_F(Script, RegistryResourceAndAllocationFailuresAreReturned)
{
    CVexilSrvsModule module;
    EXPECT_EQ(module.UpdateRegistryFromResource(999, TRUE, nullptr), HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
    {
        ScopedPlatformOverride deny(&PlatformApi::RegCreateKeyExW,
                                    [](HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                                       LPDWORD) -> LSTATUS { return ERROR_ACCESS_DENIED; });
        EXPECT_EQ(ApplyScript(L"HKCR { K }", true), E_ACCESSDENIED);
    }
    {
        ScopedPlatformOverride full(&PlatformApi::RegSetValueExW,
                                    [](HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) -> LSTATUS { return ERROR_DISK_FULL; });
        EXPECT_EQ(ApplyScript(L"HKCR { val V = b '00' }", true), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    }
    {
        ScopedPlatformOverride none(&PlatformApi::CoTaskMemAlloc, [](SIZE_T) -> LPVOID { return nullptr; });
        EXPECT_EQ(ApplyScript(L"HKCR { K }", true), E_OUTOFMEMORY);
        // The class script is longer than the stack buffer of the resource text.
        EXPECT_EQ(module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, TRUE, nullptr), E_OUTOFMEMORY);
    }
    {
        ScopedPlatformOverride none(&PlatformApi::CoTaskMemRealloc, [](LPVOID, SIZE_T) -> LPVOID { return nullptr; });
        EXPECT_EQ(ApplyScript(L"HKCR { val V = s '%L%' }", true, {{L"L", std::wstring(3000, L'l')}}), E_OUTOFMEMORY);
    }
    EXPECT_TRUE(m_roots.Intact(true));
    ASSERT_EQ(ApplyScript(L"HKCR { val V = s 'x' }", true), S_OK);
    {
        ScopedPlatformOverride deny(&PlatformApi::RegDeleteValueW, [](HKEY, LPCWSTR) -> LSTATUS { return ERROR_ACCESS_DENIED; });
        EXPECT_EQ(ApplyScript(L"HKCR { val V = s 'x' }", false), E_ACCESSDENIED);
    }
    EXPECT_EQ(Text(L"", L"V"), L"x");
}

TEST(ScriptRegistrar, LivesOnItsCallersStackAndKeepsCopiesOfItsVariables)
{
    CScriptRegistrar registrar;
    void* out = &registrar;
    EXPECT_EQ(registrar.QueryInterface(IID_IUnknown, &out), E_NOTIMPL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(registrar.AddRef(), 1u);
    EXPECT_EQ(registrar.Release(), 0u);
    ASSERT_EQ(registrar.Initialize(), S_OK);
    EXPECT_EQ(registrar.AddReplacement(nullptr, L"x"), E_INVALIDARG);
    EXPECT_EQ(registrar.AddReplacement(L"x", nullptr), E_INVALIDARG);
    std::wstring text = L"text";
    ASSERT_EQ(registrar.AddReplacement(L"Name", text.c_str()), S_OK);
    text = L"changed";
    EXPECT_STREQ(registrar.FindReplacement(L"NAME"), L"text");
    EXPECT_EQ(registrar.ClearReplacements(), S_OK);
    EXPECT_EQ(registrar.FindReplacement(L"Name"), nullptr);

    ScopedPlatformOverride fail(&PlatformApi::InitializeCriticalSectionEx, [](LPCRITICAL_SECTION, DWORD, DWORD) -> BOOL {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    });
    EXPECT_EQ(CScriptRegistrar().Initialize(), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace
