#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

#include "support/Platform.h"

// One owning type for every handle kind of the host. It behaves like std::unique_ptr
// (get, reset, release, put) and closes what it holds on every path. Closing keeps the
// thread's last error, so cleanup on an error path never hides the error being reported.
template <typename T, typename Traits>
class UniqueHandle
{
public:
    using value_type = T;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(T value) noexcept : m_value(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    UniqueHandle(UniqueHandle&& other) noexcept : m_value(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    [[nodiscard]] T get() const noexcept { return m_value; }
    [[nodiscard]] bool valid() const noexcept { return Traits::IsValid(m_value); }
    explicit operator bool() const noexcept { return valid(); }

    void reset(T value = Traits::Invalid()) noexcept
    {
        const T old = std::exchange(m_value, value);
        if (Traits::IsValid(old)) {
            const DWORD lastError = ::GetLastError();
            Traits::Close(old);
            ::SetLastError(lastError);
        }
    }

    [[nodiscard]] T release() noexcept { return std::exchange(m_value, Traits::Invalid()); }

    // For out-parameters: closes what is held, then hands out the slot.
    [[nodiscard]] T* put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    T m_value = Traits::Invalid();
};

struct KernelHandleTraits
{
    static HANDLE Invalid() noexcept { return nullptr; }
    static bool IsValid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};

struct RegKeyTraits
{
    static HKEY Invalid() noexcept { return nullptr; }
    static bool IsValid(HKEY h) noexcept { return h != nullptr; }
    static void Close(HKEY h) noexcept { ::RegCloseKey(h); }
};

struct ServiceHandleTraits
{
    static SC_HANDLE Invalid() noexcept { return nullptr; }
    static bool IsValid(SC_HANDLE h) noexcept { return h != nullptr; }
    static void Close(SC_HANDLE h) noexcept { ::CloseServiceHandle(h); }
};

// Through the platform table, so a test sees every event source given back.
struct EventSourceTraits
{
    static HANDLE Invalid() noexcept { return nullptr; }
    static bool IsValid(HANDLE h) noexcept { return h != nullptr; }
    static void Close(HANDLE h) noexcept { Platform().DeregisterEventSource(h); }
};

struct LibraryTraits
{
    static HMODULE Invalid() noexcept { return nullptr; }
    static bool IsValid(HMODULE h) noexcept { return h != nullptr; }
    static void Close(HMODULE h) noexcept { ::FreeLibrary(h); }
};

template <typename P>
struct ProcessHeapTraits
{
    static P* Invalid() noexcept { return nullptr; }
    static bool IsValid(P* p) noexcept { return p != nullptr; }
    static void Close(P* p) noexcept { ::HeapFree(::GetProcessHeap(), 0, p); }
};

template <typename P>
struct CoTaskMemTraits
{
    static P* Invalid() noexcept { return nullptr; }
    static bool IsValid(P* p) noexcept { return p != nullptr; }
    static void Close(P* p) noexcept { ::CoTaskMemFree(p); }
};

// For buffers taken with Platform().HeapAlloc: they go back through the same table, so a test
// that counts what is allocated also sees every release.
template <typename P>
struct PlatformHeapTraits
{
    static P* Invalid() noexcept { return nullptr; }
    static bool IsValid(P* p) noexcept { return p != nullptr; }
    static void Close(P* p) noexcept { Platform().HeapFree(::GetProcessHeap(), 0, p); }
};

struct SysStringTraits
{
    static BSTR Invalid() noexcept { return nullptr; }
    static bool IsValid(BSTR s) noexcept { return s != nullptr; }
    static void Close(BSTR s) noexcept { ::SysFreeString(s); }
};

using UniqueKernelHandle = UniqueHandle<HANDLE, KernelHandleTraits>;  // events, threads, tokens
using UniqueRegKey       = UniqueHandle<HKEY, RegKeyTraits>;
using UniqueScHandle     = UniqueHandle<SC_HANDLE, ServiceHandleTraits>;
using UniqueEventSource  = UniqueHandle<HANDLE, EventSourceTraits>;
using UniqueLibrary      = UniqueHandle<HMODULE, LibraryTraits>;
using UniqueSysString    = UniqueHandle<BSTR, SysStringTraits>;
template <typename P> using UniqueHeapPtr   = UniqueHandle<P*, ProcessHeapTraits<P>>;
template <typename P> using UniqueCoTaskMem = UniqueHandle<P*, CoTaskMemTraits<P>>;
template <typename P> using UniquePlatformHeapPtr = UniqueHandle<P*, PlatformHeapTraits<P>>;
