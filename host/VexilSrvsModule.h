#pragma once

// The one module object of the host process: service and local-server life, the class
// objects and lock count, registration and installation, diagnostics. Exactly one
// CVexilSrvsModule exists per process; it is a static object constructed before the entry
// point and reachable through g_pModule.

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "VexilSrvs.h"  // generated from manager/VexilSrvs.idl
#include "host/ClassObjectTable.h"
#include "host/OwnSignatureCheck.h"
#include "resources/resource.h"
#include "support/ComPtr.h"
#include "support/StaticWString.h"
#include "support/UniqueHandle.h"

struct IScriptRegistrar;
struct ScriptReplacement;

// Set by static initialisation when a process-wide critical section cannot be initialised;
// the entry then exits with -1 before doing anything else.
extern unsigned char g_bModuleInitFailed;

// Process-wide, false at start; set (never cleared) by the per-user registration switches.
// Read by the script interpreter and the type-library registration.
extern bool g_bPerUserRegistration;

// The diagnostic log directory, fixed once by the module constructor. Constant-initialised,
// so it exists before any module object is constructed.
extern constinit CStaticWString g_strLogDir;

// Identifiers of the server.
inline constexpr wchar_t kAppIdString[] = L"{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}";
inline constexpr GUID kModuleTypeLibId = {
    0x1A6D4E82, 0xB9C3, 0x4F75, {0x8E, 0x20, 0xD3, 0xB5, 0xA7, 0xC9, 0x1F, 0x04}};

// The AppID key below HKEY_CLASSES_ROOT and its value whose presence selects service mode:
// written by registration, read at start.
inline constexpr wchar_t kAppIdKeyName[] = L"AppID";
inline constexpr wchar_t kLocalServiceValue[] = L"LocalService";

// Names of the single-instance guard event of a running host, machine-wide first,
// session-local as fallback; the installer waits on the same event for an old instance.
inline constexpr wchar_t kSafeEventGlobalName[] = L"Global\\VexilSrvs_SafeEvent";
inline constexpr wchar_t kSafeEventLocalName[] = L"VexilSrvs_SafeEvent";

// Data shared by every module layer: the class-object table, the module's type-library
// identifier and the module's critical section.
class CModuleData
{
public:
    CModuleData() noexcept;
    ~CModuleData();
    CModuleData(const CModuleData&) = delete;
    CModuleData& operator=(const CModuleData&) = delete;

    ClassObjectSpan m_classObjects;
    GUID m_libid = GUID_NULL;
    CRITICAL_SECTION m_csModule{};
    bool m_bCsInitialized = false;
};

// The virtual operations every module offers to the objects it hosts, in slot order after
// the destructor.
class CModuleBase : public CModuleData
{
public:
    CModuleBase() noexcept;
    virtual ~CModuleBase();

    virtual LONG Lock() noexcept = 0;
    virtual LONG Unlock() noexcept = 0;
    virtual LONG GetLockCount() noexcept = 0;
    virtual HRESULT GetGITPtr(IGlobalInterfaceTable** ppGIT) noexcept = 0;
    virtual HRESULT AddCommonScriptReplacements(IScriptRegistrar* pRegistrar) noexcept = 0;

    volatile LONG m_nLockCnt = 0;
    IGlobalInterfaceTable* m_pGIT = nullptr;
};

// The module of the process, for the objects that call Lock and Unlock.
extern CModuleBase* g_pModule;

template <class T>
class CModuleT : public CModuleBase
{
};

// Local-server part: the idle monitor and the delayed shutdown.
template <class T>
class CExeModuleT : public CModuleT<T>
{
public:
    DWORD m_dwMainThreadID = ::GetCurrentThreadId();
    UniqueKernelHandle m_hEventShutdown;
    DWORD m_dwTimeOut = 5000;
    DWORD m_dwPause = 1000;
    bool m_bDelayShutdown = true;
    bool m_bComInitialized = false;
};

// Service part: the name, the status record and the service thread.
template <class T, UINT nServiceNameID>
class CServiceModuleT : public CExeModuleT<T>
{
public:
    static constexpr UINT kServiceNameId = nServiceNameID;

    wchar_t m_szServiceName[256] = {};
    SERVICE_STATUS_HANDLE m_hServiceStatus = nullptr;
    SERVICE_STATUS m_status = {
        SERVICE_WIN32_OWN_PROCESS,                      // dwServiceType
        SERVICE_STOPPED,                                // dwCurrentState
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN,  // dwControlsAccepted
        0,                                              // dwWin32ExitCode
        0,                                              // dwServiceSpecificExitCode
        0,                                              // dwCheckPoint
        100000,                                         // dwWaitHint
    };
    BOOL m_bService = TRUE;
    DWORD m_dwThreadID = 0;
};

class CVexilSrvsModule : public CServiceModuleT<CVexilSrvsModule, IDS_SERVICENAME>
{
public:
    CVexilSrvsModule() noexcept;
    ~CVexilSrvsModule() override;

    // Class objects, lock count and idle shutdown.
    LONG Lock() noexcept override;
    LONG Unlock() noexcept override;
    LONG GetLockCount() noexcept override;
    HRESULT GetGITPtr(IGlobalInterfaceTable** ppGIT) noexcept override;
    [[nodiscard]] HRESULT PreMessageLoop(int nShowCmd) noexcept;
    [[nodiscard]] HRESULT RegisterClassObjects(DWORD dwFlags) noexcept;
    [[nodiscard]] HRESULT RevokeClassObjects() noexcept;
    static DWORD WINAPI MonitorProc(void* pModule) noexcept;

    // Process entry and command line.
    int WinMain(int nShowCmd) noexcept;
    [[nodiscard]] bool ParseCommandLine(const wchar_t* pszCmdLine, HRESULT* pnRetCode) noexcept;

    // Service control and status.
    [[nodiscard]] HRESULT Start(int nShowCmd) noexcept;
    void ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv) noexcept;
    void Handler(DWORD dwOpcode) noexcept;
    void OnStop() noexcept;
    static void WINAPI _ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv) noexcept;
    static DWORD WINAPI HandlerEx(DWORD dwOpcode, DWORD dwEventType, void* pEventData,
                                  void* pContext) noexcept;

    // Run sequence and COM security.
    [[nodiscard]] HRESULT Run(int nShowCmd) noexcept;
    [[nodiscard]] HRESULT InitializeSecurity() noexcept;

    // Service installation and removal.
    [[nodiscard]] bool IsInstalled() noexcept;
    [[nodiscard]] bool Install() noexcept;
    [[nodiscard]] bool Uninstall() noexcept;

    // AppID, class and type-library registration.
    [[nodiscard]] HRESULT RegisterAppId(bool bService) noexcept;
    [[nodiscard]] HRESULT UnregisterAppId() noexcept;
    [[nodiscard]] HRESULT RegisterServer() noexcept;
    [[nodiscard]] HRESULT UnregisterServer() noexcept;
    [[nodiscard]] HRESULT UpdateRegistryFromResource(UINT nResId, BOOL bRegister,
                                                     const ScriptReplacement* pMapEntries) noexcept;
    HRESULT AddCommonScriptReplacements(IScriptRegistrar* pRegistrar) noexcept override;
    [[nodiscard]] HRESULT LoadModuleTypeLib(BSTR* pbstrPath, ITypeLib** ppTypeLib) noexcept;
    [[nodiscard]] HRESULT RegisterTypeLibrary() noexcept;
    [[nodiscard]] HRESULT UnregisterTypeLibrary() noexcept;

    // Diagnostics.
    void WriteLog(std::wstring_view text) noexcept;
    void LogEvent(const wchar_t* pszFormat, ...) noexcept;
    [[nodiscard]] static DWORD ReadParamDword(std::wstring_view subKey, const wchar_t* valueName,
                                              DWORD defaultValue) noexcept;

    // Service status: one atomic change of the current state, then a report of the whole record.
    void SetServiceState(DWORD state) noexcept;
    // Changes the state only when it still is 'expected' and answers true if it did; the second
    // one then reports the whole record.
    [[nodiscard]] bool ExchangeServiceState(DWORD expected, DWORD state) noexcept;
    [[nodiscard]] bool ChangeServiceState(DWORD expected, DWORD state) noexcept;

    // The manager reference shared by the run thread and the service control handler: readers
    // take their own counted reference, so a release on the run thread never pulls the object
    // away from under a reader.
    [[nodiscard]] ComPtr<IVexilMgrSrv> CurrentManager() noexcept;
    void SetManager(ComPtr<IVexilMgrSrv> manager) noexcept;
    void ReleaseManager() noexcept;

    ComPtr<IVexilMgrSrv> m_spManager;
    FILE* m_pLogFile = nullptr;
    UniqueKernelHandle m_hSafeEvent;

    // Begun by the entry once the process will run, answered to the run's signature step.
    COwnSignatureCheck m_ownSignature;

private:
    [[nodiscard]] HRESULT AcquireSingleInstanceGuard() noexcept;
    [[nodiscard]] HRESULT EnableCrashDumps(ComPtr<ICrashDumpAgent>& agent) noexcept;
    [[nodiscard]] HRESULT CreateManager() noexcept;
    [[nodiscard]] HRESULT StartManager(ComPtr<IVexilMgrControl>& control) noexcept;
    void StopManager() noexcept;
    [[nodiscard]] HRESULT StartIdleMonitor(UniqueKernelHandle& thread) noexcept;
    void SignalShutdownEvent() noexcept;
    void ReportRunningIfStartPending() noexcept;
    void WaitForManagerInitEnd(IVexilMgrState* state) noexcept;

    SRWLOCK m_logLock = SRWLOCK_INIT;            // at most one log stream, records never interleave
    SRWLOCK m_managerLock = SRWLOCK_INIT;        // guards m_spManager between Run and OnStop
    SRWLOCK m_shutdownEventLock = SRWLOCK_INIT;  // Unlock never signals an event being closed
};

// Fixes the diagnostic log directory as the module constructor does: "DefaultDir" of the
// common product key, else TMP, else TEMP, each followed by "\VexilSrvs". Returns the empty
// string when none of them gives a value.
[[nodiscard]] std::wstring FindLogDirectory() noexcept;
