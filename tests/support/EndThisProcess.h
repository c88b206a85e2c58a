#pragma once

#include <windows.h>

// Ends this process with 'exitCode' once its buffered output is written, as TerminateProcess
// does: no DLL detach, no C runtime teardown.
//
// Every program that CTest starts under Wine ends this way. Wine's server sends SIGKILL to a
// process whose Unix side is still there half a second after the process closed its connection
// to the server, and ExitProcess closes that connection first and only then runs the C library's
// exit (the destructors of every Unix library loaded). On a loaded machine that exit can take
// longer than half a second, and CTest, the Unix parent, then sees a program that passed as one
// killed by a signal. TerminateProcess on the process itself leaves through _exit while the
// connection is still open, so the parent gets the Windows exit code. Parents that are Windows
// processes read the exit code from the server and never see the signal; Windows has no such
// timer. bench/exit-kill.sh shows the difference with the two ways of ending.
[[noreturn]] void EndThisProcess(UINT exitCode) noexcept;
