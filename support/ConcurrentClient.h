#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <rpcndr.h>

#include "support/ComPtr.h"

// What a client process of the host does when several of its threads activate and call the host
// at once, and what a program that drives many clients does. Each answers a race in Wine 8's
// COM and RPC runtimes that Windows does not have; on Windows they cost nothing worth counting.

// Wine 8's RPC runtime loads the COM entry points of its marshaling engine (NDR) on first use,
// and marks them loaded before it has stored them: a thread that makes its first call while
// another is still loading them calls through a null pointer, and the process ends with an
// access violation. A process whose first out-of-process COM work starts on several threads at
// once calls this once on its main thread before any other thread does COM work; it loads them
// while only one thread runs. On Windows it is one allocation and one free.
inline void WarmUpNdrEngine() noexcept
{
    NdrOleFree(NdrOleAllocate(1));
}

// Wine 8 lets the threads of one apartment share one proxy manager per object they unmarshal,
// and frees it without guarding against a lookup on another thread: a thread whose release
// ends the last reference races with a thread of the same apartment that unmarshals the same
// object, which then fails with RPC_E_DISCONNECTED or holds a pointer into freed memory.
// Every activation of a local server unmarshals the server's activation object, its class
// object and the instance, so threads of one multithreaded apartment that activate the host at
// the same time meet it (bench/ProxyRace.cpp). A thread that activates at the same time as
// others initializes COM with this instead: an apartment of its own shares no proxy manager.
[[nodiscard]] inline HRESULT InitializeActivatingThread() noexcept
{
    return ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

// Wine 8's runtime on the server's side frees an object's stub when the count of client
// references falls to zero, after it has let go of the stub's lock: a client that is handed the
// object in between gets the stub that is then freed, and its first call fails with
// RPC_E_DISCONNECTED (bench/ProxyRace.cpp, "--apartment sta"; "--hold" avoids it). A program
// that drives many clients against one server holds one reference of its own for the whole
// run, so that count never falls to zero between two clients. Windows keeps the stub whole.
class HeldActivation
{
public:
    explicit HeldActivation(const CLSID& clsid) noexcept
        : m_initialized(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
    {
        m_result = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, m_object.put_void());
    }
    ~HeldActivation()
    {
        m_object.reset();
        if (m_initialized)
            ::CoUninitialize();
    }
    HeldActivation(const HeldActivation&) = delete;
    HeldActivation& operator=(const HeldActivation&) = delete;

    [[nodiscard]] HRESULT result() const noexcept { return m_result; }
    void release() noexcept { m_object.reset(); }

private:
    bool m_initialized;
    HRESULT m_result = E_UNEXPECTED;
    ComPtr<IUnknown> m_object;
};

// Wine 8's type library cache: a library's Release brings its count to zero before it takes
// the library out of the process's cache, and LoadTypeLib on another thread can find it there
// in between, count it again and hand it out while the first thread frees it. Every proxy of an
// interface marshaled through its type library (IVexilBoards, IVexilMgrSrv) loads the library
// when it is made and lets go of it when it goes, so the threads of a client that make and drop
// such proxies at the same time (each in its own apartment, with proxies of its own) meet it:
// the process faults in the type library marshaler's CreateProxy (bench/TypeLibRace.cpp). Such
// a client holds the libraries for its whole life from its main thread, so that their counts
// never fall to zero. On Windows it is one load of each, already cached.
class HeldTypeLibrary
{
public:
    HeldTypeLibrary(const GUID& library, WORD major, WORD minor) noexcept
    {
        m_result = ::LoadRegTypeLib(library, major, minor, LOCALE_NEUTRAL, m_library.put());
    }
    HeldTypeLibrary(const HeldTypeLibrary&) = delete;
    HeldTypeLibrary& operator=(const HeldTypeLibrary&) = delete;

    [[nodiscard]] HRESULT result() const noexcept { return m_result; }

private:
    HRESULT m_result = E_UNEXPECTED;
    ComPtr<ITypeLib> m_library;
};
