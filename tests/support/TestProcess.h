#pragma once

#include <windows.h>

#include <string>

#include "support/UniqueHandle.h"

// Starts a child process (under Wine, a real Windows process) and waits for it with a bound.
// The full 32-bit exit code is kept, unlike the 8 bits a Unix parent would see.

struct ProcessResult
{
    bool started = false;
    bool timedOut = false;  // the child was killed after the bound ran out
    DWORD exitCode = 0;
    std::string output;     // standard output and standard error, when captured
};

struct ProcessOptions
{
    DWORD timeoutMs = 60000;
    bool captureOutput = false;
    std::wstring workingDirectory;  // empty: the caller's
};

// Runs 'commandLine' (program path first, quoted as needed) to completion.
[[nodiscard]] ProcessResult RunProcess(const std::wstring& commandLine, const ProcessOptions& options = {});

// Directory of the running test executable, which is also the output folder of the build.
[[nodiscard]] std::wstring OutputDirectory();

// Full path of a file in the output folder, e.g. OutputFile(L"VexilSrvs.exe").
[[nodiscard]] std::wstring OutputFile(const std::wstring& name);

// A started child that the owner stops (kills) and waits for at the end, whatever happens.
class ChildProcess
{
public:
    explicit ChildProcess(const std::wstring& commandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] bool started() const noexcept { return m_process.valid(); }
    [[nodiscard]] DWORD id() const noexcept { return m_id; }
    [[nodiscard]] HANDLE handle() const noexcept { return m_process.get(); }
    // Waits up to timeoutMs for the child to end; true with its exit code when it did.
    [[nodiscard]] bool Wait(DWORD timeoutMs, DWORD* exitCode);
    void Kill();

private:
    UniqueKernelHandle m_process;
    DWORD m_id = 0;
};
