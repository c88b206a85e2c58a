// A reproduction, with nothing of the product in it, of a race in the proxy manager of Wine 8's
// COM runtime (combase.dll). All threads of one apartment share one proxy manager per object
// they have unmarshaled. Its Release brings the count to 0 and only then, under the
// apartment's lock, takes it off the apartment's list and frees it; an unmarshal on another
// thread of the same apartment that looks the object up in between finds it, adds a reference
// (from 0 to 1: the lookup's test for a proxy being destroyed is that the count it gets is 0,
// which it never is) and goes on with a proxy manager that is being freed. The unmarshal then
// fails with RPC_E_DISCONNECTED, or answers a pointer into freed memory and the process faults.
// Every activation of a local server unmarshals three objects in the caller's apartment (the
// server's activation object registered with rpcss, its class object and the new instance),
// so threads of one multithreaded apartment that activate the same class at the same time meet
// it; threads in apartments of their own never share a proxy manager. Built with the benchmark;
// never run by the tests.
//
//   ProxyRace.exe [--seconds S] [--processes P] [--threads T] [--apartment mta|sta]
//     One server process hands out one object; P client processes (default 4) with T threads
//     each (default 5) activate it and release it for S seconds (default 60), every thread in
//     the one multithreaded apartment of its process (mta, the default) or each in a
//     single-threaded apartment of its own (sta). Prints each client's activations and
//     failures by code, and the totals; a faulting client prints where.
//
// WINEDEBUG=+ole makes every release and lookup trace a line before it takes the apartment's
// lock, which widens the window from a few instructions to a write: the race then shows within
// seconds instead of minutes.

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/ReproProcess.h"
#include "support/ConcurrentClient.h"

namespace {

// {8E0D4C61-5A73-4C2B-A0F2-3D9B7E41C5A8}: the reproduction's own class, never registered.
constexpr CLSID kClsid = {0x8E0D4C61, 0x5A73, 0x4C2B, {0xA0, 0xF2, 0x3D, 0x9B, 0x7E, 0x41, 0xC5, 0xA8}};
constexpr wchar_t kServingName[] = L"ProxyRace_Serving";
constexpr wchar_t kStopName[] = L"ProxyRace_Stop";

// The one object every activation receives, as a singleton server hands out: static and never
// counted, so that only the runtime's proxy and stub managers come and go.
class Object final : public IUnknown
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override
    {
        *ppv = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

Object g_object;

HRESULT TheObject(REFIID iid, void** ppv)
{
    return g_object.QueryInterface(iid, ppv);
}

int ChildServer()
{
    static repro::ClassObject<&TheObject> factory;
    return repro::Serve(kClsid, &factory, kServingName, kStopName, INFINITE);
}

// Activates and releases until the deadline on every thread. Each failure prints its line
// "failure 0x........" at once (the process may fault soon after); at the end, "activations=N".
// Answers the number of failures.
int ChildClient(DWORD threads, DWORD seconds, DWORD apartment)
{
    // Several threads make this process's first out-of-process calls at once (see NdrRace).
    WarmUpNdrEngine();
    const ULONGLONG deadline = ::GetTickCount64() + seconds * 1000ull;
    std::atomic<unsigned long long> activations{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (DWORD i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            if (FAILED(::CoInitializeEx(nullptr, apartment)))
                return;
            while (::GetTickCount64() < deadline) {
                IUnknown* object = nullptr;
                const HRESULT hr = ::CoCreateInstance(kClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                                      reinterpret_cast<void**>(&object));
                ++activations;
                if (SUCCEEDED(hr)) {
                    object->Release();
                } else if (++failures <= 100) {
                    std::printf("failure 0x%08lX\n", static_cast<unsigned long>(hr));
                }
            }
            ::CoUninitialize();
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    std::printf("activations=%llu\n", activations.load());
    return failures;
}

struct Totals
{
    unsigned long long activations = 0;
    std::map<std::string, unsigned long> failures;  // by code, and "fault 0x........" per process
};

// Adds one client's lines to the totals.
void Count(const std::string& text, Totals& totals)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(at, end - at);
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        at = end + 1;
        unsigned long long activations = 0;
        if (std::sscanf(line.c_str(), "activations=%llu", &activations) == 1)
            totals.activations += activations;
        else if (line.rfind("failure 0x", 0) == 0)
            ++totals.failures[line.substr(8, 10)];
        else if (line.rfind("fault ", 0) == 0)
            ++totals.failures[line.substr(0, 16) + " (process)"];
    }
}

int Drive(DWORD seconds, DWORD processes, DWORD threads, bool sta, bool hold)
{
    HANDLE serving = ::CreateEventW(nullptr, TRUE, FALSE, kServingName);
    HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, kStopName);
    repro::Child server = repro::Start(L"server");
    if (::WaitForSingleObject(serving, repro::kWaitMs) != WAIT_OBJECT_0) {
        std::printf("the server did not start\n");
        ::SetEvent(stop);
        repro::Finish(server);
        return 2;
    }
    const DWORD apartment = sta ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    std::optional<HeldActivation> held;
    if (hold && FAILED(held.emplace(kClsid).result())) {
        std::printf("the driver could not hold the object\n");
        hold = false;
    }
    std::vector<repro::Child> clients;
    for (DWORD i = 0; i < processes; ++i)
        clients.push_back(repro::Start(L"client " + std::to_wstring(threads) + L" " + std::to_wstring(seconds) +
                                       L" " + std::to_wstring(apartment)));
    Totals totals;
    for (size_t i = 0; i < clients.size(); ++i) {
        repro::Finish(clients[i], seconds * 1000 + repro::kWaitMs);
        std::string oneLine = clients[i].text;
        for (char& c : oneLine)
            c = c == '\n' || c == '\r' ? ' ' : c;
        std::printf("client %zu: exit 0x%08lX %.300s\n", i + 1, clients[i].exitCode, oneLine.c_str());
        Count(clients[i].text, totals);
    }
    held.reset();
    ::SetEvent(stop);
    repro::Finish(server);
    std::printf("%lu processes x %lu threads (%s%s), %lu s: %llu activations", processes, threads,
                sta ? "an apartment per thread" : "one apartment per process", hold ? ", object held" : "", seconds,
                totals.activations);
    unsigned long failed = 0;
    for (const auto& [what, count] : totals.failures) {
        std::printf(", %s x %lu", what.c_str(), count);
        failed += count;
    }
    std::printf("; %lu failed; server exit 0x%08lX\n", failed, server.exitCode);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    repro::PrepareProcess();
    if (argc >= 3 && std::wcscmp(argv[1], L"--child") == 0) {
        if (std::wcscmp(argv[2], L"server") == 0)
            return ChildServer();
        if (std::wcscmp(argv[2], L"client") == 0 && argc == 6)
            return ChildClient(std::wcstoul(argv[3], nullptr, 10), std::wcstoul(argv[4], nullptr, 10),
                               std::wcstoul(argv[5], nullptr, 10));
        return 2;
    }
    DWORD seconds = 60, processes = 4, threads = 5;
    bool sta = false, hold = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--hold") {
            hold = true;
            continue;
        }
        DWORD* value = option == L"--seconds" ? &seconds : option == L"--processes" ? &processes
                     : option == L"--threads" ? &threads : nullptr;
        if (option == L"--apartment" && i + 1 < argc)
            sta = std::wcscmp(argv[++i], L"sta") == 0;
        else if (value != nullptr && i + 1 < argc)
            *value = std::wcstoul(argv[++i], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: ProxyRace [--seconds S] [--processes P] [--threads T] [--apartment mta|sta] [--hold]\n");
            return 2;
        }
    }
    return Drive(seconds, processes, threads, sta, hold);
}
