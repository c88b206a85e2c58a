#include <cwchar>

#include "host/VexilSrvsModule.h"
#include "registration/RegistrationText.h"
#include "support/ComPtr.h"
#include "support/Hresult.h"
#include "support/Platform.h"
#include "support/UniqueHandle.h"

namespace {

constexpr wchar_t kTypeLibExtension[] = L".tlb";

using RegisterTypeLibFunction = decltype(&::RegisterTypeLib);
using UnRegisterTypeLibFunction = decltype(&::UnRegisterTypeLib);

// The per-user variants exist only in newer OLE Automation libraries, so they are looked up in
// the copy the process has already loaded; when they are missing the machine-wide functions do.
template <typename Function>
Function PerUserFunction(const char* name) noexcept
{
    if (!g_bPerUserRegistration)
        return nullptr;
    const HMODULE oleAutomation = Platform().GetModuleHandleW(kOleAutomationModule);
    if (oleAutomation == nullptr)
        return nullptr;
    // Through void*: the exported function has exactly this type, whatever FARPROC says.
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(Platform().GetProcAddress(oleAutomation, name)));
}

// The library's attributes belong to the library and go back to it.
class LibraryAttributes
{
public:
    explicit LibraryAttributes(ITypeLib* library) noexcept : m_library(library) {}
    ~LibraryAttributes()
    {
        if (m_attributes != nullptr)
            m_library->ReleaseTLibAttr(m_attributes);
    }
    LibraryAttributes(const LibraryAttributes&) = delete;
    LibraryAttributes& operator=(const LibraryAttributes&) = delete;

    [[nodiscard]] HRESULT Read() noexcept { return m_library->GetLibAttr(&m_attributes); }
    [[nodiscard]] const TLIBATTR& get() const noexcept { return *m_attributes; }

private:
    ITypeLib* m_library;
    TLIBATTR* m_attributes = nullptr;
};

// The directory of the library's own help file, up to and including its last separator;
// empty when the name has none. False when the library names no help file.
bool FindHelpDirectory(ITypeLib* library, wchar_t (&directory)[MAX_PATH]) noexcept
{
    UniqueSysString helpFile;
    if (FAILED(library->GetDocumentation(-1, nullptr, nullptr, nullptr, helpFile.put())) || !helpFile)
        return false;

    const wchar_t* file = helpFile.get();
    size_t length = ::SysStringLen(helpFile.get());
    while (length > 0 && file[length - 1] != L'\\' && file[length - 1] != L'/' && file[length - 1] != L':')
        --length;
    // A help path too long for any file system call is no directory to register.
    if (length >= MAX_PATH)
        return false;
    std::wmemcpy(directory, file, length);
    directory[length] = L'\0';
    return true;
}

}  // namespace

HRESULT CVexilSrvsModule::LoadModuleTypeLib(BSTR* pbstrPath, ITypeLib** ppTypeLib) noexcept
{
    if (pbstrPath == nullptr || ppTypeLib == nullptr)
        return E_POINTER;
    *pbstrPath = nullptr;
    *ppTypeLib = nullptr;

    wchar_t path[MAX_PATH] = {};
    const DWORD length = Platform().GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0)
        return HResultFromLastError();
    if (length == MAX_PATH)
        return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);

    const wchar_t* lastSeparator = std::wcsrchr(path, L'\\');
    wchar_t* extension = std::wcsrchr(lastSeparator != nullptr ? lastSeparator : path, L'.');
    if (extension == nullptr)
        extension = path + length;

    ComPtr<ITypeLib> library;
    HRESULT hr = Platform().LoadTypeLib(path, library.put());
    if (FAILED(hr)) {
        // The library normally sits beside the executable under the same name.
        const size_t stemLength = static_cast<size_t>(extension - path);
        if (stemLength + std::size(kTypeLibExtension) > MAX_PATH)
            return E_FAIL;
        std::wmemcpy(extension, kTypeLibExtension, std::size(kTypeLibExtension));
        hr = Platform().LoadTypeLib(path, library.put());
        if (FAILED(hr))
            return hr;
    }

    UniqueSysString loadedFrom(::SysAllocString(path));
    if (!loadedFrom)
        return E_OUTOFMEMORY;
    *pbstrPath = loadedFrom.release();
    *ppTypeLib = library.detach();
    return S_OK;
}

HRESULT CVexilSrvsModule::RegisterTypeLibrary() noexcept
{
    UniqueSysString path;
    ComPtr<ITypeLib> library;
    VEXIL_RETURN_IF_FAILED(LoadModuleTypeLib(path.put(), library.put()));

    wchar_t helpDirectory[MAX_PATH] = {};
    const bool hasHelpDirectory = FindHelpDirectory(library.get(), helpDirectory);

    RegisterTypeLibFunction registerLibrary =
        PerUserFunction<RegisterTypeLibFunction>(kRegisterTypeLibForUserName);
    if (registerLibrary == nullptr)
        registerLibrary = Platform().RegisterTypeLib;
    return registerLibrary(library.get(), path.get(), hasHelpDirectory ? helpDirectory : nullptr);
}

HRESULT CVexilSrvsModule::UnregisterTypeLibrary() noexcept
{
    UniqueSysString path;
    ComPtr<ITypeLib> library;
    VEXIL_RETURN_IF_FAILED(LoadModuleTypeLib(path.put(), library.put()));

    LibraryAttributes attributes(library.get());
    VEXIL_RETURN_IF_FAILED(attributes.Read());

    UnRegisterTypeLibFunction unregisterLibrary =
        PerUserFunction<UnRegisterTypeLibFunction>(kUnRegisterTypeLibForUserName);
    if (unregisterLibrary == nullptr)
        unregisterLibrary = Platform().UnRegisterTypeLib;
    const TLIBATTR& attr = attributes.get();
    return unregisterLibrary(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid, attr.syskind);
}
