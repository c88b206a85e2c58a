// The manager object's interfaces: its identity, the free-threaded marshaler, and what goes
// to the aggregated boards manager. The real stand-in serves the normal paths; a recording
// inner object shows what the manager asks of the component.

#include <windows.h>
#include <oleauto.h>

#include "manager/tests/ManagerTestSupport.h"
#include "support/UniqueHandle.h"
#include "tests/support/PlatformOverride.h"

namespace {

// The class the free-threaded marshaler names for in-process unmarshaling.
constexpr CLSID kClsidInProcFreeMarshaler = {
    0x0000033A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// An identifier nobody implements.
constexpr IID kUnknownIid = {0x4C7F2E10, 0x9D3B, 0x4A61, {0xB2, 0x5E, 0x81, 0x0F, 0x6C, 0x3D, 0x27, 0x94}};

using ManagerObject = ManagerTest;

ComPtr<IUnknown> ActivateManager(IClassFactory* factory, HRESULT expected = S_OK)
{
    ComPtr<IUnknown> object;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()), expected);
    return object;
}

// The boards manager as the recording object: CoCreateInstance hands out a new one and
// keeps a pointer for the test to look at.
RecordingObject* g_recordingInner = nullptr;
HRESULT g_recordingRefusal = E_NOINTERFACE;

HRESULT WINAPI CreateRecordingInner(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv)
{
    if (!IsEqualCLSID(clsid, CLSID_VexilMgr))
        return RealPlatform().CoCreateInstance(clsid, outer, context, iid, ppv);
    g_recordingInner = new RecordingObject(g_recordingRefusal);
    *ppv = static_cast<IUnknown*>(g_recordingInner);
    return S_OK;
}

HRESULT WINAPI CreateStandInAnsweringSFalse(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv)
{
    const HRESULT hr = RealPlatform().CoCreateInstance(clsid, outer, context, iid, ppv);
    return IsEqualCLSID(clsid, CLSID_VexilMgr) && hr == S_OK ? S_FALSE : hr;
}

TEST_F(ManagerObject, IUnknownAndIVexilMgrSrvAreOneIdentityForEveryCaller)
{
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IUnknown> first = ActivateManager(factory.get());
    ComPtr<IVexilMgrSrv> second;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVexilMgrSrv, second.put_void()), S_OK);

    ComPtr<IUnknown> secondIdentity;
    ASSERT_EQ(second.query(IID_IUnknown, secondIdentity), S_OK);
    ComPtr<IVexilMgrSrv> firstAsManager;
    ASSERT_EQ(first.query(IID_IVexilMgrSrv, firstAsManager), S_OK);
    EXPECT_EQ(first.get(), secondIdentity.get());
    EXPECT_EQ(static_cast<IUnknown*>(second.get()), first.get());
    EXPECT_EQ(firstAsManager.get(), second.get());

    // An interface of the aggregated boards manager leads back to the same identity.
    ComPtr<IVexilBoards> boards;
    ASSERT_EQ(first.query(IID_IVexilBoards, boards), S_OK);
    ComPtr<IUnknown> boardsIdentity;
    ASSERT_EQ(boards.query(IID_IUnknown, boardsIdentity), S_OK);
    EXPECT_EQ(boardsIdentity.get(), first.get());
    ComPtr<IVexilMgrSrv> boardsToManager;
    ASSERT_EQ(boards.query(IID_IVexilMgrSrv, boardsToManager), S_OK);
    EXPECT_EQ(boardsToManager.get(), second.get());
}

TEST_F(ManagerObject, BoardsManagerInterfacesComeFromTheAggregatedComponent)
{
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IUnknown> manager = ActivateManager(factory.get());

    ComPtr<IVexilMgrControl> control;
    ASSERT_EQ(manager.query(IID_IVexilMgrControl, control), S_OK);
    hyper module = 100;
    EXPECT_EQ(control->GetImplementationModule(&module), S_OK);
    EXPECT_EQ(module, reinterpret_cast<INT_PTR>(::GetModuleHandleW(L"VexilBoardsStandIn.dll")));
    EXPECT_NE(module, 0);

    ComPtr<IVexilMgrState> state;
    ASSERT_EQ(manager.query(IID_IVexilMgrState, state), S_OK);
    LONG initState = -1;
    EXPECT_EQ(state->GetInitState(&initState), S_OK);
    EXPECT_EQ(initState, 0);
    EXPECT_EQ(control->BeginInit(), S_OK);
    EXPECT_EQ(state->GetInitState(&initState), S_OK);
    EXPECT_EQ(initState, 2);  // no initialisation delay configured
}

TEST_F(ManagerObject, AutomationCallsReachTheBoardsManagerThroughIDispatch)
{
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IUnknown> manager = ActivateManager(factory.get());
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(manager.query(IID_IDispatch, dispatch), S_OK);

    wchar_t countName[] = L"Count";
    wchar_t nameName[] = L"Name";
    LPOLESTR names[] = {countName, nameName};
    DISPID ids[2] = {};
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &names[0], 1, LOCALE_USER_DEFAULT, &ids[0]), S_OK);
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &names[1], 1, LOCALE_USER_DEFAULT, &ids[1]), S_OK);

    DISPPARAMS none{};
    VARIANT count;
    ::VariantInit(&count);
    ASSERT_EQ(dispatch->Invoke(ids[0], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &count, nullptr,
                               nullptr),
              S_OK);
    EXPECT_EQ(count.vt, VT_I4);
    EXPECT_EQ(count.lVal, 3);

    VARIANT index;
    ::VariantInit(&index);
    index.vt = VT_I4;
    index.lVal = 2;
    DISPPARAMS oneArgument{&index, nullptr, 1, 0};
    VARIANT name;
    ::VariantInit(&name);
    ASSERT_EQ(dispatch->Invoke(ids[1], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &oneArgument, &name, nullptr,
                               nullptr),
              S_OK);
    ASSERT_EQ(name.vt, VT_BSTR);
    EXPECT_STREQ(name.bstrVal, L"VX-240 Slot 3");
    ::VariantClear(&name);
}

TEST_F(ManagerObject, IMarshalIsTheFreeThreadedMarshalerAndNeverReachesTheBoardsManager)
{
    ScopedPlatformOverride recordingInner(&PlatformApi::CoCreateInstance, &CreateRecordingInner);
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IUnknown> manager = ActivateManager(factory.get());
    ASSERT_NE(g_recordingInner, nullptr);

    ComPtr<IMarshal> marshal;
    ASSERT_EQ(manager.query(IID_IMarshal, marshal), S_OK);
    CLSID unmarshaler = CLSID_NULL;
    ASSERT_EQ(marshal->GetUnmarshalClass(IID_IUnknown, manager.get(), MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL,
                                         &unmarshaler),
              S_OK);
    EXPECT_TRUE(IsEqualCLSID(unmarshaler, kClsidInProcFreeMarshaler));

    ComPtr<IVexilMgrSrv> own;
    ASSERT_EQ(manager.query(IID_IVexilMgrSrv, own), S_OK);
    EXPECT_FALSE(g_recordingInner->WasAskedFor(IID_IMarshal));
    EXPECT_FALSE(g_recordingInner->WasAskedFor(IID_IVexilMgrSrv));
    EXPECT_FALSE(g_recordingInner->WasAskedFor(IID_IUnknown));
}

TEST_F(ManagerObject, IdentifierTheBoardsManagerRefusesIsNoInterfaceWhateverItsCode)
{
    g_recordingRefusal = E_ACCESSDENIED;
    ScopedPlatformOverride recordingInner(&PlatformApi::CoCreateInstance, &CreateRecordingInner);
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IUnknown> manager = ActivateManager(factory.get());
    g_recordingRefusal = E_NOINTERFACE;
    ASSERT_NE(g_recordingInner, nullptr);

    void* answer = &answer;
    EXPECT_EQ(manager->QueryInterface(kUnknownIid, &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
    EXPECT_TRUE(g_recordingInner->WasAskedFor(kUnknownIid));

    // Through the factory the same refusal reaches the caller.
    answer = &answer;
    EXPECT_EQ(factory->CreateInstance(nullptr, kUnknownIid, &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
}

TEST_F(ManagerObject, QueryInterfaceWithNullOutPointerIsRefused)
{
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IUnknown> manager = ActivateManager(factory.get());
    EXPECT_EQ(manager->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(manager->QueryInterface(IID_IVexilMgrSrv, nullptr), E_POINTER);
    EXPECT_EQ(manager->QueryInterface(IID_IVexilBoards, nullptr), E_POINTER);
}

TEST_F(ManagerObject, InnerCreationAnsweringSFalseGivesAnObjectWithoutMarshaler)
{
    ScopedPlatformOverride answerSFalse(&PlatformApi::CoCreateInstance, &CreateStandInAnsweringSFalse);
    ScopedPlatformOverride countMarshalers(&PlatformApi::CoCreateFreeThreadedMarshaler,
                                           &CountingCoCreateFreeThreadedMarshaler);
    ComPtr<IClassFactory> factory = CreateManagerFactory();
    ComPtr<IUnknown> manager = ActivateManager(factory.get());
    ASSERT_TRUE(manager);
    EXPECT_EQ(g_seam.marshalerCreations, 0);

    void* marshal = &marshal;
    EXPECT_EQ(manager->QueryInterface(IID_IMarshal, &marshal), E_NOINTERFACE);
    EXPECT_EQ(marshal, nullptr);
    // Everything else still works: the boards manager is there.
    ComPtr<IVexilBoards> boards;
    EXPECT_EQ(manager.query(IID_IVexilBoards, boards), S_OK);
}

TEST_F(ManagerObject, DestructionReleasesTheInnerObjectOnce)
{
    RecordingObject::s_destroyed = 0;
    ScopedPlatformOverride recordingInner(&PlatformApi::CoCreateInstance, &CreateRecordingInner);
    {
        ComPtr<IClassFactory> factory = CreateManagerFactory();
        ComPtr<IUnknown> manager = ActivateManager(factory.get());
        ASSERT_NE(g_recordingInner, nullptr);
        EXPECT_EQ(g_recordingInner->References(), 1);
    }
    EXPECT_EQ(RecordingObject::s_destroyed, 1);
    g_recordingInner = nullptr;
}

}  // namespace
