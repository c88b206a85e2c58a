// The stand-in crash-dump agent in a real process that faults: a minidump appears in the
// host's log directory, in the mode asked for, and only while dumps are enabled.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/TestFiles.h"
#include "tests/support/TestProcess.h"
#include "tests/support/TestRegistry.h"

namespace {

constexpr wchar_t kCommonKeyPath[] = L"SOFTWARE\\Kestrova\\KVCommon";
constexpr wchar_t kAgentKnobs[] = L"SOFTWARE\\VexilStandIns\\CrashDumpAgent";
constexpr DWORD kAccessViolation = 0xC0000005;
constexpr ULONG32 kMemory64ListStream = 9;

struct Dump
{
    std::wstring name;
    std::string bytes;
};

// The stream types listed in a minidump's directory.
std::vector<ULONG32> StreamTypes(const std::string& bytes)
{
    std::vector<ULONG32> types;
    ULONG32 header[4] = {};  // signature, version, number of streams, directory offset
    if (bytes.size() < sizeof(header))
        return types;
    std::memcpy(header, bytes.data(), sizeof(header));
    for (ULONG32 i = 0; i < header[2]; ++i) {
        const size_t offset = header[3] + i * 12u;  // type, size, offset
        if (offset + 4 > bytes.size())
            break;
        ULONG32 type = 0;
        std::memcpy(&type, bytes.data() + offset, sizeof(type));
        types.push_back(type);
    }
    return types;
}

bool HasStream(const std::string& bytes, ULONG32 type)
{
    for (ULONG32 present : StreamTypes(bytes)) {
        if (present == type)
            return true;
    }
    return false;
}

class CrashDumpAgent : public ::testing::Test
{
protected:
    void SetUp() override { m_base = MakeTempDirectory(L"crashdump"); }
    void TearDown() override { RemoveDirectoryTree(m_base); }

    // Runs the probe with the host's log directory below a fresh base directory.
    ProcessResult RunProbe(const std::wstring& arguments)
    {
        const ScopedRegistryValue defaultDir =
            ScopedRegistryValue::String(HKEY_LOCAL_MACHINE, kCommonKeyPath, L"DefaultDir", m_base);
        ProcessOptions options;
        options.timeoutMs = 180000;  // a full-memory dump takes tens of seconds under Wine
        options.captureOutput = true;
        return RunProcess(L"\"" + OutputFile(L"CrashProbe.exe") + L"\" " + arguments, options);
    }

    std::vector<Dump> Dumps() const
    {
        std::vector<Dump> dumps;
        const std::wstring directory = m_base + L"\\VexilSrvs";
        for (const std::wstring& name : FilesIn(directory)) {
            if (name.size() > 4 && name.substr(name.size() - 4) == L".dmp")
                dumps.push_back({name, ReadFileBytes(directory + L"\\" + name)});
        }
        return dumps;
    }

    std::wstring m_base;
};

TEST_F(CrashDumpAgent, FaultWithDumpsEnabledWritesANormalMinidumpIntoTheLogDirectory)
{
    const ProcessResult result = RunProbe(L"1");
    ASSERT_TRUE(result.started);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, kAccessViolation) << result.output;

    const std::vector<Dump> dumps = Dumps();
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].name.rfind(L"VexilSrvsDump ", 0), 0u);
    EXPECT_EQ(dumps[0].bytes.substr(0, 4), "MDMP");
    EXPECT_FALSE(HasStream(dumps[0].bytes, kMemory64ListStream));
}

TEST_F(CrashDumpAgent, ModeTwoWritesADumpWithFullMemory)
{
    const ProcessResult result = RunProbe(L"2");
    ASSERT_TRUE(result.started);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, kAccessViolation) << result.output;

    const std::vector<Dump> dumps = Dumps();
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].bytes.substr(0, 4), "MDMP");
    EXPECT_TRUE(HasStream(dumps[0].bytes, kMemory64ListStream));
}

TEST_F(CrashDumpAgent, FaultAfterDumpsWereDisabledWritesNoDump)
{
    const ProcessResult result = RunProbe(L"1 --disable");
    ASSERT_TRUE(result.started);
    ASSERT_FALSE(result.timedOut);
    EXPECT_NE(result.output.find("faulting"), std::string::npos) << result.output;
    EXPECT_TRUE(Dumps().empty());
}

TEST_F(CrashDumpAgent, UnknownModeIsRefused)
{
    const ProcessResult result = RunProbe(L"3");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, static_cast<DWORD>(E_INVALIDARG));
    EXPECT_TRUE(Dumps().empty());
}

TEST_F(CrashDumpAgent, EnableResultKnobIsAnsweredAndInstallsNothing)
{
    const ScopedRegistryValue enableResult =
        ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kAgentKnobs, L"EnableResult", 0x80070005);
    const ProcessResult result = RunProbe(L"1");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0x80070005u);
    EXPECT_TRUE(Dumps().empty());
}

TEST_F(CrashDumpAgent, DisableResultKnobIsAnswered)
{
    const ScopedRegistryValue disableResult =
        ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kAgentKnobs, L"DisableResult", 0x80004005);
    const ProcessResult result = RunProbe(L"1 --disable");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0x80004005u);
    EXPECT_TRUE(Dumps().empty());
}

}  // namespace
