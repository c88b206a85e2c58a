// A client of the host, as the product's other programs are: it activates the manager class
// out of process, asks it for the boards manager's automation interface and calls it. Every
// result is one "name=value" line on standard output; the exit code is the first failing
// HRESULT, or 0.
//
//   VexilClient [--threads N] [--rounds N] [--hold-ms N] [--lock-server]
//     --threads N    activate from N threads at once (default 1)
//     --rounds N     repeat the whole run N times (default 1)
//     --hold-ms N    keep each reference N ms before releasing it (default 0)
//     --lock-server  instead of activating: CoGetClassObject, LockServer(TRUE), hold, LockServer(FALSE)

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "VexilBoards.h"  // generated from components/boardsmgr/VexilBoards.idl
#include "VexilSrvs.h"    // generated from manager/VexilSrvs.idl
#include "components/client/HeldVexilTypeLibraries.h"
#include "support/ComPtr.h"
#include "support/ConcurrentClient.h"
#include "support/UniqueHandle.h"

namespace {

struct Options
{
    DWORD threads = 1;
    DWORD rounds = 1;
    DWORD holdMs = 0;
    bool lockServer = false;
};

std::atomic<HRESULT> g_firstFailure{S_OK};
SRWLOCK g_outputLock = SRWLOCK_INIT;

// Lines from several threads never mix.
void PrintLine(const char* format, ...)
{
    char line[1024] = {};
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    ::AcquireSRWLockExclusive(&g_outputLock);
    std::printf("%s\n", line);
    std::fflush(stdout);
    ::ReleaseSRWLockExclusive(&g_outputLock);
}

// Keeps the first failure as the exit code; prints "<what> hr=0x........" for a failure, or
// always when 'always' is set.
HRESULT Report(const char* what, HRESULT hr, bool always = true)
{
    if (always || FAILED(hr))
        PrintLine("%s hr=0x%08lX", what, static_cast<unsigned long>(hr));
    if (FAILED(hr)) {
        HRESULT none = S_OK;
        g_firstFailure.compare_exchange_strong(none, hr);
    }
    return hr;
}

// The calls whose answer is a value: only a failure is worth its own line.
HRESULT Check(const char* what, HRESULT hr)
{
    return Report(what, hr, false);
}

std::string ToUtf8(const wchar_t* text)
{
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return {};
    std::string bytes(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), length, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

HRESULT CallBoards(IVexilBoards* boards)
{
    LONG count = 0;
    if (FAILED(Check("count", boards->get_Count(&count))))
        return g_firstFailure;
    PrintLine("boards=%ld", count);
    for (LONG i = 0; i < count; ++i) {
        UniqueSysString name;
        if (FAILED(Check("name", boards->Name(i, name.put()))))
            return g_firstFailure;
        PrintLine("board[%ld]=%s", i, ToUtf8(name.get()).c_str());
    }

    LONG value = 0;
    if (SUCCEEDED(Check("inner-object-count", boards->get_InnerObjectCount(&value))))
        PrintLine("inner-objects=%ld", value);
    if (SUCCEEDED(Check("live-object-count", boards->get_LiveObjectCount(&value))))
        PrintLine("live-objects=%ld", value);
    if (SUCCEEDED(Check("process-id", boards->get_ProcessId(&value))))
        PrintLine("server-pid=%ld", value);
    if (SUCCEEDED(Check("init-state", boards->get_InitState(&value))))
        PrintLine("init-state=%ld", value);
    return S_OK;
}

void ActivateOnce(const Options& options)
{
    ComPtr<IUnknown> manager;
    if (FAILED(Report("activate", ::CoCreateInstance(CLSID_VexilMgrSrv, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                                     manager.put_void()))))
        return;
    ComPtr<IVexilBoards> boards;
    if (FAILED(Report("query", manager.query(IID_IVexilBoards, boards))))
        return;
    (void)CallBoards(boards.get());
    ::Sleep(options.holdMs);
    PrintLine("release");
}

void LockServerOnce(const Options& options)
{
    ComPtr<IClassFactory> factory;
    if (FAILED(Report("classobject", ::CoGetClassObject(CLSID_VexilMgrSrv, CLSCTX_LOCAL_SERVER, nullptr,
                                                        IID_IClassFactory, factory.put_void()))))
        return;
    if (FAILED(Report("lockserver-true", factory->LockServer(TRUE))))
        return;
    ::Sleep(options.holdMs);
    (void)Report("lockserver-false", factory->LockServer(FALSE));
}

struct WorkerArguments
{
    const Options* options;
    HANDLE start;
};

DWORD WINAPI Worker(void* parameter)
{
    const auto* arguments = static_cast<const WorkerArguments*>(parameter);
    // Each thread in an apartment of its own: the threads activate the host at the same time.
    const HRESULT hr = InitializeActivatingThread();
    if (FAILED(Check("initialize", hr)))
        return 0;
    // Every thread is ready before any of them activates, so the activations meet.
    ::WaitForSingleObject(arguments->start, INFINITE);
    if (arguments->options->lockServer)
        LockServerOnce(*arguments->options);
    else
        ActivateOnce(*arguments->options);
    ::CoUninitialize();
    return 0;
}

void RunRound(const Options& options)
{
    UniqueKernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!start) {
        Report("create-event", HRESULT_FROM_WIN32(::GetLastError()));
        return;
    }
    WorkerArguments arguments{&options, start.get()};
    std::vector<UniqueKernelHandle> threads;
    for (DWORD i = 0; i < options.threads; ++i) {
        UniqueKernelHandle thread(::CreateThread(nullptr, 0, &Worker, &arguments, 0, nullptr));
        if (!thread) {
            Report("create-thread", HRESULT_FROM_WIN32(::GetLastError()));
            break;
        }
        threads.push_back(std::move(thread));
    }
    ::SetEvent(start.get());
    for (const UniqueKernelHandle& thread : threads)
        ::WaitForSingleObject(thread.get(), INFINITE);
}

bool ParseNumber(const wchar_t* text, DWORD& value)
{
    wchar_t* end = nullptr;
    const unsigned long parsed = std::wcstoul(text, &end, 10);
    if (end == text || *end != L'\0')
        return false;
    value = parsed;
    return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const wchar_t* argument = argv[i];
        if (wcscmp(argument, L"--lock-server") == 0) {
            options.lockServer = true;
            continue;
        }
        DWORD* value = nullptr;
        if (wcscmp(argument, L"--threads") == 0)
            value = &options.threads;
        else if (wcscmp(argument, L"--rounds") == 0)
            value = &options.rounds;
        else if (wcscmp(argument, L"--hold-ms") == 0)
            value = &options.holdMs;
        if (value == nullptr || i + 1 >= argc || !ParseNumber(argv[++i], *value))
            return false;
    }
    return options.threads > 0 && options.threads <= 64 && options.rounds > 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: VexilClient [--threads N] [--rounds N] [--hold-ms N] [--lock-server]\n");
        return E_INVALIDARG;
    }
    PrintLine("client-pid=%lu", ::GetCurrentProcessId());
    // The threads below make this process's first out-of-process COM calls all at once: under
    // Wine 8 the RPC runtime must have loaded its marshaling engine's entry points before that,
    // and the type libraries behind the proxies the threads make and drop are held throughout.
    WarmUpNdrEngine();
    const HeldVexilTypeLibraries libraries;
    for (DWORD round = 0; round < options.rounds; ++round) {
        PrintLine("round=%lu", round + 1);
        RunRound(options);
    }
    const HRESULT result = g_firstFailure;
    PrintLine("result hr=0x%08lX", static_cast<unsigned long>(result));
    return result;
}
