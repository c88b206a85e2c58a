#include "support/ComObject.h"

HRESULT WalkInterfaceTable(void* pObject, std::span<const InterfaceEntry> table, REFIID iid, void** ppv) noexcept
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;

    if (IsEqualIID(iid, IID_IUnknown)) {
        IUnknown* identity = table.front().pfnGet(pObject);
        identity->AddRef();
        *ppv = identity;
        return S_OK;
    }

    for (const InterfaceEntry& entry : table) {
        if (entry.piid != nullptr && !IsEqualIID(iid, *entry.piid))
            continue;

        IUnknown* unknown = entry.pfnGet(pObject);
        if (entry.kind == InterfaceEntryKind::Own) {
            unknown->AddRef();
            *ppv = unknown;
            return S_OK;
        }

        const HRESULT hr = unknown != nullptr ? unknown->QueryInterface(iid, ppv) : E_NOINTERFACE;
        if (SUCCEEDED(hr))
            return hr;
        *ppv = nullptr;
        // An entry named for this identifier has the last word; what the blind entry refuses
        // is simply not there, whatever code it gave.
        if (entry.kind != InterfaceEntryKind::Blind)
            return hr;
    }
    return E_NOINTERFACE;
}

HRESULT CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObj) noexcept
{
    if (ppvObj == nullptr)
        return E_POINTER;
    *ppvObj = nullptr;
    if (m_pfnCreateInstance == nullptr)
        return E_UNEXPECTED;
    return m_pfnCreateInstance(pUnkOuter, riid, ppvObj);
}

HRESULT CClassFactory::LockServer(BOOL fLock) noexcept
{
    if (fLock)
        ModuleLock();
    else
        ModuleUnlock();
    return S_OK;
}

HRESULT CClassFactory::InternalQueryInterface(REFIID iid, void** ppv) noexcept
{
    static constexpr InterfaceEntry kInterfaces[] = {
        OwnEntry<CClassFactory, IClassFactory>(IID_IClassFactory),
    };
    return WalkInterfaceTable(this, kInterfaces, iid, ppv);
}
