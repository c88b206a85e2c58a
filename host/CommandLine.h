#pragma once

// The switches of the host's command line. A switch is a '-' or '/' followed by a word that
// ends at the end of the line, a space or a tab; words are compared whole, without regard
// to case.
enum class CommandLineSwitch
{
    None,
    UnregServer,
    RegServer,
    UnregServerPerUser,
    RegServerPerUser,
    Service,
};

// The first registration switch of the line, in order of appearance; the "Service" switch
// counts only when the line holds no registration switch at all.
[[nodiscard]] CommandLineSwitch FindCommandLineSwitch(const wchar_t* pszCmdLine) noexcept;
