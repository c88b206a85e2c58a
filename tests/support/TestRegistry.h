#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// Registry helpers for tests: every key or value a test writes is put back as it was when the
// helper object goes out of scope.

struct RegistryValue
{
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    [[nodiscard]] std::wstring AsString() const;  // REG_SZ / REG_EXPAND_SZ without the final NUL
};

// Deletes a key with everything below it; a missing key is no error.
void DeleteKeyTree(HKEY root, const std::wstring& path);

// Writes one value (creating the key), or without data removes it, and on destruction puts back
// the value that was there before, or deletes it. It cannot be copied (its saved value cannot).
class ScopedRegistryValue
{
public:
    ScopedRegistryValue(HKEY root, std::wstring keyPath, std::wstring valueName, DWORD type,
                        const void* data, DWORD size);
    ScopedRegistryValue(HKEY root, std::wstring keyPath, std::wstring valueName);
    ~ScopedRegistryValue();
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

    static ScopedRegistryValue Dword(HKEY root, std::wstring keyPath, std::wstring valueName, DWORD value);

private:
    HKEY m_root;
    std::wstring m_keyPath, m_valueName;
    std::optional<RegistryValue> m_old;
};
// Removes a value for the duration of a test and restores it afterwards.
using ScopedRegistryValueAbsent = ScopedRegistryValue;

// A fresh key below HKEY_CURRENT_USER\Software\VexilTests, deleted with its subtree at the end.
class ScratchKey
{
public:
    ScratchKey();
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    [[nodiscard]] const std::wstring& path() const noexcept { return m_path; }  // below HKCU
    [[nodiscard]] HKEY key() const noexcept { return m_key; }

private:
    std::wstring m_path;
    HKEY m_key = nullptr;
};

[[nodiscard]] bool KeyExists(HKEY root, const std::wstring& path);
[[nodiscard]] std::optional<RegistryValue> ReadValue(HKEY root, const std::wstring& path,
                                                     const std::wstring& valueName);
[[nodiscard]] std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring& path);
[[nodiscard]] std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& path);
