#include <gtest/gtest.h>

#include <string>

#include "host/CommandLine.h"
#include "host/VexilSrvsModule.h"
#include "tests/support/PlatformOverride.h"

namespace {

using enum CommandLineSwitch;

// Case, both introducers and registration switches winning over "Service" in either order are
// also seen end to end; these are the rules only a line of text can reach.
TEST(CommandLine, FindsTheFirstRegistrationSwitchElseServiceComparingWholeWordsWithoutCase)
{
    const struct { const wchar_t* line; CommandLineSwitch expected; } cases[] = {
        {L"VexilSrvs.exe -REGSERVER\t", RegServer},
        {L"VexilSrvs.exe /unregserverperuser", UnregServerPerUser},
        {L"VexilSrvs.exe -RegServerPerUser", RegServerPerUser},
        {L"VexilSrvs.exe -Service\tother", Service},
        {L"VexilSrvs.exe -RegServerX", None},
        {L"VexilSrvs.exe -RegServer,", None},
        {L"VexilSrvs.exe -RegServe", None},
        {L"VexilSrvs.exe -Services", None},
        {L"VexilSrvs.exe RegServer Service", None},
        {L"VexilSrvs.exe / -", None},
        {L"\"C:\\Program Files\\my-dir\\VexilSrvs.exe\" -Embedding", None},
        {L"C:\\dir-RegServer\\VexilSrvs.exe", None},
        {L"C:\\my-dir\\VexilSrvs.exe -UnregServer", UnregServer},
        {L"VexilSrvs.exe --RegServer", RegServer},
        {L"VexilSrvs.exe x/RegServer", RegServer},
        {L"VexilSrvs.exe -UnregServer -RegServer", UnregServer},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<int>(FindCommandLineSwitch(c.line)), static_cast<int>(c.expected)) << c.line;
}

TEST(ProcessEntry, FailedModuleInitialisationEndsWithMinusOneBeforeTheCommandLineIsRead)
{
    static std::string s_calls;
    {
        ScopedPlatformOverride failSection(&PlatformApi::InitializeCriticalSectionEx,
                                           [](LPCRITICAL_SECTION, DWORD, DWORD) { return FALSE; });
        CVexilSrvsModule failed;
    }
    ScopedPlatformOverride priority(&PlatformApi::SetPriorityClass,
                                    [](HANDLE, DWORD c) { return s_calls += std::to_string(c) + " ", TRUE; });
    ScopedPlatformOverride begin(&PlatformApi::timeBeginPeriod,
                                 [](UINT p) { return s_calls += "begin" + std::to_string(p), 0u; });
    ScopedPlatformOverride end(&PlatformApi::timeEndPeriod,
                               [](UINT p) { return s_calls += " end" + std::to_string(p), 0u; });
    ScopedPlatformOverride line(&PlatformApi::GetCommandLineW,
                                [] { return s_calls += " line", const_cast<LPWSTR>(L""); });
    CVexilSrvsModule module;
    EXPECT_EQ(module.WinMain(SW_SHOWNORMAL), -1);
    EXPECT_EQ(s_calls, "256 begin1 end1");
    g_bModuleInitFailed = 0;
}

}  // namespace
