#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "host/VexilSrvsModule.h"
#include "registration/ScriptParser.h"
#include "registration/ScriptRegistrar.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestRegistry.h"

using Variables = std::vector<std::pair<std::wstring, std::wstring>>;

// HKEY_PERFORMANCE_DATA cannot be stood in for under Wine; no test names it.
inline const HKEY kStoodInRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                     HKEY_USERS,        HKEY_DYN_DATA,     HKEY_CURRENT_CONFIG};

// While it lives, every root key a script may name stands, for this whole process, for a subkey
// of a scratch key, so no script reaches the real registry. Tests read the stand-ins through
// StandIn: the test registry helpers ask for the 64-bit view, and Wine then opens the real root.
class ScratchRoots
{
public:
    ScratchRoots()
    {
        for (std::size_t i = 0; i < std::size(m_standIns); ++i) {
            ::RegCreateKeyExW(m_scratch.key(), std::to_wstring(i).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &m_standIns[i], nullptr);
            ::RegOverridePredefKey(kStoodInRoots[i], m_standIns[i]);
        }
    }
    ~ScratchRoots()
    {
        for (std::size_t i = 0; i < std::size(m_standIns); ++i) {
            ::RegOverridePredefKey(kStoodInRoots[i], nullptr);
            ::RegCloseKey(m_standIns[i]);
        }
    }
    [[nodiscard]] HKEY StandIn(HKEY root) const
    {
        return m_standIns[std::find(std::begin(kStoodInRoots), std::end(kStoodInRoots), root) - kStoodInRoots];
    }
    // What 'read' answers while 'root' is the real one.
    template <typename Read>
    auto ThroughRealRoot(HKEY root, Read read) const
    {
        ::RegOverridePredefKey(root, nullptr);
        const auto result = read();
        ::RegOverridePredefKey(root, StandIn(root));
        return result;
    }
    // True when every stand-in still exists and, with 'empty', holds no key and no value.
    [[nodiscard]] bool Intact(bool empty = false) const
    {
        return std::all_of(std::begin(m_standIns), std::end(m_standIns), [empty](HKEY standIn) {
            DWORD subkeys = 0, values = 0;
            return ::RegQueryInfoKeyW(standIn, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                      nullptr, nullptr, nullptr) == ERROR_SUCCESS && (!empty || subkeys + values == 0);
        });
    }
    void Clear() const
    {
        for (HKEY standIn : m_standIns)
            ::RegDeleteTreeW(standIn, nullptr);
    }

private:
    ScratchKey m_scratch;
    HKEY m_standIns[std::size(kStoodInRoots)] = {};
};

// While it lives, values are stored with exactly the bytes their writer gives: Wine adds a missing
// terminator to a string whose next character in memory is NUL, which would hide a size without it.
struct ExactValueSizes
{
    ScopedPlatformOverride<decltype(&::RegSetValueExW)> set{&PlatformApi::RegSetValueExW,
        [](HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
            std::vector<BYTE> copy(data, data + (data != nullptr ? size : 0));
            copy.insert(copy.end(), {0x21, 0x21});  // a character that is not NUL after the data
            return RealPlatform().RegSetValueExW(key, name, reserved, type, data ? copy.data() : nullptr, size);
        }};
};

// Applies 'text' through a fresh registrar and parser with 'variables' defined.
[[nodiscard]] inline HRESULT ApplyScript(const std::wstring& text, bool bRegister, const Variables& variables = {})
{
    CScriptRegistrar registrar;
    if (FAILED(registrar.Initialize()))
        return E_UNEXPECTED;
    for (const auto& [name, value] : variables)
        (void)registrar.AddReplacement(name.c_str(), value.c_str());
    return CScriptParser(registrar).RegisterBuffer(text.c_str(), bRegister ? TRUE : FALSE);
}

// Creates root\path, for tests to find there before a script runs.
inline void CreateKey(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS)
        ::RegCloseKey(key);
}

// Sets the per-user registration flag for its lifetime.
struct ScopedPerUser
{
    explicit ScopedPerUser(bool bPerUser = true) noexcept : bSaved(std::exchange(g_bPerUserRegistration, bPerUser)) {}
    ~ScopedPerUser() { g_bPerUserRegistration = bSaved; }
    bool bSaved;
};
