#pragma once

#include <windows.h>

#include <cstddef>

#include "registration/ScriptNames.h"
#include "support/Platform.h"
#include "support/UniqueHandle.h"

class CScriptRegistrar;

// Script texts live in CoTaskMem buffers allocated and freed through the platform table.
struct ScriptTextTraits
{
    static wchar_t* Invalid() noexcept { return nullptr; }
    static bool IsValid(wchar_t* p) noexcept { return p != nullptr; }
    static void Close(wchar_t* p) noexcept { Platform().CoTaskMemFree(p); }
};
using UniqueScriptText = UniqueHandle<wchar_t*, ScriptTextTraits>;

// Reads one registration script and applies it to the registry: registration writes the keys
// and values it names, unregistration removes them again except what the script marks as
// shared. One parser serves one application.
class CScriptParser
{
public:
    explicit CScriptParser(CScriptRegistrar& registrar) noexcept;
    CScriptParser(const CScriptParser&) = delete;
    CScriptParser& operator=(const CScriptParser&) = delete;

    // Applies the NUL-terminated script 'text' in the given direction. After a failed
    // registration the failing root block is applied once more as an unregistration.
    [[nodiscard]] HRESULT RegisterBuffer(const wchar_t* text, BOOL bRegister) noexcept;

    // Replaces %NAME% variables from the registrar and "%%" by "%"; in per-user mode also
    // redirects every top-level "HKCR" block to HKEY_CURRENT_USER\Software\Classes.
    [[nodiscard]] HRESULT PreprocessBuffer(const wchar_t* text, UniqueScriptText& out) noexcept;

    // Forgets which function deletes a single key, so that the next deletion looks it up
    // again. The lookup is otherwise made once per process; tests use this to change it.
    static void ForgetDeleteKeyFunction() noexcept;

private:
    [[nodiscard]] HRESULT NextToken(wchar_t* token) noexcept;
    void SkipWhitespace() noexcept;
    [[nodiscard]] HRESULT RegisterSubkeys(wchar_t* token, HKEY parent, BOOL bRegister, BOOL bRecover) noexcept;
    [[nodiscard]] HRESULT RegisterValueItem(wchar_t* token, HKEY parent, BOOL bRegister, BOOL bRecover,
                                            bool bDeletable) noexcept;
    [[nodiscard]] HRESULT RegisterKeyItem(wchar_t* token, HKEY parent, UniqueRegKey& key) noexcept;
    [[nodiscard]] HRESULT UnregisterKeyItem(wchar_t* token, HKEY parent, BOOL bRecover, bool bDeletable) noexcept;
    [[nodiscard]] HRESULT SkipAssignment(wchar_t* token) noexcept;
    [[nodiscard]] HRESULT AddValue(wchar_t* token, HKEY key, const wchar_t* valueName) noexcept;
    [[nodiscard]] static HRESULT RecurseDeleteKey(HKEY parent, const wchar_t* name) noexcept;

    CScriptRegistrar& m_registrar;
    const wchar_t* m_pCursor = nullptr;
    unsigned m_nListDepth = 0;
    bool m_bTooDeep = false;
    // Value items never nest, so one set of buffers serves the whole script; they stay off
    // the stack frames of the recursive descent.
    wchar_t m_szValueName[kTokenBufferUnits] = {};
    wchar_t m_szValue[kTokenBufferUnits] = {};
    BYTE m_abBinary[kTokenBufferUnits / 2] = {};
};
