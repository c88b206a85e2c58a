// The singleton class factory of the manager object, with the real stand-in boards manager
// and the real COM runtime; the platform seam only counts calls or fails what the platform
// cannot be made to fail.

#include <vector>

#include "manager/tests/ManagerTestSupport.h"
#include "support/UniqueHandle.h"
#include "tests/support/PlatformOverride.h"

namespace {

using SingletonFactory = ManagerTest;

struct ActivationRace
{
    IClassFactory* factory = nullptr;
    HANDLE start = nullptr;
    HRESULT hr = E_UNEXPECTED;
    IUnknown* object = nullptr;  // owned: released by the test
};

// A boards manager that takes its time to create, so that every racing thread arrives while
// the first creation is still under way.
HRESULT WINAPI SlowCountingCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv)
{
    if (IsEqualCLSID(clsid, CLSID_VexilMgr))
        ::Sleep(200);
    return CountingCoCreateInstance(clsid, outer, context, iid, ppv);
}

DWORD WINAPI ActivateWhenStarted(void* parameter)
{
    auto* race = static_cast<ActivationRace*>(parameter);
    ComApartment apartment;
    ::WaitForSingleObject(race->start, 30000);
    race->hr = race->factory->CreateInstance(nullptr, IID_IVexilMgrSrv, reinterpret_cast<void**>(&race->object));
    return 0;
}

// Makes 'count' threads call CreateInstance at the same moment; each result is in its race.
std::vector<ActivationRace> RaceActivations(IClassFactory* factory, size_t count)
{
    UniqueKernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<ActivationRace> races(count);
    std::vector<UniqueKernelHandle> threads;
    for (ActivationRace& race : races) {
        race.factory = factory;
        race.start = start.get();
        threads.emplace_back(::CreateThread(nullptr, 0, &ActivateWhenStarted, &race, 0, nullptr));
        EXPECT_TRUE(threads.back());
    }
    ::SetEvent(start.get());
    for (const UniqueKernelHandle& thread : threads)
        EXPECT_EQ(::WaitForSingleObject(thread.get(), 30000), WAIT_OBJECT_0);
    return races;
}

TEST_F(SingletonFactory, ConcurrentFirstActivationsCreateOneInstanceAndOneInnerObject)
{
    ScopedPlatformOverride countCreations(&PlatformApi::CoCreateInstance, &SlowCountingCoCreateInstance);
    const StandInCounts before = ReadStandInCounts();
    ASSERT_GE(before.innerObjectsCreated, 0) << "stand-in boards manager not registered";
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ASSERT_TRUE(factory);

    std::vector<ActivationRace> races = RaceActivations(factory.get(), 16);

    for (const ActivationRace& race : races) {
        EXPECT_EQ(race.hr, S_OK);
        EXPECT_EQ(race.object, races.front().object);
    }
    EXPECT_EQ(g_seam.boardsManagerCreations, 1);
    const StandInCounts after = ReadStandInCounts();
    EXPECT_EQ(after.innerObjectsCreated, before.innerObjectsCreated + 1);
    EXPECT_EQ(after.liveObjects, before.liveObjects + 1);

    for (ActivationRace& race : races) {
        if (race.object != nullptr)
            race.object->Release();
    }
}

HRESULT WINAPI SlowFailingCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv)
{
    if (!IsEqualCLSID(clsid, CLSID_VexilMgr))
        return RealPlatform().CoCreateInstance(clsid, outer, context, iid, ppv);
    ++g_seam.boardsManagerCreations;
    ::Sleep(200);
    *ppv = nullptr;
    return REGDB_E_CLASSNOTREG;
}

TEST_F(SingletonFactory, ConcurrentFirstActivationsThatFailMakeOneAttempt)
{
    ScopedPlatformOverride failSlowly(&PlatformApi::CoCreateInstance, &SlowFailingCoCreateInstance);
    ComPtr<IClassFactory> factory = CreateManagerFactory();

    const std::vector<ActivationRace> races = RaceActivations(factory.get(), 8);

    for (const ActivationRace& race : races) {
        EXPECT_EQ(race.hr, REGDB_E_CLASSNOTREG);
        EXPECT_EQ(race.object, nullptr);
    }
    EXPECT_EQ(g_seam.boardsManagerCreations, 1);
}

TEST_F(SingletonFactory, OuterObjectIsRefusedBeforeAndAfterCreation)
{
    ScopedPlatformOverride countCreations(&PlatformApi::CoCreateInstance, &CountingCoCreateInstance);
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IClassFactory> outer = CreateManagerFactory();  // any object will do as an outer one

    void* object = &object;
    EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_seam.boardsManagerCreations, 0);

    ComPtr<IUnknown> created;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, created.put_void()), S_OK);
    EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_seam.boardsManagerCreations, 1);
}

TEST_F(SingletonFactory, NullOutPointerIsRefusedWithoutCreating)
{
    ScopedPlatformOverride countCreations(&PlatformApi::CoCreateInstance, &CountingCoCreateInstance);
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(g_seam.boardsManagerCreations, 0);

    // The refusal left nothing behind: the first real activation still creates the object.
    ComPtr<IUnknown> created;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, created.put_void()), S_OK);
    EXPECT_EQ(g_seam.boardsManagerCreations, 1);
}

TEST_F(SingletonFactory, InnerCreationFailureIsAnsweredToEveryLaterCallerWithoutANewAttempt)
{
    ScopedPlatformOverride countCreations(&PlatformApi::CoCreateInstance, &CountingCoCreateInstance);
    constexpr HRESULT kRefusal = static_cast<HRESULT>(0x80040154);  // REGDB_E_CLASSNOTREG
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    {
        const ScopedRegistryValue failCreate =
            ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kBoardsManagerKnobs, L"FailCreate",
                                       static_cast<DWORD>(kRefusal));
        void* object = &object;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), kRefusal);
        EXPECT_EQ(object, nullptr);
    }

    // The boards manager can be created again, but the factory does not try.
    for (int i = 0; i < 3; ++i) {
        void* object = &object;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IVexilMgrSrv, &object), kRefusal);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(g_seam.boardsManagerCreations, 1);
}

TEST_F(SingletonFactory, MarshalerFailureDestroysTheHalfBuiltInstanceAndIsRemembered)
{
    const StandInCounts before = ReadStandInCounts();
    ScopedPlatformOverride countCreations(&PlatformApi::CoCreateInstance, &CountingCoCreateInstance);
    ScopedPlatformOverride failMarshaler(&PlatformApi::CoCreateFreeThreadedMarshaler,
                                         [](LPUNKNOWN, LPUNKNOWN* ppMarshaler) -> HRESULT {
                                             *ppMarshaler = nullptr;
                                             return E_OUTOFMEMORY;
                                         });
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), E_OUTOFMEMORY);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), E_OUTOFMEMORY);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_seam.boardsManagerCreations, 1);

    // The inner object that was created is gone again.
    const StandInCounts after = ReadStandInCounts();
    EXPECT_EQ(after.innerObjectsCreated, before.innerObjectsCreated + 1);
    EXPECT_EQ(after.liveObjects, before.liveObjects);
}

TEST_F(SingletonFactory, CriticalSectionFailureIsRememberedAsTheLastError)
{
    ScopedPlatformOverride countCreations(&PlatformApi::CoCreateInstance, &CountingCoCreateInstance);
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ScopedPlatformOverride failCriticalSection(&PlatformApi::InitializeCriticalSectionEx,
                                               [](LPCRITICAL_SECTION, DWORD, DWORD) -> BOOL {
                                                   ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                                                   return FALSE;
                                               });
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(g_seam.boardsManagerCreations, 0);
}

TEST_F(SingletonFactory, ReleasingTheFactoryDestroysTheCachedObjectAndItsInnerObject)
{
    const StandInCounts before = ReadStandInCounts();
    {
        ComPtr<IClassFactory> factory = CreateManagerFactory();
        ComPtr<IUnknown> object;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()), S_OK);
        EXPECT_EQ(ReadStandInCounts().liveObjects, before.liveObjects + 1);
        object.reset();
        // Only the factory holds the object now; it is still alive in the cache.
        EXPECT_EQ(ReadStandInCounts().liveObjects, before.liveObjects + 1);
    }
    EXPECT_EQ(ReadStandInCounts().liveObjects, before.liveObjects);
}

}  // namespace
