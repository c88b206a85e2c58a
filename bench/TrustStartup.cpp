// Where the first signature verification of a process spends its time under Wine: run by hand
// (docs/benchmarks.md), nothing of the product in it. Each run is a fresh process:
//   wine TrustStartup.exe <signed file>             the first verification, then a second one
//   wine TrustStartup.exe <signed file> --root-first  the root store opened first, on its own
#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cwchar>

#include "bench/RootStore.h"

namespace {

double MsSince(LARGE_INTEGER start)
{
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The verification the host makes: whole chain, no revocation, no user interface.
LONG Verify(const wchar_t* path)
{
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    const LONG result = ::WinVerifyTrust(nullptr, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    (void)::WinVerifyTrust(nullptr, &action, &data);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: TrustStartup <signed file> [--root-first]\n");
        return 2;
    }
    LARGE_INTEGER start;
    if (argc > 2 && std::wcscmp(argv[2], L"--root-first") == 0) {
        ::QueryPerformanceCounter(&start);
        const unsigned long certificates = repro::OpenRootStore();
        std::printf("root store opened: %.1f ms (%lu certificates)\n", MsSince(start), certificates);
    }
    ::QueryPerformanceCounter(&start);
    const LONG first = Verify(argv[1]);
    std::printf("first verification: %.1f ms (0x%08lx)\n", MsSince(start), static_cast<unsigned long>(first));
    ::QueryPerformanceCounter(&start);
    const LONG second = Verify(argv[1]);
    std::printf("second verification: %.1f ms (0x%08lx)\n", MsSince(start), static_cast<unsigned long>(second));
    return 0;
}
