// VexilTestLauncher.exe <program> [arguments...]
// Runs a Windows program that is not the project's (regsvr32 in the test fixtures) and ends
// with that program's exit code through EndThisProcess: CTest, its Unix parent, then gets the
// code from a process that ends as the project's test programs do, while the program itself is
// read by a Windows parent. A program that has not ended within 50 s (inside the fixtures' CTest
// bound) is ended and reported, so that it is not left running after the fixture.

#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/support/EndThisProcess.h"
#include "tests/support/TestProcess.h"

namespace {

constexpr DWORD kProgramLimitMs = 50000;

// The command line after this program's own name, quoted or not.
std::wstring CommandAfterOwnName(const wchar_t* line)
{
    const bool quoted = *line == L'"';
    for (line += quoted ? 1 : 0; *line != L'\0' && *line != (quoted ? L'"' : L' '); ++line) {}
    if (quoted && *line == L'"')
        ++line;
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

}  // namespace

int main()
{
    const std::wstring command = CommandAfterOwnName(::GetCommandLineW());
    if (command.empty()) {
        std::fprintf(stderr, "usage: VexilTestLauncher <program> [arguments...]\n");
        EndThisProcess(ERROR_BAD_ARGUMENTS);
    }
    const ProcessResult result = RunProcess(command, {kProgramLimitMs, false});
    if (!result.started) {
        std::fprintf(stderr, "VexilTestLauncher: %ls could not be started, error %lu\n", command.c_str(),
                     static_cast<unsigned long>(result.startError));
        EndThisProcess(result.startError);
    }
    if (result.timedOut) {
        std::fprintf(stderr, "VexilTestLauncher: %ls did not end within %lu ms and was ended\n", command.c_str(),
                     static_cast<unsigned long>(kProgramLimitMs));
        EndThisProcess(WAIT_TIMEOUT);
    }
    EndThisProcess(result.exitCode);
}
