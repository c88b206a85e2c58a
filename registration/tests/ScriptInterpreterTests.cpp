#include <gtest/gtest.h>

#include <cstring>
#include <random>
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
    void Create(const std::wstring& path) const { CreateKey(Hkcr(), path); }

    ScratchRoots m_roots;
    ExactValueSizes m_exact;
};

TEST_F(Script, ValuesAreWrittenAsTheirTypeLetterSays)
{
    const std::wstring longest(4094, L'x');
    const std::wstring name31(31, L'N');
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
        {L"d '4294967295'", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
        {L"D 17", REG_DWORD, {17, 0, 0, 0}},
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
    std::wstring deep = L"HKCR {", closers = L" }";  // deeper than the registry allows: ends before the stack does
    for (int level = 0; level < 20000; ++level)
        deep += L" K {", closers += L" }";
    const struct { std::wstring script; HRESULT hr; bool bRegister = true; } rows[] = {
        {L"HKCR {", DISP_E_EXCEPTION},  // end of text where a token is needed
        {L"HKCR { val V = s '" + std::wstring(4095, L'x') + L"' }", DISP_E_EXCEPTION},
        {L"HKXX { K }", DISP_E_EXCEPTION},
        {L"HKCR K { }", DISP_E_EXCEPTION},
        {L"HKCR { K = s '%APPID' }", DISP_E_EXCEPTION},
        {L"HKCR { K = s '%Nowhere%' }", DISP_E_EXCEPTION},
        {L"HKCR { 'a\\b' }", DISP_E_EXCEPTION},
        {L"HKCR { ForceRemove '' }", DISP_E_EXCEPTION},  // an empty name would be the root itself
        {L"HKCR { val V s 'x' }", DISP_E_EXCEPTION},
        {L"HKCR { K { val V = q 'x' } }", DISP_E_EXCEPTION},
        {L"HKCR { K = s '%" + std::wstring(32, L'N') + L"%' }", E_FAIL},
        {L"HKCR { K { val V = b 'abc' } }", E_FAIL},
        {L"HKCR { K { val V = d 'twelve' } }", DISP_E_TYPEMISMATCH},
        {L"HKCR { K { val V = d 4294967296 } }", DISP_E_OVERFLOW},
        {deep + closers, DISP_E_EXCEPTION, false},
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
    EXPECT_EQ(SubkeyNames(Hkcr(), L"CLSIDs"), Names{});
    EXPECT_EQ(Text(L"Forced") + L"," + Text(L"App"), L"f,def");
    for (const std::wstring& name : neverDeleted)
        EXPECT_TRUE(Exists(name + L"\\Foreign")) << testing::PrintToString(name);
    for (const wchar_t* key : {L"App\\Sub\\Deeper", L"Glued=", L"s", L"v"})  // only whitespace separates tokens
        EXPECT_TRUE(Exists(key)) << testing::PrintToString(std::wstring(key));
    EXPECT_FALSE(Exists(L"Old"));

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

// What the registry refuses during unregistration ends it with that code, and what was not yet
// removed stays. A single key goes with RegDeleteKeyExW where the system exports it, else with
// RegDeleteKeyW.
enum class Refused { Nothing, KeyOpen, ValueKeyOpen, ValueDelete, KeyClose, NoDeleteKeyEx, KeyDelete };
Refused g_refused = Refused::Nothing;
int g_plainDeletes = 0;

TEST_F(Script, UnregistrationEndsWithWhatTheRegistryRefusesAndDeletesKeysWithWhatTheSystemHas)
{
    ScopedPlatformOverride open(&PlatformApi::RegOpenKeyExW, [](HKEY root, LPCWSTR name, DWORD o, REGSAM sam, PHKEY k) {
        const Refused call = name == nullptr ? Refused::ValueKeyOpen : sam == KEY_READ ? Refused::KeyOpen : Refused{};
        return g_refused == call ? ERROR_ACCESS_DENIED : RealPlatform().RegOpenKeyExW(root, name, o, sam, k);
    });
    ScopedPlatformOverride value(&PlatformApi::RegDeleteValueW, [](HKEY key, LPCWSTR name) {
        return g_refused == Refused::ValueDelete ? ERROR_ACCESS_DENIED : RealPlatform().RegDeleteValueW(key, name);
    });
    ScopedPlatformOverride close(&PlatformApi::RegCloseKey, [](HKEY key) {
        const LSTATUS status = RealPlatform().RegCloseKey(key);
        return g_refused == Refused::KeyClose ? ERROR_ACCESS_DENIED : status;
    });
    ScopedPlatformOverride lookUp(&PlatformApi::GetProcAddress, [](HMODULE module, LPCSTR name) {
        const bool ex = HIWORD(name) != 0 && strcmp(name, "RegDeleteKeyExW") == 0;
        return ex && g_refused >= Refused::NoDeleteKeyEx ? nullptr : RealPlatform().GetProcAddress(module, name);
    });
    ScopedPlatformOverride plain(&PlatformApi::RegDeleteKeyW, [](HKEY parent, LPCWSTR name) {
        ++g_plainDeletes;
        return g_refused == Refused::KeyDelete ? ERROR_ACCESS_DENIED : RealPlatform().RegDeleteKeyW(parent, name);
    });
    const struct { Refused refused; HRESULT hr; std::wstring left; int plainDeletes; } rows[] = {
        {Refused::Nothing, S_OK, L"", 0},
        {Refused::KeyOpen, E_ACCESSDENIED, L"K|v", 0},
        {Refused::ValueKeyOpen, E_ACCESSDENIED, L"K|v", 0},
        {Refused::ValueDelete, E_ACCESSDENIED, L"K|v", 0},
        {Refused::KeyClose, E_ACCESSDENIED, L"K|<missing>", 0},
        {Refused::NoDeleteKeyEx, S_OK, L"", 1},
        {Refused::KeyDelete, E_ACCESSDENIED, L"K|<missing>", 1},
    };
    const std::wstring script = L"HKCR { K { val V = s 'v' } }";
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.refused));
        g_refused = Refused::Nothing;
        ASSERT_EQ(ApplyScript(script, true), S_OK);
        g_refused = row.refused;
        g_plainDeletes = 0;
        CScriptParser::ForgetDeleteKeyFunction();
        EXPECT_EQ(ApplyScript(script, false), row.hr);
        EXPECT_EQ(Exists(L"K") ? L"K|" + Text(L"K", L"V") : L"", row.left);
        EXPECT_EQ(g_plainDeletes, row.plainDeletes);
        m_roots.Clear();
    }
    g_refused = Refused::Nothing;
    CScriptParser::ForgetDeleteKeyFunction();
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
    EXPECT_TRUE(m_roots.Intact(true));
}

// ---------------------------------------------------------------------------------------------
// Randomized scripts with fixed seeds, made from the grammar with stray tokens, applied while every
// root key stands in for a scratch key. Each result must be S_OK or a listed failure, no stand-in
// may be deleted and no key outside may change.

// The engine's sequence is fixed by the language standard, so every platform runs the same cases.
std::mt19937_64 g_random;
const auto Below = [](std::size_t bound) { return static_cast<std::size_t>(g_random() % bound); };
const auto Pick = [](const auto& items) { return items[Below(std::size(items))]; };

const wchar_t* const kRoots[] = {L"HKCR", L"HKCR", L"hkcr", L"HKCU", L"HKEY_CLASSES_ROOT", L"HKLM", L"HKU", L"HKXX"};
// Names and values from the program's own scripts among them.
const wchar_t* const kPrefixes[] = {L" ", L"\r\n\t", L" ForceRemove ", L" Delete ", L" NoRemove ", L" val ", L" { ",
                                   L" } ", L" = ", L" '", L" %"};
const wchar_t* const kNames[] = {L"Key", L"CLSID", L"AppID", L"'VexilSrvs.EXE'", L"'it''s'", L"'%APPID%'", L"Glued=",
                                 L"'}'", L"''", L"'a\\b'", L"Val", L"NoRemove", L"%Nowhere%", L"\U0001F600\xD800"};
const wchar_t* const kValues[] = {L"", L"", L" = s 'text'", L" = S plain", L" = m 'a\\0b'", L" = d 17", L" = d x",
                                  L" = b '0aFz'", L" = b 'abc'", L" = q 'x'", L" = s '%MODULE%'", L" = s '100%%'"};
const Variables kVariables = {{L"APPID", L"{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}"},
                              {L"Module", L"\"C:\\Vexil Boards\\Vexil''s Srvs.exe\""}};

std::wstring KeyList(unsigned depth)
{
    std::wstring list = L"{";
    for (std::size_t items = Below(5); items > 0; --items) {
        list += std::wstring(Pick(kPrefixes)) + Pick(kNames) + Pick(kValues);
        if (depth < 4 && Below(2) == 0)
            list += L"\r\n" + KeyList(depth + 1);
    }
    return list + (Below(20) == 0 ? L"" : L" }");
}

std::wstring MakeScript()
{
    std::wstring text;
    for (std::size_t blocks = 1 + Below(3); blocks > 0; --blocks)
        text += std::wstring(Pick(kRoots)) + L" " + KeyList(0) + L"\r\n";
    if (Below(10) == 0)
        text.insert(Below(text.size()), std::wstring(4094 + Below(3), L'x'));
    return Below(4) == 0 ? text.substr(0, Below(text.size() + 1)) : text;
}

// Subkey and value counts and time of last change of keys outside the scratch key.
std::vector<ULONGLONG> Marks(const std::vector<HKEY>& keys)
{
    std::vector<ULONGLONG> marks;
    for (HKEY key : keys) {
        DWORD subkeys = 0, values = 0;
        FILETIME written{};
        ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                           nullptr, &written);
        marks.insert(marks.end(), {subkeys, values, written.dwLowDateTime, written.dwHighDateTime});
    }
    return marks;
}

TEST(ScriptFuzz, EveryScriptGivesAListedResultAndStaysInsideItsScratchKey)
{
    // Opened before the roots are stood in for, so these are the real keys.
    UniqueRegKey user, classes, clsid;
    ASSERT_EQ(::RegOpenCurrentUser(KEY_READ, user.put()), ERROR_SUCCESS);
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_READ, classes.put()), ERROR_SUCCESS);
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID", 0, KEY_READ, clsid.put()), ERROR_SUCCESS);
    const std::vector<HKEY> outside = {user.get(), classes.get(), clsid.get()};
    const std::vector<ULONGLONG> before = Marks(outside);
    const ScratchRoots roots;
    for (const unsigned seed : {1u, 0x5EED5EEDu, 20240611u}) {
        g_random.seed(seed);
        for (unsigned index = 0; index < 100; ++index) {
            const std::wstring script = MakeScript();
            const ScopedPerUser perUser(Below(4) == 0);
            for (const bool bRegister : {true, Below(2) == 0, false}) {
                const HRESULT hr = ApplyScript(script, bRegister, kVariables);
                EXPECT_TRUE(hr == S_OK || hr == DISP_E_EXCEPTION || hr == E_FAIL || hr == DISP_E_TYPEMISMATCH ||
                            hr == DISP_E_OVERFLOW || HRESULT_FACILITY(hr) == FACILITY_WIN32)
                    << "seed " << seed << " case " << index << ": 0x" << std::hex << hr;
            }
            ASSERT_TRUE(roots.Intact()) << "a stand-in was deleted: seed " << seed << " case " << index;
            ASSERT_EQ(Marks(outside), before) << "seed " << seed << " case " << index;
            if (index % 32 == 0)
                roots.Clear();
        }
    }
}

}  // namespace
