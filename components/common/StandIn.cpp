#include "components/common/StandIn.h"

#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "support/Hresult.h"

namespace {

constexpr wchar_t kClsidKeyPath[] = L"CLSID\\";

std::wstring ClsidKeyPath(const CLSID& clsid)
{
    wchar_t text[64] = {};
    ::StringFromGUID2(clsid, text, static_cast<int>(std::size(text)));
    return std::wstring(kClsidKeyPath) + text;
}

HRESULT SetStringValue(HKEY key, const wchar_t* name, const std::wstring& value)
{
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    return HResultFromWin32(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                             bytes));
}

HRESULT CreateKey(HKEY parent, const std::wstring& path, UniqueRegKey& key)
{
    return HResultFromWin32(::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                                              nullptr));
}

}  // namespace

StandInKnobs::StandInKnobs(const wchar_t* component) noexcept
{
    const std::wstring path = std::wstring(kStandInsKeyPath) + component;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, m_key.put()) !=
        ERROR_SUCCESS)
        m_key.reset();
}

std::optional<DWORD> StandInKnobs::Dword(const wchar_t* name) const noexcept
{
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    if (!m_key || ::RegQueryValueExW(m_key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
                      ERROR_SUCCESS ||
        type != REG_DWORD)
        return std::nullopt;
    return value;
}

std::optional<HRESULT> StandInKnobs::Hresult(const wchar_t* name) const noexcept
{
    const std::optional<DWORD> value = Dword(name);
    if (!value)
        return std::nullopt;
    return static_cast<HRESULT>(*value);
}

std::wstring StandInKnobs::String(const wchar_t* name) const noexcept
{
    const std::vector<std::wstring> strings = MultiString(name);
    return strings.empty() ? std::wstring() : strings.front();
}

std::vector<std::wstring> StandInKnobs::MultiString(const wchar_t* name) const noexcept
{
    std::vector<std::wstring> strings;
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (!m_key || ::RegQueryValueExW(m_key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return strings;
    std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
    if (::RegQueryValueExW(m_key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
        return strings;
    // Both kinds are NUL-separated strings; a REG_SZ is a list of one.
    for (const wchar_t* p = data.c_str(); *p != L'\0'; p += wcslen(p) + 1)
        strings.emplace_back(p);
    return strings;
}

void AppendCallLog(const std::wstring& logPath, const std::wstring& text) noexcept
{
    if (logPath.empty())
        return;
    UniqueKernelHandle file(::CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    char line[512] = {};
    const int length = snprintf(line, sizeof(line), "%lu %ls\r\n", ::GetCurrentProcessId(), text.c_str());
    if (length <= 0)
        return;
    DWORD written = 0;
    ::WriteFile(file.get(), line, static_cast<DWORD>(std::min<size_t>(length, sizeof(line) - 1)), &written, nullptr);
}

std::wstring ModulePath(HMODULE module) noexcept
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

HRESULT RegisterInprocServer(HMODULE module, const CLSID& clsid, const wchar_t* description,
                             const wchar_t* threadingModel) noexcept
{
    const std::wstring path = ModulePath(module);
    if (path.empty())
        return HResultFromLastError();

    UniqueRegKey classKey;
    VEXIL_RETURN_IF_FAILED(CreateKey(HKEY_CLASSES_ROOT, ClsidKeyPath(clsid), classKey));
    VEXIL_RETURN_IF_FAILED(SetStringValue(classKey.get(), nullptr, description));
    UniqueRegKey serverKey;
    VEXIL_RETURN_IF_FAILED(CreateKey(classKey.get(), L"InprocServer32", serverKey));
    VEXIL_RETURN_IF_FAILED(SetStringValue(serverKey.get(), nullptr, path));
    return SetStringValue(serverKey.get(), L"ThreadingModel", threadingModel);
}

HRESULT UnregisterInprocServer(const CLSID& clsid) noexcept
{
    const LSTATUS status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, ClsidKeyPath(clsid).c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromWin32(status);
}

HRESULT StandInClassFactory::QueryInterface(REFIID iid, void** ppv) noexcept
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
        return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
}

ULONG StandInClassFactory::AddRef() noexcept
{
    DllUsage::Add();
    return 2;
}

ULONG StandInClassFactory::Release() noexcept
{
    DllUsage::Remove();
    return 1;
}

HRESULT StandInClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** ppv) noexcept
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    return m_create(outer, iid, ppv);
}

HRESULT StandInClassFactory::LockServer(BOOL lock) noexcept
{
    if (lock)
        DllUsage::Add();
    else
        DllUsage::Remove();
    return S_OK;
}
