// The COM object support the manager object is built from, on a small class of the tests'
// own: the interface-table walk, the creator's stand-alone and aggregated forms, the plain
// class factory, and the order of destruction.

#include "manager/tests/ManagerTestSupport.h"
#include "support/ComObject.h"
#include "tests/support/PlatformOverride.h"

namespace {

constexpr CLSID kClsidTestObject = {0x2F64A0D3, 0x5B1E, 0x4C8A, {0x9D, 0x73, 0x0E, 0x52, 0xB4, 0x86, 0x1A, 0xC9}};

int g_destroyed = 0;
LONG g_countSeenByFinalRelease = 0;
HRESULT g_finalConstructResult = S_OK;

// Answers IPersist itself, IStream through a delegating entry and everything else through a
// blind entry; both stored objects are set by the tests.
class CTestObject : public CObjectRootEx<CMultiThreadModel>,
                    public CCoClass<CTestObject, &kClsidTestObject>,
                    public IPersist
{
public:
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) noexcept override
    {
        *pClassID = kClsidTestObject;
        return S_OK;
    }

    [[nodiscard]] HRESULT FinalConstruct() noexcept { return g_finalConstructResult; }

    // Calls made on the object while it is torn down must not destroy it a second time.
    void FinalRelease() noexcept
    {
        g_countSeenByFinalRelease = m_dwRef;
        AddRef();
        Release();
    }

    [[nodiscard]] HRESULT InternalQueryInterface(REFIID iid, void** ppv) noexcept
    {
        static constexpr InterfaceEntry kInterfaces[] = {
            OwnEntry<CTestObject, IPersist>(IID_IPersist),
            DelegatingEntry<CTestObject, &CTestObject::m_delegate>(IID_IStream),
            BlindEntry<CTestObject, &CTestObject::m_blind>(),
        };
        return WalkInterfaceTable(this, kInterfaces, iid, ppv);
    }

    ComPtr<IUnknown> m_delegate;
    ComPtr<IUnknown> m_blind;

protected:
    virtual ~CTestObject() { ++g_destroyed; }
};

// An outer object for aggregation: counts its references and answers IUnknown only.
class CountingOuter final : public IUnknown
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override
    {
        *ppv = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown))
            return E_NOINTERFACE;
        AddRef();
        *ppv = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(++m_refs); }
    ULONG STDMETHODCALLTYPE Release() noexcept override { return static_cast<ULONG>(--m_refs); }

    LONG m_refs = 1;
};

class ComObjectSupport : public ManagerTest
{
protected:
    void SetUp() override
    {
        ManagerTest::SetUp();
        g_destroyed = 0;
        g_countSeenByFinalRelease = 0;
        g_finalConstructResult = S_OK;
        m_module.m_bService = FALSE;
    }

    // A cached instance, as the singleton factory builds it, with one reference for the test.
    static CObjectCached<CTestObject>* NewCachedObject()
    {
        CObjectCached<CTestObject>* object = nullptr;
        EXPECT_EQ(CreateObjectInstance(object), S_OK);
        if (object != nullptr)
            object->AddRef();
        return object;
    }

    ScopedPlatformOverride<decltype(&::CoAddRefServerProcess)> m_countAddRef{&PlatformApi::CoAddRefServerProcess,
                                                                           &CountingCoAddRefServerProcess};
    ScopedPlatformOverride<decltype(&::CoReleaseServerProcess)> m_countRelease{
        &PlatformApi::CoReleaseServerProcess, &CountingCoReleaseServerProcess};
};

TEST_F(ComObjectSupport, DelegatingEntryWithoutObjectRefusesWithoutAskingTheBlindEntry)
{
    CObjectCached<CTestObject>* object = NewCachedObject();
    auto* blind = new RecordingObject(S_OK);
    object->m_blind.attach(blind);

    void* answer = &answer;
    EXPECT_EQ(object->QueryInterface(IID_IStream, &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(blind->QuestionCount(), 0u);
    object->Release();
}

TEST_F(ComObjectSupport, DelegatingEntryFailureIsFinalWithItsOwnCode)
{
    CObjectCached<CTestObject>* object = NewCachedObject();
    auto* delegate = new RecordingObject(E_ACCESSDENIED);
    auto* blind = new RecordingObject(S_OK);
    object->m_delegate.attach(delegate);
    object->m_blind.attach(blind);

    void* answer = &answer;
    EXPECT_EQ(object->QueryInterface(IID_IStream, &answer), E_ACCESSDENIED);
    EXPECT_EQ(answer, nullptr);
    EXPECT_TRUE(delegate->WasAskedFor(IID_IStream));
    EXPECT_EQ(blind->QuestionCount(), 0u);
    object->Release();
}

TEST_F(ComObjectSupport, BlindEntryRefusalBecomesNoInterface)
{
    CObjectCached<CTestObject>* object = NewCachedObject();
    auto* blind = new RecordingObject(E_FAIL);
    object->m_blind.attach(blind);

    void* answer = &answer;
    EXPECT_EQ(object->QueryInterface(IID_IDispatch, &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
    EXPECT_TRUE(blind->WasAskedFor(IID_IDispatch));

    // Without a blind object the walk ends the same way.
    object->m_blind.reset();
    EXPECT_EQ(object->QueryInterface(IID_IDispatch, &answer), E_NOINTERFACE);
    object->Release();
}

TEST_F(ComObjectSupport, DestructionSetsTheMarkerBeforeFinalReleaseAndDestroysOnce)
{
    CObjectCached<CTestObject>* object = NewCachedObject();
    object->Release();
    EXPECT_EQ(g_countSeenByFinalRelease, -1073741823);
    EXPECT_EQ(g_countSeenByFinalRelease, static_cast<LONG>(0xC0000001));
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ComObjectSupport, FailedFinalConstructDestroysTheObject)
{
    g_finalConstructResult = E_ACCESSDENIED;
    CObjectCached<CTestObject>* object = reinterpret_cast<CObjectCached<CTestObject>*>(&object);
    EXPECT_EQ(CreateObjectInstance(object), E_ACCESSDENIED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ComObjectSupport, SuccessOtherThanOkFromFinalConstructCountsAsOk)
{
    g_finalConstructResult = S_FALSE;
    CObjectCached<CTestObject>* object = nullptr;
    EXPECT_EQ(CreateObjectInstance(object), S_OK);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->m_dwRef, 0);
    delete object;
}

TEST_F(ComObjectSupport, StandaloneObjectLocksTheModuleForItsLife)
{
    ComPtr<IPersist> persist;
    ASSERT_EQ(CTestObject::CreateInstance(nullptr, IID_IPersist, persist.put_void()), S_OK);
    EXPECT_EQ(g_seam.addRefServerProcess, 1);
    ComPtr<IPersist> more = persist;
    EXPECT_EQ(g_seam.addRefServerProcess, 1);
    more.reset();
    EXPECT_EQ(g_seam.releaseServerProcess, 0);
    persist.reset();
    EXPECT_EQ(g_seam.releaseServerProcess, 1);
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ComObjectSupport, AggregatedObjectHandsOutItsNonDelegatingUnknown)
{
    CountingOuter outer;
    ComPtr<IUnknown> inner;
    ASSERT_EQ(CTestObject::CreateInstance(&outer, IID_IUnknown, inner.put_void()), S_OK);
    EXPECT_NE(inner.get(), static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.m_refs, 1);

    // Its interfaces count on the outer object and lead back to the outer identity.
    ComPtr<IPersist> persist;
    ASSERT_EQ(inner.query(IID_IPersist, persist), S_OK);
    EXPECT_EQ(outer.m_refs, 2);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(persist.query(IID_IUnknown, identity), S_OK);
    EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer));
    identity.reset();
    persist.reset();
    EXPECT_EQ(outer.m_refs, 1);

    inner.reset();
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(g_seam.addRefServerProcess, g_seam.releaseServerProcess);
}

TEST_F(ComObjectSupport, AggregationMustAskForIUnknown)
{
    CountingOuter outer;
    void* answer = &answer;
    EXPECT_EQ(CTestObject::CreateInstance(&outer, IID_IPersist, &answer), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(CTestObject::CreateInstance(nullptr, IID_IPersist, nullptr), E_POINTER);
}

TEST_F(ComObjectSupport, PlainClassFactoryCreatesANewObjectEachTimeWithTheCreatorItWasGiven)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CTestObject::GetClassObject(reinterpret_cast<void*>(&CTestObject::CreateInstance), IID_IClassFactory,
                                          factory.put_void()),
              S_OK);
    ComPtr<IPersist> first;
    ComPtr<IPersist> second;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersist, first.put_void()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersist, second.put_void()), S_OK);
    EXPECT_NE(first.get(), second.get());
    CLSID clsid = CLSID_NULL;
    EXPECT_EQ(first->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CTestObject::GetObjectCLSID()));
}

}  // namespace
