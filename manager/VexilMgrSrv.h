#pragma once

// The one COM class the host exposes. It has no behaviour of its own: an instance is an
// identity shell around the aggregated boards manager, which answers every interface the
// shell does not answer itself, and a free-threaded marshaler, which answers IMarshal.
// The class factory is a singleton factory: the process holds at most one instance.

#include <span>

#include "VexilSrvs.h"  // generated from manager/VexilSrvs.idl
#include "support/ComObject.h"
#include "support/ComPtr.h"

class CVexilMgrSrv : public CObjectRootEx<CMultiThreadModel>,
                     public CCoClass<CVexilMgrSrv, &CLSID_VexilMgrSrv>,
                     public IVexilMgrSrv
{
public:
    using ClassFactory = CClassFactorySingleton<CVexilMgrSrv>;

    // Creates the boards manager aggregated into this object, then the marshaler.
    [[nodiscard]] HRESULT FinalConstruct() noexcept;
    void FinalRelease() noexcept;
    virtual IUnknown* GetControllingUnknown() noexcept;

    [[nodiscard]] HRESULT InternalQueryInterface(REFIID iid, void** ppv) noexcept;

protected:
    CVexilMgrSrv() noexcept = default;
    virtual ~CVexilMgrSrv();

    ComPtr<IUnknown> m_pUnkMarshaler;  // the free-threaded marshaler aggregated into the object
    ComPtr<IUnknown> m_pUnkInner;      // non-delegating IUnknown of the aggregated boards manager
};
