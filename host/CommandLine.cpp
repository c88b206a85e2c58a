#include "host/CommandLine.h"

#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

namespace {

struct SwitchName
{
    const wchar_t* name;
    CommandLineSwitch value;
};

// Tested in this order against each switch word of the first pass.
constexpr SwitchName kRegistrationSwitches[] = {
    {L"UnregServer", CommandLineSwitch::UnregServer},
    {L"RegServer", CommandLineSwitch::RegServer},
    {L"UnregServerPerUser", CommandLineSwitch::UnregServerPerUser},
    {L"RegServerPerUser", CommandLineSwitch::RegServerPerUser},
};
constexpr wchar_t kServiceSwitch[] = L"Service";

wchar_t UpperUnit(wchar_t unit) noexcept
{
    // CharUpperW converts a single character passed in the low word of the pointer.
    return static_cast<wchar_t>(reinterpret_cast<ULONG_PTR>(
        ::CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(unit)))));
}

// Whole-word, case-insensitive comparison of the word at 'word' with 'name'.
bool WordMatches(const wchar_t* word, const wchar_t* name) noexcept
{
    while (*name != L'\0') {
        if (UpperUnit(*word) != UpperUnit(*name))
            return false;
        word = ::CharNextW(word);
        name = ::CharNextW(name);
    }
    return *word == L'\0' || *word == L' ' || *word == L'\t';
}

// The word after the next '-' or '/' at or after 'from'; null when there is none.
const wchar_t* NextSwitchWord(const wchar_t* from) noexcept
{
    for (const wchar_t* p = from; *p != L'\0'; p = ::CharNextW(p)) {
        if (*p == L'-' || *p == L'/')
            return p + 1;
    }
    return nullptr;
}

CommandLineSwitch FindRegistrationSwitch(const wchar_t* line) noexcept
{
    // After a word that matches nothing the scan goes on right after its '-' or '/', so a
    // dash inside a word or inside the program path starts a new candidate.
    for (const wchar_t* word = NextSwitchWord(line); word != nullptr; word = NextSwitchWord(word)) {
        for (const SwitchName& candidate : kRegistrationSwitches) {
            if (WordMatches(word, candidate.name))
                return candidate.value;
        }
    }
    return CommandLineSwitch::None;
}

bool HasServiceSwitch(const wchar_t* line) noexcept
{
    for (const wchar_t* word = NextSwitchWord(line); word != nullptr; word = NextSwitchWord(word)) {
        if (WordMatches(word, kServiceSwitch))
            return true;
    }
    return false;
}

}  // namespace

CommandLineSwitch FindCommandLineSwitch(const wchar_t* pszCmdLine) noexcept
{
    if (pszCmdLine == nullptr)
        return CommandLineSwitch::None;
    const CommandLineSwitch registration = FindRegistrationSwitch(pszCmdLine);
    if (registration != CommandLineSwitch::None)
        return registration;
    return HasServiceSwitch(pszCmdLine) ? CommandLineSwitch::Service : CommandLineSwitch::None;
}

bool CVexilSrvsModule::ParseCommandLine(const wchar_t* pszCmdLine, HRESULT* pnRetCode) noexcept
{
    *pnRetCode = S_OK;
    HRESULT hr = S_OK;
    switch (FindCommandLineSwitch(pszCmdLine)) {
    case CommandLineSwitch::None:
        return true;
    case CommandLineSwitch::UnregServerPerUser:
        g_bPerUserRegistration = true;
        [[fallthrough]];
    case CommandLineSwitch::UnregServer:
        hr = UnregisterServer();
        if (SUCCEEDED(hr))
            hr = UnregisterAppId();
        break;
    case CommandLineSwitch::RegServerPerUser:
        g_bPerUserRegistration = true;
        [[fallthrough]];
    case CommandLineSwitch::RegServer:
        hr = RegisterAppId(false);
        if (SUCCEEDED(hr))
            hr = RegisterServer();
        break;
    case CommandLineSwitch::Service:
        hr = RegisterAppId(true);
        if (SUCCEEDED(hr))
            hr = RegisterServer();
        break;
    }
    *pnRetCode = hr;
    return false;
}

int CVexilSrvsModule::WinMain(int nShowCmd) noexcept
{
    // Without the privilege for the realtime class the system grants a lower one; both the
    // class and the timer resolution hold for the whole process, registration runs included.
    Platform().SetPriorityClass(::GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    Platform().timeBeginPeriod(1);

    if (g_bModuleInitFailed != 0) {
        Platform().timeEndPeriod(1);
        return -1;
    }

    HRESULT hr = S_OK;
    if (ParseCommandLine(Platform().GetCommandLineW(), &hr)) {
        // The process will run: its own signature is checked meanwhile, ready for the run.
        m_ownSignature.Begin();
        hr = Start(nShowCmd);
        m_ownSignature.Finish();
    }

    // A manager still held after an early end of the run goes while COM is alive: the last
    // CoUninitialize may unload the module that implements it.
    ReleaseManager();
    // In service mode COM belongs to the service thread, which uninitialises it itself.
    if (!m_bService && m_bComInitialized)
        Platform().CoUninitialize();

    Platform().timeEndPeriod(1);
    return hr;
}
