#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include "host/VexilSrvsModule.h"
#include "tests/support/PlatformOverride.h"

namespace {

std::wstring g_calls;  // "source(name)" per registration, "event(type,category,id,sid,strings,raw:message)" per report
HANDLE g_source = nullptr;
bool g_sourceUnavailable = false;

// What 'report' writes to the standard output, read back through a pipe as the UTF-16 units the
// binary stream carries.
template <typename Report>
std::wstring StandardOutputOf(Report report)
{
    int pipe[2] = {-1, -1};
    if (_pipe(pipe, 4096, _O_BINARY) != 0)
        return L"<no pipe>";
    fflush(stdout);
    const int saved = _dup(1);
    _dup2(pipe[1], 1);
    report();
    fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    _close(pipe[1]);
    wchar_t text[512] = {};
    const int bytes = _read(pipe[0], text, sizeof(text) - sizeof(wchar_t));
    _close(pipe[0]);
    return std::wstring(text, bytes > 0 ? static_cast<size_t>(bytes) / sizeof(wchar_t) : 0);
}

// Wine keeps no events, so the reports are seen through the seam; each report fails, and a source
// that cannot be registered drops it, which the host takes silently. Outside a service the message
// also goes to the standard output.
TEST(LogEvent, ReportsOneInformationEventUnderTheServiceNameCutAt255AndCarriesOnWhateverTheEventLogSays)
{
    ScopedPlatformOverride registerSource(&PlatformApi::RegisterEventSourceW,
        [](LPCWSTR server, LPCWSTR source) -> HANDLE {
            g_calls += L"source(" + std::wstring(server == nullptr ? source : L"remote") + L") ";
            return g_source = g_sourceUnavailable ? nullptr : RealPlatform().RegisterEventSourceW(server, source);
        });
    ScopedPlatformOverride report(&PlatformApi::ReportEventW,
        [](HANDLE, WORD type, WORD category, DWORD id, PSID sid, WORD count, DWORD size, LPCWSTR* strings, LPVOID raw) {
            g_calls += L"event(" + std::to_wstring(type) + L"," + std::to_wstring(category) + L"," +
                       std::to_wstring(id) + L"," + std::to_wstring(sid != nullptr) + L"," + std::to_wstring(count) +
                       L"," + std::to_wstring(size + (raw != nullptr)) + L":" + strings[0] + L") ";
            return ::SetLastError(ERROR_LOG_FILE_FULL), FALSE;
        });
    ScopedPlatformOverride deregister(&PlatformApi::DeregisterEventSource, [](HANDLE source) {
        g_calls += source == g_source ? L"deregister" : L"deregister(another)";
        return RealPlatform().DeregisterEventSource(source);
    });
    const std::wstring longText(300, L'x'), cut = longText.substr(0, 255);
    const struct { BOOL service; bool unavailable; const wchar_t* text; std::wstring calls, output; } cases[] = {
        {TRUE, false, L"dwOpcode = 15", L"source(VexilSrvs) event(4,0,0,0,1,0:dwOpcode = 15) deregister", L""},
        {FALSE, false, longText.c_str(), L"source(VexilSrvs) event(4,0,0,0,1,0:" + cut + L") deregister", cut + L"\n"},
        {TRUE, true, L"Service stopped", L"source(VexilSrvs) ", L""},
        {FALSE, true, L"Service stopped", L"source(VexilSrvs) ", L"Service stopped\n"},
    };
    CVexilSrvsModule module;
    for (const auto& c : cases) {
        g_calls.clear();
        g_sourceUnavailable = c.unavailable;
        module.m_bService = c.service;
        EXPECT_EQ(StandardOutputOf([&] { module.LogEvent(L"%s", c.text); }), c.output);
        EXPECT_EQ(g_calls, c.calls);
    }
}

}  // namespace
