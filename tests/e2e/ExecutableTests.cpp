#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "support/UniqueHandle.h"
#include "tests/support/TestProcess.h"

namespace {

struct ResourceBytes
{
    bool found = false;
    std::string bytes;
};

ResourceBytes LoadRegistryScript(HMODULE image, int id)
{
    ResourceBytes result;
    HRSRC info = ::FindResourceW(image, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (info == nullptr)
        return result;
    HGLOBAL data = ::LoadResource(image, info);
    const DWORD size = ::SizeofResource(image, info);
    result.found = data != nullptr;
    result.bytes.assign(static_cast<const char*>(::LockResource(data)), size);
    return result;
}

class BuiltExecutable : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_image.reset(::LoadLibraryExW(OutputFile(L"VexilSrvs.exe").c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_TRUE(m_image) << "VexilSrvs.exe not found beside the tests";
    }

    UniqueLibrary m_image;
};

TEST_F(BuiltExecutable, IsA64BitGuiSubsystemProgram)
{
    HANDLE file = ::CreateFileW(OutputFile(L"VexilSrvs.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    UniqueKernelHandle owner(file);
    std::vector<char> header(4096);
    DWORD read = 0;
    ASSERT_TRUE(::ReadFile(file, header.data(), static_cast<DWORD>(header.size()), &read, nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(header.data());
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(header.data() + dos->e_lfanew);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(BuiltExecutable, CarriesTheServiceNameAsString100)
{
    wchar_t name[256] = {};
    ASSERT_GT(::LoadStringW(m_image.get(), 100, name, 256), 0);
    EXPECT_STREQ(name, L"VexilSrvs");
}

TEST_F(BuiltExecutable, CarriesBothRegistrationScriptsByteForByte)
{
    const ResourceBytes appId = LoadRegistryScript(m_image.get(), 101);
    const ResourceBytes mgrSrv = LoadRegistryScript(m_image.get(), 102);
    ASSERT_TRUE(appId.found);
    ASSERT_TRUE(mgrSrv.found);
    EXPECT_EQ(appId.bytes.size(), 123u);
    EXPECT_EQ(mgrSrv.bytes.size(), 636u);
    EXPECT_EQ(appId.bytes.substr(0, 6), "HKCR\r\n");
    EXPECT_NE(appId.bytes.find("\t\t'%APPID%' = s 'VexilSrvs'\r\n"), std::string::npos);
    EXPECT_NE(mgrSrv.bytes.find("\t\t\tLocalServer32 = s '%MODULE%'\r\n"), std::string::npos);
    EXPECT_EQ(mgrSrv.bytes.substr(mgrSrv.bytes.size() - 3), "}\r\n");
}

TEST_F(BuiltExecutable, DescribesItselfInItsVersionResource)
{
    const std::wstring path = OutputFile(L"VexilSrvs.exe");
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    wchar_t* description = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                                 reinterpret_cast<void**>(&description), &length));
    EXPECT_STREQ(description, L"Vexil Boards Manager Service");
}

TEST_F(BuiltExecutable, TypeLibraryLiesBesideTheExecutable)
{
    EXPECT_NE(::GetFileAttributesW(OutputFile(L"VexilSrvs.tlb").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
