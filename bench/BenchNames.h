#pragma once

// Names shared by the benchmark driver and the bare server it measures the host against.

#include <windows.h>

// The bare server's class: served by VexilBareServer.exe, which hands out the stand-in boards
// manager it created directly, with none of the host's machinery around it.
inline constexpr CLSID CLSID_VexilBareMgr = {
    0x1A8147CE, 0x3D08, 0x45CD, {0x8E, 0x91, 0x39, 0x29, 0x8E, 0x20, 0x90, 0xC0}};
inline constexpr wchar_t kBareClassKey[] = L"CLSID\\{1A8147CE-3D08-45CD-8E91-39298E2090C0}";
inline constexpr wchar_t kBareAppIdKey[] = L"AppID\\{A72D84B4-A50F-4C40-A349-E30788840D33}";
inline constexpr wchar_t kBareAppId[] = L"{A72D84B4-A50F-4C40-A349-E30788840D33}";

// The bare server's service entry, and the switch its binary path carries to run as a service.
inline constexpr wchar_t kBareServiceName[] = L"VexilBareSvc";
inline constexpr wchar_t kBareServiceSwitch[] = L"-service";

// Manual-reset events the driver holds open for the whole run: the bare server sets "ready"
// once its class object is served (as a service, right after its running report) and ends
// when "stop" is set (as a service, its stop handler sets it).
inline constexpr wchar_t kBareReadyEventName[] = L"Global\\VexilBareServer_Ready";
inline constexpr wchar_t kBareStopEventName[] = L"Global\\VexilBareServer_Stop";
