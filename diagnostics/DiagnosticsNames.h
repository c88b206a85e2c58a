#pragma once

// Registry locations and value names read by the diagnostics.

// DWORD parameters of the host, always in the 64-bit view of HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kParamsKeyPath[] = L"SOFTWARE\\Kestrova\\Vexil\\Params";
inline constexpr wchar_t kParamEnableWriteEvent[] = L"EnableWriteEvent";
inline constexpr wchar_t kParamEnableDump[] = L"EnableDump";
inline constexpr wchar_t kParamDumpType[] = L"DumpType";

// Base directory shared by the product's programs; the log directory lies below it.
inline constexpr wchar_t kCommonKeyPath[] = L"SOFTWARE\\Kestrova\\KVCommon";
inline constexpr wchar_t kCommonDefaultDir[] = L"DefaultDir";

inline constexpr wchar_t kLogDirComponent[] = L"\\VexilSrvs";
inline constexpr wchar_t kLogFilePrefix[] = L"\\VexilSrvsLog";
inline constexpr wchar_t kLogFileExtension[] = L".txt";
