#pragma once

#include <windows.h>
#include <unknwn.h>
#include <comcat.h>

#include <span>

// The class-object table: the ordered list of classes the process can create. Null entries
// are skipped. Each entry carries the functions the module calls for its class and the
// cache that holds the registration cookie.

using PFNCREATOR = HRESULT(WINAPI*)(void* pv, REFIID riid, void** ppv);
using PFNUPDATEREGISTRY = HRESULT(WINAPI*)(BOOL bRegister);
using PFNGETOBJECTDESCRIPTION = const wchar_t*(WINAPI*)();
using PFNOBJECTMAIN = void(WINAPI*)(bool bStarting);

// One component category a class implements or requires.
struct CategoryMapEntry
{
    int iType;
    const CATID* pcatid;
};
using PFNGETCATEGORYMAP = const CategoryMapEntry*(WINAPI*)();

struct ClassObjectCache
{
    IUnknown* pCF;       // class-object pointer; this program never fills it
    DWORD dwRegister;    // registration cookie, 0 until registered
};

struct ClassObjectEntry
{
    const CLSID* pclsid;
    PFNUPDATEREGISTRY pfnUpdateRegistry;
    PFNCREATOR pfnGetClassObject;          // called with pfnCreateInstance as its first argument
    PFNCREATOR pfnCreateInstance;
    ClassObjectCache* pCache;
    PFNGETOBJECTDESCRIPTION pfnGetObjectDescription;
    PFNGETCATEGORYMAP pfnGetCategoryMap;
    PFNOBJECTMAIN pfnObjectMain;
};

using ClassObjectSpan = std::span<ClassObjectEntry* const>;

// The program's own table.
[[nodiscard]] ClassObjectSpan ClassObjectTable() noexcept;
