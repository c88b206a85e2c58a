// A process that faults with crash dumps enabled: it creates the crash-dump agent, enables
// dumps in the mode given, optionally disables them again, and then writes through a null
// pointer. Without a fault (the agent refused) it ends with the agent's answer.
//
//   CrashProbe <mode> [--disable]

#include <windows.h>
#include <objbase.h>

#include <cwchar>
#include <cstdio>

#include "VexilSrvs.h"
#include "manager/ComponentIds.h"
#include "support/ComPtr.h"

namespace {

// Kept out of the compiler's sight, so the write below really reaches address 0.
int* volatile g_nowhere = nullptr;

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // No system crash dialog or debugger: the agent's filter is the only crash handling.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    const LONG mode = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 1;
    const bool disable = argc > 2 && std::wcscmp(argv[2], L"--disable") == 0;

    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr))
        return hr;
    ComPtr<ICrashDumpAgent> agent;
    hr = ::CoCreateInstance(CLSID_CrashDumpAgent, nullptr,
                            CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                            IID_ICrashDumpAgent, agent.put_void());
    if (FAILED(hr))
        return hr;
    hr = agent->EnableCrashDumps(0, mode, 0);
    if (hr != S_OK)
        return hr;
    if (disable) {
        hr = agent->DisableCrashDumps();
        if (hr != S_OK)
            return hr;
    }
    std::printf("faulting\n");
    std::fflush(stdout);
    *g_nowhere = 1;
    return 0;
}
