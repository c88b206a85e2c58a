#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/DiagnosticsNames.h"
#include "host/VexilSrvsModule.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestRegistry.h"

namespace {

// The clock the log reads, set by each test.
SYSTEMTIME g_now{};

void WINAPI FixedLocalTime(LPSYSTEMTIME time)
{
    *time = g_now;
}

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms)
{
    SYSTEMTIME t{};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = ms;
    return t;
}

// A module writing into a fresh directory, with the log switched on and a fixed clock.
class WriteLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_savedLogDir = g_strLogDir;
        m_directory = MakeTempDirectory(L"log");
        g_strLogDir = m_directory;
        g_now = Time(2025, 3, 7, 14, 5, 9, 42);
        m_module.emplace();
    }

    void TearDown() override
    {
        if (m_module->m_pLogFile != nullptr)
            fclose(m_module->m_pLogFile);
        m_module.reset();
        RemoveDirectoryTree(m_directory);
        g_strLogDir = m_savedLogDir;
    }

    std::wstring m_savedLogDir;
    std::wstring m_directory;
    ScopedRegistryValue m_enabled =
        ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent, 1);
    ScopedPlatformOverride<decltype(&::GetLocalTime)> m_clock{&PlatformApi::GetLocalTime, &FixedLocalTime};
    std::optional<CVexilSrvsModule> m_module;
};

TEST_F(WriteLogTest, FirstRecordCreatesAFileNamedAfterItsStamp)
{
    m_module->WriteLog(L"->Run()");
    const auto files = FilesIn(m_directory);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], L"VexilSrvsLog2025-03-07 14-05-09-042.txt");
}

TEST_F(WriteLogTest, RecordIsAStampLineThenTheTextWithBareLineFeeds)
{
    m_module->WriteLog(L"Run Step 0");
    g_now = Time(2025, 12, 31, 23, 59, 58, 999);
    m_module->WriteLog(L"Run Step 1");
    const auto files = FilesIn(m_directory);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFileBytes(m_directory + L"\\" + files[0]),
              "\n -- 2025-03-07 14-05-09-042 -- \nRun Step 0"
              "\n -- 2025-12-31 23-59-58-999 -- \nRun Step 1");
}

TEST_F(WriteLogTest, WritesTheTextUnchangedWithoutInterpretingFormatCharacters)
{
    m_module->WriteLog(L"50% %s %d\r\n  ");
    const auto files = FilesIn(m_directory);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFileBytes(m_directory + L"\\" + files[0]), "\n -- 2025-03-07 14-05-09-042 -- \n50% %s %d\r\n  ");
}

TEST_F(WriteLogTest, ReplacesCharactersOutsideTheAnsiCodePageWithItsDefaultCharacter)
{
    if (::GetACP() != 1252)
        GTEST_SKIP() << "the prefix's ANSI code page is " << ::GetACP();
    m_module->WriteLog(L"a\x4E2D" L"b\x00E9");
    const auto files = FilesIn(m_directory);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFileBytes(m_directory + L"\\" + files[0]), "\n -- 2025-03-07 14-05-09-042 -- \na?b\xE9");
}

TEST_F(WriteLogTest, WritesNothingAndCreatesNoFileWhileSwitchedOff)
{
    {
        auto off = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent, 0);
        m_module->WriteLog(L"zero");
    }
    {
        auto text = ScopedRegistryValue::String(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent, L"1");
        m_module->WriteLog(L"string");
    }
    {
        ScopedRegistryValueAbsent missing(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent);
        for (int i = 0; i < 10; ++i)
            m_module->WriteLog(L"missing");
    }
    EXPECT_TRUE(FilesIn(m_directory).empty());
    EXPECT_EQ(m_module->m_pLogFile, nullptr);
}

TEST_F(WriteLogTest, SwitchedOffAndOnAgainAppendsToTheSameFile)
{
    m_module->WriteLog(L"first");
    {
        auto off = ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kParamsKeyPath, kParamEnableWriteEvent, 0);
        g_now = Time(2025, 3, 7, 14, 6, 0, 0);
        m_module->WriteLog(L"dropped");
    }
    m_module->WriteLog(L"second");
    const auto files = FilesIn(m_directory);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFileBytes(m_directory + L"\\" + files[0]),
              "\n -- 2025-03-07 14-05-09-042 -- \nfirst\n -- 2025-03-07 14-06-00-000 -- \nsecond");
}

TEST_F(WriteLogTest, KeepsTheFileOpenDenyingOtherWriters)
{
    m_module->WriteLog(L"held");
    const auto files = FilesIn(m_directory);
    ASSERT_EQ(files.size(), 1u);
    const std::wstring path = m_directory + L"\\" + files[0];
    HANDLE writer = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE)
        ::CloseHandle(writer);
    HANDLE reader = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE)
        ::CloseHandle(reader);
}

std::atomic<int> g_opens{0};
bool g_failOpen = false;

FILE* __cdecl CountingOpen(const wchar_t* path, const wchar_t* mode, int share)
{
    ++g_opens;
    if (g_failOpen)
        return nullptr;
    ::Sleep(50);  // widens the window in which a second thread could also find the log closed
    return RealPlatform()._wfsopen(path, mode, share);
}

TEST_F(WriteLogTest, DropsTheRecordWhenTheFileCannotBeOpenedAndRetriesNextTime)
{
    ScopedPlatformOverride open(&PlatformApi::_wfsopen, &CountingOpen);
    g_opens = 0;
    g_failOpen = true;
    m_module->WriteLog(L"lost");
    EXPECT_EQ(m_module->m_pLogFile, nullptr);
    EXPECT_TRUE(FilesIn(m_directory).empty());

    g_failOpen = false;
    g_now = Time(2025, 3, 7, 14, 5, 10, 0);
    m_module->WriteLog(L"kept");
    EXPECT_EQ(g_opens.load(), 2);
    const auto files = FilesIn(m_directory);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], L"VexilSrvsLog2025-03-07 14-05-10-000.txt");
    EXPECT_EQ(ReadFileBytes(m_directory + L"\\" + files[0]), "\n -- 2025-03-07 14-05-10-000 -- \nkept");
}

TEST_F(WriteLogTest, TwoThreadsLoggingAtOnceOpenOneFileAndLoseNoRecord)
{
    ScopedPlatformOverride open(&PlatformApi::_wfsopen, &CountingOpen);
    g_opens = 0;
    g_failOpen = false;
    constexpr int kRecords = 50;
    auto writer = [this](wchar_t tag) {
        for (int i = 0; i < kRecords; ++i)
            m_module->WriteLog(std::wstring(1, tag) + std::to_wstring(i));
    };
    std::thread a(writer, L'a');
    std::thread b(writer, L'b');
    a.join();
    b.join();

    EXPECT_EQ(g_opens.load(), 1);
    const auto files = FilesIn(m_directory);
    ASSERT_EQ(files.size(), 1u);
    const std::string text = ReadFileBytes(m_directory + L"\\" + files[0]);
    const std::string stampLine = "\n -- 2025-03-07 14-05-09-042 -- \n";
    for (char tag : {'a', 'b'}) {
        for (int i = 0; i < kRecords; ++i) {
            const std::string record = stampLine + tag + std::to_string(i);
            const size_t at = text.find(record);
            ASSERT_NE(at, std::string::npos) << record;
            const size_t end = at + record.size();
            EXPECT_TRUE(end == text.size() || text[end] == '\n' || isdigit(static_cast<unsigned char>(text[end])));
        }
    }
}

// --- the log directory ---

constexpr wchar_t kUnset[] = L"";

// Sets the C runtime's environment for one test; the log reads it with _wgetenv_s.
class ScopedEnvironment
{
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value) : m_name(name)
    {
        size_t length = 0;
        wchar_t buffer[4096];
        m_hadValue = _wgetenv_s(&length, buffer, 4096, name) == 0 && length > 0;
        if (m_hadValue)
            m_old = buffer;
        _wputenv_s(name, value);
    }
    ~ScopedEnvironment() { _wputenv_s(m_name.c_str(), m_hadValue ? m_old.c_str() : L""); }

private:
    std::wstring m_name;
    std::wstring m_old;
    bool m_hadValue = false;
};

class LogDirectoryTest : public ::testing::Test
{
protected:
    std::wstring WithDefaultDir(DWORD type, const void* data, DWORD size)
    {
        ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir, type, data, size);
        return FindLogDirectory();
    }

    ScopedEnvironment m_tmp{L"TMP", L"C:\\tmpdir"};
    ScopedEnvironment m_temp{L"TEMP", L"C:\\tempdir"};
};

TEST_F(LogDirectoryTest, TakesDefaultDirFollowedByTheServiceComponent)
{
    EXPECT_EQ(WithDefaultDir(REG_SZ, L"D:\\Data", 16), L"D:\\Data\\VexilSrvs");
}

TEST_F(LogDirectoryTest, UsesAnExpandableDefaultDirAsStored)
{
    EXPECT_EQ(WithDefaultDir(REG_EXPAND_SZ, L"%SystemRoot%\\x", 30), L"%SystemRoot%\\x\\VexilSrvs");
}

TEST_F(LogDirectoryTest, KeepsATrailingSeparatorOfDefaultDir)
{
    EXPECT_EQ(WithDefaultDir(REG_SZ, L"D:\\Data\\", 18), L"D:\\Data\\\\VexilSrvs");
}

TEST_F(LogDirectoryTest, EmptyDefaultDirGivesTheRootOfTheCurrentDriveWithoutLookingAtTmp)
{
    EXPECT_EQ(WithDefaultDir(REG_SZ, L"", 2), L"\\VexilSrvs");
    EXPECT_EQ(WithDefaultDir(REG_SZ, nullptr, 0), L"\\VexilSrvs");
}

TEST_F(LogDirectoryTest, FallsBackToTmpWhenDefaultDirIsUnusable)
{
    const DWORD number = 5;
    const std::wstring tooLong(1024, L'd');
    EXPECT_EQ(WithDefaultDir(REG_DWORD, &number, 4), L"C:\\tmpdir\\VexilSrvs") << "wrong type";
    EXPECT_EQ(WithDefaultDir(REG_SZ, L"D:\\Data", 15), L"C:\\tmpdir\\VexilSrvs") << "odd size";
    EXPECT_EQ(WithDefaultDir(REG_SZ, tooLong.c_str(), static_cast<DWORD>((tooLong.size() + 1) * 2)),
              L"C:\\tmpdir\\VexilSrvs")
        << "longer than 1023 characters";
    ScopedRegistryValueAbsent missing(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir);
    EXPECT_EQ(FindLogDirectory(), L"C:\\tmpdir\\VexilSrvs") << "missing";
}

// Wine's registry terminates a string value that was stored without its NUL, so the stored
// bytes are handed over through the seam here.
LSTATUS WINAPI UnterminatedDefaultDir(HKEY, LPCWSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size)
{
    static const wchar_t kText[] = {L'D', L':', L'\\', L'D', L'a', L't', L'a'};
    *type = REG_SZ;
    memcpy(data, kText, sizeof(kText));
    *size = sizeof(kText);
    return ERROR_SUCCESS;
}

TEST_F(LogDirectoryTest, FallsBackToTmpWhenDefaultDirHasNoTerminatingNul)
{
    auto stored = ScopedRegistryValue::String(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir, L"D:\\Data");
    ScopedPlatformOverride query(&PlatformApi::RegQueryValueExW, &UnterminatedDefaultDir);
    EXPECT_EQ(FindLogDirectory(), L"C:\\tmpdir\\VexilSrvs");
}

TEST_F(LogDirectoryTest, FallsBackToTempWhenTmpIsUnsetOrTooLong)
{
    ScopedRegistryValueAbsent missing(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir);
    {
        ScopedEnvironment unset(L"TMP", kUnset);
        EXPECT_EQ(FindLogDirectory(), L"C:\\tempdir\\VexilSrvs");
    }
    {
        const std::wstring tooLong(1024, L't');
        ScopedEnvironment longTmp(L"TMP", tooLong.c_str());
        EXPECT_EQ(FindLogDirectory(), L"C:\\tempdir\\VexilSrvs");
    }
}

TEST_F(LogDirectoryTest, IsEmptyWhenNothingGivesADirectory)
{
    ScopedRegistryValueAbsent missing(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir);
    ScopedEnvironment noTmp(L"TMP", kUnset);
    ScopedEnvironment noTemp(L"TEMP", kUnset);
    EXPECT_EQ(FindLogDirectory(), L"");
}

TEST(ModuleConstruction, CreatesTheLogDirectoryBelowDefaultDir)
{
    const std::wstring base = MakeTempDirectory(L"base");
    const std::wstring saved = g_strLogDir;
    g_strLogDir.clear();
    {
        auto value = ScopedRegistryValue::String(HKEY_LOCAL_MACHINE, kCommonKeyPath, kCommonDefaultDir, base);
        CVexilSrvsModule module;
        EXPECT_EQ(g_strLogDir, base + L"\\VexilSrvs");
    }
    const DWORD attributes = ::GetFileAttributesW((base + L"\\VexilSrvs").c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    g_strLogDir = saved;
    ::RemoveDirectoryW((base + L"\\VexilSrvs").c_str());
    ::RemoveDirectoryW(base.c_str());
}

}  // namespace
