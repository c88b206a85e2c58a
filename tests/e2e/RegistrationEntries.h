#pragma once

// What a registration of the host leaves in the registry and the Service Control Manager, read
// back whole, and what each mode must leave: shared by the tests of the switches and of the
// installer package that runs them.

#include <windows.h>

#include <map>
#include <string>

#include "tests/e2e/HostHarness.h"

using Entries = std::map<std::wstring, std::wstring>;  // "key path|value name" -> REG_SZ text

inline constexpr wchar_t kAppId[] = L"{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";
inline constexpr wchar_t kClsid[] = L"{6D1F3A20-8C44-4B7E-A5D2-19E07C3B5F41}";
inline const std::wstring kExeAppIdKey = L"AppID\\VexilSrvs.EXE";

// The mode value of the AppID key, or no entries at all.
enum class Mode { LocalServer, Service, Unregistered };

// The classes key below HKEY_CURRENT_USER (per-user entries) and HKEY_LOCAL_MACHINE.
inline const std::wstring kClassesKey = L"Software\\Classes\\";

// Every value of every key below the host's registration keys in one classes root
// (HKEY_CLASSES_ROOT, or a classes key named by 'base'), by paths relative to that root.
[[nodiscard]] Entries ServerEntries(HKEY root = HKEY_CLASSES_ROOT, const std::wstring& base = L"");
// What the two registration scripts write for the host at 'executable', and the mode value
// that code adds.
[[nodiscard]] Entries ExpectedEntries(const std::wstring& executable, Mode mode);
// The file the host's type library is registered with, or "<absent>".
[[nodiscard]] std::wstring RegisteredTypeLibPath(HKEY root = HKEY_CLASSES_ROOT, const std::wstring& base = L"");
// The service entry's program path and display name, or "<none>"; the rest of its
// configuration is the installer's and checked with it.
[[nodiscard]] std::wstring ServiceEntry();
