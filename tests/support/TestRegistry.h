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
    [[nodiscard]] DWORD AsDword() const;
};

// One value as it was before a test changed it (no value: absent); put back on destruction.
struct SavedRegistryValue
{
    SavedRegistryValue(HKEY root, std::wstring keyPath, std::wstring valueName);
    ~SavedRegistryValue();
    SavedRegistryValue(const SavedRegistryValue&) = delete;
    SavedRegistryValue& operator=(const SavedRegistryValue&) = delete;

    HKEY root;
    std::wstring keyPath;
    std::wstring valueName;
    std::optional<RegistryValue> old;
};

// Deletes a key with everything below it; a missing key is no error.
void DeleteKeyTree(HKEY root, const std::wstring& path);

// Writes one value (creating the key), and on destruction restores the value that was there
// before, or deletes it. Neither this nor the next class can be copied (their saved value cannot).
class ScopedRegistryValue
{
public:
    ScopedRegistryValue(HKEY root, std::wstring keyPath, std::wstring valueName, DWORD type,
                        const void* data, DWORD size);

    static ScopedRegistryValue Dword(HKEY root, std::wstring keyPath, std::wstring valueName, DWORD value);
    static ScopedRegistryValue String(HKEY root, std::wstring keyPath, std::wstring valueName,
                                      const std::wstring& value, DWORD type = REG_SZ);

private:
    SavedRegistryValue m_saved;
};

// Removes a value for the duration of a test and restores it afterwards.
class ScopedRegistryValueAbsent
{
public:
    ScopedRegistryValueAbsent(HKEY root, std::wstring keyPath, std::wstring valueName);

private:
    SavedRegistryValue m_saved;
};

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
