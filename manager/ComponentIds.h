#pragma once

#include <windows.h>

// Classes of the two outside components the host drives; their interfaces are declared in
// VexilSrvs.idl.

// The boards manager, aggregated into the hosted manager object.
inline constexpr CLSID CLSID_VexilMgr = {
    0xE5F91B3C, 0x6A27, 0x4D8E, {0x92, 0xB1, 0x7C, 0x4A, 0x3E, 0x0D, 0x5F, 0x86}};

// The crash-dump agent.
inline constexpr CLSID CLSID_CrashDumpAgent = {
    0x3E9A7C15, 0xD4B8, 0x4F21, {0x86, 0xE5, 0x0B, 0x7C, 0x2A, 0x9F, 0x4D, 0x13}};
