#pragma once

// What the two stand-in components share: their test knobs, the call log, and their
// self-registration as in-process servers. The stand-ins are not part of the product; they
// play the outside components for tests and the demonstration.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "support/UniqueHandle.h"

// Every stand-in reads its knobs from its own key below this one, in the 64-bit view of
// HKEY_LOCAL_MACHINE, never from the host's keys.
inline constexpr wchar_t kStandInsKeyPath[] = L"SOFTWARE\\VexilStandIns\\";

// Every knob a stand-in may write its calls to: a file path, one line per call.
inline constexpr wchar_t kKnobCallLog[] = L"CallLog";

// The knobs of one stand-in, as they stand when the object is read; a missing key or
// value is simply an unset knob.
class StandInKnobs
{
public:
    explicit StandInKnobs(const wchar_t* component) noexcept;

    [[nodiscard]] std::optional<DWORD> Dword(const wchar_t* name) const noexcept;
    [[nodiscard]] std::optional<HRESULT> Hresult(const wchar_t* name) const noexcept;
    [[nodiscard]] std::wstring String(const wchar_t* name) const noexcept;
    [[nodiscard]] std::vector<std::wstring> MultiString(const wchar_t* name) const noexcept;

private:
    UniqueRegKey m_key;
};

// Appends "<process id> <text>" and a line end to the file named by the CallLog knob, if set.
// Whole lines are written with one call, so lines from several processes never interleave.
void AppendCallLog(const std::wstring& logPath, const std::wstring& text) noexcept;

[[nodiscard]] std::wstring ModulePath(HMODULE module) noexcept;

// HKEY_CLASSES_ROOT\CLSID\{clsid} with InprocServer32 naming the module and its model.
[[nodiscard]] HRESULT RegisterInprocServer(HMODULE module, const CLSID& clsid, const wchar_t* description,
                                           const wchar_t* threadingModel) noexcept;
[[nodiscard]] HRESULT UnregisterInprocServer(const CLSID& clsid) noexcept;

// Counts the objects and server locks that keep a stand-in DLL loaded.
class DllUsage
{
public:
    static void Add() noexcept { ::InterlockedIncrement(&s_count); }
    static void Remove() noexcept { ::InterlockedDecrement(&s_count); }
    [[nodiscard]] static bool InUse() noexcept { return s_count != 0; }

private:
    static inline volatile LONG s_count = 0;
};

// The class factory of a stand-in: CreateInstance calls 'create'. Static, like the DLL.
class StandInClassFactory final : public IClassFactory
{
public:
    using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** ppv) noexcept;
    explicit constexpr StandInClassFactory(CreateFunction create) noexcept : m_create(create) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** ppv) noexcept override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) noexcept override;

private:
    CreateFunction m_create;
};
