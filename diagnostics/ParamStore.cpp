#include "diagnostics/DiagnosticsNames.h"
#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

DWORD CVexilSrvsModule::ReadParamDword(std::wstring_view subKey, const wchar_t* valueName,
                                       DWORD defaultValue) noexcept
{
    // Every read opens the key again, so a changed value counts from the next read on.
    std::wstring path;
    try {
        path.reserve(std::size(kParamsKeyPath) + 1 + subKey.size());
        path.append(kParamsKeyPath).append(1, L'\\').append(subKey);
    } catch (...) {
        return defaultValue;
    }

    UniqueRegKey key;
    if (Platform().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                                 key.put()) != ERROR_SUCCESS)
        return defaultValue;

    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS status = Platform().RegQueryValueExW(key.get(), valueName, nullptr, &type,
                                                       reinterpret_cast<BYTE*>(&value), &size);
    // Only a REG_DWORD counts; digits in a string, a QWORD or a big-endian DWORD do not.
    return status == ERROR_SUCCESS && type == REG_DWORD ? value : defaultValue;
}
