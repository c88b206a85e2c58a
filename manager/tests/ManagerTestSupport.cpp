#include "manager/tests/ManagerTestSupport.h"

#include "host/ClassObjectTable.h"
#include "support/Platform.h"

SeamCounts g_seam;

StandInCounts ReadStandInCounts()
{
    StandInCounts counts;
    ComPtr<IVexilBoards> boards;
    if (FAILED(::CoCreateInstance(CLSID_VexilMgr, nullptr, CLSCTX_INPROC_SERVER, IID_IVexilBoards,
                                  boards.put_void())))
        return counts;
    LONG live = 0;
    if (SUCCEEDED(boards->get_InnerObjectCount(&counts.innerObjectsCreated)) &&
        SUCCEEDED(boards->get_LiveObjectCount(&live)))
        counts.liveObjects = live - 1;
    return counts;
}

ComPtr<IClassFactory> CreateManagerFactory()
{
    ComPtr<IClassFactory> factory;
    const ClassObjectEntry* entry = ClassObjectTable()[0];
    const HRESULT hr = entry->pfnGetClassObject(reinterpret_cast<void*>(entry->pfnCreateInstance),
                                                IID_IClassFactory, factory.put_void());
    EXPECT_EQ(hr, S_OK);
    return factory;
}

HRESULT WINAPI CountingCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv)
{
    if (IsEqualCLSID(clsid, CLSID_VexilMgr))
        ++g_seam.boardsManagerCreations;
    return RealPlatform().CoCreateInstance(clsid, outer, context, iid, ppv);
}

HRESULT WINAPI CountingCoCreateFreeThreadedMarshaler(LPUNKNOWN outer, LPUNKNOWN* ppMarshaler)
{
    ++g_seam.marshalerCreations;
    return RealPlatform().CoCreateFreeThreadedMarshaler(outer, ppMarshaler);
}

ULONG WINAPI CountingCoAddRefServerProcess()
{
    ++g_seam.addRefServerProcess;
    return RealPlatform().CoAddRefServerProcess();
}

ULONG WINAPI CountingCoReleaseServerProcess()
{
    ++g_seam.releaseServerProcess;
    return RealPlatform().CoReleaseServerProcess();
}

HRESULT RecordingObject::QueryInterface(REFIID iid, void** ppv) noexcept
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_asked.push_back(iid);
    }
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown))
        return m_refusal;
    AddRef();
    *ppv = static_cast<IUnknown*>(this);
    return S_OK;
}

ULONG RecordingObject::Release() noexcept
{
    const LONG count = --m_refs;
    if (count == 0) {
        ++s_destroyed;
        delete this;
    }
    return static_cast<ULONG>(count);
}

bool RecordingObject::WasAskedFor(REFIID iid) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (const IID& asked : m_asked) {
        if (IsEqualIID(asked, iid))
            return true;
    }
    return false;
}

size_t RecordingObject::QuestionCount() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_asked.size();
}
