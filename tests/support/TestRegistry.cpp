#include "tests/support/TestRegistry.h"

#include <atomic>
#include <stdexcept>

#include "support/UniqueHandle.h"

namespace {

std::optional<RegistryValue> ReadRaw(HKEY root, const std::wstring& path, const std::wstring& name)
{
    UniqueRegKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    RegistryValue value;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type,
                           value.data.empty() ? nullptr : value.data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    return value;
}

void WriteRaw(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type,
              const void* data, DWORD size)
{
    UniqueRegKey key;
    if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                          key.put(), nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create test key");
    if (::RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS)
        throw std::runtime_error("cannot write test value");
}

void DeleteRaw(HKEY root, const std::wstring& path, const std::wstring& name)
{
    UniqueRegKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, key.put()) == ERROR_SUCCESS)
        ::RegDeleteValueW(key.get(), name.c_str());
}

void Restore(HKEY root, const std::wstring& path, const std::wstring& name, bool hadValue, DWORD type,
             const std::vector<BYTE>& data)
{
    if (hadValue)
        WriteRaw(root, path, name, type, data.data(), static_cast<DWORD>(data.size()));
    else
        DeleteRaw(root, path, name);
}

}  // namespace

void DeleteKeyTree(HKEY root, const std::wstring& path)
{
    ::RegDeleteTreeW(root, path.c_str());
    ::RegDeleteKeyW(root, path.c_str());
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, std::wstring keyPath, std::wstring valueName,
                                         DWORD type, const void* data, DWORD size)
    : m_root(root), m_keyPath(std::move(keyPath)), m_valueName(std::move(valueName))
{
    if (auto old = ReadRaw(m_root, m_keyPath, m_valueName)) {
        m_hadValue = true;
        m_oldType = old->type;
        m_oldData = std::move(old->data);
    }
    WriteRaw(m_root, m_keyPath, m_valueName, type, data, size);
}

ScopedRegistryValue::~ScopedRegistryValue()
{
    try {
        Restore(m_root, m_keyPath, m_valueName, m_hadValue, m_oldType, m_oldData);
    } catch (...) {
    }
}

ScopedRegistryValue ScopedRegistryValue::Dword(HKEY root, std::wstring keyPath, std::wstring valueName,
                                               DWORD value)
{
    return ScopedRegistryValue(root, std::move(keyPath), std::move(valueName), REG_DWORD, &value,
                               sizeof(value));
}

ScopedRegistryValue ScopedRegistryValue::String(HKEY root, std::wstring keyPath, std::wstring valueName,
                                                const std::wstring& value, DWORD type)
{
    return ScopedRegistryValue(root, std::move(keyPath), std::move(valueName), type, value.c_str(),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

ScopedRegistryValueAbsent::ScopedRegistryValueAbsent(HKEY root, std::wstring keyPath, std::wstring valueName)
    : m_root(root), m_keyPath(std::move(keyPath)), m_valueName(std::move(valueName))
{
    if (auto old = ReadRaw(m_root, m_keyPath, m_valueName)) {
        m_hadValue = true;
        m_oldType = old->type;
        m_oldData = std::move(old->data);
        DeleteRaw(m_root, m_keyPath, m_valueName);
    }
}

ScopedRegistryValueAbsent::~ScopedRegistryValueAbsent()
{
    try {
        if (m_hadValue)
            Restore(m_root, m_keyPath, m_valueName, true, m_oldType, m_oldData);
    } catch (...) {
    }
}

ScratchKey::ScratchKey()
{
    static std::atomic<unsigned> counter{0};
    m_path = L"Software\\VexilTests\\" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter);
    DeleteKeyTree(HKEY_CURRENT_USER, m_path);
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key,
                          nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create scratch key");
}

ScratchKey::~ScratchKey()
{
    if (m_key != nullptr)
        ::RegCloseKey(m_key);
    DeleteKeyTree(HKEY_CURRENT_USER, m_path);
}

std::wstring RegistryValue::AsString() const
{
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

DWORD RegistryValue::AsDword() const
{
    DWORD value = 0;
    memcpy(&value, data.data(), data.size() < sizeof(value) ? data.size() : sizeof(value));
    return value;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    UniqueRegKey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) == ERROR_SUCCESS;
}

std::optional<RegistryValue> ReadValue(HKEY root, const std::wstring& path, const std::wstring& valueName)
{
    return ReadRaw(root, path, valueName);
}

std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring& path)
{
    std::vector<std::wstring> names;
    UniqueRegKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        if (::RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& path)
{
    std::vector<std::wstring> names;
    UniqueRegKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD length = 16384;
        if (::RegEnumValueW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}
