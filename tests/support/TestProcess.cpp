#include "tests/support/TestProcess.h"

#include <vector>

#include "support/UniqueHandle.h"

namespace {

void DrainPipe(HANDLE pipe, std::string& output)
{
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        output.append(buffer, read);
}

}  // namespace

ProcessResult RunProcess(const std::wstring& commandLine, const ProcessOptions& options)
{
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueKernelHandle readEnd;
    UniqueKernelHandle writeEnd;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (options.captureOutput) {
        if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0))
            return result;
        ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd.get();
        startup.hStdError = writeEnd.get();
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    }

    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, options.captureOutput, 0, nullptr,
                          options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                          &startup, &info))
        return result;
    UniqueKernelHandle process(info.hProcess);
    UniqueKernelHandle thread(info.hThread);
    result.started = true;
    writeEnd.reset();  // the child holds the only write end now, so reads end when it exits

    HANDLE reader = nullptr;
    struct DrainArgs { HANDLE pipe; std::string* output; } args{readEnd.get(), &result.output};
    if (options.captureOutput) {
        reader = ::CreateThread(nullptr, 0, [](void* p) -> DWORD {
            auto* a = static_cast<DrainArgs*>(p);
            DrainPipe(a->pipe, *a->output);
            return 0;
        }, &args, 0, nullptr);
    }
    UniqueKernelHandle readerThread(reader);

    if (::WaitForSingleObject(process.get(), options.timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        ::TerminateProcess(process.get(), 0xDEAD);
        ::WaitForSingleObject(process.get(), 10000);
    }
    ::GetExitCodeProcess(process.get(), &result.exitCode);
    if (readerThread)
        ::WaitForSingleObject(readerThread.get(), 10000);
    return result;
}

std::wstring OutputDirectory()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    return directory.substr(0, directory.find_last_of(L'\\'));
}

std::wstring OutputFile(const std::wstring& name)
{
    return OutputDirectory() + L"\\" + name;
}

ChildProcess::ChildProcess(const std::wstring& commandLine)
{
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        UniqueKernelHandle thread(info.hThread);
        m_process.reset(info.hProcess);
        m_id = info.dwProcessId;
    }
}

ChildProcess::~ChildProcess()
{
    Kill();
}

bool ChildProcess::Wait(DWORD timeoutMs, DWORD* exitCode)
{
    if (!m_process || ::WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    ::GetExitCodeProcess(m_process.get(), exitCode);
    return true;
}

void ChildProcess::Kill()
{
    if (m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(m_process.get(), 0xDEAD);
        ::WaitForSingleObject(m_process.get(), 10000);
    }
}
