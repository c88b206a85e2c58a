#include "host/tests/FakeComponents.h"

HRESULT FakeManager::QueryInterface(REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IVexilMgrSrv)) {
        *out = static_cast<IVexilMgrSrv*>(this);
    } else if (IsEqualIID(iid, IID_IVexilMgrControl)) {
        if (controlQueryResult != S_OK)
            return controlQueryResult;
        *out = static_cast<IVexilMgrControl*>(this);
    } else if (IsEqualIID(iid, IID_IVexilMgrState)) {
        if (stateQueryResult != S_OK)
            return stateQueryResult;
        *out = static_cast<IVexilMgrState*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT FakeManager::GetImplementationModule(LONGLONG* module)
{
    modulePresetSeen = *module;
    if (moduleResult == S_OK)
        *module = moduleHandle;
    return moduleResult;
}

HRESULT FakeManager::BeginInit()
{
    ++beginInitCalls;
    return S_OK;
}

HRESULT FakeManager::EndInit()
{
    ++endInitCalls;
    return S_OK;
}

HRESULT FakeManager::GetInitState(LONG* state)
{
    ++initStateCalls;
    return initState(state);
}

HRESULT FakeManager::Shutdown()
{
    ++shutdownCalls;
    return S_OK;
}

HRESULT FakeCrashDumpAgent::QueryInterface(REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_ICrashDumpAgent))
        return E_NOINTERFACE;
    *out = static_cast<ICrashDumpAgent*>(this);
    AddRef();
    return S_OK;
}

HRESULT FakeCrashDumpAgent::EnableCrashDumps(LONG isService, LONG dumpMode, LONG reserved)
{
    ++enableCalls;
    isServiceSeen = isService;
    dumpModeSeen = dumpMode;
    reservedSeen = reserved;
    return enableResult;
}

HRESULT FakeCrashDumpAgent::DisableCrashDumps()
{
    ++disableCalls;
    return disableResult;
}

HRESULT FakeClassObject::QueryInterface(REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown))
        return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
}
