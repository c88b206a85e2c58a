#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "support/UniqueHandle.h"

// Starts a child process (under Wine, a real Windows process) and waits for it with a bound.
// The full 32-bit exit code is kept, unlike the 8 bits a Unix parent would see.

struct ProcessResult
{
    bool started = false;
    DWORD startError = 0;   // why it did not start: GetLastError of the failed start
    bool timedOut = false;  // the child was killed after the bound ran out
    DWORD exitCode = 0;
    std::string output;     // standard output and standard error, when captured
};

struct ProcessOptions
{
    DWORD timeoutMs = 60000;
    bool captureOutput = false;
};

// Runs 'commandLine' (program path first, quoted as needed) to completion.
[[nodiscard]] ProcessResult RunProcess(const std::wstring& commandLine, const ProcessOptions& options = {});

// Full path of a file in the output folder of the build, where the test executables also lie,
// e.g. OutputFile(L"VexilSrvs.exe").
[[nodiscard]] std::wstring OutputFile(const std::wstring& name);

// Handles and private bytes of a running process, read from the system's lists: for another
// process Wine answers GetProcessHandleCount and GetProcessMemoryInfo with zeros, and its
// process list has no true handle count, so the handles are counted in the handle list. No
// value when a list cannot be read.
struct ProcessUsage
{
    ULONG handles = 0;
    SIZE_T privateBytes = 0;
    ULONG threads = 0;
};
[[nodiscard]] std::optional<ProcessUsage> ReadProcessUsage(DWORD pid);
