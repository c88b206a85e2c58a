#include "tests/e2e/HostHarness.h"
#include "tests/support/TestFiles.h"

namespace {

// What the rest of the tests cannot see: the image kind and the version resource. (The service
// name of string 100, the scripts and the type library beside the program show in what
// registration writes.)
TEST(BuiltExecutable, IsA64BitGuiProgramThatDescribesItself)
{
    const std::string bytes = ReadFileBytes(HostPath());
    ASSERT_GT(bytes.size(), 4096u);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
        bytes.data() + reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data())->e_lfanew);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    DWORD ignored = 0;
    std::vector<BYTE> version(::GetFileVersionInfoSizeW(HostPath().c_str(), &ignored));
    wchar_t* description = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::GetFileVersionInfoW(HostPath().c_str(), 0, static_cast<DWORD>(version.size()), version.data()));
    ASSERT_TRUE(::VerQueryValueW(version.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                                 reinterpret_cast<void**>(&description), &length));
    EXPECT_STREQ(description, L"Vexil Boards Manager Service");
}

// The harness kills and quits hosts by process id; an id it read a moment ago may already name
// another test's program, which it must leave alone.
TEST(HostHarness, OpensAProcessByIdOnlyWhileTheIdStillNamesTheProgramItExpects)
{
    const DWORD self = ::GetCurrentProcessId();
    EXPECT_TRUE(OpenProgram(self, L"hostendtoendtests.EXE", SYNCHRONIZE)) << "names compare as Windows compares them";
    EXPECT_FALSE(OpenHost(self, PROCESS_TERMINATE)) << "this program is not the host";
}

}  // namespace
