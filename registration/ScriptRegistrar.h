#pragma once

#include <windows.h>
#include <unknwn.h>

#include <string>
#include <vector>

// One replacement variable of a registration script; a list ends with a null name.
struct ScriptReplacement
{
    const wchar_t* szKey;
    const wchar_t* szData;
};

// The registrar as the module sees it: the variables a script may use.
struct IScriptRegistrar : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(const wchar_t* key, const wchar_t* item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
};

// The registrar of one script application: owns the replacement variables and loads the
// script resource. It lives on its caller's stack and is not reference-counted.
class CScriptRegistrar final : public IScriptRegistrar
{
public:
    CScriptRegistrar() noexcept = default;
    virtual ~CScriptRegistrar();
    CScriptRegistrar(const CScriptRegistrar&) = delete;
    CScriptRegistrar& operator=(const CScriptRegistrar&) = delete;

    // Must succeed before any other operation; a failure is the HRESULT of the last error.
    [[nodiscard]] HRESULT Initialize() noexcept;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;
    HRESULT STDMETHODCALLTYPE AddReplacement(const wchar_t* key, const wchar_t* item) noexcept override;
    HRESULT STDMETHODCALLTYPE ClearReplacements() noexcept override;

    // Text of the first variable whose name matches without regard to case, or null. The
    // pointer stays valid until the variables are changed.
    [[nodiscard]] const wchar_t* FindReplacement(const wchar_t* name) noexcept;

    // Loads script resource 'resId' of type 'type' from the module file at 'modulePath' and
    // applies it in the given direction.
    [[nodiscard]] HRESULT RegisterFromResource(const wchar_t* modulePath, UINT resId, const wchar_t* type,
                                               BOOL bRegister) noexcept;

private:
    struct Replacement
    {
        std::wstring name;
        std::wstring text;
    };

    std::vector<Replacement> m_replacements;
    CRITICAL_SECTION m_cs{};
    bool m_bCsInitialized = false;
};
