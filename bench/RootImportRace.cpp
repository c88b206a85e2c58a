// A reproduction, with nothing of the product in it, of a double close in Wine 8's crypt32: the
// first process-wide use of the machine's root store imports the Linux system's trusted
// certificates, and the import closes the descriptor of the certificate file twice, once through
// fclose and once more with close. A descriptor that another thread of the process gets in
// between (the lowest free number, which the first close has just freed) is closed under it.
// When that is the reply pipe of a thread that has just started, the thread's next call to the
// Wine server fails ("wine client error:<thread>: read: Bad file descriptor") and Wine ends the
// thread, whatever it was doing. The import runs once per process, unless another process holds
// the named semaphore "crypt32_root_semaphore" that crypt32 uses to let one process import at a
// time (a process that finds it takes its turn and skips the import). Built with the benchmark;
// never run by the tests.
//
//   RootImportRace.exe [--runs N] [--threads T] [--held]
//     N fresh processes (default 200), each with T threads (default 2) that start short threads
//     one after another while the main thread opens the machine's root store; counts the
//     processes that lost a thread (a thread that did not end with its own exit code).
//     --held: each process creates the semaphore before it opens the store, as a holder would.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/ReproProcess.h"
#include "bench/RootStore.h"
#include "support/UniqueHandle.h"

namespace {

constexpr DWORD kOwnExitCode = 0x600D;

// Lives a little, as a server's threads do, so that its pipes are in use when the import's second
// close comes; its wait is itself a call to the Wine server.
DWORD WINAPI ShortThread(void*)
{
    ::Sleep(5);
    return kOwnExitCode;
}

struct Churn
{
    volatile LONG stop = 0;
    LONG started = 0;
    LONG lost = 0;
};

// Starts short threads one after another until told to stop: each new thread makes its pipes to
// the Wine server, so the lowest free descriptor numbers are taken again and again, and keeps
// them while it lives.
DWORD WINAPI StartThreads(void* pChurn)
{
    auto* churn = static_cast<Churn*>(pChurn);
    while (::InterlockedCompareExchange(&churn->stop, 0, 0) == 0) {
        UniqueKernelHandle thread(::CreateThread(nullptr, 0, &ShortThread, nullptr, 0, nullptr));
        if (!thread)
            continue;
        ::InterlockedIncrement(&churn->started);
        DWORD code = 0;
        if (::WaitForSingleObject(thread.get(), repro::kWaitMs) != WAIT_OBJECT_0 ||
            !::GetExitCodeThread(thread.get(), &code) || code != kOwnExitCode)
            ::InterlockedIncrement(&churn->lost);
    }
    return kOwnExitCode;
}

int Child(DWORD threads, bool held)
{
    UniqueKernelHandle semaphore;
    if (held)
        semaphore.reset(::CreateSemaphoreW(nullptr, 1, 1, L"crypt32_root_semaphore"));
    Churn churn;
    std::vector<UniqueKernelHandle> starters;
    for (DWORD i = 0; i < threads; ++i)
        starters.emplace_back(::CreateThread(nullptr, 0, &StartThreads, &churn, 0, nullptr));
    ::Sleep(20);  // the threads are busy before the import begins
    const unsigned long certificates = repro::OpenRootStore();
    ::Sleep(20);
    ::InterlockedExchange(&churn.stop, 1);
    for (const UniqueKernelHandle& starter : starters) {
        DWORD code = 0;
        if (::WaitForSingleObject(starter.get(), repro::kWaitMs) != WAIT_OBJECT_0 ||
            !::GetExitCodeThread(starter.get(), &code) || code != kOwnExitCode)
            ::InterlockedIncrement(&churn.lost);
    }
    std::printf("certificates %lu, threads started %ld, lost %ld\n", certificates, churn.started, churn.lost);
    return churn.lost == 0 ? 0 : 4;
}

int Drive(DWORD runs, DWORD threads, bool held)
{
    DWORD lost = 0;
    for (DWORD run = 1; run <= runs; ++run) {
        repro::Child child = repro::Start(std::to_wstring(threads) + (held ? L" held" : L""));
        repro::Finish(child);
        lost += child.exitCode != 0 ? 1 : 0;
        if (child.exitCode != 0)
            std::printf("run %lu: exit 0x%08lX %s\n", run, child.exitCode, child.text.c_str());
    }
    std::printf("root import: %lu of %lu processes with %lu starting threads lost a thread (%s)\n", lost, runs,
                threads, held ? "semaphore held" : "not held");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    repro::PrepareProcess();
    if (argc >= 3 && std::wcscmp(argv[1], L"--child") == 0)
        return Child(std::wcstoul(argv[2], nullptr, 10), argv[argc - 1] == std::wstring(L"held"));

    DWORD runs = 200, threads = 2;
    bool held = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        DWORD* value = option == L"--runs" ? &runs : option == L"--threads" ? &threads : nullptr;
        if (option == L"--held")
            held = true;
        else if (value != nullptr && i + 1 < argc)
            *value = std::wcstoul(argv[++i], nullptr, 10);
    }
    return Drive(runs, threads, held);
}
