#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstring>
#include <optional>
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
        UniqueSysString loadedFrom;
        const HRESULT hr = m_module.LoadModuleTypeLib(loadedFrom.put(), library.put());
        path = loadedFrom ? loadedFrom.get() : L"";
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

// Which registration function was chosen, and with what.
struct RegistrationCall
{
    std::wstring function;
    std::wstring path;
    std::optional<std::wstring> helpDirectory;
    TLIBATTR attributes{};  // for the removal functions: LIBID, LCID, SYSKIND and version
};
std::vector<RegistrationCall> g_registrationCalls;
std::vector<std::wstring> g_modulesAsked;
std::vector<std::string> g_functionsAsked;

template <const wchar_t* Name>
HRESULT WINAPI RecordRegistration(ITypeLib*, OLECHAR* path, OLECHAR* helpDirectory)
{
    RegistrationCall call;
    call.function = Name;
    call.path = path;
    if (helpDirectory != nullptr)
        call.helpDirectory = helpDirectory;
    g_registrationCalls.push_back(call);
    return S_OK;
}

template <const wchar_t* Name>
HRESULT WINAPI RecordUnregistration(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND sysKind)
{
    RegistrationCall call;
    call.function = Name;
    call.attributes.guid = libId;
    call.attributes.wMajorVerNum = major;
    call.attributes.wMinorVerNum = minor;
    call.attributes.lcid = lcid;
    call.attributes.syskind = sysKind;
    g_registrationCalls.push_back(call);
    return S_OK;
}

constexpr wchar_t kRegisterForUser[] = L"RegisterTypeLibForUser";
constexpr wchar_t kUnRegisterForUser[] = L"UnRegisterTypeLibForUser";
constexpr wchar_t kRegisterMachineWide[] = L"RegisterTypeLib";
constexpr wchar_t kUnRegisterMachineWide[] = L"UnRegisterTypeLib";

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
        return AsProc(reinterpret_cast<void*>(&RecordRegistration<kRegisterForUser>));
    if (IsName(name, "UnRegisterTypeLibForUser"))
        return AsProc(reinterpret_cast<void*>(&RecordUnregistration<kUnRegisterForUser>));
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
                                                                    &RecordRegistration<kRegisterMachineWide>};
    ScopedPlatformOverride<decltype(&::UnRegisterTypeLib)> m_unregister{&PlatformApi::UnRegisterTypeLib,
                                                                        &RecordUnregistration<kUnRegisterMachineWide>};
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
    EXPECT_FALSE(g_registrationCalls[0].helpDirectory.has_value()) << "the library names no help file";
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
    EXPECT_TRUE(IsEqualGUID(call.attributes.guid, kServerLibId));
    EXPECT_EQ(call.attributes.wMajorVerNum, 1);
    EXPECT_EQ(call.attributes.wMinorVerNum, 0);
    EXPECT_EQ(call.attributes.lcid, 0u);
    EXPECT_EQ(call.attributes.syskind, SYS_WIN64);
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

TEST_F(ModuleTypeLib, HelpDirectoryIsTheLibrarysHelpFilePathUpToItsLastSeparator)
{
    const struct
    {
        std::wstring helpFile;
        std::optional<std::wstring> helpDirectory;
    } cases[] = {
        {L"C:\\Vexil Help\\en/boards.chm", L"C:\\Vexil Help\\en/"},
        {L"D:boards.chm", L"D:"},
        {L"boards.chm", L""},
        {L"C:\\" + std::wstring(300, L'h') + L"\\boards.chm", std::nullopt},  // too long for any path
    };
    ModuleFolder folder(L"helpdir");
    g_modulePath = folder.Path(L"HelpTest.exe");
    ScopedPlatformOverride path(&PlatformApi::GetModuleFileNameW, &ChosenModulePath);
    ScopedPlatformOverride record(&PlatformApi::RegisterTypeLib, &RecordRegistration<kRegisterMachineWide>);

    for (const auto& c : cases) {
        ASSERT_TRUE(WriteLibraryWithHelpFile(folder.Path(L"HelpTest.tlb"), c.helpFile.c_str()));
        g_registrationCalls.clear();
        ASSERT_EQ(m_module.RegisterTypeLibrary(), S_OK);
        ASSERT_EQ(g_registrationCalls.size(), 1u);
        EXPECT_EQ(g_registrationCalls[0].helpDirectory, c.helpDirectory) << "help file " << c.helpFile.size();
    }
}

// ---- What Wine does with a per-user registration --------------------------------------------

TEST_F(TypeLibRegistration, PerUserRegistrationThroughTheSystemIsVisibleAndRemovedAgain)
{
    ScopedPerUserRegistration perUser;
    ASSERT_NE(::GetProcAddress(::GetModuleHandleW(L"OLEAUT32.DLL"), "RegisterTypeLibForUser"), nullptr);

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
