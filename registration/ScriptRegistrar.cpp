#include "registration/ScriptRegistrar.h"

#include <climits>
#include <cstddef>

#include "host/VexilSrvsModule.h"
#include "registration/ScriptNames.h"
#include "registration/ScriptParser.h"
#include "support/Hresult.h"
#include "support/Platform.h"
#include "support/ScopedLocks.h"

// Base address of the image this code is linked into, provided by the linker.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

[[nodiscard]] HINSTANCE ModuleInstance() noexcept
{
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

// Scripts quote the module path in single quotes, so each quote in it is doubled. 'escaped'
// holds twice the units of 'path'.
void EscapeSingleQuotes(const wchar_t* path, wchar_t* escaped) noexcept
{
    for (; *path != L'\0'; ++path) {
        if (*path == L'\'')
            *escaped++ = L'\'';
        *escaped++ = *path;
    }
    *escaped = L'\0';
}

}  // namespace

CScriptRegistrar::~CScriptRegistrar()
{
    if (m_bCsInitialized) {
        (void)ClearReplacements();
        ::DeleteCriticalSection(&m_cs);
    }
}

HRESULT CScriptRegistrar::Initialize() noexcept
{
    if (m_bCsInitialized)
        return S_OK;
    if (!Platform().InitializeCriticalSectionEx(&m_cs, 0, 0))
        return HResultFromLastError();
    m_bCsInitialized = true;
    return S_OK;
}

// The registrar lives on its caller's stack: it hands out no interfaces and counts nothing.
HRESULT CScriptRegistrar::QueryInterface(REFIID /*riid*/, void** ppv) noexcept
{
    if (ppv != nullptr)
        *ppv = nullptr;
    return E_NOTIMPL;
}

ULONG CScriptRegistrar::AddRef() noexcept
{
    return 1;
}

ULONG CScriptRegistrar::Release() noexcept
{
    return 0;
}

HRESULT CScriptRegistrar::AddReplacement(const wchar_t* key, const wchar_t* item) noexcept
{
    if (key == nullptr || item == nullptr)
        return E_INVALIDARG;
    if (!m_bCsInitialized)
        return E_UNEXPECTED;
    const CriticalSectionLock lock(m_cs);
    try {
        m_replacements.push_back(Replacement{key, item});
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CScriptRegistrar::ClearReplacements() noexcept
{
    if (!m_bCsInitialized)
        return E_UNEXPECTED;
    const CriticalSectionLock lock(m_cs);
    m_replacements.clear();
    m_replacements.shrink_to_fit();
    return S_OK;
}

const wchar_t* CScriptRegistrar::FindReplacement(const wchar_t* name) noexcept
{
    if (!m_bCsInitialized)
        return nullptr;
    const CriticalSectionLock lock(m_cs);
    // The first pair wins, so a name added twice keeps its first text.
    for (const Replacement& replacement : m_replacements) {
        if (::lstrcmpiW(replacement.name.c_str(), name) == 0)
            return replacement.text.c_str();
    }
    return nullptr;
}

HRESULT CScriptRegistrar::RegisterFromResource(const wchar_t* modulePath, UINT resId, const wchar_t* type,
                                               BOOL bRegister) noexcept
{
    // 1. The module file as data only: none of its code runs.
    UniqueLibrary module(Platform().LoadLibraryExW(
        modulePath, nullptr, LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module)
        module.reset(Platform().LoadLibraryExW(modulePath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module)
        return HResultFromLastError();

    // 2. The script resource and its size in bytes.
    const HRSRC resource = Platform().FindResourceW(module.get(), MAKEINTRESOURCEW(resId), type);
    if (resource == nullptr)
        return HResultFromLastError();
    const HGLOBAL loaded = Platform().LoadResource(module.get(), resource);
    if (loaded == nullptr)
        return HResultFromLastError();
    const auto* bytes = static_cast<const char*>(::LockResource(loaded));
    if (bytes == nullptr)
        return HResultFromLastError();
    // An empty resource reports no error and yields an empty script, which changes nothing.
    ::SetLastError(ERROR_SUCCESS);
    const DWORD size = Platform().SizeofResource(module.get(), resource);
    if (size == 0)
        return HResultFromLastError();
    if (size >= static_cast<DWORD>(INT_MAX))
        return E_OUTOFMEMORY;

    // 3. From the thread's ANSI code page to UTF-16; no byte gives more than one unit.
    const std::size_t units = static_cast<std::size_t>(size) + 1;
    wchar_t stackText[kStackScriptUnits];
    UniqueScriptText heapText;
    wchar_t* text = stackText;
    if (units > kStackScriptUnits) {
        heapText.reset(static_cast<wchar_t*>(Platform().CoTaskMemAlloc(units * sizeof(wchar_t))));
        if (!heapText)
            return E_OUTOFMEMORY;
        text = heapText.get();
    }
    const int converted = Platform().MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), text,
                                                         static_cast<int>(size));
    if (converted == 0)
        return HResultFromLastError();
    text[converted] = L'\0';

    // 4. Apply it.
    CScriptParser parser(*this);
    return parser.RegisterBuffer(text, bRegister);
}

HRESULT CVexilSrvsModule::UpdateRegistryFromResource(UINT nResId, BOOL bRegister,
                                                     const ScriptReplacement* pMapEntries) noexcept
{
    CScriptRegistrar registrar;
    VEXIL_RETURN_IF_FAILED(registrar.Initialize());

    for (const ScriptReplacement* entry = pMapEntries; entry != nullptr && entry->szKey != nullptr; ++entry) {
        if (entry->szData != nullptr)
            (void)registrar.AddReplacement(entry->szKey, entry->szData);
    }
    VEXIL_RETURN_IF_FAILED(AddCommonScriptReplacements(&registrar));

    const HINSTANCE instance = ModuleInstance();
    wchar_t modulePath[kModulePathUnits];
    const DWORD pathUnits = Platform().GetModuleFileNameW(instance, modulePath, kModulePathUnits);
    if (pathUnits == 0)
        return HResultFromLastError();
    if (pathUnits == kModulePathUnits)
        return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);

    wchar_t escapedPath[2 * kModulePathUnits];
    EscapeSingleQuotes(modulePath, escapedPath);

    // A server started by the COM runtime from LocalServer32 needs its path quoted; a
    // library's path stays as it is.
    wchar_t quotedPath[2 * kModulePathUnits + 2];
    const wchar_t* moduleText = escapedPath;
    if (instance == nullptr || instance == Platform().GetModuleHandleW(nullptr)) {
        std::size_t length = 0;
        quotedPath[length++] = L'"';
        for (const wchar_t* p = escapedPath; *p != L'\0'; ++p)
            quotedPath[length++] = *p;
        quotedPath[length++] = L'"';
        quotedPath[length] = L'\0';
        moduleText = quotedPath;
    }
    if (FAILED(registrar.AddReplacement(kVariableModule, moduleText)) ||
        FAILED(registrar.AddReplacement(kVariableModuleRaw, escapedPath)))
        return E_OUTOFMEMORY;

    return registrar.RegisterFromResource(modulePath, nResId, kScriptResourceType, bRegister);
}
