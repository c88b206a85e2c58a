#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/VexilSrvsModule.h"
#include "registration/ScriptNames.h"
#include "registration/ScriptParser.h"
#include "registration/ScriptRegistrar.h"
#include "registration/tests/ScriptTestSupport.h"
#include "resources/resource.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestRegistry.h"

namespace {

std::vector<BYTE> WideBytes(const wchar_t* units, std::size_t count)
{
    const auto* first = reinterpret_cast<const BYTE*>(units);
    return std::vector<BYTE>(first, first + count * sizeof(wchar_t));
}

// Applies scripts below a fresh scratch key of HKEY_CURRENT_USER and reads back from there.
class ScriptTest : public ::testing::Test
{
protected:
    [[nodiscard]] std::wstring At(const std::wstring& subPath = L"") const
    {
        return subPath.empty() ? m_scratch.path() : m_scratch.path() + L"\\" + subPath;
    }
    [[nodiscard]] std::wstring Script(const std::wstring& body) const { return ScriptBelow(m_scratch.path(), body); }
    [[nodiscard]] HRESULT Register(const std::wstring& body, const Variables& variables = {}) const
    {
        return ApplyScript(Script(body), true, variables);
    }
    [[nodiscard]] HRESULT Unregister(const std::wstring& body, const Variables& variables = {}) const
    {
        return ApplyScript(Script(body), false, variables);
    }
    [[nodiscard]] bool Exists(const std::wstring& subPath) const { return KeyExists(HKEY_CURRENT_USER, At(subPath)); }
    [[nodiscard]] std::optional<RegistryValue> Value(const std::wstring& subPath, const std::wstring& name) const
    {
        return ReadValue(HKEY_CURRENT_USER, At(subPath), name);
    }
    [[nodiscard]] std::wstring Text(const std::wstring& subPath, const std::wstring& name) const
    {
        const auto value = Value(subPath, name);
        return value ? value->AsString() : L"<missing>";
    }
    void Create(const std::wstring& subPath) const { CreateKey(HKEY_CURRENT_USER, At(subPath)); }
    [[nodiscard]] std::vector<std::wstring> Snapshot() const { return SnapshotTree(HKEY_CURRENT_USER, At()); }

    ScratchKey m_scratch;
};

// ---------------------------------------------------------------------------------------------
// Values

using ScriptValues = ScriptTest;

TEST_F(ScriptValues, StringWithDoubledQuotesIsWrittenWithOneQuoteEach)
{
    ASSERT_EQ(Register(L"val Quote = s 'it''s ''here'''\r\nKey = s 'a''b'"), S_OK);
    const auto quote = Value(L"", L"Quote");
    ASSERT_TRUE(quote);
    EXPECT_EQ(quote->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(quote->data, WideBytes(L"it's 'here'", 12));
    EXPECT_EQ(Text(L"Key", L""), L"a'b");
}

TEST_F(ScriptValues, MultiStringSplitsAtBackslashZero)
{
    ASSERT_EQ(Register(L"val Multi = m 'a\\0b'"), S_OK);
    const auto multi = Value(L"", L"Multi");
    ASSERT_TRUE(multi);
    EXPECT_EQ(multi->type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(multi->data, WideBytes(L"a\0b\0", 5));  // a, NUL, b, NUL, NUL: 10 bytes
    EXPECT_EQ(multi->data.size(), 10u);
}

TEST_F(ScriptValues, MultiStringEndsAtItsFirstEmptyString)
{
    ASSERT_EQ(Register(L"val Cut = m 'a\\0\\0b'\r\nval Empty = m ''\r\nval Slash = m 'x\\y\\\\0'"), S_OK);
    EXPECT_EQ(Value(L"", L"Cut")->data, WideBytes(L"a\0", 3));
    EXPECT_EQ(Value(L"", L"Empty")->data, WideBytes(L"", 1));
    EXPECT_EQ(Value(L"", L"Slash")->data, WideBytes(L"x\\y\\\0", 6));
}

TEST_F(ScriptValues, BinaryTakesTwoHexDigitsPerByteAndNonHexAsZero)
{
    ASSERT_EQ(Register(L"val Bin = b '0aFz'\r\nval None = b ''\r\nval All = b '0123456789abcdefABCDEF'"), S_OK);
    const auto bin = Value(L"", L"Bin");
    ASSERT_TRUE(bin);
    EXPECT_EQ(bin->type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(bin->data, (std::vector<BYTE>{0x0A, 0xF0}));
    EXPECT_EQ(Value(L"", L"None")->data.size(), 0u);
    EXPECT_EQ(Value(L"", L"All")->data,
              (std::vector<BYTE>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF}));
}

TEST_F(ScriptValues, BinaryWithAnOddNumberOfDigitsFailsAndIsTakenBack)
{
    EXPECT_EQ(Register(L"Holder\r\n{\r\nval Odd = b 'abc'\r\n}"), E_FAIL);
    EXPECT_FALSE(Exists(L"Holder"));
}

TEST_F(ScriptValues, DwordIsConvertedByVarUI4FromStr)
{
    ASSERT_EQ(Register(L"val Max = d '4294967295'\r\nval Small = d 17\r\nKey = d '5'"), S_OK);
    const auto max = Value(L"", L"Max");
    ASSERT_TRUE(max);
    EXPECT_EQ(max->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(max->data.size(), 4u);
    EXPECT_EQ(max->AsDword(), 0xFFFFFFFFu);
    EXPECT_EQ(Value(L"", L"Small")->AsDword(), 17u);
    EXPECT_EQ(Value(L"Key", L"")->AsDword(), 5u);
}

TEST_F(ScriptValues, DwordThatDoesNotConvertFailsWithTheConversionResult)
{
    wchar_t words[] = L"twelve";
    ULONG ignored = 0;
    const HRESULT expected = ::VarUI4FromStr(words, 0, 0, &ignored);
    ASSERT_TRUE(FAILED(expected));
    EXPECT_EQ(Register(L"val Bad = d 'twelve'"), expected);
    EXPECT_EQ(Register(L"val Big = d 4294967296"), DISP_E_OVERFLOW);
    EXPECT_FALSE(Value(L"", L"Bad"));
}

TEST_F(ScriptValues, TypeLettersIgnoreCaseAndUnknownOnesFail)
{
    ASSERT_EQ(Register(L"val Upper = S 'u'\r\nval Lower = s 'l'\r\nval Dword = D 1\r\nval Multi = M 'x'"), S_OK);
    EXPECT_EQ(Value(L"", L"Upper")->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Value(L"", L"Multi")->type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(Register(L"val Unknown = q 'x'"), DISP_E_EXCEPTION);
    EXPECT_EQ(Register(L"val Word = sz 'x'"), DISP_E_EXCEPTION);
    EXPECT_FALSE(Value(L"", L"Unknown"));
}

TEST_F(ScriptValues, ValNameMustBeFollowedByEquals)
{
    EXPECT_EQ(Register(L"val Name s 'x'"), DISP_E_EXCEPTION);
    EXPECT_EQ(Unregister(L"val Name s 'x'"), DISP_E_EXCEPTION);
    EXPECT_FALSE(Value(L"", L"Name"));
}

TEST_F(ScriptValues, KeyWordsIgnoreCase)
{
    ASSERT_EQ(Register(L"VAL Upper = s 'u'\r\nnoremove Kept { }\r\nforceremove Forced = s 'f'"), S_OK);
    EXPECT_EQ(Text(L"", L"Upper"), L"u");
    EXPECT_EQ(Text(L"Forced", L""), L"f");
    ASSERT_EQ(Unregister(L"VAL Upper = s 'u'\r\nnoremove Kept { }\r\nforceremove Forced = s 'f'"), S_OK);
    EXPECT_TRUE(Exists(L"Kept"));
    EXPECT_FALSE(Exists(L"Forced"));
    EXPECT_FALSE(Value(L"", L"Upper"));
}

TEST_F(ScriptValues, ValueWithABlockAfterItIsRejected)
{
    EXPECT_EQ(Register(L"val Name = s 'x' { Sub }"), DISP_E_EXCEPTION);
    EXPECT_FALSE(Value(L"", L"Name"));
    EXPECT_FALSE(Exists(L"Sub"));
}

// ---------------------------------------------------------------------------------------------
// Variables

using ScriptVariables = ScriptTest;

TEST_F(ScriptVariables, TwoPercentSignsGiveOne)
{
    ASSERT_EQ(Register(L"val Share = s '100%%'\r\n'50%%' = s '%%%%'"), S_OK);
    EXPECT_EQ(Text(L"", L"Share"), L"100%");
    EXPECT_EQ(Text(L"50%", L""), L"%%");
}

TEST_F(ScriptVariables, APercentSignWithoutAClosingOneFails)
{
    EXPECT_EQ(Register(L"Holder = s 'x'\r\nval Id = s '%APPID'", {{L"APPID", L"{id}"}}), DISP_E_EXCEPTION);
    EXPECT_EQ(Snapshot(), std::vector<std::wstring>{L"\\"});
    HRESULT hr = S_OK;
    (void)Preprocess(L"HKCU { %", &hr);
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
}

TEST_F(ScriptVariables, NamesAreLookedUpWithoutCaseAndTheFirstPairWins)
{
    const Variables variables = {{L"Name", L"first"}, {L"NAME", L"second"}, {L"Other", L"o"}};
    ASSERT_EQ(Register(L"val A = s '%name%'\r\nval B = s %OTHER%\r\n%Name% = s 'k'", variables), S_OK);
    EXPECT_EQ(Text(L"", L"A"), L"first");
    EXPECT_EQ(Text(L"", L"B"), L"o");
    EXPECT_EQ(Text(L"first", L""), L"k");
}

TEST_F(ScriptVariables, UnknownVariableFails)
{
    EXPECT_EQ(Register(L"val A = s '%Nowhere%'"), DISP_E_EXCEPTION);
    EXPECT_FALSE(Value(L"", L"A"));
}

TEST_F(ScriptVariables, NameOfMoreThan31CharactersFailsWithEFail)
{
    const std::wstring name31(31, L'N');
    const std::wstring name32(32, L'N');
    const Variables variables = {{name31, L"31"}, {name32, L"32"}};
    ASSERT_EQ(Register(L"val A = s '%" + name31 + L"%'", variables), S_OK);
    EXPECT_EQ(Text(L"", L"A"), L"31");
    EXPECT_EQ(Register(L"val B = s '%" + name32 + L"%'", variables), E_FAIL);
    EXPECT_FALSE(Value(L"", L"B"));
}

TEST_F(ScriptVariables, ReplacementTextIsNotExaminedAgain)
{
    HRESULT hr = E_FAIL;
    const std::wstring text = Preprocess(L"a%Outer%b", &hr, {{L"Outer", L"%Inner%'{"}});
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(text, L"a%Inner%'{b");
    ASSERT_EQ(Register(L"val V = s '%X%'", {{L"X", L"50%%"}}), S_OK);
    EXPECT_EQ(Text(L"", L"V"), L"50%%");
}

TEST_F(ScriptVariables, ReplacementMayGrowTheTextManyTimes)
{
    const std::wstring longText(20000, L'z');
    HRESULT hr = E_FAIL;
    const std::wstring text = Preprocess(L"%L%%L%-%L%", &hr, {{L"L", longText}});
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(text, longText + longText + L"-" + longText);
}

// ---------------------------------------------------------------------------------------------
// Per-user rewrite

TEST(ScriptPerUser, RedirectsATopLevelHkcrBlockToTheUsersClasses)
{
    const ScopedPerUserRegistration perUser;
    HRESULT hr = E_FAIL;
    const std::wstring text = Preprocess(L"HKCR\r\n{\r\n\tKey\r\n}\r\n", &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(text, L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses\r\n{\r\n\tKey\r\n\r\n\t}\r\n}\r\n}\r\n");
}

TEST(ScriptPerUser, OnlyTheExactUpperCaseNameAtBraceLevelZeroIsRedirected)
{
    const ScopedPerUserRegistration perUser;
    for (const wchar_t* script : {L"hkcr { K }", L"HKEY_CLASSES_ROOT { K }", L"Hkcr { K }", L"HKCU { HKCR { K } }"}) {
        HRESULT hr = E_FAIL;
        EXPECT_EQ(Preprocess(script, &hr), script);
        EXPECT_EQ(hr, S_OK);
    }
}

TEST(ScriptPerUser, BracesInsideQuotesDoNotCount)
{
    const ScopedPerUserRegistration perUser;
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Preprocess(L"HKCU { 'a}' } HKCR { 'b{''' }", &hr),
              L"HKCU { 'a}' } HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses { 'b{''' \r\n\t}\r\n}\r\n}");
    EXPECT_EQ(hr, S_OK);
}

TEST(ScriptPerUser, VariablesAreNotCountedAndEveryTopLevelBlockIsRedirected)
{
    const ScopedPerUserRegistration perUser;
    HRESULT hr = E_FAIL;
    const std::wstring text = Preprocess(L"HKCR { %B% } HKCR { }", &hr, {{L"B", L"}"}});
    EXPECT_EQ(hr, S_OK);
    const std::wstring opened = L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
    const std::wstring closing = L"\r\n\t}\r\n}\r\n";
    EXPECT_EQ(text, opened + L" { } " + closing + L"} " + opened + L" { " + closing + L"}");
}

TEST(ScriptPerUser, MachineModeLeavesHkcrAlone)
{
    const ScopedPerUserRegistration machine(false);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Preprocess(L"HKCR { K }", &hr), L"HKCR { K }");
    EXPECT_EQ(hr, S_OK);
}

TEST(ScriptPerUser, AppliedScriptLandsBelowTheUsersClassesAndLeavesThem)
{
    const ScopedUserClasses classes;
    const std::vector<std::wstring> before = SnapshotTree(HKEY_CURRENT_USER, ScopedUserClasses::kPath);
    const std::wstring name = L"VexilScriptTest-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring script = L"HKCR\r\n{\r\n\t'" + name + L"' = s 'per user'\r\n\t{\r\n\t\tval V = s 'v'\r\n\t}\r\n}\r\n";

    const ScopedPerUserRegistration perUser;
    ASSERT_EQ(ApplyScript(script, true), S_OK);
    const std::wstring path = std::wstring(ScopedUserClasses::kPath) + L"\\" + name;
    const auto value = ReadValue(HKEY_CURRENT_USER, path, L"");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->AsString(), L"per user");
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, path, L"V")->AsString(), L"v");
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + name));

    ASSERT_EQ(ApplyScript(script, false), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, path));
    EXPECT_EQ(SnapshotTree(HKEY_CURRENT_USER, ScopedUserClasses::kPath), before);
}

// ---------------------------------------------------------------------------------------------
// Tokens and script structure

using ScriptSyntax = ScriptTest;

TEST_F(ScriptSyntax, TokenOf4094UnitsIsTheLongestAccepted)
{
    const std::wstring longest(4094, L'x');
    ASSERT_EQ(Register(L"val Plain = s " + longest + L"\r\nval Quoted = s '" + longest + L"'"), S_OK);
    EXPECT_EQ(Text(L"", L"Plain"), longest);
    EXPECT_EQ(Text(L"", L"Quoted"), longest);
    // A doubled quote is one unit of the token.
    const std::wstring withQuote = L"'" + std::wstring(4093, L'y') + L"'''";
    ASSERT_EQ(Register(L"val Doubled = s " + withQuote), S_OK);
    EXPECT_EQ(Text(L"", L"Doubled"), std::wstring(4093, L'y') + L"'");

    EXPECT_EQ(Register(L"val TooLong = s " + longest + L"x"), DISP_E_EXCEPTION);
    EXPECT_EQ(Register(L"val TooLong = s '" + longest + L"x'"), DISP_E_EXCEPTION);
    EXPECT_FALSE(Value(L"", L"TooLong"));
}

TEST_F(ScriptSyntax, EqualsGluedToAKeyNameBecomesPartOfIt)
{
    ASSERT_EQ(Register(L"Glued= s 'v'"), S_OK);
    EXPECT_TRUE(Exists(L"Glued="));
    EXPECT_FALSE(Exists(L"Glued"));
    // Without the "=" token the rest are key items of their own.
    EXPECT_TRUE(Exists(L"s"));
    EXPECT_TRUE(Exists(L"v"));
    ASSERT_EQ(Unregister(L"Glued= s 'v'"), S_OK);
    EXPECT_EQ(Snapshot(), std::vector<std::wstring>{L"\\"});
}

TEST_F(ScriptSyntax, BracesStickToTheirNeighbours)
{
    // "{Sub}" is one token: a key name, not a block.
    ASSERT_EQ(Register(L"Key {Sub}"), S_OK);
    EXPECT_TRUE(Exists(L"Key"));
    EXPECT_TRUE(Exists(L"{Sub}"));
    EXPECT_FALSE(Exists(L"Key\\{Sub}"));
}

TEST_F(ScriptSyntax, MalformedScriptsFailWithDispException)
{
    const std::wstring scratch = L"'" + m_scratch.path() + L"'";
    const wchar_t* bodies[] = {
        L"'unclosed",
        L"Key {",
        L"Key = s",
        L"Key = s 'x' {",
        L"'a\\b'",
        L"ForceRemove 'a\\b'",
        L"''",
        L"ForceRemove ''",
        L"Delete 'x' {",
    };
    for (const wchar_t* body : bodies) {
        EXPECT_EQ(Register(body), DISP_E_EXCEPTION) << "register: " << testing::PrintToString(std::wstring(body));
        EXPECT_EQ(Snapshot(), std::vector<std::wstring>{L"\\"});
    }
    const wchar_t* scripts[] = {
        L"   \r\n\t",           L"HKXX { }", L"HKCU", L"HKCU K { }", L"HKCU { } HKCU", L"HKCU { } junk { }",
        L"HKCU { NoRemove Software ",
    };
    for (const wchar_t* script : scripts) {
        EXPECT_EQ(ApplyScript(script, true), DISP_E_EXCEPTION) << testing::PrintToString(std::wstring(script));
        EXPECT_EQ(ApplyScript(script, false), DISP_E_EXCEPTION) << testing::PrintToString(std::wstring(script));
    }
}

TEST_F(ScriptSyntax, EmptyScriptSucceedsAndChangesNothing)
{
    EXPECT_EQ(ApplyScript(L"", true), S_OK);
    EXPECT_EQ(ApplyScript(L"", false), S_OK);
}

TEST_F(ScriptSyntax, RootNamesIgnoreCaseAndTrailingWhitespaceEndsTheScript)
{
    const std::wstring path = m_scratch.path();
    std::wstring script = ScriptBelow(path, L"A = s 'a'") + L"\r\n\r\n";
    script.replace(0, 4, L"hkey_current_user");
    ASSERT_EQ(ApplyScript(script, true), S_OK);
    EXPECT_EQ(Text(L"A", L""), L"a");
    std::wstring second = ScriptBelow(path, L"B = s 'b'");
    second.replace(0, 4, L"hKcU");
    ASSERT_EQ(ApplyScript(script + second, true), S_OK);
    EXPECT_EQ(Text(L"B", L""), L"b");
}

TEST_F(ScriptSyntax, NestingDeeperThanTheRegistryAllowsIsRejectedWithoutHarm)
{
    // Unregistering a missing key only reads its subtree, so no key of any depth is needed.
    const auto nested = [&](unsigned lists) {
        std::wstring script = L"HKCU {";
        for (unsigned i = 1; i < lists; ++i)
            script += i == 1 ? L" 'VexilMissing-" + std::to_wstring(::GetCurrentProcessId()) + L"' {" : L" K {";
        script += L" Leaf";
        for (unsigned i = 0; i < lists; ++i)
            script += L" }";
        return script;
    };
    EXPECT_EQ(ApplyScript(nested(kMaxKeyListDepth), false), S_OK);
    EXPECT_EQ(ApplyScript(nested(kMaxKeyListDepth + 1), false), DISP_E_EXCEPTION);
    EXPECT_EQ(ApplyScript(nested(20000), false), DISP_E_EXCEPTION);
}

TEST_F(ScriptSyntax, TooDeepSubtreeEndsTheScriptEvenWhereItIsOnlyRead)
{
    // Reading on after the failure would take the closing braces for those of the levels above
    // and a later name for an item of the scratch key, which would then be deleted.
    Create(L"Victim");
    for (unsigned closers = 500; closers < 516; ++closers) {
        std::wstring body = L"Missing {";  // the fifth key list: four lead to the scratch key
        for (unsigned list = 6; list <= kMaxKeyListDepth + 1; ++list)
            body += L" K {";
        for (unsigned i = 0; i < closers; ++i)
            body += L" }";
        body += L" Victim";
        EXPECT_EQ(Unregister(body), DISP_E_EXCEPTION) << closers;
        ASSERT_TRUE(Exists(L"Victim")) << closers;
    }
}

// ---------------------------------------------------------------------------------------------
// Keys: ForceRemove, Delete, NoRemove and unregistration

using ScriptKeys = ScriptTest;

TEST_F(ScriptKeys, ForceRemoveDeletesTheWholeKeyBeforeWritingIt)
{
    Create(L"Target\\Foreign\\Deeper");
    Create(L"Target\\Foreign\\Second");
    Create(L"Target\\Other");
    ASSERT_EQ(Register(L"ForceRemove Target = s 'new'\r\n{\r\nval V = s 'x'\r\n}"), S_OK);
    EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, At(L"Target")), std::vector<std::wstring>{});
    EXPECT_EQ(Text(L"Target", L""), L"new");
    EXPECT_EQ(Text(L"Target", L"V"), L"x");
}

TEST_F(ScriptKeys, ForceRemoveNeverDeletesAKeyOfTheNeverDeleteList)
{
    for (const wchar_t* name : kNeverDeleteKeys) {
        const std::wstring kept = name;
        Create(kept + L"\\Foreign");
        ASSERT_EQ(Register(L"ForceRemove '" + kept + L"' { Mine }"), S_OK) << testing::PrintToString(kept);
        EXPECT_TRUE(Exists(kept + L"\\Foreign")) << testing::PrintToString(kept);
        EXPECT_TRUE(Exists(kept + L"\\Mine"));
    }
    // Compared without case; a longer name is not on the list.
    Create(L"clsid\\Foreign2");
    Create(L"CLSIDs\\Foreign");
    ASSERT_EQ(Register(L"ForceRemove clsid\r\nForceRemove CLSIDs"), S_OK);
    EXPECT_TRUE(Exists(L"CLSID\\Foreign2"));
    EXPECT_FALSE(Exists(L"CLSIDs\\Foreign"));
}

TEST_F(ScriptKeys, DeleteRemovesTheKeyAndSkipsItsAssignment)
{
    Create(L"Old\\Sub");
    ASSERT_EQ(Register(L"Delete Old = s 'ignored'\r\nNext = s 'n'"), S_OK);
    EXPECT_FALSE(Exists(L"Old"));
    EXPECT_EQ(Text(L"Next", L""), L"n");
    // A missing key is no error.
    ASSERT_EQ(Register(L"Delete Old"), S_OK);
}

TEST_F(ScriptKeys, DeleteAndForceRemoveActAsPlainItemsOnUnregistration)
{
    ASSERT_EQ(Register(L"ForceRemove F = s 'f' { Sub }\r\nD = s 'd'"), S_OK);
    ASSERT_EQ(Unregister(L"ForceRemove F = s 'f' { Sub }\r\nDelete D = s 'd'"), S_OK);
    EXPECT_EQ(Snapshot(), std::vector<std::wstring>{L"\\"});
}

TEST_F(ScriptKeys, UnregistrationRemovesWhatRegistrationWrote)
{
    const std::wstring body = L"val Top = s 't'\r\nApp = s 'def'\r\n{\r\nval V = d 3\r\nSub { Deeper = b '00' }\r\n}";
    ASSERT_EQ(Register(body), S_OK);
    EXPECT_EQ(Text(L"App", L""), L"def");
    EXPECT_TRUE(Exists(L"App\\Sub\\Deeper"));
    ASSERT_EQ(Unregister(body), S_OK);
    EXPECT_EQ(Snapshot(), std::vector<std::wstring>{L"\\"});
}

TEST_F(ScriptKeys, NoRemoveKeepsKeysAndValuesOnUnregistration)
{
    const std::wstring body = L"NoRemove Shared { Mine = s 'x' }\r\nNoRemove val Kept = s 'k'\r\nval Gone = s 'g'";
    ASSERT_EQ(Register(body), S_OK);
    ASSERT_EQ(Unregister(body), S_OK);
    EXPECT_TRUE(Exists(L"Shared"));
    EXPECT_FALSE(Exists(L"Shared\\Mine"));
    EXPECT_EQ(Text(L"", L"Kept"), L"k");
    EXPECT_FALSE(Value(L"", L"Gone"));
}

TEST_F(ScriptKeys, KeyThatGainedAForeignSubkeyStaysWithItsDefaultValueAndParents)
{
    const std::wstring body = L"Outer\r\n{\r\nApp = s 'def'\r\n{\r\nval V = s 'v'\r\nSub\r\n}\r\n}\r\nSibling";
    ASSERT_EQ(Register(body), S_OK);
    Create(L"Outer\\App\\Foreign");
    ASSERT_EQ(Unregister(body), S_OK);
    EXPECT_TRUE(Exists(L"Outer\\App\\Foreign"));
    EXPECT_EQ(Text(L"Outer\\App", L""), L"def");
    EXPECT_FALSE(Value(L"Outer\\App", L"V"));  // values written by "val" go
    EXPECT_FALSE(Exists(L"Outer\\App\\Sub"));
    EXPECT_FALSE(Exists(L"Sibling"));
}

TEST_F(ScriptKeys, UnregisteringWhatDoesNotExistSucceedsAndCreatesNothing)
{
    ASSERT_EQ(Unregister(L"Missing = s 'x'\r\n{\r\nval V = s 'y'\r\nDeeper { Deepest = d 1 }\r\n}\r\nval Absent = s 'z'"),
              S_OK);
    EXPECT_EQ(Snapshot(), std::vector<std::wstring>{L"\\"});
    // Even an unknown type letter in a missing subtree is only read over.
    ASSERT_EQ(Unregister(L"Missing { val V = q 'y' }"), S_OK);
}

TEST_F(ScriptKeys, FailureInsideAMissingSubtreeIsIgnored)
{
    ASSERT_EQ(Register(L"Existing"), S_OK);
    // The value item lacks its "=": reading the missing key's subtree fails, and only that.
    EXPECT_EQ(Unregister(L"Missing { val x }\r\nExisting"), S_OK);
    EXPECT_FALSE(Exists(L"Existing"));
}

TEST_F(ScriptKeys, ExistingKeyNamedByTheScriptIsRemovedOnUnregistration)
{
    Create(L"Existing");
    ASSERT_EQ(Unregister(L"Existing"), S_OK);
    EXPECT_FALSE(Exists(L"Existing"));
}

// ---------------------------------------------------------------------------------------------
// Recovery after a failed registration

using ScriptRecovery = ScriptTest;

TEST_F(ScriptRecovery, FailingBlockIsTakenBackAndEarlierBlocksStay)
{
    Create(L"Second\\Before");
    const std::wstring first = Script(L"First = s '1'");
    const std::wstring second = Script(
        L"NoRemove Shared { Mine = s 'm' }\r\nSecond = s '2' { Before }\r\nBad = s 'b' { val V = q 'x' }\r\nNever");
    EXPECT_EQ(ApplyScript(first + second, true), DISP_E_EXCEPTION);
    EXPECT_EQ(Text(L"First", L""), L"1");
    // The failing block is unregistered as a whole, including keys that existed before it.
    EXPECT_FALSE(Exists(L"Second"));
    EXPECT_FALSE(Exists(L"Bad"));
    EXPECT_FALSE(Exists(L"Never"));
    EXPECT_TRUE(Exists(L"Shared"));
    EXPECT_FALSE(Exists(L"Shared\\Mine"));
}

TEST_F(ScriptRecovery, UnregistrationFailureIsReturnedWithoutRecovery)
{
    ASSERT_EQ(Register(L"A = s 'a'\r\nB = s 'b'"), S_OK);
    EXPECT_EQ(Unregister(L"A = s 'a'\r\nB = s 'b'\r\n'x\\y'"), DISP_E_EXCEPTION);
    EXPECT_FALSE(Exists(L"A"));
    EXPECT_FALSE(Exists(L"B"));
}

// ---------------------------------------------------------------------------------------------
// Registry and system failures through the platform table

using ScriptPlatformFailures = ScriptTest;

TEST_F(ScriptPlatformFailures, CreateFailureGivesTheHresultOfItsCode)
{
    ScopedPlatformOverride denyCreate(&PlatformApi::RegCreateKeyExW,
                                      [](HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                                         PHKEY, LPDWORD) -> LSTATUS { return ERROR_ACCESS_DENIED; });
    EXPECT_EQ(Register(L"NewKey"), E_ACCESSDENIED);
    EXPECT_FALSE(Exists(L"NewKey"));
}

TEST_F(ScriptPlatformFailures, ReadOnlyKeyIsUsedWhenWriteAccessIsRefused)
{
    Create(L"ReadOnly");
    static REGSAM s_lastAccess;
    s_lastAccess = 0;
    ScopedPlatformOverride readOnly(&PlatformApi::RegOpenKeyExW,
                                    [](HKEY key, LPCWSTR name, DWORD options, REGSAM access, PHKEY out) -> LSTATUS {
                                        if (name != nullptr && std::wcscmp(name, L"ReadOnly") == 0) {
                                            if (access & KEY_SET_VALUE)
                                                return ERROR_ACCESS_DENIED;
                                            s_lastAccess = access;
                                        }
                                        return RealPlatform().RegOpenKeyExW(key, name, options, access, out);
                                    });
    ScopedPlatformOverride noCreate(&PlatformApi::RegCreateKeyExW,
                                    [](HKEY, LPCWSTR name, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                                       PHKEY, LPDWORD) -> LSTATUS {
                                        return std::wcscmp(name, L"ReadOnly") == 0 ? ERROR_INVALID_FUNCTION
                                                                                     : ERROR_ACCESS_DENIED;
                                    });
    EXPECT_EQ(Register(L"ReadOnly"), S_OK);
    EXPECT_EQ(s_lastAccess, static_cast<REGSAM>(KEY_READ));
}

TEST_F(ScriptPlatformFailures, ValueWriteFailureGivesTheHresultOfItsCode)
{
    ScopedPlatformOverride diskFull(&PlatformApi::RegSetValueExW,
                                    [](HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) -> LSTATUS {
                                        return ERROR_DISK_FULL;
                                    });
    EXPECT_EQ(Register(L"Key = s 'x'"), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    EXPECT_EQ(Register(L"val V = b '00'"), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
}

TEST_F(ScriptPlatformFailures, ValueRemovalFailuresAreReturned)
{
    ASSERT_EQ(Register(L"val V = s 'x'"), S_OK);
    {
        ScopedPlatformOverride denyOpen(
            &PlatformApi::RegOpenKeyExW, [](HKEY key, LPCWSTR name, DWORD options, REGSAM access, PHKEY out) -> LSTATUS {
                if (name == nullptr && access == KEY_WRITE)
                    return ERROR_ACCESS_DENIED;
                return RealPlatform().RegOpenKeyExW(key, name, options, access, out);
            });
        EXPECT_EQ(Unregister(L"val V = s 'x'"), E_ACCESSDENIED);
    }
    {
        ScopedPlatformOverride denyDelete(&PlatformApi::RegDeleteValueW,
                                          [](HKEY, LPCWSTR) -> LSTATUS { return ERROR_ACCESS_DENIED; });
        EXPECT_EQ(Unregister(L"val V = s 'x'"), E_ACCESSDENIED);
    }
    EXPECT_EQ(Text(L"", L"V"), L"x");
    EXPECT_EQ(Unregister(L"val V = s 'x'"), S_OK);
    EXPECT_EQ(Unregister(L"val V = s 'x'"), S_OK);  // already gone: no error
}

TEST_F(ScriptPlatformFailures, KeyOpenFailureOtherThanNotFoundIsReturnedAfterItsSubtree)
{
    ASSERT_EQ(Register(L"Guarded { Inner }"), S_OK);
    ScopedPlatformOverride denyOpen(
        &PlatformApi::RegOpenKeyExW, [](HKEY key, LPCWSTR name, DWORD options, REGSAM access, PHKEY out) -> LSTATUS {
            if (name != nullptr && std::wcscmp(name, L"Guarded") == 0)
                return ERROR_ACCESS_DENIED;
            return RealPlatform().RegOpenKeyExW(key, name, options, access, out);
        });
    EXPECT_EQ(Unregister(L"Guarded { Inner }"), E_ACCESSDENIED);
    EXPECT_TRUE(Exists(L"Guarded\\Inner"));  // its subtree was only read
}

TEST_F(ScriptPlatformFailures, CloseAndDeleteFailuresAreReturned)
{
    ASSERT_EQ(Register(L"A"), S_OK);
    {
        ScopedPlatformOverride badClose(&PlatformApi::RegCloseKey, [](HKEY key) -> LSTATUS {
            RealPlatform().RegCloseKey(key);
            return ERROR_INVALID_HANDLE;
        });
        EXPECT_EQ(Unregister(L"A"), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    }
    EXPECT_TRUE(Exists(L"A"));
    {
        const ScopedDeleteKeyLookup lookup;
        ScopedPlatformOverride noDeleteKeyEx(&PlatformApi::GetProcAddress,
                                             [](HMODULE, LPCSTR) -> FARPROC { return nullptr; });
        ScopedPlatformOverride denyDelete(&PlatformApi::RegDeleteKeyW,
                                          [](HKEY, LPCWSTR) -> LSTATUS { return ERROR_ACCESS_DENIED; });
        EXPECT_EQ(Unregister(L"A"), E_ACCESSDENIED);
    }
    EXPECT_TRUE(Exists(L"A"));
}

TEST_F(ScriptPlatformFailures, FailedSubkeyQueryCountsAsNoSubkeys)
{
    ASSERT_EQ(Register(L"Parent"), S_OK);
    Create(L"Parent\\Foreign");
    ScopedPlatformOverride failQuery(&PlatformApi::RegQueryInfoKeyW,
                                     [](HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                        LPDWORD, LPDWORD, PFILETIME) -> LSTATUS { return ERROR_ACCESS_DENIED; });
    // Taken as empty, the key is deleted, which the registry refuses while it has a subkey.
    EXPECT_TRUE(FAILED(Unregister(L"Parent")));
    EXPECT_TRUE(Exists(L"Parent\\Foreign"));
}

// RegDeleteKeyExW is looked up by name, once per process, and RegDeleteKeyW stands in for it.
namespace deletekey {
int g_lookups = 0;
int g_exCalls = 0;
int g_plainCalls = 0;
REGSAM g_exAccess = 0xFFFF;

LSTATUS WINAPI CountingDeleteKeyEx(HKEY key, LPCWSTR name, REGSAM access, DWORD reserved)
{
    ++g_exCalls;
    g_exAccess = access;
    return ::RegDeleteKeyExW(key, name, access, reserved);
}

LSTATUS WINAPI CountingDeleteKey(HKEY key, LPCWSTR name)
{
    ++g_plainCalls;
    return ::RegDeleteKeyW(key, name);
}

void Reset()
{
    g_lookups = g_exCalls = g_plainCalls = 0;
    g_exAccess = 0xFFFF;
}
}  // namespace deletekey

TEST_F(ScriptPlatformFailures, DeleteKeyExIsLookedUpOnceAndUsedWithoutAViewFlag)
{
    deletekey::Reset();
    const ScopedDeleteKeyLookup lookup;
    static HMODULE s_module;
    s_module = nullptr;
    ScopedPlatformOverride moduleLookup(&PlatformApi::GetModuleHandleW, [](LPCWSTR name) -> HMODULE {
        const HMODULE module = RealPlatform().GetModuleHandleW(name);
        if (name != nullptr && ::lstrcmpiW(name, L"Advapi32.dll") == 0)
            s_module = module;
        return module;
    });
    ScopedPlatformOverride procLookup(&PlatformApi::GetProcAddress, [](HMODULE module, LPCSTR name) -> FARPROC {
        if (std::strcmp(name, "RegDeleteKeyExW") != 0 || module != s_module)
            return RealPlatform().GetProcAddress(module, name);
        ++deletekey::g_lookups;
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&deletekey::CountingDeleteKeyEx));
    });
    ScopedPlatformOverride plain(&PlatformApi::RegDeleteKeyW, &deletekey::CountingDeleteKey);

    ASSERT_EQ(Register(L"A { B }"), S_OK);
    ASSERT_EQ(Unregister(L"A { B }"), S_OK);
    ASSERT_EQ(Register(L"C"), S_OK);
    ASSERT_EQ(Unregister(L"C"), S_OK);
    EXPECT_FALSE(Exists(L"A"));
    EXPECT_FALSE(Exists(L"C"));
    EXPECT_EQ(deletekey::g_lookups, 1);
    EXPECT_EQ(deletekey::g_exCalls, 3);
    EXPECT_EQ(deletekey::g_exAccess, 0u);
    EXPECT_EQ(deletekey::g_plainCalls, 0);
}

TEST_F(ScriptPlatformFailures, RegDeleteKeyStandsInWhenDeleteKeyExIsAbsent)
{
    deletekey::Reset();
    const ScopedDeleteKeyLookup lookup;
    ScopedPlatformOverride procLookup(&PlatformApi::GetProcAddress, [](HMODULE module, LPCSTR name) -> FARPROC {
        if (std::strcmp(name, "RegDeleteKeyExW") == 0) {
            ++deletekey::g_lookups;
            return nullptr;
        }
        return RealPlatform().GetProcAddress(module, name);
    });
    ScopedPlatformOverride plain(&PlatformApi::RegDeleteKeyW, &deletekey::CountingDeleteKey);

    Create(L"Forced\\Below");
    ASSERT_EQ(Register(L"ForceRemove Forced\r\nA { B }"), S_OK);
    EXPECT_FALSE(Exists(L"Forced\\Below"));
    ASSERT_EQ(Unregister(L"Forced\r\nA { B }"), S_OK);
    EXPECT_EQ(Snapshot(), std::vector<std::wstring>{L"\\"});
    EXPECT_EQ(deletekey::g_lookups, 1);
    EXPECT_EQ(deletekey::g_plainCalls, 5);  // Below and Forced, then B, A and Forced
}

TEST_F(ScriptPlatformFailures, AllocationFailuresGiveEOutOfMemory)
{
    {
        ScopedPlatformOverride noMemory(&PlatformApi::CoTaskMemAlloc, [](SIZE_T) -> LPVOID { return nullptr; });
        EXPECT_EQ(Register(L"A"), E_OUTOFMEMORY);
    }
    {
        ScopedPlatformOverride noGrowth(&PlatformApi::CoTaskMemRealloc,
                                        [](LPVOID, SIZE_T) -> LPVOID { return nullptr; });
        EXPECT_EQ(Register(L"val Long = s '%L%'", {{L"L", std::wstring(3000, L'l')}}), E_OUTOFMEMORY);
    }
    EXPECT_FALSE(Value(L"", L"Long"));
    EXPECT_FALSE(Exists(L"A"));
}

// ---------------------------------------------------------------------------------------------
// The registrar

TEST(ScriptRegistrar, IsNotReferenceCountedAndHandsOutNoInterfaces)
{
    CScriptRegistrar registrar;
    ASSERT_EQ(registrar.Initialize(), S_OK);
    void* out = &registrar;
    EXPECT_EQ(registrar.QueryInterface(IID_IUnknown, &out), E_NOTIMPL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(registrar.AddRef(), 1u);
    EXPECT_EQ(registrar.Release(), 0u);
    EXPECT_EQ(registrar.Release(), 0u);
}

TEST(ScriptRegistrar, ReplacementsNeedBothStringsAndCanBeCleared)
{
    CScriptRegistrar registrar;
    ASSERT_EQ(registrar.Initialize(), S_OK);
    EXPECT_EQ(registrar.AddReplacement(nullptr, L"x"), E_INVALIDARG);
    EXPECT_EQ(registrar.AddReplacement(L"x", nullptr), E_INVALIDARG);
    std::wstring name = L"Name";
    std::wstring text = L"text";
    ASSERT_EQ(registrar.AddReplacement(name.c_str(), text.c_str()), S_OK);
    name = L"Other";
    text = L"changed";  // the registrar keeps its own copies
    ASSERT_NE(registrar.FindReplacement(L"NAME"), nullptr);
    EXPECT_STREQ(registrar.FindReplacement(L"NAME"), L"text");
    EXPECT_EQ(registrar.FindReplacement(L"Other"), nullptr);
    EXPECT_EQ(registrar.ClearReplacements(), S_OK);
    EXPECT_EQ(registrar.FindReplacement(L"Name"), nullptr);
}

TEST(ScriptRegistrar, InitialisationFailureGivesTheLastError)
{
    ScopedPlatformOverride failInit(&PlatformApi::InitializeCriticalSectionEx,
                                    [](LPCRITICAL_SECTION, DWORD, DWORD) -> BOOL {
                                        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                                        return FALSE;
                                    });
    CScriptRegistrar registrar;
    EXPECT_EQ(registrar.Initialize(), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
}

// ---------------------------------------------------------------------------------------------
// The two scripts of the program, through the module operation

class ProgramScripts : public ::testing::Test
{
protected:
    static std::wstring ClassesPath(const std::wstring& subPath)
    {
        return std::wstring(ScopedUserClasses::kPath) + L"\\" + subPath;
    }
    static std::wstring ClassText(const std::wstring& subPath, const std::wstring& name)
    {
        const auto value = ReadValue(HKEY_CURRENT_USER, ClassesPath(subPath), name);
        return value ? value->AsString() : L"<missing>";
    }
    static std::wstring ExePath()
    {
        wchar_t path[MAX_PATH];
        const DWORD units = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        return std::wstring(path, units);
    }

    static constexpr wchar_t kClsid[] = L"{6D1F3A20-8C44-4B7E-A5D2-19E07C3B5F41}";
    static constexpr wchar_t kLibId[] = L"{9E47B1D2-5A6C-4F38-B017-3C82E5D9A4F6}";
    static constexpr wchar_t kProgId[] = L"VexilSrvs.VexilMgrSrv.1";
    static constexpr wchar_t kIndependentProgId[] = L"VexilSrvs.VexilMgrSrv";

    // On a real system the user's Classes already hold AppID and CLSID, which both scripts
    // mark NoRemove; the test prefix gets them for the length of the test.
    void SetUp() override
    {
        for (const wchar_t* shared : {L"AppID", L"CLSID"}) {
            if (!KeyExists(HKEY_CURRENT_USER, ClassesPath(shared))) {
                CreateKey(HKEY_CURRENT_USER, ClassesPath(shared));
                m_created.emplace_back(ClassesPath(shared));
            }
        }
    }
    void TearDown() override
    {
        const ScopedPerUserRegistration perUser;
        (void)m_module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, FALSE, nullptr);
        (void)m_module.UpdateRegistryFromResource(IDR_APPID, FALSE, kAppIdMap);
        for (const std::wstring& path : m_created)
            DeleteKeyTree(HKEY_CURRENT_USER, path);
    }

    static constexpr ScriptReplacement kAppIdMap[] = {{L"APPID", kAppIdString}, {nullptr, nullptr}};

    ScopedUserClasses m_classes;
    CVexilSrvsModule m_module;
    std::vector<std::wstring> m_created;
};

TEST_F(ProgramScripts, BothScriptsRegisterPerUserAndUnregisterLeavingClassesAsTheyWere)
{
    const std::vector<std::wstring> before = SnapshotTree(HKEY_CURRENT_USER, ScopedUserClasses::kPath);
    const ScopedPerUserRegistration perUser;
    ASSERT_EQ(m_module.UpdateRegistryFromResource(IDR_APPID, TRUE, kAppIdMap), S_OK);
    ASSERT_EQ(m_module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, TRUE, nullptr), S_OK);

    const std::wstring appId = std::wstring(L"AppID\\") + kAppIdString;
    EXPECT_EQ(ClassText(appId, L""), L"VexilSrvs");
    EXPECT_EQ(ClassText(L"AppID\\VexilSrvs.EXE", L"AppID"), kAppIdString);
    EXPECT_EQ(ClassText(kProgId, L""), L"VexilMgrSrv Class");
    EXPECT_EQ(ClassText(std::wstring(kProgId) + L"\\CLSID", L""), kClsid);
    EXPECT_EQ(ClassText(kIndependentProgId, L""), L"VexilMgrSrv Class");
    EXPECT_EQ(ClassText(std::wstring(kIndependentProgId) + L"\\CLSID", L""), kClsid);
    EXPECT_EQ(ClassText(std::wstring(kIndependentProgId) + L"\\CurVer", L""), kProgId);
    const std::wstring classKey = std::wstring(L"CLSID\\") + kClsid;
    EXPECT_EQ(ClassText(classKey, L""), L"VexilMgrSrv Class");
    EXPECT_EQ(ClassText(classKey, L"AppID"), kAppIdString);
    EXPECT_EQ(ClassText(classKey + L"\\ProgID", L""), kProgId);
    EXPECT_EQ(ClassText(classKey + L"\\VersionIndependentProgID", L""), kIndependentProgId);
    EXPECT_EQ(ClassText(classKey + L"\\LocalServer32", L""), L"\"" + ExePath() + L"\"");
    EXPECT_EQ(ClassText(classKey + L"\\TypeLib", L""), kLibId);

    EXPECT_EQ(m_module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, FALSE, nullptr), S_OK);
    EXPECT_EQ(m_module.UpdateRegistryFromResource(IDR_APPID, FALSE, kAppIdMap), S_OK);
    EXPECT_EQ(SnapshotTree(HKEY_CURRENT_USER, ScopedUserClasses::kPath), before);
}

TEST_F(ProgramScripts, ClassKeyIsForceRemovedButProgIdKeysKeepForeignSubkeys)
{
    const ScopedPerUserRegistration perUser;
    ASSERT_EQ(m_module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, TRUE, nullptr), S_OK);
    const std::wstring classKey = std::wstring(L"CLSID\\") + kClsid;
    CreateKey(HKEY_CURRENT_USER, ClassesPath(classKey + L"\\Foreign"));
    CreateKey(HKEY_CURRENT_USER, ClassesPath(std::wstring(kProgId) + L"\\Foreign"));

    ASSERT_EQ(m_module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, TRUE, nullptr), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ClassesPath(classKey + L"\\Foreign")));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, ClassesPath(std::wstring(kProgId) + L"\\Foreign")));

    // Unregistration leaves the ProgID key that still holds the foreign subkey.
    ASSERT_EQ(m_module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, FALSE, nullptr), S_OK);
    EXPECT_EQ(ClassText(kProgId, L""), L"VexilMgrSrv Class");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ClassesPath(std::wstring(kProgId) + L"\\CLSID")));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ClassesPath(classKey)));
    DeleteKeyTree(HKEY_CURRENT_USER, ClassesPath(kProgId));
}

TEST_F(ProgramScripts, CallerPairsComeFirstAndPairsWithoutTextAreSkipped)
{
    const ScopedPerUserRegistration perUser;
    const ScriptReplacement own[] = {{L"APPID", nullptr}, {L"appid", L"{Callers}"}, {nullptr, nullptr}};
    ASSERT_EQ(m_module.UpdateRegistryFromResource(IDR_APPID, TRUE, own), S_OK);
    EXPECT_EQ(ClassText(L"AppID\\{Callers}", L""), L"VexilSrvs");
    EXPECT_EQ(ClassText(L"AppID\\VexilSrvs.EXE", L"AppID"), L"{Callers}");
    ASSERT_EQ(m_module.UpdateRegistryFromResource(IDR_APPID, FALSE, own), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ClassesPath(L"AppID\\{Callers}")));
}

TEST_F(ProgramScripts, ModulePathWithAQuoteReadsBackWithOneQuote)
{
    const std::wstring directory = MakeTempDirectory(L"it's");
    static std::wstring s_copy;
    s_copy = directory + L"\\Vexil'Copy.exe";
    ASSERT_TRUE(::CopyFileW(ExePath().c_str(), s_copy.c_str(), FALSE));
    {
        ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, [](HMODULE, LPWSTR buffer, DWORD units) -> DWORD {
            const DWORD length = static_cast<DWORD>(s_copy.size());
            if (length >= units)
                return 0;
            std::wmemcpy(buffer, s_copy.c_str(), length + 1);
            return length;
        });
        const ScopedPerUserRegistration perUser;
        ASSERT_EQ(m_module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, TRUE, nullptr), S_OK);
    }
    EXPECT_EQ(ClassText(std::wstring(L"CLSID\\") + kClsid + L"\\LocalServer32", L""), L"\"" + s_copy + L"\"");
    RemoveDirectoryTree(directory);
}

TEST_F(ProgramScripts, ModuleOfALibraryIsNotQuoted)
{
    ScopedPlatformOverride notTheExe(&PlatformApi::GetModuleHandleW, [](LPCWSTR name) -> HMODULE {
        return name == nullptr ? reinterpret_cast<HMODULE>(0x10000) : RealPlatform().GetModuleHandleW(name);
    });
    const ScopedPerUserRegistration perUser;
    ASSERT_EQ(m_module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, TRUE, nullptr), S_OK);
    EXPECT_EQ(ClassText(std::wstring(L"CLSID\\") + kClsid + L"\\LocalServer32", L""), ExePath());
}

TEST_F(ProgramScripts, ModulePathFailures)
{
    {
        ScopedPlatformOverride full(&PlatformApi::GetModuleFileNameW,
                                    [](HMODULE, LPWSTR buffer, DWORD units) -> DWORD {
                                        std::wmemset(buffer, L'x', units);
                                        return units;
                                    });
        EXPECT_EQ(m_module.UpdateRegistryFromResource(IDR_APPID, TRUE, kAppIdMap), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    }
    {
        ScopedPlatformOverride none(&PlatformApi::GetModuleFileNameW, [](HMODULE, LPWSTR, DWORD) -> DWORD {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        });
        EXPECT_EQ(m_module.UpdateRegistryFromResource(IDR_APPID, TRUE, kAppIdMap), E_ACCESSDENIED);
    }
}

TEST_F(ProgramScripts, ResourceFailuresGiveTheLastError)
{
    const ScopedPerUserRegistration perUser;
    EXPECT_EQ(m_module.UpdateRegistryFromResource(999, TRUE, nullptr), HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
    {
        static std::vector<DWORD> s_flags;
        s_flags.clear();
        ScopedPlatformOverride noFile(&PlatformApi::LoadLibraryExW, [](LPCWSTR, HANDLE, DWORD flags) -> HMODULE {
            s_flags.push_back(flags);
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        });
        EXPECT_EQ(m_module.UpdateRegistryFromResource(IDR_APPID, TRUE, kAppIdMap), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(s_flags, (std::vector<DWORD>{0x60, 0x2}));
    }
    {
        ScopedPlatformOverride badText(&PlatformApi::MultiByteToWideChar,
                                       [](UINT, DWORD, LPCCH, int, LPWSTR, int) -> int {
                                           ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                                           return 0;
                                       });
        EXPECT_EQ(m_module.UpdateRegistryFromResource(IDR_APPID, TRUE, kAppIdMap),
                  HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
    }
    {
        // Script 102 is longer than the stack buffer and needs the heap.
        ScopedPlatformOverride noMemory(&PlatformApi::CoTaskMemAlloc, [](SIZE_T) -> LPVOID { return nullptr; });
        EXPECT_EQ(m_module.UpdateRegistryFromResource(IDR_VEXILMGRSRV, TRUE, nullptr), E_OUTOFMEMORY);
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ClassesPath(std::wstring(L"AppID\\") + kAppIdString)));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ClassesPath(kProgId)));
}

}  // namespace
