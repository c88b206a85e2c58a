#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "diagnostics/DiagnosticsNames.h"
#include "host/VexilSrvsModule.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestRegistry.h"

namespace {

SYSTEMTIME g_now{};
int g_opens = 0;

// A module writing into a fresh directory, with the log switched on and a clock of the test's.
// The log of a running host (its directory from "DefaultDir", its records, one file per
// process) is seen end to end.
class WriteLog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_opens = 0;
        m_savedLogDir = std::exchange(*g_strLogDir, m_directory = MakeTempDirectory(L"log"));
        m_module.emplace();
    }
    void TearDown() override
    {
        if (m_module->m_pLogFile != nullptr)
            fclose(m_module->m_pLogFile);
        RemoveDirectoryTree(m_directory);
        *g_strLogDir = m_savedLogDir;
    }
    // "name|bytes" of the one file in the log directory.
    static std::string LogFile()
    {
        const auto files = FilesIn(*g_strLogDir);
        if (files.size() != 1)
            return std::to_string(files.size()) + " files";
        return std::string(files[0].begin(), files[0].end()) + "|" + ReadFileBytes(*g_strLogDir + L"\\" + files[0]);
    }

    std::wstring m_savedLogDir, m_directory;
    ScopedRegistryValue m_on = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent,
                                                          1);
    ScopedPlatformOverride<decltype(&::GetLocalTime)> m_clock{&PlatformApi::GetLocalTime,
                                                              [](LPSYSTEMTIME t) { *t = g_now; }};
    // The first open is slowed down, which widens the window in which a second thread could
    // also find the log closed.
    ScopedPlatformOverride<WfsopenFunction> m_open{&PlatformApi::_wfsopen,
        [](const wchar_t* path, const wchar_t* mode, int share) {
            ::Sleep(++g_opens == 1 ? 50 : 0);
            return RealPlatform()._wfsopen(path, mode, share);
        }};
    std::optional<CVexilSrvsModule> m_module;
};

TEST_F(WriteLog, WritesStampLineAndTextUnchangedToOneFileNamedAfterTheFirstStampOnlyWhileSwitchedOn)
{
    const DWORD zero = 0;
    for (const DWORD type : {REG_NONE, REG_DWORD, REG_SZ}) {  // missing, 0, the string "1"
        ScopedRegistryValueAbsent missing(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent);
        std::optional<ScopedRegistryValue> value;
        if (type != REG_NONE)
            value.emplace(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent, type,
                          type == REG_SZ ? static_cast<const void*>(L"1") : &zero, 4);
        m_module->WriteLog(L"dropped");
    }
    EXPECT_EQ(g_opens, 0);
    g_now = {2025, 3, 0, 7, 14, 5, 9, 42};
    m_module->WriteLog(L"50% %s\r\n a\x4E2D" L"b\x00E9");
    g_now = {2025, 3, 0, 31, 23, 59, 58, 999};
    m_module->WriteLog(L"second");
    {  // switched off and on again while the file is open: the same file, appended to
        ScopedRegistryValueAbsent off(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent);
        m_module->WriteLog(L"dropped");
    }
    g_now = {2025, 4, 0, 1, 0, 0, 0, 1};
    m_module->WriteLog(L"third");
    ASSERT_EQ(::GetACP(), 1252u) << "the bytes below are those of the prefix's usual code page";
    EXPECT_EQ(LogFile(), "VexilSrvsLog2025-03-07 14-05-09-042.txt|\n -- 2025-03-07 14-05-09-042 -- \n50% %s\r\n a?b\xE9"
                         "\n -- 2025-03-31 23-59-58-999 -- \nsecond\n -- 2025-04-01 00-00-00-001 -- \nthird");
    EXPECT_EQ(g_opens, 1);
}

TEST_F(WriteLog, DropsRecordsWhileTheDirectoryIsMissingThenOpensAFileOfItsOwnStampForItAlone)
{
    *g_strLogDir = m_directory + L"\\missing\\VexilSrvs";
    m_module.emplace();  // the constructor cannot create the directory either: its parent is missing
    m_module->WriteLog(L"lost");
    ASSERT_TRUE(::CreateDirectoryW((m_directory + L"\\missing").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(g_strLogDir->c_str(), nullptr));
    g_now = {2025, 3, 0, 7, 14, 5, 10, 0};
    m_module->WriteLog(L"kept");
    EXPECT_EQ(g_opens, 2);
    EXPECT_EQ(LogFile(), "VexilSrvsLog2025-03-07 14-05-10-000.txt|\n -- 2025-03-07 14-05-10-000 -- \nkept");
    for (const DWORD access : {DWORD{GENERIC_WRITE}, DWORD{GENERIC_READ}}) {
        UniqueKernelHandle file(::CreateFileW((*g_strLogDir + L"\\" + FilesIn(*g_strLogDir)[0]).c_str(), access,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(file.get() != INVALID_HANDLE_VALUE, access == GENERIC_READ) << "others may read it, not write it";
    }
}

TEST_F(WriteLog, TwoThreadsLoggingAtOnceOpenOneStreamAndEveryRecordStaysWhole)
{
    auto writer = [this](char tag) {
        for (int i = 0; i < 50; ++i)
            m_module->WriteLog(std::wstring(1, tag) + std::to_wstring(i));
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    const std::string text = LogFile() + "\n";
    EXPECT_EQ(g_opens, 1);
    for (int i = 0; i < 100; ++i) {
        const std::string record = " -- \n" + std::string(1, "ab"[i / 50]) + std::to_string(i % 50) + "\n";
        EXPECT_NE(text.find(record), std::string::npos) << record;
    }
}

// The log directory: "DefaultDir" when usable, else TMP, else TEMP, each plus "\VexilSrvs".
TEST(LogDirectory, FallsBackFromAnUnusableDefaultDirToTmpThenTemp)
{
    wchar_t tmp[4096] = {}, temp[4096] = {};  // put back at the end
    size_t length = 0;
    (void)_wgetenv_s(&length, tmp, std::size(tmp), L"TMP");
    (void)_wgetenv_s(&length, temp, std::size(temp), L"TEMP");
    const DWORD number = 5;
    const std::wstring tooLong(1024, L'x');
    const struct { DWORD type; const void* data; DWORD size; const wchar_t *tmp, *temp, *expected; } cases[] = {
        {REG_EXPAND_SZ, L"%SystemRoot%\\x", 30, L"C:\\tmp", L"", L"%SystemRoot%\\x\\VexilSrvs"},  // as stored
        {REG_SZ, L"", 2, L"C:\\tmp", L"", L"\\VexilSrvs"},
        {REG_DWORD, &number, 4, L"C:\\tmp", L"", L"C:\\tmp\\VexilSrvs"},
        {REG_SZ, L"D:\\Data", 15, L"C:\\tmp", L"", L"C:\\tmp\\VexilSrvs"},  // odd size
        {REG_SZ, tooLong.c_str(), 2050, L"C:\\tmp", L"", L"C:\\tmp\\VexilSrvs"},
        {REG_NONE, nullptr, 0, L"C:\\tmp", L"C:\\temp", L"C:\\tmp\\VexilSrvs"},
        {REG_NONE, nullptr, 0, tooLong.c_str(), L"C:\\temp", L"C:\\temp\\VexilSrvs"},
        {REG_NONE, nullptr, 0, L"", L"", L""},
    };
    for (const auto& c : cases) {
        ScopedRegistryValueAbsent absent(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir);
        std::optional<ScopedRegistryValue> value;
        if (c.type != REG_NONE)
            value.emplace(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir, c.type, c.data, c.size);
        _wputenv_s(L"TMP", c.tmp);
        _wputenv_s(L"TEMP", c.temp);
        EXPECT_EQ(FindLogDirectory(), c.expected) << c.type << " " << c.size;
    }
    _wputenv_s(L"TMP", tmp);
    _wputenv_s(L"TEMP", temp);
}

}  // namespace
