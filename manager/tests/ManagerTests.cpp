// The manager object and its singleton class factory, built from the host's COM object support,
// against the real stand-in boards manager (registered in the test prefix by the "standins"
// fixture) and the real COM runtime. A seam counts the object's COM calls and, where the platform
// cannot be made to, slows, replaces or fails them.

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "VexilBoards.h"
#include "host/ClassObjectTable.h"
#include "host/VexilSrvsModule.h"
#include "manager/ComponentIds.h"
#include "manager/VexilMgrSrv.h"
#include "support/ComPtr.h"
#include "support/UniqueHandle.h"
#include "tests/support/PlatformOverride.h"

namespace {

struct Seam
{
    bool standIn = false;        // the real stand-in is the boards manager, else a RecordingObject
    // The answers of the boards manager's creation (a failure creates nothing) and the marshaler's.
    HRESULT innerAnswer = S_OK, marshalerFailure = S_OK;
    std::atomic<int> innerCreations = 0, marshalers = 0, locks = 0, unlocks = 0, questions = 0, destroyed = 0;
    ULONG outerCountAtCreation = 0, outerCountAtTeardown = 0;
    // The module's server count, and how often it touched zero while the object's count (when
    // watched) said a reference besides the factory's was held, or went above one.
    std::atomic<LONG> serverCount = 0;
    std::atomic<int> zeroWhileHeld = 0, aboveOne = 0;
    volatile LONG* watchedCount = nullptr;
    DWORD innerContext = 0;
    IUnknown *innerOuter = nullptr, *marshalerOuter = nullptr;
    bool innerAskedForIUnknown = false;
    HRESULT marshalAtTeardown = S_OK;  // the object's answer for IMarshal while the boards manager goes
} g_seam;

// Stands in for the boards manager: refuses whatever it is asked, and takes and drops a reference
// to its outer object when it is built and when it is torn down, as an aggregated object may.
struct RecordingObject final : IUnknown
{
    explicit RecordingObject(IUnknown* outer) noexcept : outer(outer) { g_seam.outerCountAtCreation = TouchOuter(); }
    ~RecordingObject()
    {
        g_seam.outerCountAtTeardown = TouchOuter();
        ++g_seam.destroyed;
        ComPtr<IUnknown> marshal;
        g_seam.marshalAtTeardown = outer->QueryInterface(IID_IMarshal, marshal.put_void());
    }
    ULONG TouchOuter() noexcept
    {
        outer->AddRef();
        return outer->Release();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) noexcept override
    {
        ++g_seam.questions;
        *ppv = nullptr;
        return E_ACCESSDENIED;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() noexcept override
    {
        const ULONG count = --refs;
        if (count == 0)
            delete this;
        return count;
    }

    IUnknown* outer;
    ULONG refs = 1;
};

HRESULT WINAPI SeamCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv)
{
    if (IsEqualCLSID(clsid, CLSID_VexilMgr)) {
        g_seam.innerContext = context;
        g_seam.innerOuter = outer;
        g_seam.innerAskedForIUnknown = IsEqualIID(iid, IID_IUnknown);
    }
    if (!IsEqualCLSID(clsid, CLSID_VexilMgr) || g_seam.standIn)
        return RealPlatform().CoCreateInstance(clsid, outer, context, iid, ppv);
    ++g_seam.innerCreations;
    ::Sleep(200);  // keeps racing activations inside the first creation
    *ppv = nullptr;
    if (FAILED(g_seam.innerAnswer))
        return g_seam.innerAnswer;
    *ppv = new RecordingObject(outer);
    return g_seam.innerAnswer;
}

HRESULT WINAPI SeamCoCreateFreeThreadedMarshaler(LPUNKNOWN outer, LPUNKNOWN* ppMarshaler)
{
    ++g_seam.marshalers;
    g_seam.marshalerOuter = outer;
    *ppMarshaler = nullptr;
    return FAILED(g_seam.marshalerFailure) ? g_seam.marshalerFailure
                                           : RealPlatform().CoCreateFreeThreadedMarshaler(outer, ppMarshaler);
}

// Each server-count call first spins a little, as the platform's own calls take a while: it
// widens the time between an object's step and the call that follows it. A count that falls to
// zero signals the idle monitor's event, which these tests never create, so nothing ends.
void TakeAWhile()
{
    for (int i = 0; i < 200; ++i)
        YieldProcessor();
}
ULONG WINAPI SeamLock()
{
    TakeAWhile();
    ++g_seam.locks;
    const LONG count = ++g_seam.serverCount;
    g_seam.aboveOne += count > 1 && g_seam.watchedCount != nullptr ? 1 : 0;
    return static_cast<ULONG>(count);
}
ULONG WINAPI SeamUnlock()
{
    TakeAWhile();
    ++g_seam.unlocks;
    const LONG count = --g_seam.serverCount;
    g_seam.zeroWhileHeld += count == 0 && g_seam.watchedCount != nullptr && *g_seam.watchedCount >= 2 ? 1 : 0;
    return static_cast<ULONG>(count);
}
BOOL WINAPI FailCriticalSection(LPCRITICAL_SECTION, DWORD, DWORD) { ::SetLastError(ERROR_OUTOFMEMORY); return FALSE; }

class ManagerObject : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_seam.~Seam();  // trivially destructible: a fresh one takes its place
        new (&g_seam) Seam;
        m_module.m_bService = FALSE;
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    }
    void TearDown() override { ::CoUninitialize(); }

    // The singleton factory, made as the module makes it: through the class-object table entry.
    static ComPtr<IClassFactory> CreateManagerFactory()
    {
        ComPtr<IClassFactory> factory;
        const ClassObjectEntry* entry = ClassObjectTable()[0];
        EXPECT_EQ(entry->pfnGetClassObject(reinterpret_cast<void*>(entry->pfnCreateInstance), IID_IClassFactory,
                                           factory.put_void()), S_OK);
        return factory;
    }

    using Lock = decltype(&::CoAddRefServerProcess);
    ScopedPlatformOverride<decltype(&::CoCreateInstance)> m_create{&PlatformApi::CoCreateInstance,
                                                                    &SeamCoCreateInstance};
    ScopedPlatformOverride<decltype(&::CoCreateFreeThreadedMarshaler)> m_marshaler{
        &PlatformApi::CoCreateFreeThreadedMarshaler, &SeamCoCreateFreeThreadedMarshaler};
    ScopedPlatformOverride<Lock> m_lock{&PlatformApi::CoAddRefServerProcess, &SeamLock};
    ScopedPlatformOverride<Lock> m_unlock{&PlatformApi::CoReleaseServerProcess, &SeamUnlock};
    CVexilSrvsModule m_module;
};

using SingletonFactory = ManagerObject;

struct Activation
{
    IClassFactory* factory = nullptr;
    HRESULT hr = E_UNEXPECTED;
    ComPtr<IUnknown> object{};
};

DWORD WINAPI Activate(void* parameter)
{
    auto* activation = static_cast<Activation*>(parameter);
    activation->hr = activation->factory->CreateInstance(nullptr, IID_IUnknown, activation->object.put_void());
    return 0;
}

TEST_F(SingletonFactory, ConcurrentFirstActivationsMakeOneAttemptWhoseOutcomeIsFinal)
{
    struct Row { HRESULT innerFailure, marshalerFailure; bool failCritSec; HRESULT expected; int attempts, built; };
    const Row rows[] = {{S_OK, S_OK, false, S_OK, 1, 1},
                        {REGDB_E_CLASSNOTREG, S_OK, false, REGDB_E_CLASSNOTREG, 1, 0},
                        {S_OK, CO_E_NOTINITIALIZED, false, CO_E_NOTINITIALIZED, 1, 1},
                        {S_OK, S_OK, true, HRESULT_FROM_WIN32(ERROR_OUTOFMEMORY), 0, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        g_seam.~Seam();  // a fresh seam for each row
        new (&g_seam) Seam{.innerAnswer = row.innerFailure, .marshalerFailure = row.marshalerFailure};
        ComPtr<IClassFactory> factory = CreateManagerFactory();
        std::vector<Activation> activations(16, Activation{.factory = factory.get()});
        void* refused = &refused;  // an outer object or a null out pointer is refused before the attempt as after it
        EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IUnknown, &refused), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
        EXPECT_EQ(g_seam.innerCreations, 0);
        {
            std::optional<ScopedPlatformOverride<decltype(&::InitializeCriticalSectionEx)>> failCriticalSection;
            if (row.failCritSec)
                failCriticalSection.emplace(&PlatformApi::InitializeCriticalSectionEx, &FailCriticalSection);
            std::vector<UniqueKernelHandle> threads;
            for (Activation& activation : activations)
                threads.emplace_back(::CreateThread(nullptr, 0, &Activate, &activation, 0, nullptr));
            for (const UniqueKernelHandle& thread : threads)
                EXPECT_EQ(::WaitForSingleObject(thread.get(), 30000), WAIT_OBJECT_0);
            g_seam.innerAnswer = g_seam.marshalerFailure = S_OK;
        }
        // Everything could be created now, but the factory does not try again.
        ComPtr<IUnknown> later;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, later.put_void()), row.expected);
        EXPECT_EQ(g_seam.innerCreations, row.attempts);
        for (const Activation& activation : activations) {
            EXPECT_EQ(activation.hr, row.expected);
            EXPECT_EQ(activation.object.get(), later.get());
        }
        EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IUnknown, &refused), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(refused, nullptr);
        activations.clear();
        later.reset();
        factory.reset();  // takes the cached object with it: whatever was built is gone
        EXPECT_EQ(g_seam.destroyed, row.built);
    }
}

TEST_F(ManagerObject, EveryReferenceLeadsToOneIdentityThatHoldsOneModuleLockAndOutlivesThem)
{
    g_seam.standIn = true;
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(g_seam.locks, 1);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    IUnknown* cached = nullptr;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        ComPtr<IUnknown> identity, boardsIdentity;
        ComPtr<IVexilMgrSrv> manager;
        ComPtr<IVexilBoards> boards;  // the aggregated component's interfaces answer for the object
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, identity.put_void()), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVexilMgrSrv, manager.put_void()), S_OK);
        ASSERT_EQ(manager.query(IID_IVexilBoards, boards), S_OK);
        ASSERT_EQ(boards.query(IID_IUnknown, boardsIdentity), S_OK);
        EXPECT_EQ(static_cast<IUnknown*>(manager.get()), identity.get());
        EXPECT_EQ(boardsIdentity.get(), identity.get());
        if (round == 1)
            cached = identity.get();
        EXPECT_EQ(identity.get(), cached);
        EXPECT_EQ(g_seam.locks, round + 1);
        identity.reset();
        manager.reset();
        boardsIdentity.reset();
        EXPECT_EQ(g_seam.unlocks, round);
        boards.reset();
        EXPECT_EQ(g_seam.unlocks, round + 1);
    }
    factory.reset();
    EXPECT_EQ(g_seam.locks, 3);
    EXPECT_EQ(g_seam.unlocks, 3);
}

// References taken and given back on several threads at once, while only the factory holds the
// object between them: every step between one and two references meets another thread's.
TEST_F(ManagerObject, ReferencesFromManyThreadsLockTheModuleOnceAndNeverUnlockItWhileOneIsHeld)
{
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IVexilMgrSrv> manager;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVexilMgrSrv, manager.put_void()), S_OK);
    IVexilMgrSrv* const object = manager.get();  // the factory keeps it alive
    manager.reset();
    g_seam.watchedCount = &static_cast<CObjectCached<CVexilMgrSrv>*>(object)->m_dwRef;
    const int locksBefore = g_seam.locks;
    std::vector<std::jthread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([object] {
            for (int round = 0; round < 5000; ++round) {
                object->AddRef();
                object->Release();
            }
        });
    }
    threads.clear();  // joins them
    EXPECT_EQ(g_seam.zeroWhileHeld, 0) << "the server count fell to zero while a client held the object";
    EXPECT_EQ(g_seam.aboveOne, 0) << "the module was locked twice";
    EXPECT_GT(g_seam.locks, locksBefore);
    EXPECT_EQ(g_seam.locks, g_seam.unlocks);
    EXPECT_EQ(g_seam.serverCount, 0);
    EXPECT_EQ(*g_seam.watchedCount, 1);
}

TEST_F(ManagerObject, QueryInterfaceWalksItsTableAndTeardownSurvivesCallsBack)
{
    struct Row { const IID* iid; HRESULT innerAnswer, expected; int innerQuestions; };
    const Row rows[] = {{&IID_IVexilMgrSrv, S_OK, S_OK, 0},
                        {&IID_IMarshal, S_OK, S_OK, 0},            // the free-threaded marshaler
                        {&IID_IMarshal, S_FALSE, E_NOINTERFACE, 0},  // no marshaler was created
                        {&IID_IPersist, S_OK, E_NOINTERFACE, 1}};  // the component refused E_ACCESSDENIED
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        g_seam.~Seam();  // a fresh seam for each row
        new (&g_seam) Seam{.innerAnswer = row.innerAnswer};
        {
            ComPtr<IClassFactory> factory = CreateManagerFactory();
            ComPtr<IUnknown> manager;
            ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, manager.put_void()), S_OK);
            EXPECT_EQ(g_seam.outerCountAtCreation, 1u);  // built under a plain reference
            EXPECT_EQ(g_seam.marshalers, row.innerAnswer == S_OK ? 1 : 0);
            // The boards manager is aggregated into the object from any kind of server; the
            // marshaler into the same identity.
            EXPECT_EQ(g_seam.innerContext, static_cast<DWORD>(CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER |
                                                              CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER));
            EXPECT_TRUE(g_seam.innerAskedForIUnknown);
            EXPECT_EQ(g_seam.innerOuter, manager.get());
            EXPECT_EQ(g_seam.marshalerOuter, row.innerAnswer == S_OK ? manager.get() : nullptr);
            void* answer = &answer;
            EXPECT_EQ(manager->QueryInterface(*row.iid, &answer), row.expected);
            EXPECT_EQ(answer == nullptr, FAILED(row.expected));
            if (answer != nullptr)
                static_cast<IUnknown*>(answer)->Release();
            EXPECT_EQ(manager->QueryInterface(*row.iid, nullptr), E_POINTER);
            EXPECT_EQ(g_seam.questions, row.innerQuestions);
        }
        // The object was destroyed with the factory, and calls on it during teardown were harmless.
        EXPECT_EQ(g_seam.outerCountAtTeardown, 0xC0000001u);
        EXPECT_EQ(g_seam.destroyed, 1);
        EXPECT_EQ(g_seam.marshalAtTeardown, E_NOINTERFACE) << "the marshaler goes before the boards manager";
    }
}

}  // namespace
