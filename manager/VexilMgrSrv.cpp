#include "manager/VexilMgrSrv.h"

#include "manager/ComponentIds.h"
#include "support/Platform.h"

namespace {

// The boards manager may live in any kind of server; in practice it is an in-process DLL.
constexpr DWORD kBoardsManagerContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

}  // namespace

CVexilMgrSrv::~CVexilMgrSrv()
{
    // FinalRelease has already let go of both aggregated objects; nothing is left to do here
    // unless a form was torn down without it.
    m_pUnkInner.reset();
}

HRESULT CVexilMgrSrv::FinalConstruct() noexcept
{
    const HRESULT hr = Platform().CoCreateInstance(CLSID_VexilMgr, GetControllingUnknown(), kBoardsManagerContext,
                                                   IID_IUnknown, m_pUnkInner.put_void());
    // Any answer but S_OK, successful or not, leaves the object without its marshaler.
    if (hr != S_OK)
        return hr;
    return Platform().CoCreateFreeThreadedMarshaler(GetControllingUnknown(), m_pUnkMarshaler.put());
}

void CVexilMgrSrv::FinalRelease() noexcept
{
    // The marshaler first, then the boards manager, and both here rather than in the destructor:
    // while the run-time form runs FinalRelease the object still answers AddRef and Release (at
    // the destruction count), so an aggregated object that calls its outer object while it is
    // torn down finds a working one. From this class's destructor it would find none.
    m_pUnkMarshaler.reset();
    m_pUnkInner.reset();
}

IUnknown* CVexilMgrSrv::GetControllingUnknown() noexcept
{
    return static_cast<IVexilMgrSrv*>(this);
}

HRESULT CVexilMgrSrv::InternalQueryInterface(REFIID iid, void** ppv) noexcept
{
    // IMarshal is always the marshaler's business and never reaches the boards manager;
    // every identifier but IUnknown, IVexilMgrSrv and IMarshal goes to the boards manager.
    static constexpr InterfaceEntry kInterfaces[] = {
        OwnEntry<CVexilMgrSrv, IVexilMgrSrv>(IID_IVexilMgrSrv),
        DelegatingEntry<CVexilMgrSrv, &CVexilMgrSrv::m_pUnkMarshaler>(IID_IMarshal),
        BlindEntry<CVexilMgrSrv, &CVexilMgrSrv::m_pUnkInner>(),
    };
    return WalkInterfaceTable(this, kInterfaces, iid, ppv);
}
