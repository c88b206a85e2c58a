#include <gtest/gtest.h>

#include "host/VexilSrvsModule.h"

namespace {

TEST(ModuleObject, ConstructionSetsTheDocumentedDefaults)
{
    CVexilSrvsModule module;
    EXPECT_EQ(g_pModule, &module);
    EXPECT_EQ(module.m_dwMainThreadID, ::GetCurrentThreadId());
    EXPECT_FALSE(module.m_hEventShutdown);
    EXPECT_EQ(module.m_dwTimeOut, 5000u);
    EXPECT_EQ(module.m_dwPause, 1000u);
    EXPECT_TRUE(module.m_bDelayShutdown);
    EXPECT_FALSE(module.m_bComInitialized);
    EXPECT_STREQ(module.m_szServiceName, L"VexilSrvs");
    EXPECT_EQ(module.m_hServiceStatus, nullptr);
    EXPECT_EQ(module.m_bService, TRUE);
    EXPECT_EQ(module.m_dwThreadID, 0u);
    EXPECT_FALSE(module.m_spManager);
    EXPECT_EQ(module.m_pLogFile, nullptr);
    EXPECT_FALSE(module.m_hSafeEvent);
    EXPECT_EQ(module.m_nLockCnt, 0);
    EXPECT_EQ(module.m_pGIT, nullptr);
    EXPECT_TRUE(IsEqualGUID(module.m_libid, kModuleTypeLibId));
}

TEST(ModuleObject, StatusRecordStartsStoppedAcceptingStopAndShutdown)
{
    CVexilSrvsModule module;
    EXPECT_EQ(module.m_status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(module.m_status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(module.m_status.dwControlsAccepted, 5u);
    EXPECT_EQ(module.m_status.dwWin32ExitCode, 0u);
    EXPECT_EQ(module.m_status.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(module.m_status.dwCheckPoint, 0u);
    EXPECT_EQ(module.m_status.dwWaitHint, 100000u);
}

TEST(ModuleObject, DestructionUnregistersItAsTheProcessModule)
{
    {
        CVexilSrvsModule module;
        ASSERT_EQ(g_pModule, &module);
    }
    EXPECT_EQ(g_pModule, nullptr);
}

}  // namespace
