#include "host/VexilSrvsModule.h"

#include "support/Platform.h"

unsigned char g_bModuleInitFailed = 0;
bool g_bPerUserRegistration = false;
CModuleBase* g_pModule = nullptr;

CModuleData::CModuleData() noexcept : m_classObjects(ClassObjectTable())
{
    m_bCsInitialized = Platform().InitializeCriticalSectionEx(&m_csModule, 0, 0) != FALSE;
    if (!m_bCsInitialized)
        g_bModuleInitFailed = 1;
}

CModuleData::~CModuleData()
{
    if (m_bCsInitialized)
        ::DeleteCriticalSection(&m_csModule);
}

CModuleBase::CModuleBase() noexcept
{
    g_pModule = this;
}

CModuleBase::~CModuleBase()
{
    if (g_pModule == this)
        g_pModule = nullptr;
}

CVexilSrvsModule::CVexilSrvsModule() noexcept
{
    Platform().LoadStringW(Platform().GetModuleHandleW(nullptr), kServiceNameId, m_szServiceName,
                           static_cast<int>(std::size(m_szServiceName)));
    m_libid = kModuleTypeLibId;

    for (ClassObjectEntry* entry : m_classObjects) {
        if (entry != nullptr && entry->pfnObjectMain != nullptr)
            entry->pfnObjectMain(true);
    }

    // The log directory is fixed once per process; only its last component is created.
    if (g_strLogDir->empty())
        *g_strLogDir = FindLogDirectory();
    Platform().CreateDirectoryW(g_strLogDir->c_str(), nullptr);
}

CVexilSrvsModule::~CVexilSrvsModule()
{
    m_spManager.reset();

    for (ClassObjectEntry* entry : m_classObjects) {
        if (entry != nullptr && entry->pfnObjectMain != nullptr)
            entry->pfnObjectMain(false);
    }

    if (m_pGIT != nullptr) {
        m_pGIT->Release();
        m_pGIT = nullptr;
    }

    for (ClassObjectEntry* entry : m_classObjects) {
        if (entry != nullptr && entry->pCache != nullptr && entry->pCache->pCF != nullptr) {
            entry->pCache->pCF->Release();
            entry->pCache->pCF = nullptr;
        }
    }
    // The log stream stays open until the process ends: records written at exit still land.
}
