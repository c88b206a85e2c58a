#pragma once

#include <windows.h>
#include <unknwn.h>

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
