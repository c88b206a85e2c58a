// Stand-in for the Vexil boards manager: an in-process server of CLSID_VexilMgr that the host
// aggregates into its manager object. It answers the host's control and state interfaces and
// a small automation interface for clients, and behaves as its knobs say (see
// components/README.md).

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <new>
#include <string>
#include <vector>

#include "VexilBoards.h"  // generated from VexilBoards.idl
#include "VexilSrvs.h"    // generated from manager/VexilSrvs.idl
#include "components/common/StandIn.h"
#include "manager/ComponentIds.h"
#include "support/ComPtr.h"
#include "support/Hresult.h"

namespace {

constexpr wchar_t kKnobsComponent[] = L"BoardsManager";
constexpr wchar_t kKnobInitDelayMs[] = L"InitDelayMs";
constexpr wchar_t kKnobBeginInitMs[] = L"BeginInitMs";
constexpr wchar_t kKnobBeginInitEvent[] = L"BeginInitEvent";
constexpr wchar_t kKnobEndInitMs[] = L"EndInitMs";
constexpr wchar_t kKnobFaultInBeginInit[] = L"FaultInBeginInit";
constexpr wchar_t kKnobFailCreate[] = L"FailCreate";
constexpr wchar_t kKnobCreateReturnsSFalse[] = L"CreateReturnsSFalse";
constexpr wchar_t kKnobGetImplementationModuleResult[] = L"GetImplementationModuleResult";
constexpr wchar_t kKnobGetInitStateResult[] = L"GetInitStateResult";
constexpr wchar_t kKnobBoards[] = L"Boards";

constexpr wchar_t kDescription[] = L"Vexil Boards Manager (stand-in)";

// Initialisation states as GetInitState reports them; the host waits while the state is 1 or less.
constexpr LONG kStateNotStarted = 0;
constexpr LONG kStateInitialising = 1;
constexpr LONG kStateInitialised = 2;
constexpr LONG kStateShutDown = 3;

HMODULE g_module = nullptr;
volatile LONG g_liveObjects = 0;
volatile LONG g_innerObjectsCreated = 0;

// The automation interface's type information, from the type library inside this DLL.
HRESULT BoardsTypeInfo(ITypeInfo** typeInfo) noexcept
{
    struct Loaded
    {
        HRESULT hr = E_FAIL;
        ComPtr<ITypeInfo> info;
    };
    static Loaded loaded = [] {
        Loaded result;
        ComPtr<ITypeLib> library;
        result.hr = ::LoadTypeLibEx(ModulePath(g_module).c_str(), REGKIND_NONE, library.put());
        if (SUCCEEDED(result.hr))
            result.hr = library->GetTypeInfoOfGuid(IID_IVexilBoards, result.info.put());
        return result;
    }();
    if (FAILED(loaded.hr))
        return loaded.hr;
    return loaded.info.copy_to(typeInfo);
}

class BoardsManager final : public IVexilMgrControl, public IVexilMgrState, public IVexilBoards
{
public:
    static HRESULT Create(IUnknown* outer, REFIID iid, void** ppv) noexcept;

    // IUnknown of every interface: the controlling object's (the outer one when aggregated).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override
    {
        return m_controlling->QueryInterface(iid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return m_controlling->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() noexcept override { return m_controlling->Release(); }

    // IVexilMgrControl
    HRESULT STDMETHODCALLTYPE GetImplementationModule(hyper* phModule) noexcept override;
    HRESULT STDMETHODCALLTYPE BeginInit() noexcept override;
    HRESULT STDMETHODCALLTYPE EndInit() noexcept override;

    // IVexilMgrState: the host uses GetInitState and Shutdown; the other entries hold places.
    HRESULT STDMETHODCALLTYPE Reserved3() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved9() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved10() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved11() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved12() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved13() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved14() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetInitState(LONG* pState) noexcept override;
    HRESULT STDMETHODCALLTYPE Reserved16() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved17() noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Shutdown() noexcept override;

    // IDispatch, from the type library
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) noexcept override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) noexcept override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                            DISPID* rgDispId) noexcept override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                     UINT* puArgErr) noexcept override;

    // IVexilBoards
    HRESULT STDMETHODCALLTYPE get_Count(LONG* pCount) noexcept override;
    HRESULT STDMETHODCALLTYPE Name(LONG index, BSTR* pName) noexcept override;
    HRESULT STDMETHODCALLTYPE get_InnerObjectCount(LONG* pCount) noexcept override;
    HRESULT STDMETHODCALLTYPE get_LiveObjectCount(LONG* pCount) noexcept override;
    HRESULT STDMETHODCALLTYPE get_ProcessId(LONG* pProcessId) noexcept override;
    HRESULT STDMETHODCALLTYPE get_InitState(LONG* pState) noexcept override;

private:
    // The non-delegating IUnknown: the object's own identity and count, which an aggregating
    // outer object holds.
    class NonDelegating final : public IUnknown
    {
    public:
        explicit NonDelegating(BoardsManager& owner) noexcept : m_owner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override;
        ULONG STDMETHODCALLTYPE AddRef() noexcept override;
        ULONG STDMETHODCALLTYPE Release() noexcept override;

    private:
        BoardsManager& m_owner;
    };

    explicit BoardsManager(IUnknown* outer) noexcept;
    ~BoardsManager();
    void Log(const wchar_t* operation) const noexcept { AppendCallLog(m_callLog, operation); }
    [[nodiscard]] LONG CurrentState() const noexcept;

    NonDelegating m_nonDelegating{*this};
    IUnknown* m_controlling;  // not counted when it is the outer object: the outer owns us
    volatile LONG m_refs = 1;
    const bool m_aggregated;

    // Knobs, read when the object is created.
    DWORD m_initDelayMs = 0;
    HRESULT m_implementationModuleResult = S_OK;
    HRESULT m_initStateResult = S_OK;
    std::vector<std::wstring> m_boards;
    std::wstring m_callLog;

    volatile LONG m_state = kStateNotStarted;
    volatile LONGLONG m_initBeganTick = 0;
    DWORD m_beginInitMs = 0;
    std::wstring m_beginInitEvent;
    DWORD m_endInitMs = 0;
    bool m_faultInBeginInit = false;
};

BoardsManager::BoardsManager(IUnknown* outer) noexcept
    : m_controlling(outer != nullptr ? outer : &m_nonDelegating), m_aggregated(outer != nullptr)
{
    const StandInKnobs knobs(kKnobsComponent);
    m_initDelayMs = knobs.Dword(kKnobInitDelayMs).value_or(0);
    m_beginInitMs = knobs.Dword(kKnobBeginInitMs).value_or(0);
    m_beginInitEvent = knobs.String(kKnobBeginInitEvent);
    m_endInitMs = knobs.Dword(kKnobEndInitMs).value_or(0);
    m_faultInBeginInit = knobs.Dword(kKnobFaultInBeginInit).value_or(0) != 0;
    m_implementationModuleResult = knobs.Hresult(kKnobGetImplementationModuleResult).value_or(S_OK);
    m_initStateResult = knobs.Hresult(kKnobGetInitStateResult).value_or(S_OK);
    m_boards = knobs.MultiString(kKnobBoards);
    if (m_boards.empty())
        m_boards = {L"VX-100 Slot 1", L"VX-100 Slot 2", L"VX-240 Slot 3"};
    m_callLog = knobs.String(kKnobCallLog);

    ::InterlockedIncrement(&g_liveObjects);
    if (m_aggregated)
        ::InterlockedIncrement(&g_innerObjectsCreated);
    DllUsage::Add();
    Log(m_aggregated ? L"Create aggregated" : L"Create");
}

BoardsManager::~BoardsManager()
{
    Log(L"Destroy");
    ::InterlockedDecrement(&g_liveObjects);
    DllUsage::Remove();
}

HRESULT BoardsManager::Create(IUnknown* outer, REFIID iid, void** ppv) noexcept
{
    // An aggregating caller must take the non-delegating IUnknown, or it could not own us.
    if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;

    const StandInKnobs knobs(kKnobsComponent);
    const HRESULT failure = knobs.Hresult(kKnobFailCreate).value_or(S_OK);
    if (FAILED(failure)) {
        AppendCallLog(knobs.String(kKnobCallLog), L"Create refused");
        return failure;
    }

    auto* object = new (std::nothrow) BoardsManager(outer);
    if (object == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT hr = object->m_nonDelegating.QueryInterface(iid, ppv);
    object->m_nonDelegating.Release();
    if (SUCCEEDED(hr) && knobs.Dword(kKnobCreateReturnsSFalse).value_or(0) != 0)
        return S_FALSE;
    return hr;
}

HRESULT BoardsManager::NonDelegating::QueryInterface(REFIID iid, void** ppv) noexcept
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    IUnknown* answer = nullptr;
    if (IsEqualIID(iid, IID_IUnknown))
        answer = this;
    else if (IsEqualIID(iid, IID_IVexilMgrControl))
        answer = static_cast<IVexilMgrControl*>(&m_owner);
    else if (IsEqualIID(iid, IID_IVexilMgrState))
        answer = static_cast<IVexilMgrState*>(&m_owner);
    else if (IsEqualIID(iid, IID_IVexilBoards) || IsEqualIID(iid, IID_IDispatch))
        answer = static_cast<IVexilBoards*>(&m_owner);
    else
        return E_NOINTERFACE;
    answer->AddRef();
    *ppv = answer;
    return S_OK;
}

ULONG BoardsManager::NonDelegating::AddRef() noexcept
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_owner.m_refs));
}

ULONG BoardsManager::NonDelegating::Release() noexcept
{
    const LONG count = ::InterlockedDecrement(&m_owner.m_refs);
    if (count == 0)
        delete &m_owner;
    return static_cast<ULONG>(count);
}

LONG BoardsManager::CurrentState() const noexcept
{
    const LONG state = m_state;
    if (state != kStateInitialising)
        return state;
    const auto began = static_cast<ULONGLONG>(m_initBeganTick);
    return ::GetTickCount64() - began >= m_initDelayMs ? kStateInitialised : kStateInitialising;
}

HRESULT BoardsManager::GetImplementationModule(hyper* phModule) noexcept
{
    Log(L"GetImplementationModule");
    if (phModule == nullptr)
        return E_POINTER;
    // The handle goes out only with S_OK: a caller that presets the value sees it untouched otherwise.
    if (m_implementationModuleResult == S_OK)
        *phModule = static_cast<hyper>(reinterpret_cast<INT_PTR>(g_module));
    return m_implementationModuleResult;
}

HRESULT BoardsManager::BeginInit() noexcept
{
    Log(L"BeginInit");
    m_initBeganTick = static_cast<LONGLONG>(::GetTickCount64());
    ::InterlockedCompareExchange(&m_state, kStateInitialising, kStateNotStarted);
    // A manager with a defect: the access violation ends its caller's process, through the
    // crash-dump agent's filter when dumps are on.
    if (m_faultInBeginInit) {
        LONG* volatile nowhere = nullptr;
        *nowhere = 0;
    }
    // A manager whose start-up work runs inside BeginInit keeps its caller that long.
    if (m_beginInitMs != 0)
        ::Sleep(m_beginInitMs);
    if (!m_beginInitEvent.empty()) {
        const UniqueKernelHandle event(::OpenEventW(SYNCHRONIZE, FALSE, m_beginInitEvent.c_str()));
        ::WaitForSingleObject(event.get(), 60000);
    }
    return S_OK;
}

HRESULT BoardsManager::EndInit() noexcept
{
    Log(L"EndInit");
    if (m_endInitMs != 0)
        ::Sleep(m_endInitMs);
    return S_OK;
}

HRESULT BoardsManager::GetInitState(LONG* pState) noexcept
{
    Log(L"GetInitState");
    if (pState == nullptr)
        return E_POINTER;
    *pState = CurrentState();
    return m_initStateResult;
}

HRESULT BoardsManager::Shutdown() noexcept
{
    Log(L"Shutdown");
    ::InterlockedExchange(&m_state, kStateShutDown);
    return S_OK;
}

HRESULT BoardsManager::GetTypeInfoCount(UINT* pctinfo) noexcept
{
    if (pctinfo == nullptr)
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT BoardsManager::GetTypeInfo(UINT iTInfo, LCID /*lcid*/, ITypeInfo** ppTInfo) noexcept
{
    if (ppTInfo == nullptr)
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    return BoardsTypeInfo(ppTInfo);
}

HRESULT BoardsManager::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID /*lcid*/,
                                     DISPID* rgDispId) noexcept
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> typeInfo;
    VEXIL_RETURN_IF_FAILED(BoardsTypeInfo(typeInfo.put()));
    return ::DispGetIDsOfNames(typeInfo.get(), rgszNames, cNames, rgDispId);
}

HRESULT BoardsManager::Invoke(DISPID dispIdMember, REFIID riid, LCID /*lcid*/, WORD wFlags,
                              DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                              UINT* puArgErr) noexcept
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> typeInfo;
    VEXIL_RETURN_IF_FAILED(BoardsTypeInfo(typeInfo.put()));
    return ::DispInvoke(static_cast<IVexilBoards*>(this), typeInfo.get(), dispIdMember, wFlags, pDispParams,
                        pVarResult, pExcepInfo, puArgErr);
}

HRESULT BoardsManager::get_Count(LONG* pCount) noexcept
{
    if (pCount == nullptr)
        return E_POINTER;
    *pCount = static_cast<LONG>(m_boards.size());
    return S_OK;
}

HRESULT BoardsManager::Name(LONG index, BSTR* pName) noexcept
{
    if (pName == nullptr)
        return E_POINTER;
    *pName = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= m_boards.size())
        return E_INVALIDARG;
    *pName = ::SysAllocString(m_boards[static_cast<size_t>(index)].c_str());
    return *pName != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT BoardsManager::get_InnerObjectCount(LONG* pCount) noexcept
{
    if (pCount == nullptr)
        return E_POINTER;
    *pCount = g_innerObjectsCreated;
    return S_OK;
}

HRESULT BoardsManager::get_LiveObjectCount(LONG* pCount) noexcept
{
    if (pCount == nullptr)
        return E_POINTER;
    *pCount = g_liveObjects;
    return S_OK;
}

HRESULT BoardsManager::get_ProcessId(LONG* pProcessId) noexcept
{
    if (pProcessId == nullptr)
        return E_POINTER;
    *pProcessId = static_cast<LONG>(::GetCurrentProcessId());
    return S_OK;
}

HRESULT BoardsManager::get_InitState(LONG* pState) noexcept
{
    if (pState == nullptr)
        return E_POINTER;
    *pState = CurrentState();
    return S_OK;
}

StandInClassFactory g_factory(&BoardsManager::Create);

// The type library inside this DLL, as LoadTypeLibEx finds it by the module's path.
HRESULT LoadOwnTypeLib(ComPtr<ITypeLib>& library, std::wstring& path) noexcept
{
    path = ModulePath(g_module);
    if (path.empty())
        return HResultFromLastError();
    return ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
}

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
    if (!IsEqualCLSID(clsid, CLSID_VexilMgr))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, ppv);
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    return DllUsage::InUse() ? S_FALSE : S_OK;
}

extern "C" HRESULT WINAPI DllRegisterServer()
{
    VEXIL_RETURN_IF_FAILED(RegisterInprocServer(g_module, CLSID_VexilMgr, kDescription, L"Both"));
    ComPtr<ITypeLib> library;
    std::wstring path;
    VEXIL_RETURN_IF_FAILED(LoadOwnTypeLib(library, path));
    return ::RegisterTypeLib(library.get(), path.data(), nullptr);
}

extern "C" HRESULT WINAPI DllUnregisterServer()
{
    ComPtr<ITypeLib> library;
    std::wstring path;
    if (SUCCEEDED(LoadOwnTypeLib(library, path))) {
        TLIBATTR* attributes = nullptr;
        if (SUCCEEDED(library->GetLibAttr(&attributes))) {
            (void)::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                      attributes->lcid, attributes->syskind);
            library->ReleaseTLibAttr(attributes);
        }
    }
    return UnregisterInprocServer(CLSID_VexilMgr);
}
