// A reproduction, with nothing of the product in it, of a race in the NDR engine of Wine 8's RPC
// runtime (rpcrt4.dll): NdrOleAllocate and the interface-pointer routines load their COM entry
// points on first use, and a thread that arrives while another one is loading them calls
// through a null pointer. Built with the benchmark; never run by the tests.
//
//   NdrRace.exe client [--runs N] [--threads T] [--warm-up]
//     N fresh processes (default 100), each with T threads (default 16) that make their first
//     NdrOleAllocate call at the same instant; counts the processes that fault.
//
//   NdrRace.exe server [--runs N] [--clients M] [--threads T] [--warm-up]
//     N fresh server processes (default 50), each serving one class object; M client processes
//     with T threads each (default 4 x 16, every client warmed up) activate it at the same
//     instant, so that the server's first out-of-process answers, which marshal an interface
//     pointer through the NDR engine, run on many threads at once; counts the servers that
//     fault.
//
// --warm-up: the process under test makes one NdrOleFree(NdrOleAllocate(1)) on its main thread
// before any other thread starts. Each run prints one line; a fault prints its code and
// address (0 for a call through a null pointer).

#include <windows.h>
#include <objbase.h>
#include <rpcndr.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "bench/ReproProcess.h"

namespace {

using repro::Child;
using repro::kWaitMs;
using repro::OpenNamed;

// {4C1B7A7E-2E55-4D0B-9B46-6A1F0B53D1C2}: the reproduction's own class, never registered.
constexpr CLSID kClsid = {0x4C1B7A7E, 0x2E55, 0x4D0B, {0x9B, 0x46, 0x6A, 0x1F, 0x0B, 0x53, 0xD1, 0xC2}};
constexpr wchar_t kStartName[] = L"NdrRace_Start";
constexpr wchar_t kReadyName[] = L"NdrRace_Ready";
constexpr wchar_t kServingName[] = L"NdrRace_Serving";
constexpr wchar_t kStopName[] = L"NdrRace_Stop";

void WarmUp()
{
    NdrOleFree(NdrOleAllocate(1));
}

// Starts T threads that run 'work' at the same instant, once every one of them is ready, and
// waits for them. The start line is this process's own, or the driver's when 'ready' and
// 'start' are the driver's named objects.
template <typename Work>
void RunTogether(DWORD threads, HANDLE ready, HANDLE start, bool ownStartLine, Work work)
{
    struct Context { HANDLE ready, start; Work* work; } context{ready, start, &work};
    std::vector<HANDLE> handles;
    for (DWORD i = 0; i < threads; ++i) {
        handles.push_back(::CreateThread(nullptr, 0, [](void* p) -> DWORD {
            auto* c = static_cast<Context*>(p);
            ::ReleaseSemaphore(c->ready, 1, nullptr);
            ::WaitForSingleObject(c->start, kWaitMs);
            (*c->work)();
            return 0;
        }, &context, 0, nullptr));
    }
    for (DWORD waiting = 0; ownStartLine && waiting < threads; ++waiting)
        ::WaitForSingleObject(ready, kWaitMs);
    if (ownStartLine)
        ::SetEvent(start);
    for (HANDLE handle : handles) {
        ::WaitForSingleObject(handle, kWaitMs);
        ::CloseHandle(handle);
    }
}

int ChildClient(DWORD threads)
{
    HANDLE ready = ::CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
    HANDLE start = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    RunTogether(threads, ready, start, true, [] { NdrOleFree(NdrOleAllocate(16)); });
    return 0;
}

// The server's one class: every activation gets a new object that answers only IUnknown.
class Object final : public IUnknown
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override
    {
        *ppv = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        return *ppv != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG count = ::InterlockedDecrement(&m_refs);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

private:
    LONG m_refs = 1;
};

// Every activation gets a new object.
HRESULT NewObject(REFIID iid, void** ppv)
{
    auto* object = new Object;
    const HRESULT hr = object->QueryInterface(iid, ppv);
    object->Release();
    return hr;
}

int ChildServer()
{
    static repro::ClassObject<&NewObject> factory;
    return repro::Serve(kClsid, &factory, kServingName, kStopName, kWaitMs);
}

// Answers the first failing activation's code, or 0.
int ChildActivator(DWORD threads)
{
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    static LONG firstFailure = 0;
    RunTogether(threads, OpenNamed(kReadyName), OpenNamed(kStartName), false, [] {
        (void)::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        IUnknown* object = nullptr;
        const HRESULT hr = ::CoCreateInstance(kClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                              reinterpret_cast<void**>(&object));
        if (SUCCEEDED(hr))
            object->Release();
        else
            ::InterlockedCompareExchange(&firstFailure, hr, 0);
        ::CoUninitialize();
    });
    ::CoUninitialize();
    return firstFailure;
}

int DriveClients(DWORD runs, DWORD threads, bool warm)
{
    DWORD faulted = 0;
    for (DWORD run = 1; run <= runs; ++run) {
        Child child = repro::Start(L"client " + std::to_wstring(threads) + (warm ? L" warm" : L""));
        repro::Finish(child);
        faulted += child.exitCode != 0 ? 1 : 0;
        std::printf("run %lu: exit 0x%08lX %s\n", run, child.exitCode, child.text.c_str());
    }
    std::printf("client: %lu of %lu processes with %lu threads faulted (%s)\n", faulted, runs, threads,
                warm ? "warmed up" : "no warm-up");
    return 0;
}

int DriveServers(DWORD runs, DWORD clients, DWORD threads, bool warm)
{
    HANDLE start = ::CreateEventW(nullptr, TRUE, FALSE, kStartName);
    HANDLE ready = ::CreateSemaphoreW(nullptr, 0, LONG_MAX, kReadyName);
    HANDLE serving = ::CreateEventW(nullptr, TRUE, FALSE, kServingName);
    HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, kStopName);
    DWORD faulted = 0, failedClients = 0;
    std::map<DWORD, DWORD> clientCodes;
    for (DWORD run = 1; run <= runs; ++run) {
        for (HANDLE event : {start, serving, stop})
            ::ResetEvent(event);
        Child server = repro::Start(warm ? L"server warm" : L"server");
        const bool served = ::WaitForSingleObject(serving, kWaitMs) == WAIT_OBJECT_0;
        std::vector<Child> activators;
        for (DWORD i = 0; served && i < clients; ++i)
            activators.push_back(repro::Start(L"activate " + std::to_wstring(threads) + L" warm"));
        DWORD waiting = 0;
        while (served && waiting < clients * threads && ::WaitForSingleObject(ready, kWaitMs) == WAIT_OBJECT_0)
            ++waiting;
        ::SetEvent(start);
        for (size_t i = 0; i < activators.size(); ++i) {
            repro::Finish(activators[i]);
            if (activators[i].exitCode != 0) {
                ++failedClients;
                ++clientCodes[activators[i].exitCode];
                std::printf("run %lu: client exit 0x%08lX %s\n", run, activators[i].exitCode,
                            activators[i].text.c_str());
            }
        }
        ::SetEvent(stop);
        repro::Finish(server);
        faulted += server.exitCode != 0 ? 1 : 0;
        std::printf("run %lu: server exit 0x%08lX %s\n", run, server.exitCode, server.text.c_str());
        std::fflush(stdout);
    }
    std::printf("server: %lu of %lu servers faulted (%s), answering %lu clients x %lu threads at once; "
                "client processes failed: %lu", faulted, runs, warm ? "warmed up" : "no warm-up", clients, threads,
                failedClients);
    for (const auto& [code, count] : clientCodes)
        std::printf(", 0x%08lX x %lu", code, count);
    std::printf("\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    repro::PrepareProcess();
    if (argc >= 3 && std::wcscmp(argv[1], L"--child") == 0) {
        const std::wstring mode = argv[2];
        const DWORD threads = argc >= 4 ? std::wcstoul(argv[3], nullptr, 10) : 0;
        if (argv[argc - 1] == std::wstring(L"warm"))
            WarmUp();  // on the main thread, before any other thread starts
        if (mode == L"client")
            return ChildClient(threads);
        if (mode == L"server")
            return ChildServer();
        if (mode == L"activate")
            return ChildActivator(threads);
        return 2;
    }

    const bool server = argc >= 2 && std::wcscmp(argv[1], L"server") == 0;
    if (argc < 2 || (!server && std::wcscmp(argv[1], L"client") != 0)) {
        std::fprintf(stderr, "usage: NdrRace client|server [--runs N] [--clients M] [--threads T] [--warm-up]\n");
        return 2;
    }
    DWORD runs = server ? 50 : 100, clients = 4, threads = 16;
    bool warm = false;
    for (int i = 2; i < argc; ++i) {
        const std::wstring option = argv[i];
        DWORD* value = option == L"--runs" ? &runs : option == L"--clients" ? &clients
                     : option == L"--threads" ? &threads : nullptr;
        if (option == L"--warm-up")
            warm = true;
        else if (value != nullptr && i + 1 < argc)
            *value = std::wcstoul(argv[++i], nullptr, 10);
    }
    return server ? DriveServers(runs, clients, threads, warm) : DriveClients(runs, threads, warm);
}
