#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/VexilSrvsModule.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestFiles.h"

namespace {

// What the event-log calls received, recorded by the overrides below.
struct ReportedEvent
{
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    bool hasSid = false;
    WORD stringCount = 0;
    DWORD rawDataSize = 0;
    bool hasRawData = false;
    std::wstring message;
};

std::vector<ReportedEvent> g_events;
std::vector<std::wstring> g_sources;
bool g_sourceUnavailable = false;

HANDLE WINAPI RecordingRegisterEventSource(LPCWSTR server, LPCWSTR source)
{
    g_sources.emplace_back(server == nullptr ? source : L"<remote>");
    if (g_sourceUnavailable) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return RealPlatform().RegisterEventSourceW(server, source);
}

BOOL WINAPI RecordingReportEvent(HANDLE, WORD type, WORD category, DWORD eventId, PSID sid, WORD count,
                                 DWORD rawSize, LPCWSTR* strings, LPVOID raw)
{
    ReportedEvent event{type, category, eventId, sid != nullptr, count, rawSize, raw != nullptr,
                        count > 0 ? strings[0] : L""};
    g_events.push_back(event);
    return TRUE;
}

class LogEventTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_events.clear();
        g_sources.clear();
        g_sourceUnavailable = false;
    }

    // Runs 'action' with the C runtime's standard output sent to a file; returns its bytes.
    template <typename Action>
    std::string CaptureStandardOutput(Action action)
    {
        wchar_t path[MAX_PATH];
        wchar_t directory[MAX_PATH];
        ::GetTempPathW(MAX_PATH, directory);
        ::GetTempFileNameW(directory, L"vx", 0, path);
        fflush(stdout);
        const int saved = _dup(1);
        const int file = _wopen(path, _O_WRONLY | _O_TRUNC | _O_TEXT, _S_IWRITE);
        _dup2(file, 1);
        action();
        fflush(stdout);
        _dup2(saved, 1);
        _close(file);
        _close(saved);
        std::string bytes = ReadFileBytes(path);
        ::DeleteFileW(path);
        return bytes;
    }

    CVexilSrvsModule m_module;
    ScopedPlatformOverride<decltype(&::RegisterEventSourceW)> m_register{&PlatformApi::RegisterEventSourceW,
                                                                        &RecordingRegisterEventSource};
    ScopedPlatformOverride<decltype(&::ReportEventW)> m_report{&PlatformApi::ReportEventW,
                                                              &RecordingReportEvent};
};

TEST_F(LogEventTest, ReportsOneInformationEventWithTheMessageAsItsOnlyString)
{
    m_module.LogEvent(L"Service started");
    ASSERT_EQ(g_events.size(), 1u);
    const ReportedEvent& event = g_events[0];
    EXPECT_EQ(event.type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(event.category, 0);
    EXPECT_EQ(event.eventId, 0u);
    EXPECT_FALSE(event.hasSid);
    EXPECT_EQ(event.stringCount, 1);
    EXPECT_EQ(event.rawDataSize, 0u);
    EXPECT_FALSE(event.hasRawData);
    EXPECT_EQ(event.message, L"Service started");
    ASSERT_EQ(g_sources.size(), 1u);
    EXPECT_EQ(g_sources[0], L"VexilSrvs");
}

TEST_F(LogEventTest, RegistersTheSourceAroundEveryReport)
{
    m_module.LogEvent(L"one");
    m_module.LogEvent(L"two");
    EXPECT_EQ(g_sources.size(), 2u);
    EXPECT_EQ(g_events.size(), 2u);
}

TEST_F(LogEventTest, FormatsItsArguments)
{
    m_module.LogEvent(L"dwOpcode = %d", 15);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].message, L"dwOpcode = 15");
}

TEST_F(LogEventTest, CutsTheMessageAfter255Characters)
{
    const std::wstring longText(300, L'x');
    m_module.LogEvent(L"%s", longText.c_str());
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].message, std::wstring(255, L'x'));
}

TEST_F(LogEventTest, DropsTheReportSilentlyWhenTheSourceCannotBeRegistered)
{
    g_sourceUnavailable = true;
    m_module.LogEvent(L"Service stopped");
    EXPECT_EQ(g_sources.size(), 1u);
    EXPECT_TRUE(g_events.empty());
}

TEST_F(LogEventTest, AlsoPrintsTheMessageWhenNotRunningAsAService)
{
    m_module.m_bService = FALSE;
    const std::string output = CaptureStandardOutput([&] { m_module.LogEvent(L"Service started/resumed"); });
    EXPECT_EQ(output, "Service started/resumed\r\n");
    EXPECT_EQ(g_events.size(), 1u);
}

TEST_F(LogEventTest, PrintsNothingWhenRunningAsAService)
{
    m_module.m_bService = TRUE;
    const std::string output = CaptureStandardOutput([&] { m_module.LogEvent(L"Service stopped"); });
    EXPECT_EQ(output, "");
    EXPECT_EQ(g_events.size(), 1u);
}

}  // namespace
