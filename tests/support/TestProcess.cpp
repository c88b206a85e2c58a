#include "tests/support/TestProcess.h"

#include <winternl.h>

#include <algorithm>
#include <vector>

namespace {

// Starts 'commandLine' with its standard output and error on 'output' when that is given;
// 'error' says why it could not.
UniqueKernelHandle Start(const std::wstring& commandLine, HANDLE output, DWORD& error)
{
    std::wstring line = commandLine;  // CreateProcessW may write into the line it is given
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = output != nullptr ? STARTF_USESTDHANDLES : 0;
    startup.hStdOutput = startup.hStdError = output;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, output != nullptr, 0, nullptr, nullptr, &startup,
                          &info)) {
        error = ::GetLastError();
        return {};
    }
    UniqueKernelHandle thread(info.hThread);
    return UniqueKernelHandle(info.hProcess);
}

// The head of one entry of the system's process list, as the system lays it out on x64.
struct ProcessEntry
{
    ULONG nextEntryOffset, threads;
    SIZE_T times[6], imageName[2], basePriority;  // 8-byte slots: times, UNICODE_STRING, LONG and padding
    HANDLE processId, parentId;
    ULONG handleCount, sessionId;
    SIZE_T key, peakVirtualSize, virtualSize, pageFaults, peakWorkingSet, workingSet, pools[4], privateBytes;
};

// One entry of the system's handle list (class 16): a count, then one of these per handle.
struct HandleEntry
{
    USHORT processId, backTrace;
    UCHAR type, attributes;
    USHORT value;
    void* object;
    ULONG access;
};

}  // namespace

ProcessResult RunProcess(const std::wstring& commandLine, const ProcessOptions& options)
{
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueKernelHandle readEnd;
    UniqueKernelHandle writeEnd;
    if (options.captureOutput && (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0) ||
                                  !::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0))) {
        result.startError = ::GetLastError();
        return result;
    }
    const UniqueKernelHandle process = Start(commandLine, writeEnd.get(), result.startError);
    result.started = process.valid();
    // The output is read while the child runs, so that a full pipe never blocks it, and once
    // more after it has ended.
    const ULONGLONG end = ::GetTickCount64() + options.timeoutMs;
    for (DWORD wait = WAIT_TIMEOUT; wait == WAIT_TIMEOUT && !result.timedOut;) {
        wait = result.started ? ::WaitForSingleObject(process.get(), 20) : WAIT_FAILED;
        char buffer[4096];
        DWORD read = 0;
        while (readEnd && ::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &read, nullptr) && read > 0 &&
               ::ReadFile(readEnd.get(), buffer, sizeof(buffer), &read, nullptr))
            result.output.append(buffer, read);
        result.timedOut = wait == WAIT_TIMEOUT && ::GetTickCount64() >= end;
    }
    if (result.timedOut && ::TerminateProcess(process.get(), 0xDEAD))
        ::WaitForSingleObject(process.get(), 10000);
    ::GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

std::wstring OutputFile(const std::wstring& name)
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring executable(path);
    return executable.substr(0, executable.find_last_of(L'\\') + 1) + name;
}

std::optional<ProcessUsage> ReadProcessUsage(DWORD pid)
{
    std::vector<BYTE> list(64 << 20);
    ULONG size = 0;
    if (::NtQuerySystemInformation(SystemProcessInformation, list.data(), 64 << 20, &size) != 0)
        return std::nullopt;
    ProcessUsage usage;
    for (size_t at = 0, next = 1; next != 0; at += next) {
        const auto* process = reinterpret_cast<const ProcessEntry*>(list.data() + at);
        if (reinterpret_cast<ULONG_PTR>(process->processId) == pid) {
            usage.privateBytes = process->privateBytes;
            usage.threads = process->threads;
        }
        next = process->nextEntryOffset;
    }
    if (::NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(16), list.data(), 64 << 20, &size) != 0)
        return std::nullopt;
    const auto* handles = reinterpret_cast<const HandleEntry*>(list.data() + sizeof(void*));  // after the count
    usage.handles = static_cast<ULONG>(std::count_if(handles, handles + *reinterpret_cast<const ULONG*>(list.data()),
                                                     [pid](const HandleEntry& handle) { return handle.processId == pid; }));
    return usage;
}
