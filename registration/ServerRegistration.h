#pragma once

#include <windows.h>

// Writes the AppID value that selects how the COM runtime starts the server: "LocalService"
// naming the service when serviceName is given, else "RunAs" = "Interactive User". The other
// value is removed first, so exactly one of them remains. Always under
// HKEY_CLASSES_ROOT\AppID, per-user registration included.
[[nodiscard]] HRESULT WriteAppIdModeValue(const wchar_t* serviceName) noexcept;
