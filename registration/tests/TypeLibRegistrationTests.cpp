#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/VexilSrvsModule.h"
#include "registration/tests/InstallerTestSupport.h"
#include "support/ComPtr.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestProcess.h"
#include "tests/support/TestRegistry.h"

namespace {

constexpr GUID kServerLibId = {0x9E47B1D2, 0x5A6C, 0x4F38, {0xB0, 0x17, 0x3C, 0x82, 0xE5, 0xD9, 0xA4, 0xF6}};

// ---- A module path of the test's choosing ---------------------------------------------------

std::wstring g_modulePath;

DWORD WINAPI ChosenModulePath(HMODULE, LPWSTR buffer, DWORD size)
{
    const DWORD length = static_cast<DWORD>(std::min<size_t>(g_modulePath.size(), size));
    std::copy_n(g_modulePath.c_str(), length, buffer);
    if (length < size)
        buffer[length] = L'\0';
    return length;  // like the system: the buffer size when the path was cut
}

DWORD WINAPI FailingModulePath(HMODULE, LPWSTR, DWORD)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// A folder holding copies of the executable and of its type library.
class ModuleFolder
{
public:
    explicit ModuleFolder(const wchar_t* tag) : m_directory(MakeTempDirectory(tag)) {}
    ~ModuleFolder() { RemoveDirectoryTree(m_directory); }
    ModuleFolder(const ModuleFolder&) = delete;
    ModuleFolder& operator=(const ModuleFolder&) = delete;

    [[nodiscard]] std::wstring Path(const std::wstring& name) const { return m_directory + L"\\" + name; }
    bool Copy(const std::wstring& from, const std::wstring& name) const
    {
        return ::CopyFileW(from.c_str(), Path(name).c_str(), FALSE) != FALSE;
    }
    bool MakeSubdirectory(const std::wstring& name) const
    {
        return ::CreateDirectoryW(Path(name).c_str(), nullptr) != FALSE;
    }

private:
    std::wstring m_directory;
};

class ModuleTypeLib : public ::testing::Test
{
protected:
    HRESULT Load(std::wstring& path, ComPtr<ITypeLib>& library)
    {
        BSTR loadedFrom = nullptr;
        const HRESULT hr = m_module.LoadModuleTypeLib(&loadedFrom, library.put());
        path = loadedFrom != nullptr ? loadedFrom : L"";
        ::SysFreeString(loadedFrom);
        return hr;
    }

    static GUID LibId(ITypeLib* library)
    {
        TLIBATTR* attributes = nullptr;
        if (library == nullptr || FAILED(library->GetLibAttr(&attributes)))
            return GUID_NULL;
        const GUID id = attributes->guid;
        library->ReleaseTLibAttr(attributes);
        return id;
    }

    CVexilSrvsModule m_module;
};

// ---- LoadModuleTypeLib ----------------------------------------------------------------------

TEST_F(ModuleTypeLib, LoadsTheTlbNamedAfterTheExecutableBesideIt)
{
    ModuleFolder folder(L"typelib");
    ASSERT_TRUE(folder.Copy(OutputFile(L"VexilSrvs.exe"), L"VexilSrvs.exe"));
    ASSERT_TRUE(folder.Copy(OutputFile(L"VexilSrvs.tlb"), L"VexilSrvs.tlb"));
    g_modulePath = folder.Path(L"VexilSrvs.exe");
    ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &ChosenModulePath);

    std::wstring loadedFrom;
    ComPtr<ITypeLib> library;
    ASSERT_EQ(Load(loadedFrom, library), S_OK);

    EXPECT_EQ(loadedFrom, folder.Path(L"VexilSrvs.tlb"));
    EXPECT_TRUE(IsEqualGUID(LibId(library.get()), kServerLibId));
}

TEST_F(ModuleTypeLib, AppendsTheExtensionToAPathWithoutOne)
{
    // The dot of the folder name is not the file's extension.
    ModuleFolder folder(L"typelib");
    ASSERT_TRUE(folder.MakeSubdirectory(L"bin.d"));
    ASSERT_TRUE(folder.Copy(OutputFile(L"VexilSrvs.tlb"), L"bin.d\\VexilSrvs.tlb"));
    g_modulePath = folder.Path(L"bin.d\\VexilSrvs");
    ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &ChosenModulePath);

    std::wstring loadedFrom;
    ComPtr<ITypeLib> library;
    ASSERT_EQ(Load(loadedFrom, library), S_OK);
    EXPECT_EQ(loadedFrom, folder.Path(L"bin.d\\VexilSrvs.tlb"));
}

std::wstring g_libraryFile;
std::vector<std::wstring> g_loadRequests;

HRESULT WINAPI LoadEmbeddedLibrary(LPCOLESTR file, ITypeLib** library)
{
    g_loadRequests.emplace_back(file);
    return RealPlatform().LoadTypeLib(g_libraryFile.c_str(), library);
}

TEST_F(ModuleTypeLib, KeepsTheExecutablePathWhenTheExecutableCarriesTheLibrary)
{
    g_modulePath = OutputFile(L"VexilSrvs.exe");
    g_libraryFile = OutputFile(L"VexilSrvs.tlb");
    g_loadRequests.clear();
    ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &ChosenModulePath);
    ScopedPlatformOverride load(&PlatformApi::LoadTypeLib, &LoadEmbeddedLibrary);

    std::wstring loadedFrom;
    ComPtr<ITypeLib> library;
    ASSERT_EQ(Load(loadedFrom, library), S_OK);
    EXPECT_EQ(loadedFrom, g_modulePath);
    EXPECT_EQ(g_loadRequests, std::vector<std::wstring>{g_modulePath});
}

TEST_F(ModuleTypeLib, WithoutTheTlbEndsWithTheLoadersFailure)
{
    ModuleFolder folder(L"typelib");
    ASSERT_TRUE(folder.Copy(OutputFile(L"VexilSrvs.exe"), L"VexilSrvs.exe"));
    g_modulePath = folder.Path(L"VexilSrvs.exe");
    ComPtr<ITypeLib> unused;
    const HRESULT loaderFailure = ::LoadTypeLib(folder.Path(L"VexilSrvs.tlb").c_str(), unused.put());
    ASSERT_TRUE(FAILED(loaderFailure));
    ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &ChosenModulePath);

    std::wstring loadedFrom;
    ComPtr<ITypeLib> library;
    EXPECT_EQ(Load(loadedFrom, library), loaderFailure);
    EXPECT_EQ(loadedFrom, L"");
    EXPECT_FALSE(library);
}

TEST_F(ModuleTypeLib, RejectsAModulePathThatFillsTheBuffer)
{
    g_modulePath = L"C:\\" + std::wstring(MAX_PATH, L'a') + L".exe";
    ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &ChosenModulePath);

    std::wstring loadedFrom;
    ComPtr<ITypeLib> library;
    EXPECT_EQ(Load(loadedFrom, library), static_cast<HRESULT>(0x8007007A));
}

TEST_F(ModuleTypeLib, ReturnsTheErrorOfAFailedPathQuery)
{
    ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &FailingModulePath);

    std::wstring loadedFrom;
    ComPtr<ITypeLib> library;
    EXPECT_EQ(Load(loadedFrom, library), static_cast<HRESULT>(0x80070005));
}

TEST_F(ModuleTypeLib, FailsWhenTheTlbNameWouldNotFit)
{
    // 257 characters without an extension: ".tlb" and its NUL would need 262.
    g_modulePath = L"C:\\" + std::wstring(254, L'a');
    ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &ChosenModulePath);

    std::wstring loadedFrom;
    ComPtr<ITypeLib> library;
    EXPECT_EQ(Load(loadedFrom, library), E_FAIL);
}

TEST_F(ModuleTypeLib, RejectsMissingOutPointers)
{
    BSTR path = nullptr;
    ITypeLib* library = nullptr;
    EXPECT_EQ(m_module.LoadModuleTypeLib(nullptr, &library), E_POINTER);
    EXPECT_EQ(m_module.LoadModuleTypeLib(&path, nullptr), E_POINTER);
}

// ---- RegisterTypeLibrary / UnregisterTypeLibrary --------------------------------------------

class TypeLibRegistration : public ModuleTypeLib
{
protected:
    void SetUp() override { ASSERT_TRUE(m_typeLib.copied()); }

    ScopedModuleTypeLib m_typeLib;
};

TEST_F(TypeLibRegistration, RegistersAndUnregistersTheLibraryBesideTheExecutable)
{
    ASSERT_EQ(m_module.RegisterTypeLibrary(), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
    const auto registeredPath =
        ReadValue(HKEY_CLASSES_ROOT, std::wstring(kServerTypeLibVersionKey) + L"\\0\\win64", L"");
    ASSERT_TRUE(registeredPath.has_value());
    EXPECT_EQ(registeredPath->AsString(), m_typeLib.path());

    ASSERT_EQ(m_module.UnregisterTypeLibrary(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
}

TEST_F(TypeLibRegistration, UnregistrationWithoutTheTlbEndsWithTheLoadersFailure)
{
    ASSERT_EQ(m_module.RegisterTypeLibrary(), S_OK);
    ::DeleteFileW(m_typeLib.path().c_str());

    EXPECT_TRUE(FAILED(m_module.UnregisterTypeLibrary()));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
}

// Records which registration function was chosen and with what.
struct RegistrationCall
{
    std::wstring function;
    std::wstring path;
    bool hasHelpDirectory = false;
    std::wstring helpDirectory;
    GUID libId = GUID_NULL;
    WORD major = 0;
    WORD minor = 0;
    LCID lcid = 0;
    SYSKIND sysKind = SYS_WIN16;
};
std::vector<RegistrationCall> g_registrationCalls;
std::vector<std::wstring> g_modulesAsked;
std::vector<std::string> g_functionsAsked;

HRESULT RecordRegistration(const wchar_t* function, const OLECHAR* path, const OLECHAR* helpDirectory)
{
    RegistrationCall call;
    call.function = function;
    call.path = path != nullptr ? path : L"";
    call.hasHelpDirectory = helpDirectory != nullptr;
    call.helpDirectory = helpDirectory != nullptr ? helpDirectory : L"";
    g_registrationCalls.push_back(call);
    return S_OK;
}

HRESULT RecordUnregistration(const wchar_t* function, REFGUID libId, WORD major, WORD minor, LCID lcid,
                             SYSKIND sysKind)
{
    RegistrationCall call;
    call.function = function;
    call.libId = libId;
    call.major = major;
    call.minor = minor;
    call.lcid = lcid;
    call.sysKind = sysKind;
    g_registrationCalls.push_back(call);
    return S_OK;
}

HRESULT WINAPI RecordRegisterForUser(ITypeLib*, OLECHAR* path, OLECHAR* helpDirectory)
{
    return RecordRegistration(L"RegisterTypeLibForUser", path, helpDirectory);
}

HRESULT WINAPI RecordUnRegisterForUser(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND sysKind)
{
    return RecordUnregistration(L"UnRegisterTypeLibForUser", libId, major, minor, lcid, sysKind);
}

HRESULT WINAPI RecordRegisterTypeLib(ITypeLib*, OLECHAR* path, OLECHAR* helpDirectory)
{
    return RecordRegistration(L"RegisterTypeLib", path, helpDirectory);
}

HRESULT WINAPI RecordUnRegisterTypeLib(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND sysKind)
{
    return RecordUnregistration(L"UnRegisterTypeLib", libId, major, minor, lcid, sysKind);
}

HMODULE WINAPI RecordModuleHandle(LPCWSTR name)
{
    g_modulesAsked.emplace_back(name != nullptr ? name : L"(null)");
    return RealPlatform().GetModuleHandleW(name);
}

bool IsName(LPCSTR name, const char* expected)
{
    return !IS_INTRESOURCE(name) && std::strcmp(name, expected) == 0;
}

FARPROC AsProc(void* function)
{
    return reinterpret_cast<FARPROC>(function);
}

FARPROC WINAPI RecordingForUserFunctions(HMODULE module, LPCSTR name)
{
    if (!IS_INTRESOURCE(name))
        g_functionsAsked.emplace_back(name);
    if (IsName(name, "RegisterTypeLibForUser"))
        return AsProc(reinterpret_cast<void*>(&RecordRegisterForUser));
    if (IsName(name, "UnRegisterTypeLibForUser"))
        return AsProc(reinterpret_cast<void*>(&RecordUnRegisterForUser));
    return RealPlatform().GetProcAddress(module, name);
}

FARPROC WINAPI NoForUserFunctions(HMODULE module, LPCSTR name)
{
    if (!IS_INTRESOURCE(name))
        g_functionsAsked.emplace_back(name);
    if (IsName(name, "RegisterTypeLibForUser") || IsName(name, "UnRegisterTypeLibForUser"))
        return nullptr;
    return RealPlatform().GetProcAddress(module, name);
}

class RegistrationFunctionChoice : public TypeLibRegistration
{
protected:
    void SetUp() override
    {
        TypeLibRegistration::SetUp();
        g_registrationCalls.clear();
        g_modulesAsked.clear();
        g_functionsAsked.clear();
    }

    ScopedPlatformOverride<decltype(&::GetModuleHandleW)> m_modules{&PlatformApi::GetModuleHandleW,
                                                                     &RecordModuleHandle};
    ScopedPlatformOverride<decltype(&::RegisterTypeLib)> m_register{&PlatformApi::RegisterTypeLib,
                                                                    &RecordRegisterTypeLib};
    ScopedPlatformOverride<decltype(&::UnRegisterTypeLib)> m_unregister{&PlatformApi::UnRegisterTypeLib,
                                                                        &RecordUnRegisterTypeLib};
};

TEST_F(RegistrationFunctionChoice, PerUserRegistrationUsesRegisterTypeLibForUserOfTheLoadedOleAut32)
{
    ScopedPerUserRegistration perUser;
    ScopedPlatformOverride lookup(&PlatformApi::GetProcAddress, &RecordingForUserFunctions);

    ASSERT_EQ(m_module.RegisterTypeLibrary(), S_OK);

    EXPECT_EQ(g_modulesAsked, std::vector<std::wstring>{L"OLEAUT32.DLL"});
    ASSERT_EQ(g_registrationCalls.size(), 1u);
    EXPECT_EQ(g_registrationCalls[0].function, L"RegisterTypeLibForUser");
    EXPECT_EQ(g_registrationCalls[0].path, m_typeLib.path());
    EXPECT_FALSE(g_registrationCalls[0].hasHelpDirectory) << "the library names no help file";
}

TEST_F(RegistrationFunctionChoice, PerUserUnregistrationUsesUnRegisterTypeLibForUserWithTheLibraryAttributes)
{
    ScopedPerUserRegistration perUser;
    ScopedPlatformOverride lookup(&PlatformApi::GetProcAddress, &RecordingForUserFunctions);

    ASSERT_EQ(m_module.UnregisterTypeLibrary(), S_OK);

    EXPECT_EQ(g_modulesAsked, std::vector<std::wstring>{L"OLEAUT32.DLL"});
    ASSERT_EQ(g_registrationCalls.size(), 1u);
    const RegistrationCall& call = g_registrationCalls[0];
    EXPECT_EQ(call.function, L"UnRegisterTypeLibForUser");
    EXPECT_TRUE(IsEqualGUID(call.libId, kServerLibId));
    EXPECT_EQ(call.major, 1);
    EXPECT_EQ(call.minor, 0);
    EXPECT_EQ(call.lcid, 0u);
    EXPECT_EQ(call.sysKind, SYS_WIN64);
}

TEST_F(RegistrationFunctionChoice, PerUserRegistrationFallsBackToTheMachineWideFunctions)
{
    ScopedPerUserRegistration perUser;
    ScopedPlatformOverride lookup(&PlatformApi::GetProcAddress, &NoForUserFunctions);

    ASSERT_EQ(m_module.RegisterTypeLibrary(), S_OK);
    ASSERT_EQ(m_module.UnregisterTypeLibrary(), S_OK);

    EXPECT_EQ(g_functionsAsked, (std::vector<std::string>{"RegisterTypeLibForUser", "UnRegisterTypeLibForUser"}));
    ASSERT_EQ(g_registrationCalls.size(), 2u);
    EXPECT_EQ(g_registrationCalls[0].function, L"RegisterTypeLib");
    EXPECT_EQ(g_registrationCalls[1].function, L"UnRegisterTypeLib");
}

TEST_F(RegistrationFunctionChoice, MachineWideRegistrationDoesNotLookForThePerUserFunctions)
{
    ScopedPlatformOverride lookup(&PlatformApi::GetProcAddress, &RecordingForUserFunctions);

    ASSERT_EQ(m_module.RegisterTypeLibrary(), S_OK);
    ASSERT_EQ(m_module.UnregisterTypeLibrary(), S_OK);

    EXPECT_TRUE(g_functionsAsked.empty());
    ASSERT_EQ(g_registrationCalls.size(), 2u);
    EXPECT_EQ(g_registrationCalls[0].function, L"RegisterTypeLib");
    EXPECT_EQ(g_registrationCalls[1].function, L"UnRegisterTypeLib");
}

// ---- The help directory ---------------------------------------------------------------------

constexpr GUID kHelpTestLibId = {0x3C1B7E52, 0x9A40, 0x4D6F, {0x8B, 0x21, 0x5E, 0x0A, 0x7C, 0x93, 0xD4, 0x18}};

// Writes a minimal type library that names 'helpFile' as its own help file.
bool WriteLibraryWithHelpFile(const std::wstring& path, const wchar_t* helpFile)
{
    ComPtr<ICreateTypeLib2> library;
    if (FAILED(::CreateTypeLib2(SYS_WIN64, path.c_str(), library.put())))
        return false;
    GUID id = kHelpTestLibId;
    wchar_t name[] = L"VexilHelpTestLib";
    std::wstring help(helpFile);
    return SUCCEEDED(library->SetGuid(id)) && SUCCEEDED(library->SetVersion(1, 0)) &&
           SUCCEEDED(library->SetName(name)) && SUCCEEDED(library->SetHelpFileName(help.data())) &&
           SUCCEEDED(library->SaveAllChanges());
}

class HelpDirectory : public ModuleTypeLib
{
protected:
    void SetUp() override { g_registrationCalls.clear(); }

    HRESULT RegisterWithHelpFile(const wchar_t* helpFile)
    {
        if (!WriteLibraryWithHelpFile(m_folder.Path(L"HelpTest.tlb"), helpFile))
            return E_UNEXPECTED;
        g_modulePath = m_folder.Path(L"HelpTest.exe");
        ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &ChosenModulePath);
        ScopedPlatformOverride record(&PlatformApi::RegisterTypeLib, &RecordRegisterTypeLib);
        return m_module.RegisterTypeLibrary();
    }

    ModuleFolder m_folder{L"helpdir"};
};

TEST_F(HelpDirectory, IsTheHelpFilePathUpToItsLastSeparator)
{
    ASSERT_EQ(RegisterWithHelpFile(L"C:\\Vexil Help\\en/boards.chm"), S_OK);
    ASSERT_EQ(g_registrationCalls.size(), 1u);
    EXPECT_TRUE(g_registrationCalls[0].hasHelpDirectory);
    EXPECT_EQ(g_registrationCalls[0].helpDirectory, L"C:\\Vexil Help\\en/");
}

TEST_F(HelpDirectory, IsEmptyForAHelpFileWithoutADirectory)
{
    ASSERT_EQ(RegisterWithHelpFile(L"boards.chm"), S_OK);
    ASSERT_EQ(g_registrationCalls.size(), 1u);
    EXPECT_TRUE(g_registrationCalls[0].hasHelpDirectory);
    EXPECT_EQ(g_registrationCalls[0].helpDirectory, L"");
}

TEST_F(HelpDirectory, EndsAtADriveSeparator)
{
    ASSERT_EQ(RegisterWithHelpFile(L"D:boards.chm"), S_OK);
    ASSERT_EQ(g_registrationCalls.size(), 1u);
    EXPECT_EQ(g_registrationCalls[0].helpDirectory, L"D:");
}

// ---- What Wine does with a per-user registration --------------------------------------------

TEST_F(TypeLibRegistration, PerUserRegistrationThroughTheSystemIsVisibleAndRemovedAgain)
{
    ScopedPerUserRegistration perUser;

    // Windows writes below HKEY_CURRENT_USER\Software\Classes; Wine's per-user function writes
    // machine-wide. Either way the merged view shows the library, and the per-user removal
    // takes it away again.
    ASSERT_EQ(m_module.RegisterTypeLibrary(), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));

    ASSERT_EQ(m_module.UnregisterTypeLibrary(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kServerTypeLibVersionKey));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, std::wstring(L"Software\\Classes\\") + kServerTypeLibVersionKey));
}

}  // namespace
