#include "tests/e2e/RegistrationEntries.h"

#include <vector>

namespace {

constexpr wchar_t kClassName[] = L"VexilMgrSrv Class";
const std::wstring kProgId = L"VexilSrvs.VexilMgrSrv.1";
const std::wstring kIndependentProgId = L"VexilSrvs.VexilMgrSrv";

}  // namespace

Entries ServerEntries(HKEY root, const std::wstring& base)
{
    Entries entries;
    for (std::vector<std::wstring> pending = {kServerAppIdKey, kExeAppIdKey, kProgId, kIndependentProgId, kServerClassKey};
         !pending.empty();) {
        const std::wstring path = pending.back();
        pending.pop_back();
        for (const std::wstring& name : ValueNames(root, base + path)) {
            const auto value = ReadValue(root, base + path, name);
            entries[path + L"|" + name] = value->type == REG_SZ ? value->AsString() : L"<not REG_SZ>";
        }
        for (const std::wstring& subkey : SubkeyNames(root, base + path))
            pending.push_back(path + L"\\" + subkey);
    }
    return entries;
}

Entries ExpectedEntries(const std::wstring& executable, Mode mode)
{
    if (mode == Mode::Unregistered)
        return {};
    Entries entries = {
        {kServerAppIdKey + L"|", L"VexilSrvs"}, {kExeAppIdKey + L"|AppID", kAppId},
        {kProgId + L"|", kClassName}, {kProgId + L"\\CLSID|", kClsid},
        {kIndependentProgId + L"|", kClassName}, {kIndependentProgId + L"\\CLSID|", kClsid},
        {kIndependentProgId + L"\\CurVer|", kProgId}, {kServerClassKey + L"|", kClassName}, {kServerClassKey + L"|AppID", kAppId},
        {kServerClassKey + L"\\ProgID|", kProgId}, {kServerClassKey + L"\\VersionIndependentProgID|", kIndependentProgId},
        {kServerClassKey + L"\\LocalServer32|", Quoted(executable)},
        {kServerClassKey + L"\\TypeLib|", L"{9E47B1D2-5A6C-4F38-B017-3C82E5D9A4F6}"},
    };
    if (mode == Mode::LocalServer)
        entries[kServerAppIdKey + L"|RunAs"] = L"Interactive User";
    if (mode == Mode::Service)
        entries[kServerAppIdKey + L"|LocalService"] = L"VexilSrvs";
    return entries;
}

std::wstring RegisteredTypeLibPath(HKEY root, const std::wstring& base)
{
    const auto value = ReadValue(root, base + kServerTypeLibKey + L"\\1.0\\0\\win64", L"");
    return value ? value->AsString() : L"<absent>";
}

std::wstring ServiceEntry()
{
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    const UniqueScHandle service = OpenHostService(SERVICE_QUERY_CONFIG);
    if (!service || !::QueryServiceConfigW(service.get(), config, 8192, &needed))
        return L"<none>";
    return std::wstring(config->lpBinaryPathName) + L"|" + config->lpDisplayName;
}
