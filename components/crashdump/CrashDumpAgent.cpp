// Stand-in for the crash-dump agent: an in-process server of CLSID_CrashDumpAgent. While
// enabled, an unhandled exception anywhere in the process writes a minidump into the host's
// log directory before the process ends. Its answers follow its knobs (see components/README.md).

#include <windows.h>
#include <objbase.h>
#include <dbghelp.h>

#include <cstdio>
#include <new>
#include <string>

#include "VexilSrvs.h"  // generated from manager/VexilSrvs.idl
#include "components/common/StandIn.h"
#include "manager/ComponentIds.h"
#include "support/Hresult.h"
#include "support/UniqueHandle.h"

namespace {

constexpr wchar_t kKnobsComponent[] = L"CrashDumpAgent";
constexpr wchar_t kKnobEnableResult[] = L"EnableResult";
constexpr wchar_t kKnobDisableResult[] = L"DisableResult";

constexpr wchar_t kDescription[] = L"Vexil Crash Dump Agent (stand-in)";

// The host's log directory: "DefaultDir" of the product's common key, else TMP, else TEMP,
// followed by "\VexilSrvs".
constexpr wchar_t kCommonKeyPath[] = L"SOFTWARE\\Kestrova\\KVCommon";
constexpr wchar_t kCommonDefaultDir[] = L"DefaultDir";
constexpr wchar_t kLogDirComponent[] = L"\\VexilSrvs";

constexpr LONG kDumpModeNormal = 1;
constexpr LONG kDumpModeFullMemory = 2;

HMODULE g_module = nullptr;

// What the filter needs when the process faults, prepared when dumps are enabled: the filter
// runs in a damaged process and does as little as it can.
struct DumpSettings
{
    wchar_t directory[MAX_PATH] = {};
    MINIDUMP_TYPE type = MiniDumpNormal;
};
DumpSettings g_settings;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
volatile LONG g_filterInstalled = 0;
SRWLOCK g_filterLock = SRWLOCK_INIT;  // one Enable or Disable at a time

bool ReadDefaultDir(std::wstring& directory)
{
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCommonKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return false;
    wchar_t buffer[1024] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof(buffer);
    if (::RegQueryValueExW(key.get(), kCommonDefaultDir, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    directory.assign(buffer, wcsnlen(buffer, size / sizeof(wchar_t)));
    return true;
}

bool ReadEnvironmentDirectory(const wchar_t* name, std::wstring& directory)
{
    wchar_t buffer[1024] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(std::size(buffer)));
    if (length == 0 || length >= std::size(buffer))
        return false;
    directory.assign(buffer, length);
    return true;
}

std::wstring LogDirectory()
{
    std::wstring base;
    if (ReadDefaultDir(base) || ReadEnvironmentDirectory(L"TMP", base) || ReadEnvironmentDirectory(L"TEMP", base))
        return base + kLogDirComponent;
    return {};
}

LONG WINAPI WriteDumpFilter(EXCEPTION_POINTERS* exception)
{
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t path[MAX_PATH + 80] = {};
    swprintf(path, std::size(path), L"%ls\\VexilSrvsDump %04d-%02d-%02d %02d-%02d-%02d-%03d %lu.dmp",
             g_settings.directory, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds, ::GetCurrentProcessId());

    ::CreateDirectoryW(g_settings.directory, nullptr);
    UniqueKernelHandle file(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        MINIDUMP_EXCEPTION_INFORMATION information{::GetCurrentThreadId(), exception, FALSE};
        ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), g_settings.type,
                            &information, nullptr, nullptr);
    }
    // The process ends here, without the system's own crash handling.
    return EXCEPTION_EXECUTE_HANDLER;
}

class CrashDumpAgent final : public ICrashDumpAgent
{
public:
    static HRESULT Create(IUnknown* outer, REFIID iid, void** ppv) noexcept
    {
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto* agent = new (std::nothrow) CrashDumpAgent();
        if (agent == nullptr)
            return E_OUTOFMEMORY;
        const HRESULT hr = agent->QueryInterface(iid, ppv);
        agent->Release();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_ICrashDumpAgent))
            return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<ICrashDumpAgent*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() noexcept override
    {
        const LONG count = ::InterlockedDecrement(&m_refs);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

    HRESULT STDMETHODCALLTYPE EnableCrashDumps(LONG isService, LONG dumpMode, LONG /*reserved*/) noexcept override
    {
        wchar_t text[96] = {};
        swprintf(text, std::size(text), L"EnableCrashDumps service=%ld mode=%ld", isService, dumpMode);
        AppendCallLog(m_callLog, text);

        if (m_enableResult != S_OK)
            return m_enableResult;
        if (dumpMode != kDumpModeNormal && dumpMode != kDumpModeFullMemory)
            return E_INVALIDARG;

        // Like the host's log, an unknown directory means the root of the current drive.
        const std::wstring directory = LogDirectory();
        if (directory.size() >= std::size(g_settings.directory))
            return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);

        ::AcquireSRWLockExclusive(&g_filterLock);
        wcscpy_s(g_settings.directory, directory.c_str());
        g_settings.type = dumpMode == kDumpModeFullMemory ? MiniDumpWithFullMemory : MiniDumpNormal;
        if (::InterlockedExchange(&g_filterInstalled, 1) == 0)
            g_previousFilter = ::SetUnhandledExceptionFilter(&WriteDumpFilter);
        ::ReleaseSRWLockExclusive(&g_filterLock);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE DisableCrashDumps() noexcept override
    {
        AppendCallLog(m_callLog, L"DisableCrashDumps");
        ::AcquireSRWLockExclusive(&g_filterLock);
        if (::InterlockedExchange(&g_filterInstalled, 0) != 0)
            ::SetUnhandledExceptionFilter(g_previousFilter);
        ::ReleaseSRWLockExclusive(&g_filterLock);
        return m_disableResult;
    }

private:
    CrashDumpAgent() noexcept
    {
        const StandInKnobs knobs(kKnobsComponent);
        m_enableResult = knobs.Hresult(kKnobEnableResult).value_or(S_OK);
        m_disableResult = knobs.Hresult(kKnobDisableResult).value_or(S_OK);
        m_callLog = knobs.String(kKnobCallLog);
        DllUsage::Add();
    }
    ~CrashDumpAgent() { DllUsage::Remove(); }

    volatile LONG m_refs = 1;
    HRESULT m_enableResult = S_OK;
    HRESULT m_disableResult = S_OK;
    std::wstring m_callLog;
};

StandInClassFactory g_factory(&CrashDumpAgent::Create);

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_CrashDumpAgent))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, ppv);
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    // An installed filter points into this DLL: it must stay loaded until dumps are disabled.
    return DllUsage::InUse() || g_filterInstalled != 0 ? S_FALSE : S_OK;
}

extern "C" HRESULT WINAPI DllRegisterServer()
{
    return RegisterInprocServer(g_module, CLSID_CrashDumpAgent, kDescription, L"Both");
}

extern "C" HRESULT WINAPI DllUnregisterServer()
{
    return UnregisterInprocServer(CLSID_CrashDumpAgent);
}
