// Shows that Wine 8 now and then ends a new process in its start-up, with nothing of the product
// in it: CreateProcess then fails with ERROR_INTERNAL_ERROR (1359), which is how Wine reports a
// child whose Unix side went away before it finished starting (the server records exit code 0
// for it). Started from a Unix shell instead, such a program ends without a word. Built with the
// benchmark; never run by the tests.
//
//   ProcessStarts.exe [--starts N] [command line]
//     starts the command line (default "cmd.exe /c exit") N times (default 500), one after the
//     other, waiting for each; prints every failed start with its time, then how many starts
//     failed with each error and how many ended with each exit code.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>

#include "support/UniqueHandle.h"

namespace {

struct Tally
{
    std::map<DWORD, int> startErrors;
    std::map<DWORD, int> exitCodes;
};

void StartAndWait(const std::wstring& commandLine, int start, Tally& tally)
{
    std::wstring command = commandLine;  // CreateProcessW may write into it
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        const DWORD error = ::GetLastError();
        ++tally.startErrors[error];
        SYSTEMTIME now;
        ::GetSystemTime(&now);
        std::printf("start %d: CreateProcess failed with %lu at %02u:%02u:%02u.%03u UTC\n", start, error, now.wHour,
                    now.wMinute, now.wSecond, now.wMilliseconds);
        std::fflush(stdout);
        return;
    }
    UniqueKernelHandle process(info.hProcess);
    UniqueKernelHandle thread(info.hThread);
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.get(), &exitCode);
    ++tally.exitCodes[exitCode];
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int starts = 500;
    int first = 1;
    if (argc > 2 && std::wcscmp(argv[1], L"--starts") == 0) {
        starts = _wtoi(argv[2]);
        first = 3;
    }
    std::wstring commandLine = first < argc ? L"" : L"cmd.exe /c exit";
    for (int i = first; i < argc; ++i)
        commandLine += (i > first ? L" " : L"") + std::wstring(argv[i]);

    Tally tally;
    for (int start = 1; start <= starts; ++start)
        StartAndWait(commandLine, start, tally);
    for (const auto& [error, count] : tally.startErrors)
        std::printf("%d starts failed with %lu\n", count, error);
    for (const auto& [exitCode, count] : tally.exitCodes)
        std::printf("%d processes ended with exit code %lu\n", count, exitCode);
    return tally.startErrors.empty() ? 0 : 1;
}
