// The stand-in boards manager and crash-dump agent as the tests and the host meet them:
// registered by regsvr32, and behaving as their knobs say.

#include <string>

#include "manager/tests/ManagerTestSupport.h"
#include "tests/support/TestFiles.h"

namespace {

constexpr wchar_t kBoardsClassKey[] = L"CLSID\\{E5F91B3C-6A27-4D8E-92B1-7C4A3E0D5F86}\\InprocServer32";
constexpr wchar_t kAgentClassKey[] = L"CLSID\\{3E9A7C15-D4B8-4F21-86E5-0B7C2A9F4D13}\\InprocServer32";
constexpr wchar_t kBoardsInterfaceKey[] = L"Interface\\{E60C8D79-017F-4A97-9C7D-B351B3905784}\\ProxyStubClsid32";
constexpr wchar_t kOleAutomationMarshaler[] = L"{00020424-0000-0000-C000-000000000046}";

bool EndsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

TEST(StandInRegistration, BoardsManagerIsAnInProcessServerOfBothModelsWithItsTypeLibrary)
{
    const auto path = ReadValue(HKEY_CLASSES_ROOT, kBoardsClassKey, L"");
    const auto model = ReadValue(HKEY_CLASSES_ROOT, kBoardsClassKey, L"ThreadingModel");
    ASSERT_TRUE(path && model);
    EXPECT_TRUE(EndsWith(path->AsString(), L"\\VexilBoardsStandIn.dll")) << path->AsString().c_str();
    EXPECT_EQ(model->AsString(), L"Both");
    const auto marshaler = ReadValue(HKEY_CLASSES_ROOT, kBoardsInterfaceKey, L"");
    ASSERT_TRUE(marshaler);
    EXPECT_EQ(marshaler->AsString(), kOleAutomationMarshaler);
}

TEST(StandInRegistration, CrashDumpAgentIsAnInProcessServerOfBothModels)
{
    const auto path = ReadValue(HKEY_CLASSES_ROOT, kAgentClassKey, L"");
    const auto model = ReadValue(HKEY_CLASSES_ROOT, kAgentClassKey, L"ThreadingModel");
    ASSERT_TRUE(path && model);
    EXPECT_TRUE(EndsWith(path->AsString(), L"\\VexilCrashDumpStandIn.dll"));
    EXPECT_EQ(model->AsString(), L"Both");
}

class BoardsManagerStandIn : public ::testing::Test
{
protected:
    static ScopedRegistryValue Knob(const wchar_t* name, DWORD value)
    {
        return ScopedRegistryValue::Dword(HKEY_LOCAL_MACHINE, kBoardsManagerKnobs, name, value);
    }

    ComApartment m_apartment;
};

TEST_F(BoardsManagerStandIn, InitStatePassesOneOnlyAfterTheConfiguredDelay)
{
    const ScopedRegistryValue delay = Knob(L"InitDelayMs", 600000);
    ComPtr<IVexilMgrControl> control;
    ASSERT_EQ(::CoCreateInstance(CLSID_VexilMgr, nullptr, CLSCTX_INPROC_SERVER, IID_IVexilMgrControl,
                                 control.put_void()),
              S_OK);
    ComPtr<IVexilMgrState> state;
    ASSERT_EQ(control.query(IID_IVexilMgrState, state), S_OK);

    LONG value = -1;
    EXPECT_EQ(state->GetInitState(&value), S_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(control->BeginInit(), S_OK);
    EXPECT_EQ(state->GetInitState(&value), S_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(control->EndInit(), S_OK);
    EXPECT_EQ(state->Shutdown(), S_OK);
    EXPECT_EQ(state->GetInitState(&value), S_OK);
    EXPECT_EQ(value, 3);
}

TEST_F(BoardsManagerStandIn, AnswerKnobsAreReturnedAndAFailedModuleQueryLeavesTheValue)
{
    const ScopedRegistryValue moduleResult = Knob(L"GetImplementationModuleResult", S_FALSE);
    const ScopedRegistryValue stateResult = Knob(L"GetInitStateResult", 0x80004005);
    ComPtr<IVexilMgrControl> control;
    ASSERT_EQ(::CoCreateInstance(CLSID_VexilMgr, nullptr, CLSCTX_INPROC_SERVER, IID_IVexilMgrControl,
                                 control.put_void()),
              S_OK);
    hyper module = 100;
    EXPECT_EQ(control->GetImplementationModule(&module), S_FALSE);
    EXPECT_EQ(module, 100);

    ComPtr<IVexilMgrState> state;
    ASSERT_EQ(control.query(IID_IVexilMgrState, state), S_OK);
    LONG value = -1;
    EXPECT_EQ(state->GetInitState(&value), static_cast<HRESULT>(0x80004005));
}

TEST_F(BoardsManagerStandIn, CreationKnobsShapeTheFactorysAnswer)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(::CoGetClassObject(CLSID_VexilMgr, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                 factory.put_void()),
              S_OK);
    {
        const ScopedRegistryValue sFalse = Knob(L"CreateReturnsSFalse", 1);
        ComPtr<IUnknown> object;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()), S_FALSE);
        EXPECT_TRUE(object);
    }
    {
        const ScopedRegistryValue fail = Knob(L"FailCreate", 0x80040154);
        void* object = &object;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), static_cast<HRESULT>(0x80040154));
        EXPECT_EQ(object, nullptr);
    }
}

TEST_F(BoardsManagerStandIn, AggregationMustAskForTheNonDelegatingUnknown)
{
    ComPtr<IClassFactory> outer;
    ASSERT_EQ(::CoGetClassObject(CLSID_VexilMgr, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, outer.put_void()),
              S_OK);
    void* object = &object;
    EXPECT_EQ(::CoCreateInstance(CLSID_VexilMgr, outer.get(), CLSCTX_INPROC_SERVER, IID_IVexilMgrControl, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
}

TEST_F(BoardsManagerStandIn, CallLogRecordsEveryCallOnItsOwnLine)
{
    const std::wstring directory = MakeTempDirectory(L"calllog");
    const std::wstring log = directory + L"\\calls.txt";
    {
        const ScopedRegistryValue callLog =
            ScopedRegistryValue::String(HKEY_LOCAL_MACHINE, kBoardsManagerKnobs, L"CallLog", log);
        ComPtr<IVexilMgrControl> control;
        ASSERT_EQ(::CoCreateInstance(CLSID_VexilMgr, nullptr, CLSCTX_INPROC_SERVER, IID_IVexilMgrControl,
                                     control.put_void()),
                  S_OK);
        ComPtr<IVexilMgrState> state;
        ASSERT_EQ(control.query(IID_IVexilMgrState, state), S_OK);
        EXPECT_EQ(control->BeginInit(), S_OK);
        EXPECT_EQ(control->EndInit(), S_OK);
        EXPECT_EQ(state->Shutdown(), S_OK);
    }
    const std::string pid = std::to_string(::GetCurrentProcessId());
    const std::string expected = pid + " Create\r\n" + pid + " BeginInit\r\n" + pid + " EndInit\r\n" + pid +
                                 " Shutdown\r\n" + pid + " Destroy\r\n";
    EXPECT_EQ(ReadFileBytes(log), expected);
    RemoveDirectoryTree(directory);
}

}  // namespace
