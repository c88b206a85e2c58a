#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/CommandLine.h"
#include "host/VexilSrvsModule.h"
#include "tests/support/PlatformOverride.h"

// Lets GoogleTest print switch values by name.
void PrintTo(CommandLineSwitch value, std::ostream* os)
{
    static const char* const names[] = {"None", "UnregServer", "RegServer", "UnregServerPerUser",
                                        "RegServerPerUser", "Service"};
    *os << names[static_cast<int>(value)];
}

namespace {

struct SwitchCase
{
    const wchar_t* line;
    CommandLineSwitch expected;
    const char* why;
};

void ExpectSwitches(const std::vector<SwitchCase>& cases)
{
    for (const SwitchCase& c : cases) {
        EXPECT_EQ(FindCommandLineSwitch(c.line), c.expected)
            << c.why << ": " << std::string(c.line, c.line + wcslen(c.line));
    }
}

TEST(FindCommandLineSwitch, RecognisesEachSwitchWithDashOrSlashInAnyCase)
{
    ExpectSwitches({
        {L"VexilSrvs.exe -RegServer", CommandLineSwitch::RegServer, "dash"},
        {L"VexilSrvs.exe /RegServer", CommandLineSwitch::RegServer, "slash"},
        {L"VexilSrvs.exe -regserver", CommandLineSwitch::RegServer, "lower case"},
        {L"VexilSrvs.exe -REGSERVER", CommandLineSwitch::RegServer, "upper case"},
        {L"VexilSrvs.exe -UnregServer", CommandLineSwitch::UnregServer, "unregister"},
        {L"VexilSrvs.exe /unregserverperuser", CommandLineSwitch::UnregServerPerUser, "per-user, lower case"},
        {L"VexilSrvs.exe -RegServerPerUser", CommandLineSwitch::RegServerPerUser, "per-user is not RegServer"},
        {L"VexilSrvs.exe -Service", CommandLineSwitch::Service, "service"},
        {L"VexilSrvs.exe -sErViCe", CommandLineSwitch::Service, "service, mixed case"},
    });
}

TEST(FindCommandLineSwitch, ComparesWordsWholeUpToSpaceTabOrEnd)
{
    ExpectSwitches({
        {L"VexilSrvs.exe -RegServerX", CommandLineSwitch::None, "longer word"},
        {L"VexilSrvs.exe -RegServer,", CommandLineSwitch::None, "comma right after the word"},
        {L"VexilSrvs.exe -Services", CommandLineSwitch::None, "Services is not Service"},
        {L"VexilSrvs.exe -RegServe", CommandLineSwitch::None, "shorter word"},
        {L"VexilSrvs.exe -RegServer\t", CommandLineSwitch::RegServer, "tab ends the word"},
        {L"VexilSrvs.exe -RegServer -x", CommandLineSwitch::RegServer, "space ends the word"},
        {L"VexilSrvs.exe -Service\tother", CommandLineSwitch::Service, "tab ends the service word"},
    });
}

TEST(FindCommandLineSwitch, IgnoresEverythingThatIsNotASwitch)
{
    ExpectSwitches({
        {L"", CommandLineSwitch::None, "empty line"},
        {L"VexilSrvs.exe", CommandLineSwitch::None, "program only"},
        {L"VexilSrvs.exe RegServer Service", CommandLineSwitch::None, "words without dash or slash"},
        {L"VexilSrvs.exe -", CommandLineSwitch::None, "lone dash at the end"},
        {L"VexilSrvs.exe / -", CommandLineSwitch::None, "lone slash and dash"},
        {L"VexilSrvs.exe -Embedding", CommandLineSwitch::None, "the COM runtime's own switch"},
        {L"\"C:\\Program Files\\my-dir\\VexilSrvs.exe\" -Embedding", CommandLineSwitch::None,
         "dash inside the program path"},
    });
}

TEST(FindCommandLineSwitch, StartsANewCandidateAtEveryDashOrSlash)
{
    ExpectSwitches({
        {L"C:\\my-dir\\VexilSrvs.exe -UnregServer", CommandLineSwitch::UnregServer, "dash in the path first"},
        {L"VexilSrvs.exe --RegServer", CommandLineSwitch::RegServer, "doubled dash"},
        {L"VexilSrvs.exe x/RegServer", CommandLineSwitch::RegServer, "slash inside a word"},
        {L"C:\\dir-RegServer\\VexilSrvs.exe", CommandLineSwitch::None, "word ends at a backslash, not a blank"},
        {L"C:/tools/VexilSrvs.exe /Service", CommandLineSwitch::Service, "slashes in the path"},
    });
}

TEST(FindCommandLineSwitch, RegistrationSwitchWinsOverServiceWhateverTheOrder)
{
    ExpectSwitches({
        {L"VexilSrvs.exe -Service -RegServer", CommandLineSwitch::RegServer, "service first"},
        {L"VexilSrvs.exe -RegServer -Service", CommandLineSwitch::RegServer, "service last"},
        {L"VexilSrvs.exe /Service /UnregServerPerUser", CommandLineSwitch::UnregServerPerUser, "per-user"},
        {L"VexilSrvs.exe -UnregServer -RegServer", CommandLineSwitch::UnregServer, "leftmost registration switch"},
        {L"VexilSrvs.exe -RegServerPerUser -UnregServer", CommandLineSwitch::RegServerPerUser, "leftmost again"},
    });
}

// --- the process entry ---

int g_beginPeriods = 0;
int g_endPeriods = 0;
int g_commandLineReads = 0;
DWORD g_priorityClass = 0;

MMRESULT WINAPI CountBeginPeriod(UINT period)
{
    EXPECT_EQ(period, 1u);
    ++g_beginPeriods;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI CountEndPeriod(UINT period)
{
    EXPECT_EQ(period, 1u);
    ++g_endPeriods;
    return TIMERR_NOERROR;
}

LPWSTR WINAPI CountCommandLineReads()
{
    ++g_commandLineReads;
    return const_cast<LPWSTR>(L"VexilSrvs.exe");
}

BOOL WINAPI RecordPriorityClass(HANDLE, DWORD priorityClass)
{
    g_priorityClass = priorityClass;
    return TRUE;
}

class ProcessEntryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_beginPeriods = g_endPeriods = g_commandLineReads = 0;
        g_priorityClass = 0;
    }
    void TearDown() override { g_bModuleInitFailed = 0; }

    CVexilSrvsModule m_module;
    ScopedPlatformOverride<decltype(&::timeBeginPeriod)> m_begin{&PlatformApi::timeBeginPeriod, &CountBeginPeriod};
    ScopedPlatformOverride<decltype(&::timeEndPeriod)> m_end{&PlatformApi::timeEndPeriod, &CountEndPeriod};
    ScopedPlatformOverride<decltype(&::GetCommandLineW)> m_line{&PlatformApi::GetCommandLineW,
                                                                &CountCommandLineReads};
    ScopedPlatformOverride<decltype(&::SetPriorityClass)> m_priority{&PlatformApi::SetPriorityClass,
                                                                     &RecordPriorityClass};
};

TEST_F(ProcessEntryTest, ExitsWithMinusOneWithoutParsingWhenModuleInitialisationFailed)
{
    g_bModuleInitFailed = 1;
    EXPECT_EQ(m_module.WinMain(SW_SHOWNORMAL), -1);
    EXPECT_EQ(g_commandLineReads, 0);
    EXPECT_EQ(g_priorityClass, static_cast<DWORD>(REALTIME_PRIORITY_CLASS));
    EXPECT_EQ(g_beginPeriods, 1);
    EXPECT_EQ(g_endPeriods, 1);
}

BOOL WINAPI FailInitializeCriticalSection(LPCRITICAL_SECTION, DWORD, DWORD)
{
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

TEST(ModuleInitialisation, CriticalSectionFailureSetsTheInitialisationFailedFlag)
{
    g_bModuleInitFailed = 0;
    {
        ScopedPlatformOverride fail(&PlatformApi::InitializeCriticalSectionEx, &FailInitializeCriticalSection);
        CVexilSrvsModule module;
        EXPECT_EQ(g_bModuleInitFailed, 1);
    }
    g_bModuleInitFailed = 0;
}

}  // namespace
