#include "host/ClassObjectTable.h"

#include "host/VexilSrvsModule.h"
#include "manager/VexilMgrSrv.h"

namespace {

HRESULT WINAPI UpdateVexilMgrSrvRegistry(BOOL bRegister) noexcept
{
    return static_cast<CVexilSrvsModule*>(g_pModule)->UpdateRegistryFromResource(IDR_VEXILMGRSRV, bRegister,
                                                                                 nullptr);
}

const CategoryMapEntry* WINAPI NoCategoryMap() noexcept
{
    return nullptr;
}

void WINAPI VexilMgrSrvObjectMain(bool /*bStarting*/) noexcept
{
}

ClassObjectCache g_vexilMgrSrvCache = {nullptr, 0};

ClassObjectEntry g_vexilMgrSrvEntry = {
    &CLSID_VexilMgrSrv,
    &UpdateVexilMgrSrvRegistry,
    &CVexilMgrSrv::GetClassObject,   // the singleton factory
    &CVexilMgrSrv::CreateInstance,   // handed to the factory, which never calls it
    &g_vexilMgrSrvCache,
    &CVexilMgrSrv::GetObjectDescription,
    &NoCategoryMap,
    &VexilMgrSrvObjectMain,
};

ClassObjectEntry* const g_classObjects[] = { &g_vexilMgrSrvEntry };

}  // namespace

ClassObjectSpan ClassObjectTable() noexcept
{
    return ClassObjectSpan(g_classObjects);
}
