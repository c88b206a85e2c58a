#pragma once

// Words, names and limits of the registration-script language.

#include <windows.h>

#include <cstddef>

// Keywords that may open an item; compared without regard to case.
inline constexpr wchar_t kKeywordForceRemove[] = L"ForceRemove";
inline constexpr wchar_t kKeywordNoRemove[] = L"NoRemove";
inline constexpr wchar_t kKeywordDelete[] = L"Delete";
inline constexpr wchar_t kKeywordVal[] = L"Val";

// Root-key names a script block may start with; compared without regard to case.
struct ScriptRootKey
{
    const wchar_t* szName;
    HKEY hKey;
};
inline const ScriptRootKey kScriptRootKeys[] = {
    {L"HKCR", HKEY_CLASSES_ROOT},      {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKCU", HKEY_CURRENT_USER},      {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKLM", HKEY_LOCAL_MACHINE},     {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKU", HKEY_USERS},              {L"HKEY_USERS", HKEY_USERS},
    {L"HKPD", HKEY_PERFORMANCE_DATA},  {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {L"HKDD", HKEY_DYN_DATA},          {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {L"HKCC", HKEY_CURRENT_CONFIG},    {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Value types: the letter after "=", compared without regard to case.
struct ScriptValueType
{
    const wchar_t* szLetter;
    DWORD dwType;
};
inline constexpr ScriptValueType kScriptValueTypes[] = {
    {L"S", REG_SZ},
    {L"M", REG_MULTI_SZ},
    {L"D", REG_DWORD},
    {L"B", REG_BINARY},
};

// Keys shared by the whole system that "ForceRemove" and "Delete" never delete, whatever a
// script says; compared without regard to case.
inline constexpr const wchar_t* kNeverDeleteKeys[] = {
    L"AppID", L"CLSID",    L"Component Categories", L"FileType", L"Interface", L"Hardware",
    L"Mime",  L"SAM",      L"SECURITY",             L"SYSTEM",   L"Software",  L"TypeLib",
};

// Per-user registration: a top-level block of this exact root name (case matters) ...
inline constexpr wchar_t kPerUserRootName[] = L"HKCR";
// ... is rewritten to start with this text, so that its content lands in
// HKEY_CURRENT_USER\Software\Classes ...
inline constexpr wchar_t kPerUserOpening[] = L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
// ... and this text is put in front of the brace that closes the block.
inline constexpr wchar_t kPerUserClosing[] = L"\r\n\t}\r\n}\r\n";

// Script resources are of this type.
inline constexpr wchar_t kScriptResourceType[] = L"REGISTRY";

// Variables defined for every script by the module.
inline constexpr wchar_t kVariableModule[] = L"Module";
inline constexpr wchar_t kVariableModuleRaw[] = L"Module_Raw";

// Limits.
inline constexpr std::size_t kTokenBufferUnits = 4096;
inline constexpr std::size_t kMaxTokenUnits = kTokenBufferUnits - 2;
inline constexpr std::size_t kMaxVariableNameUnits = 31;
inline constexpr std::size_t kRememberedKeyNameUnits = 259;  // plus its terminating NUL
inline constexpr std::size_t kEnumeratedKeyNameUnits = 256;  // with the terminating NUL
// The registry holds at most 512 levels of keys, so no script can usefully nest deeper;
// the bound also keeps the recursive descent within a small part of the thread's stack.
inline constexpr unsigned kMaxKeyListDepth = 512;
// Module paths are read into a buffer of this many units; a full buffer counts as too short.
inline constexpr DWORD kModulePathUnits = MAX_PATH;
// A resource text up to this many units is converted on the stack, beyond it on the heap.
inline constexpr std::size_t kStackScriptUnits = 512;

// Deleting a single key prefers RegDeleteKeyExW where the system library exports it.
inline constexpr wchar_t kDeleteKeyExModule[] = L"Advapi32.dll";
inline constexpr char kDeleteKeyExName[] = "RegDeleteKeyExW";
