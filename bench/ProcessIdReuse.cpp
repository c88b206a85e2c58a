// Shows how soon Wine 8 hands the id of an ended process to a new one, with nothing of the
// product in it: an id read from a process snapshot or a service's status and used a moment
// later may already belong to another program. Process and thread ids come from one pool; an id
// goes back to it when the last handle to its process or thread is closed, at the end of a free
// list that is drawn from once it holds 256 ids, so it comes round again after a few hundred
// creations of threads or processes anywhere in the prefix. Built with the benchmark; never run
// by the tests.
//
//   ProcessIdReuse.exe [--rounds N]
//     N rounds (default 3): start cmd.exe suspended, end it, close its handles; then start and
//     end further suspended processes until one of them gets the ended process's id (or 2,000
//     have not), and print how many it took.

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "support/UniqueHandle.h"

namespace {

struct Started
{
    UniqueKernelHandle process;
    DWORD id = 0;
};

// A process that never runs a line of its program: enough to take a process and a thread id.
Started StartSuspended()
{
    wchar_t command[] = L"cmd.exe /c exit";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &info))
        return {};
    UniqueKernelHandle thread(info.hThread);
    return {UniqueKernelHandle(info.hProcess), info.dwProcessId};
}

// Ends the process and closes its handles, which puts its ids back into the pool.
void End(Started& started)
{
    ::TerminateProcess(started.process.get(), 1);
    ::WaitForSingleObject(started.process.get(), INFINITE);
    started.process.reset();
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int rounds = argc > 2 && std::wcscmp(argv[1], L"--rounds") == 0 ? _wtoi(argv[2]) : 3;
    constexpr int kMostStarts = 2000;
    for (int round = 1; round <= rounds; ++round) {
        Started ended = StartSuspended();
        if (!ended.process)
            return 1;
        const DWORD id = ended.id;
        End(ended);
        int starts = 1;
        for (; starts <= kMostStarts; ++starts) {
            Started next = StartSuspended();
            const bool reused = next.id == id;
            End(next);
            if (reused)
                break;
        }
        if (starts <= kMostStarts)
            std::printf("round %d: id %lu of an ended process given to the new process of start %d\n", round, id, starts);
        else
            std::printf("round %d: id %lu not given again in %d starts\n", round, id, kMostStarts);
    }
    return 0;
}
