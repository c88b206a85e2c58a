#include "tests/support/TestRegistry.h"

#include <atomic>
#include <stdexcept>

#include "support/UniqueHandle.h"

namespace {

UniqueRegKey OpenKey(HKEY root, const std::wstring& path, REGSAM access)
{
    UniqueRegKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, access | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

void WriteRaw(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type, const void* data, DWORD size)
{
    UniqueRegKey key;
    if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(),
                          nullptr) != ERROR_SUCCESS ||
        ::RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS)
        throw std::runtime_error("cannot write test value");
}

void DeleteRaw(HKEY root, const std::wstring& path, const std::wstring& name)
{
    if (const UniqueRegKey key = OpenKey(root, path, KEY_SET_VALUE))
        ::RegDeleteValueW(key.get(), name.c_str());
}

// Names of the subkeys or values of a key, as RegEnumKeyExW or RegEnumValueW ('enumerate') lists them.
template <typename Enumerate>
std::vector<std::wstring> NamesBelow(HKEY root, const std::wstring& path, Enumerate enumerate)
{
    std::vector<std::wstring> names;
    const UniqueRegKey key = OpenKey(root, path, KEY_READ);
    std::wstring name(16384, L'\0');
    DWORD length = 16384;
    for (DWORD index = 0; key && enumerate(key.get(), index, name.data(), &length, nullptr, nullptr, nullptr,
                                           nullptr) == ERROR_SUCCESS; ++index, length = 16384)
        names.emplace_back(name.data(), length);
    return names;
}

}  // namespace

void DeleteKeyTree(HKEY root, const std::wstring& path)
{
    ::RegDeleteTreeW(root, path.c_str());
    ::RegDeleteKeyW(root, path.c_str());
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, std::wstring keyPath, std::wstring valueName)
    : m_root(root), m_keyPath(std::move(keyPath)), m_valueName(std::move(valueName)),
      m_old(ReadValue(m_root, m_keyPath, m_valueName))
{
    DeleteRaw(m_root, m_keyPath, m_valueName);
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, std::wstring keyPath, std::wstring valueName, DWORD type,
                                         const void* data, DWORD size)
    : ScopedRegistryValue(root, std::move(keyPath), std::move(valueName))
{
    WriteRaw(m_root, m_keyPath, m_valueName, type, data, size);
}

ScopedRegistryValue::~ScopedRegistryValue()
{
    try {
        if (m_old)
            WriteRaw(m_root, m_keyPath, m_valueName, m_old->type, m_old->data.data(),
                     static_cast<DWORD>(m_old->data.size()));
        else
            DeleteRaw(m_root, m_keyPath, m_valueName);
    } catch (...) {
    }
}

ScopedRegistryValue ScopedRegistryValue::Dword(HKEY root, std::wstring keyPath, std::wstring valueName, DWORD value)
{
    return ScopedRegistryValue(root, std::move(keyPath), std::move(valueName), REG_DWORD, &value, sizeof(value));
}

ScratchKey::ScratchKey()
{
    static std::atomic<unsigned> counter{0};
    m_path = L"Software\\VexilTests\\" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    DeleteKeyTree(HKEY_CURRENT_USER, m_path);
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key,
                          nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create scratch key");
}

ScratchKey::~ScratchKey()
{
    ::RegCloseKey(m_key);
    DeleteKeyTree(HKEY_CURRENT_USER, m_path);
}

std::wstring RegistryValue::AsString() const
{
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    return !text.empty() && text.back() == L'\0' ? text.substr(0, text.size() - 1) : text;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    return OpenKey(root, path, KEY_READ).valid();
}

std::optional<RegistryValue> ReadValue(HKEY root, const std::wstring& path, const std::wstring& valueName)
{
    const UniqueRegKey key = OpenKey(root, path, KEY_READ);
    RegistryValue value;
    DWORD size = 0;
    if (!key || ::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size + 1);  // never empty, so the buffer is never null
    if (::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    return value;
}

std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring& path)
{
    return NamesBelow(root, path, [](auto... arguments) { return ::RegEnumKeyExW(arguments...); });
}

std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& path)
{
    return NamesBelow(root, path, [](auto... arguments) { return ::RegEnumValueW(arguments...); });
}
