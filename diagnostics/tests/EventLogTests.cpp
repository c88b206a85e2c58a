#include <gtest/gtest.h>

#include "host/VexilSrvsModule.h"
#include "tests/support/PlatformOverride.h"

namespace {

std::wstring g_calls;  // "source(name)" per registration, "event(type,category,id,sid,strings,raw:message)" per report
bool g_sourceUnavailable = false;

// Wine keeps no events, so the reports are seen through the seam; each report fails, and a source
// that cannot be registered drops it, which the host takes silently.
TEST(LogEvent, ReportsOneInformationEventUnderTheServiceNameCutAt255AndCarriesOnWhateverTheEventLogSays)
{
    ScopedPlatformOverride registerSource(&PlatformApi::RegisterEventSourceW,
        [](LPCWSTR server, LPCWSTR source) -> HANDLE {
            g_calls += L"source(" + std::wstring(server == nullptr ? source : L"remote") + L") ";
            return g_sourceUnavailable ? nullptr : RealPlatform().RegisterEventSourceW(server, source);
        });
    ScopedPlatformOverride report(&PlatformApi::ReportEventW,
        [](HANDLE, WORD type, WORD category, DWORD id, PSID sid, WORD count, DWORD size, LPCWSTR* strings, LPVOID raw) {
            g_calls += L"event(" + std::to_wstring(type) + L"," + std::to_wstring(category) + L"," +
                       std::to_wstring(id) + L"," + std::to_wstring(sid != nullptr) + L"," + std::to_wstring(count) +
                       L"," + std::to_wstring(size + (raw != nullptr)) + L":" + strings[0] + L") ";
            return ::SetLastError(ERROR_LOG_FILE_FULL), FALSE;
        });
    const std::wstring longText(300, L'x');
    const struct { bool unavailable; const wchar_t* text; std::wstring calls; } cases[] = {
        {false, L"dwOpcode = 15", L"source(VexilSrvs) event(4,0,0,0,1,0:dwOpcode = 15) "},
        {false, longText.c_str(), L"source(VexilSrvs) event(4,0,0,0,1,0:" + longText.substr(0, 255) + L") "},
        {true, L"Service stopped", L"source(VexilSrvs) "},
    };
    CVexilSrvsModule module;
    for (const auto& c : cases) {
        g_calls.clear();
        g_sourceUnavailable = c.unavailable;
        module.LogEvent(L"%s", c.text);
        EXPECT_EQ(g_calls, c.calls);
    }
}

}  // namespace
