#include "tests/support/EndThisProcess.h"

#include <cstdio>

void EndThisProcess(UINT exitCode) noexcept
{
    std::fflush(nullptr);
    ::TerminateProcess(::GetCurrentProcess(), exitCode);
    ::ExitProcess(exitCode);  // only if the process could not terminate itself
}
