// Randomized scripts with fixed seeds, mutations of the program's two scripts and scripts made
// from the grammar, applied while every root key stands in for a scratch key. Each result must be
// S_OK or a listed failure, no stand-in may be deleted, no key outside may change, and no read may
// pass the end of the text.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "registration/tests/ScriptTestSupport.h"
#include "resources/resource.h"

namespace {

// The engine's sequence is fixed by the language standard, so every platform runs the same cases.
std::mt19937_64 g_random;
std::size_t Below(std::size_t bound)
{
    return static_cast<std::size_t>(g_random() % bound);
}
template <std::size_t N>
const wchar_t* Pick(const wchar_t* const (&items)[N])
{
    return items[Below(N)];
}

const wchar_t* const kRoots[] = {L"HKCR", L"HKCR", L"hkcr", L"HKCU", L"HKEY_CLASSES_ROOT", L"HKLM", L"HKU", L"HKXX"};
const wchar_t* const kPrefixes[] = {L" ", L"\r\n\t", L" ForceRemove ", L" Delete ", L" NoRemove ", L" val "};
const wchar_t* const kNames[] = {L"Key", L"CLSID", L"AppID", L"'With Space'", L"'it''s'", L"'%APPID%'", L"Glued=",
                                 L"'}'", L"''", L"'a\\b'", L"Val", L"NoRemove"};
const wchar_t* const kValues[] = {L"", L"", L" = s 'text'", L" = S plain", L" = m 'a\\0b'", L" = d 17", L" = d x",
                                  L" = b '0aFz'", L" = b 'abc'", L" = q 'x'", L" = s '%MODULE%'", L" = s '100%%'"};
const wchar_t* const kFragments[] = {L"{", L"}", L"=", L"'", L"%", L"%%", L"%APPID%", L"%Nowhere%", L"\\0", L" ",
                                     L"HKCR", L"ForceRemove ", L"val x = ", L"\U0001F600", L"\xD800", L"''''"};

std::wstring KeyList(unsigned depth)
{
    std::wstring list = L"{";
    for (std::size_t items = Below(5); items > 0; --items) {
        list += std::wstring(Pick(kPrefixes)) + Pick(kNames) + Pick(kValues);
        if (depth < 4 && Below(2) == 0)
            list += L"\r\n" + KeyList(depth + 1);
    }
    return list + L" }";
}

std::wstring ScriptResource(UINT id)
{
    const HRSRC resource = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), L"REGISTRY");
    const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(nullptr, resource)));
    return std::wstring(bytes, bytes + ::SizeofResource(nullptr, resource));  // the scripts are ASCII
}

std::wstring MakeScript()
{
    std::wstring text;
    for (std::size_t blocks = 1 + Below(3); blocks > 0; --blocks)
        text += std::wstring(Pick(kRoots)) + L" " + KeyList(0) + L"\r\n";
    if (Below(3) == 0)
        text = ScriptResource(Below(2) == 0 ? IDR_APPID : IDR_VEXILMGRSRV);
    for (std::size_t edits = Below(5); edits > 0; --edits) {
        const std::size_t at = Below(text.size() + 1);
        switch (Below(4)) {
        case 0: text.insert(at, Pick(kFragments)); break;
        case 1: text.erase(at, 1 + Below(20)); break;
        case 2: text.resize(Below(4) == 0 ? at : text.size()); break;
        default: text.insert(at, std::wstring(Below(10) == 0 ? 4094 + Below(3) : 1, L'x')); break;
        }
    }
    return text;
}

// The text ends right before an inaccessible page, so a read past its NUL faults.
HRESULT ApplyGuarded(const std::wstring& script, bool bRegister)
{
    CScriptRegistrar registrar;
    if (FAILED(registrar.Initialize()) || FAILED(registrar.AddReplacement(L"APPID", kAppIdString)) ||
        FAILED(registrar.AddReplacement(L"Module", L"\"C:\\Vexil Boards\\Vexil''s Srvs.exe\"")))
        return E_UNEXPECTED;
    const SIZE_T bytes = (script.size() + 1) * sizeof(wchar_t);
    const SIZE_T pages = (bytes + 4095) / 4096;
    auto* base = static_cast<BYTE*>(::VirtualAlloc(nullptr, (pages + 1) * 4096, MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    ::VirtualProtect(base + pages * 4096, 4096, PAGE_NOACCESS, &old);
    auto* text = reinterpret_cast<wchar_t*>(base + pages * 4096 - bytes);
    std::memcpy(text, script.c_str(), bytes);
    const HRESULT hr = CScriptParser(registrar).RegisterBuffer(text, bRegister ? TRUE : FALSE);
    ::VirtualFree(base, 0, MEM_RELEASE);
    return hr;
}

// Subkey and value counts and time of last change of keys outside the scratch key.
std::vector<ULONGLONG> Marks(const std::vector<HKEY>& keys)
{
    std::vector<ULONGLONG> marks;
    for (HKEY key : keys) {
        DWORD subkeys = 0;
        DWORD values = 0;
        FILETIME written{};
        ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                           nullptr, &written);
        marks.insert(marks.end(), {subkeys, values, ULONGLONG{written.dwHighDateTime} << 32 | written.dwLowDateTime});
    }
    return marks;
}

TEST(ScriptFuzz, EveryScriptGivesAListedResultAndStaysInsideItsScratchKey)
{
    // Opened before the roots are stood in for, so these are the real keys.
    std::vector<HKEY> outside(3);
    ASSERT_EQ(::RegOpenCurrentUser(KEY_READ, &outside[0]), ERROR_SUCCESS);
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_READ, &outside[1]), ERROR_SUCCESS);
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID", 0, KEY_READ, &outside[2]), ERROR_SUCCESS);
    const std::vector<ULONGLONG> before = Marks(outside);
    {
        const ScratchRoots roots;
        for (const unsigned seed : {1u, 0x5EED5EEDu, 20240611u}) {
            g_random.seed(seed);
            for (unsigned index = 0; index < 100; ++index) {
                const std::wstring script = MakeScript();
                const ScopedPerUser perUser(Below(4) == 0);
                for (const bool bRegister : {true, Below(2) == 0, false}) {
                    const HRESULT hr = ApplyGuarded(script, bRegister);
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
    for (HKEY key : outside)
        ::RegCloseKey(key);
}

}  // namespace
