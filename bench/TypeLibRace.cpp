// A reproduction, with nothing of the product in it and no server, of a race in the type
// library cache of Wine 8's OLE Automation (oleaut32.dll): a type library's Release brings its
// count to zero before it takes the library out of the process's cache, and LoadTypeLib on
// another thread can find it there in between, count it again and hand it out while the first
// thread frees it. The proxy and the stub of every interface marshaled through its type library
// load the library when they are made and let go of it when they go, so the threads of a client
// that make and drop proxies of such an interface at the same time meet it. Built with the
// benchmark; never run by the tests.
//
//   TypeLibRace.exe [--runs N] [--threads T] [--ms M] [--hold]
//     N fresh processes (default 20), each with T threads (default 4) that for M milliseconds
//     (default 3000) load stdole2.tlb by its full path, read one type description's attributes
//     and let go of all of it, as a proxy's creation and release do; counts the processes that
//     fault.
//     --hold: each process keeps one reference to the library from before its threads start
//     until they have ended, so its count never falls to zero.

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/ReproProcess.h"
#include "support/ComPtr.h"
#include "support/UniqueHandle.h"

namespace {

constexpr wchar_t kLibrary[] = L"C:\\windows\\system32\\stdole2.tlb";

// One round of what a type-library proxy does with the library: load it (a cache hit when some
// thread still holds it), take a type description and its attributes, and let go of all.
bool UseLibraryOnce()
{
    ComPtr<ITypeInfo> type;
    {
        ComPtr<ITypeLib> library;
        if (FAILED(::LoadTypeLib(kLibrary, library.put())) || FAILED(library->GetTypeInfo(0, type.put())))
            return false;
    }  // the library goes before the type description, as when a proxy is made
    TYPEATTR* attributes = nullptr;
    if (SUCCEEDED(type->GetTypeAttr(&attributes)))
        type->ReleaseTypeAttr(attributes);
    return true;
}

int Child(DWORD threads, DWORD ms, bool hold)
{
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    ComPtr<ITypeLib> held;
    if (hold && FAILED(::LoadTypeLib(kLibrary, held.put())))
        return 3;
    struct Context { ULONGLONG end; LONG rounds; LONG failures; } context{::GetTickCount64() + ms, 0, 0};
    std::vector<UniqueKernelHandle> handles;
    for (DWORD i = 0; i < threads; ++i) {
        handles.emplace_back(::CreateThread(nullptr, 0, [](void* p) -> DWORD {
            auto* c = static_cast<Context*>(p);
            while (::GetTickCount64() < c->end) {
                ::InterlockedIncrement(&c->rounds);
                if (!UseLibraryOnce())
                    ::InterlockedIncrement(&c->failures);
            }
            return 0;
        }, &context, 0, nullptr));
    }
    for (const UniqueKernelHandle& handle : handles)
        ::WaitForSingleObject(handle.get(), repro::kWaitMs);
    handles.clear();
    held.reset();
    std::printf("rounds %ld, failed loads %ld\n", context.rounds, context.failures);
    ::CoUninitialize();
    return context.failures == 0 ? 0 : 4;
}

int Drive(DWORD runs, DWORD threads, DWORD ms, bool hold)
{
    DWORD faulted = 0;
    for (DWORD run = 1; run <= runs; ++run) {
        repro::Child child = repro::Start(std::to_wstring(threads) + L" " + std::to_wstring(ms) + (hold ? L" hold" : L""));
        repro::Finish(child);
        faulted += child.exitCode != 0 ? 1 : 0;
        std::printf("run %lu: exit 0x%08lX %s\n", run, child.exitCode, child.text.c_str());
    }
    std::printf("type library cache: %lu of %lu processes with %lu threads x %lu ms faulted (%s)\n", faulted, runs,
                threads, ms, hold ? "library held" : "not held");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    repro::PrepareProcess();
    if (argc >= 4 && std::wcscmp(argv[1], L"--child") == 0)
        return Child(std::wcstoul(argv[2], nullptr, 10), std::wcstoul(argv[3], nullptr, 10),
                     argv[argc - 1] == std::wstring(L"hold"));

    DWORD runs = 20, threads = 4, ms = 3000;
    bool hold = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (name == L"--hold") {
            hold = true;
            continue;
        }
        const DWORD value = i + 1 < argc ? std::wcstoul(argv[++i], nullptr, 10) : 0;
        if (name == L"--runs")
            runs = value;
        else if (name == L"--threads")
            threads = value;
        else if (name == L"--ms")
            ms = value;
    }
    return Drive(runs, threads, ms, hold);
}
