// How outside use of the manager object moves the module's lock, and what the module's Lock,
// Unlock and GetGITPtr do in either mode.

#include "manager/tests/ManagerTestSupport.h"
#include "support/Platform.h"
#include "support/UniqueHandle.h"
#include "tests/support/PlatformOverride.h"

namespace {

constexpr CLSID kClsidStdGlobalInterfaceTable = {
    0x00000323, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

ULONG g_serverCountAfterRelease = 0;

ULONG WINAPI ReleaseServerProcessTo()
{
    ++g_seam.releaseServerProcess;
    return g_serverCountAfterRelease;
}

int g_gitCreations = 0;

HRESULT WINAPI CountingGitCreation(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv)
{
    if (IsEqualCLSID(clsid, kClsidStdGlobalInterfaceTable))
        ++g_gitCreations;
    return RealPlatform().CoCreateInstance(clsid, outer, context, iid, ppv);
}

bool IsSignalled(HANDLE event)
{
    return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

bool TakeQuitMessage()
{
    MSG message{};
    return ::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

class ManagerLock : public ManagerTest
{
protected:
    void SetUp() override
    {
        ManagerTest::SetUp();
        m_module.m_bService = FALSE;
    }

    ScopedPlatformOverride<decltype(&::CoAddRefServerProcess)> m_countAddRef{&PlatformApi::CoAddRefServerProcess,
                                                                           &CountingCoAddRefServerProcess};
    ScopedPlatformOverride<decltype(&::CoReleaseServerProcess)> m_countRelease{
        &PlatformApi::CoReleaseServerProcess, &CountingCoReleaseServerProcess};
};

TEST_F(ManagerLock, FirstOutsideReferenceLocksTheModuleOnceAndTheLastUnlocksOnce)
{
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IUnknown> first;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, first.put_void()), S_OK);
    EXPECT_EQ(g_seam.addRefServerProcess, 1);

    ComPtr<IVexilMgrSrv> second;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVexilMgrSrv, second.put_void()), S_OK);
    ComPtr<IVexilBoards> third;  // an inner interface counts on the manager object too
    ASSERT_EQ(first.query(IID_IVexilBoards, third), S_OK);
    ComPtr<IUnknown> fourth = first;
    EXPECT_EQ(g_seam.addRefServerProcess, 1);
    EXPECT_EQ(g_seam.releaseServerProcess, 0);

    first.reset();
    second.reset();
    third.reset();
    EXPECT_EQ(g_seam.releaseServerProcess, 0);
    fourth.reset();
    EXPECT_EQ(g_seam.addRefServerProcess, 1);
    EXPECT_EQ(g_seam.releaseServerProcess, 1);
}

TEST_F(ManagerLock, ObjectHeldOnlyByTheFactoryHoldsNoLockAndSurvives)
{
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    void* first = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &first), S_OK);
    static_cast<IUnknown*>(first)->Release();
    EXPECT_EQ(g_seam.addRefServerProcess, g_seam.releaseServerProcess);

    ComPtr<IUnknown> again;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, again.put_void()), S_OK);
    EXPECT_EQ(again.get(), first);
    EXPECT_EQ(g_seam.addRefServerProcess, 2);
    EXPECT_EQ(g_seam.releaseServerProcess, 1);
}

TEST_F(ManagerLock, CreationAndReleaseOfTheFactoryAloneNeverLock)
{
    {
        ComPtr<IClassFactory> factory = CreateManagerFactory();
        ComPtr<IUnknown> object;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()), S_OK);
        object.reset();
        g_seam.Reset();
    }
    EXPECT_EQ(g_seam.addRefServerProcess, 0);
    EXPECT_EQ(g_seam.releaseServerProcess, 0);
}

TEST_F(ManagerLock, LockServerTrueLocksAndFalseUnlocksTheModule)
{
    ScopedPlatformOverride countCreations(&PlatformApi::CoCreateInstance, &CountingCoCreateInstance);
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(g_seam.addRefServerProcess, 1);
    EXPECT_EQ(g_seam.releaseServerProcess, 0);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(g_seam.addRefServerProcess, 1);
    EXPECT_EQ(g_seam.releaseServerProcess, 1);
    EXPECT_EQ(g_seam.boardsManagerCreations, 0);
}

using ModuleUnlock = ManagerTest;

TEST_F(ModuleUnlock, ServiceModeOnlyLowersTheLockCounter)
{
    ScopedPlatformOverride countAddRef(&PlatformApi::CoAddRefServerProcess, &CountingCoAddRefServerProcess);
    ScopedPlatformOverride countRelease(&PlatformApi::CoReleaseServerProcess, &CountingCoReleaseServerProcess);
    m_module.m_bService = TRUE;
    m_module.m_hEventShutdown.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ::PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE);  // a message queue that could take WM_QUIT

    EXPECT_GE(m_module.Lock(), 1);
    EXPECT_EQ(m_module.Unlock(), -1);
    EXPECT_EQ(m_module.Unlock(), -2);
    EXPECT_EQ(m_module.GetLockCount(), -2);
    EXPECT_EQ(g_seam.addRefServerProcess, 1);
    EXPECT_EQ(g_seam.releaseServerProcess, 0);
    EXPECT_FALSE(IsSignalled(m_module.m_hEventShutdown.get()));
    EXPECT_FALSE(TakeQuitMessage());
}

TEST_F(ModuleUnlock, LocalServerModeAtZeroSignalsTheIdleMonitor)
{
    ScopedPlatformOverride releaseToZero(&PlatformApi::CoReleaseServerProcess, &ReleaseServerProcessTo);
    g_serverCountAfterRelease = 0;
    m_module.m_bService = FALSE;
    m_module.m_bDelayShutdown = true;
    m_module.m_hEventShutdown.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ::PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE);

    EXPECT_EQ(m_module.Unlock(), 0);
    EXPECT_EQ(g_seam.releaseServerProcess, 1);
    EXPECT_TRUE(IsSignalled(m_module.m_hEventShutdown.get()));
    EXPECT_FALSE(TakeQuitMessage());
    EXPECT_EQ(m_module.GetLockCount(), 0);
}

TEST_F(ModuleUnlock, LocalServerModeAtZeroWithoutDelayedShutdownPostsQuitToTheMainThread)
{
    ScopedPlatformOverride releaseToZero(&PlatformApi::CoReleaseServerProcess, &ReleaseServerProcessTo);
    g_serverCountAfterRelease = 0;
    m_module.m_bService = FALSE;
    m_module.m_bDelayShutdown = false;
    ASSERT_EQ(m_module.m_dwMainThreadID, ::GetCurrentThreadId());
    ::PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE);

    EXPECT_EQ(m_module.Unlock(), 0);
    EXPECT_TRUE(TakeQuitMessage());
}

TEST_F(ModuleUnlock, LocalServerModeAboveZeroNeitherSignalsNorPosts)
{
    ScopedPlatformOverride releaseToOne(&PlatformApi::CoReleaseServerProcess, &ReleaseServerProcessTo);
    g_serverCountAfterRelease = 1;
    m_module.m_bService = FALSE;
    m_module.m_hEventShutdown.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ::PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE);

    m_module.m_bDelayShutdown = true;
    EXPECT_EQ(m_module.Unlock(), 1);
    m_module.m_bDelayShutdown = false;
    EXPECT_EQ(m_module.Unlock(), 1);
    EXPECT_FALSE(IsSignalled(m_module.m_hEventShutdown.get()));
    EXPECT_FALSE(TakeQuitMessage());
}

TEST_F(ModuleUnlock, LocalServerModeAfterTheMonitorHasGoneIsHarmless)
{
    ScopedPlatformOverride releaseToZero(&PlatformApi::CoReleaseServerProcess, &ReleaseServerProcessTo);
    g_serverCountAfterRelease = 0;
    m_module.m_bService = FALSE;
    m_module.m_bDelayShutdown = true;
    m_module.m_hEventShutdown.reset();
    ::PeekMessageW(nullptr, nullptr, 0, 0, PM_NOREMOVE);

    EXPECT_EQ(m_module.Unlock(), 0);
    EXPECT_FALSE(TakeQuitMessage());
}

using ModuleGit = ManagerTest;

TEST_F(ModuleGit, NullOutPointerIsRefused)
{
    EXPECT_EQ(m_module.GetGITPtr(nullptr), E_POINTER);
    EXPECT_EQ(m_module.m_pGIT, nullptr);
}

TEST_F(ModuleGit, TheTableIsCreatedOnFirstUseAndHandedOutWithAReference)
{
    g_gitCreations = 0;
    ScopedPlatformOverride countCreations(&PlatformApi::CoCreateInstance, &CountingGitCreation);
    ComPtr<IGlobalInterfaceTable> first;
    ASSERT_EQ(m_module.GetGITPtr(first.put()), S_OK);
    ComPtr<IGlobalInterfaceTable> second;
    ASSERT_EQ(m_module.GetGITPtr(second.put()), S_OK);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(first.get(), m_module.m_pGIT);
    EXPECT_EQ(g_gitCreations, 1);

    // The table works: an interface registered in it comes back.
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    DWORD cookie = 0;
    ASSERT_EQ(first->RegisterInterfaceInGlobal(factory.get(), IID_IClassFactory, &cookie), S_OK);
    ComPtr<IClassFactory> fromTable;
    EXPECT_EQ(first->GetInterfaceFromGlobal(cookie, IID_IClassFactory, fromTable.put_void()), S_OK);
    EXPECT_EQ(first->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_TRUE(fromTable);
}

TEST_F(ModuleGit, CreationFailureIsReturnedAndNothingIsKept)
{
    ScopedPlatformOverride failCreation(&PlatformApi::CoCreateInstance,
                                        [](REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* ppv) -> HRESULT {
                                            *ppv = nullptr;
                                            return E_OUTOFMEMORY;
                                        });
    IGlobalInterfaceTable* table = reinterpret_cast<IGlobalInterfaceTable*>(&table);
    EXPECT_EQ(m_module.GetGITPtr(&table), E_OUTOFMEMORY);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(m_module.m_pGIT, nullptr);
}

}  // namespace
