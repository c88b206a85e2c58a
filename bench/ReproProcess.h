#pragma once

// What the reproductions of Wine's races (NdrRace, ProxyRace) share: a fault reported in one
// line, named objects opened by name, a class object, and child processes of the same program
// whose output is read at the end. Nothing of the product is in them.

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

namespace repro {

constexpr DWORD kWaitMs = 60000;

// A fault ends the process at once with its code, after one line saying where it was: without
// this, Wine would start its debugger for every faulting run.
inline LONG WINAPI ReportFault(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    std::printf("fault 0x%08lX at %p\n", record->ExceptionCode, record->ExceptionAddress);
    std::fflush(stdout);
    ::TerminateProcess(::GetCurrentProcess(), record->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Every process of a reproduction, driver or child: a fault is reported in one line and ends
// the process, and every line goes out at once.
inline void PrepareProcess()
{
    ::SetUnhandledExceptionFilter(&ReportFault);
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

inline HANDLE OpenNamed(const wchar_t* name)
{
    HANDLE handle = ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name);
    return handle != nullptr ? handle : ::OpenSemaphoreW(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, name);
}

// A class object that is never counted; 'Create' answers each activation.
template <HRESULT (*Create)(REFIID, void**)>
class ClassObject final : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override
    {
        const bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory);
        *ppv = known ? static_cast<IClassFactory*>(this) : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override
    {
        *ppv = nullptr;
        return outer != nullptr ? CLASS_E_NOAGGREGATION : Create(iid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

// A server process: registers 'factory' for 'clsid' from a multithreaded apartment, sets the
// event 'servingName' once activations are served, and ends when the event 'stopName' is set
// (or after 'waitMs').
inline int Serve(const CLSID& clsid, IClassFactory* factory, const wchar_t* servingName, const wchar_t* stopName,
                 DWORD waitMs)
{
    HANDLE serving = OpenNamed(servingName);
    HANDLE stop = OpenNamed(stopName);
    if (serving == nullptr || stop == nullptr || FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    DWORD cookie = 0;
    const HRESULT hr = ::CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(hr))
        return hr;
    ::SetEvent(serving);
    ::WaitForSingleObject(stop, waitMs);
    ::CoRevokeClassObject(cookie);
    ::CoUninitialize();
    return 0;
}

struct Child
{
    HANDLE process = nullptr;
    HANDLE output = nullptr;  // the read end of the child's standard output
    std::string text;
    DWORD exitCode = 0;
};

// Starts this program with "--child <arguments>"; its standard output goes into a pipe read at
// the end (a few lines, far below the pipe's size); its standard error is this process's, so
// that Wine's own trace, when one is asked for, never fills the pipe.
inline Child Start(const std::wstring& arguments)
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(path) + L"\" --child " + arguments;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    Child child;
    HANDLE writeEnd = nullptr;
    ::CreatePipe(&child.output, &writeEnd, &inherit, 1 << 16);
    ::SetHandleInformation(child.output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        ::CloseHandle(info.hThread);
        child.process = info.hProcess;
    }
    ::CloseHandle(writeEnd);
    return child;
}

// Waits for the child (ended with WAIT_TIMEOUT after 'waitMs'), and collects its exit code and
// its output without the final line ends.
inline void Finish(Child& child, DWORD waitMs = kWaitMs)
{
    if (child.process != nullptr && ::WaitForSingleObject(child.process, waitMs) != WAIT_OBJECT_0)
        ::TerminateProcess(child.process, WAIT_TIMEOUT);
    ::GetExitCodeProcess(child.process, &child.exitCode);
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(child.output, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        child.text.append(buffer, read);
    ::CloseHandle(child.output);
    ::CloseHandle(child.process);
    while (!child.text.empty() && (child.text.back() == '\n' || child.text.back() == '\r'))
        child.text.pop_back();
}

}  // namespace repro
