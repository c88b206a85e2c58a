#pragma once

// The host's own COM object support: the reference-counting root of an object class, the
// run-time forms it is instantiated in, the creators, and the class factories.
//
// An object class T derives from CObjectRootEx<CMultiThreadModel>, CCoClass<T, &CLSID_x> and
// its interfaces. It is never instantiated itself: a run-time form derives from it and adds
// the IUnknown methods with the counting rule of that form. T provides
//     HRESULT InternalQueryInterface(REFIID iid, void** ppv) noexcept;
// usually as one call of WalkInterfaceTable with its own table, and may provide
// FinalConstruct and FinalRelease.

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <new>
#include <span>

#include "host/VexilSrvsModule.h"  // CModuleBase and g_pModule: the module every object locks
#include "support/ComPtr.h"
#include "support/Hresult.h"
#include "support/Platform.h"
#include "support/ScopedLocks.h"

// The count an object carries while it is being destroyed: AddRef and Release calls made on
// it while its members are torn down move the count around this value and never bring it
// back to zero, so the object cannot be destroyed twice. 0xC0000001.
inline constexpr LONG kDestructionRefCount = -(LONG_MAX / 2);

// The creator signature of the class-object table.
using PFNCREATOR = HRESULT(WINAPI*)(void* pv, REFIID riid, void** ppv);

inline LONG ModuleLock() noexcept
{
    return g_pModule != nullptr ? g_pModule->Lock() : 0;
}

inline LONG ModuleUnlock() noexcept
{
    return g_pModule != nullptr ? g_pModule->Unlock() : 0;
}

// Objects of the host are reached from many threads at once: counts change only through
// interlocked operations.
struct CMultiThreadModel
{
    static LONG Increment(volatile LONG* p) noexcept { return ::InterlockedIncrement(p); }
    static LONG Decrement(volatile LONG* p) noexcept { return ::InterlockedDecrement(p); }
};

// The root of every object class: the reference count and the object's critical section,
// which is initialised when an instance is created (InitCriticalSection) and deleted with it.
template <class ThreadModel>
class CObjectRootEx
{
public:
    using ThreadModelType = ThreadModel;

    CObjectRootEx() noexcept = default;
    ~CObjectRootEx()
    {
        if (m_bCritSecInitialized)
            ::DeleteCriticalSection(&m_critsec);
    }
    CObjectRootEx(const CObjectRootEx&) = delete;
    CObjectRootEx& operator=(const CObjectRootEx&) = delete;

    // Plain count changes, without the module lock of the public AddRef and Release.
    LONG InternalAddRef() noexcept { return ThreadModel::Increment(&m_dwRef); }
    LONG InternalRelease() noexcept { return ThreadModel::Decrement(&m_dwRef); }

    [[nodiscard]] HRESULT InitCriticalSection() noexcept
    {
        if (!Platform().InitializeCriticalSectionEx(&m_critsec, 0, 0))
            return HResultFromLastError();
        m_bCritSecInitialized = true;
        return S_OK;
    }

    [[nodiscard]] HRESULT FinalConstruct() noexcept { return S_OK; }
    void FinalRelease() noexcept {}

    volatile LONG m_dwRef = 0;
    CRITICAL_SECTION m_critsec{};
    bool m_bCritSecInitialized = false;
};

// One entry of an object's interface table.
//  - Own: the object answers the identifier itself, with an AddRef on the interface.
//  - Delegating: the identifier is asked of a stored IUnknown (none stored: E_NOINTERFACE).
//  - Blind: every identifier is asked of a stored IUnknown; its refusal is not final.
enum class InterfaceEntryKind { Own, Delegating, Blind };

struct InterfaceEntry
{
    const IID* piid;  // null for the blind entry
    InterfaceEntryKind kind;
    IUnknown* (*pfnGet)(void* pObject) noexcept;  // the interface, or the stored IUnknown
};

template <class T, class I>
IUnknown* GetOwnInterface(void* pObject) noexcept
{
    return static_cast<I*>(static_cast<T*>(pObject));
}

template <class T, ComPtr<IUnknown> T::*pMember>
IUnknown* GetStoredUnknown(void* pObject) noexcept
{
    return (static_cast<T*>(pObject)->*pMember).get();
}

template <class T, class I>
constexpr InterfaceEntry OwnEntry(const IID& iid) noexcept
{
    return {&iid, InterfaceEntryKind::Own, &GetOwnInterface<T, I>};
}

template <class T, ComPtr<IUnknown> T::*pMember>
constexpr InterfaceEntry DelegatingEntry(const IID& iid) noexcept
{
    return {&iid, InterfaceEntryKind::Delegating, &GetStoredUnknown<T, pMember>};
}

template <class T, ComPtr<IUnknown> T::*pMember>
constexpr InterfaceEntry BlindEntry() noexcept
{
    return {nullptr, InterfaceEntryKind::Blind, &GetStoredUnknown<T, pMember>};
}

// QueryInterface over an interface table; pObject is the object the table was written for.
// The first entry must be an own entry: it is the object's identity and answers IUnknown.
[[nodiscard]] HRESULT WalkInterfaceTable(void* pObject, std::span<const InterfaceEntry> table, REFIID iid,
                                         void** ppv) noexcept;

// Builds one instance of a run-time form: allocation, a plain reference held while the
// object is being built (so that whatever it creates may take and drop references to it
// without destroying it), its critical section, FinalConstruct. Any success counts as S_OK;
// on failure the half-built object is destroyed. The new object's count is 0.
template <class TObject, class... Args>
[[nodiscard]] HRESULT CreateObjectInstance(TObject*& object, Args... args) noexcept
{
    object = nullptr;
    auto* created = new (std::nothrow) TObject(args...);
    if (created == nullptr)
        return E_OUTOFMEMORY;

    created->InternalAddRef();
    HRESULT hr = created->InitCriticalSection();
    if (SUCCEEDED(hr))
        hr = created->FinalConstruct();
    created->InternalRelease();

    if (FAILED(hr)) {
        delete created;
        return hr;
    }
    object = created;
    return S_OK;
}

// Builds an instance and hands out the requested interface; a refused interface destroys it.
template <class TObject, class... Args>
[[nodiscard]] HRESULT CreateObjectAndQuery(REFIID iid, void** ppv, Args... args) noexcept
{
    TObject* object = nullptr;
    VEXIL_RETURN_IF_FAILED(CreateObjectInstance(object, args...));
    object->AddRef();
    const HRESULT hr = object->QueryInterface(iid, ppv);
    object->Release();
    return hr;
}

// The form of an object cached by its class factory. The factory holds one reference, so a
// count of 2 means the first reference from anybody else: the module is locked once while
// anybody but the factory holds the object, however many references that is.
//
// A step between 1 and 2 and its Lock or Unlock happen together under m_boundaryLock. Were they
// apart, a release from 2 to 1 and an add from 1 to 2 on two threads could call Unlock before
// Lock, and the server count would touch zero (ending a local server) while a client holds the
// object. Steps that stay at 2 or above need no lock: no other thread can cross the boundary
// while they are made, because crossing it takes the lock.
template <class Base>
class CObjectCached final : public Base
{
public:
    CObjectCached() noexcept = default;
    ~CObjectCached()
    {
        this->m_dwRef = kDestructionRefCount;
        this->FinalRelease();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override
    {
        return this->InternalQueryInterface(iid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override
    {
        LONG count = 0;
        if (StepAbove(1, +1, count))
            return static_cast<ULONG>(count);
        ExclusiveLock lock(m_boundaryLock);
        count = this->InternalAddRef();
        if (count == 2)
            ModuleLock();
        return static_cast<ULONG>(count);
    }
    ULONG STDMETHODCALLTYPE Release() noexcept override
    {
        LONG count = 0;
        if (StepAbove(2, -1, count))
            return static_cast<ULONG>(count);
        {
            ExclusiveLock lock(m_boundaryLock);
            count = this->InternalRelease();
            if (count == 1)
                ModuleUnlock();
        }
        if (count == 0)
            delete this;  // the lock is no longer held: it goes with the object
        return static_cast<ULONG>(count);
    }

private:
    // Moves the count by 'step' without the lock while it is above 'floor' before the step;
    // false (nothing changed) once it is not.
    bool StepAbove(LONG floor, LONG step, LONG& count) noexcept
    {
        for (LONG seen = this->m_dwRef; seen > floor;) {
            const LONG previous = ::InterlockedCompareExchange(&this->m_dwRef, seen + step, seen);
            if (previous == seen) {
                count = seen + step;
                return true;
            }
            seen = previous;
        }
        return false;
    }

    SRWLOCK m_boundaryLock = SRWLOCK_INIT;
};

// The form of an object whose references never touch the module lock: the class factories,
// which the COM runtime holds for as long as they are registered.
template <class Base>
class CObjectNoLock final : public Base
{
public:
    CObjectNoLock() noexcept = default;
    ~CObjectNoLock()
    {
        this->m_dwRef = kDestructionRefCount;
        this->FinalRelease();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override
    {
        return this->InternalQueryInterface(iid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(this->InternalAddRef()); }
    ULONG STDMETHODCALLTYPE Release() noexcept override
    {
        const LONG count = this->InternalRelease();
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }
};

// A stand-alone instance: it keeps the module locked for its whole life, released only after
// its final release has run.
template <class Base>
class CModuleLockedObject : public Base
{
public:
    CModuleLockedObject() noexcept { ModuleLock(); }
    ~CModuleLockedObject() { ModuleUnlock(); }
};

template <class Base>
using CStandaloneObject = CObjectNoLock<CModuleLockedObject<Base>>;

// The object class inside an aggregate: its IUnknown methods belong to the outer object.
template <class Base>
class CContainedObject final : public Base
{
public:
    explicit CContainedObject(IUnknown* pOuterUnknown) noexcept : m_pOuterUnknown(pOuterUnknown) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override
    {
        return m_pOuterUnknown->QueryInterface(iid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return m_pOuterUnknown->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() noexcept override { return m_pOuterUnknown->Release(); }
    // An aggregatable class declares GetControllingUnknown virtual, answering its own identity;
    // inside an aggregate the outer object is the one its parts must be given.
    IUnknown* GetControllingUnknown() noexcept override { return m_pOuterUnknown; }

    IUnknown* m_pOuterUnknown;  // not counted: the outer object owns this one
};

// An aggregatable instance: its own IUnknown is the non-delegating one handed to the outer
// object; every other interface is the contained object's, which delegates to the outer.
// Like a stand-alone instance it keeps the module locked for its life.
template <class Base>
class CAggObject final : public IUnknown
{
public:
    explicit CAggObject(IUnknown* pOuterUnknown) noexcept : m_contained(pOuterUnknown) { ModuleLock(); }
    ~CAggObject()
    {
        m_dwRef = kDestructionRefCount;
        m_contained.FinalRelease();
        ModuleUnlock();
    }
    CAggObject(const CAggObject&) = delete;
    CAggObject& operator=(const CAggObject&) = delete;

    LONG InternalAddRef() noexcept { return Base::ThreadModelType::Increment(&m_dwRef); }
    LONG InternalRelease() noexcept { return Base::ThreadModelType::Decrement(&m_dwRef); }
    [[nodiscard]] HRESULT InitCriticalSection() noexcept { return m_contained.InitCriticalSection(); }
    [[nodiscard]] HRESULT FinalConstruct() noexcept { return m_contained.FinalConstruct(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(iid, IID_IUnknown)) {
            AddRef();
            *ppv = static_cast<IUnknown*>(this);
            return S_OK;
        }
        return m_contained.InternalQueryInterface(iid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(InternalAddRef()); }
    ULONG STDMETHODCALLTYPE Release() noexcept override
    {
        const LONG count = InternalRelease();
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

    volatile LONG m_dwRef = 0;
    CContainedObject<Base> m_contained;
};

// The instance creator of a class: stand-alone without an outer object, aggregatable with
// one (an aggregating caller must ask for IUnknown, the non-delegating one).
template <class T>
struct CObjectCreator
{
    static HRESULT WINAPI CreateInstance(void* pv, REFIID iid, void** ppv) noexcept
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        auto* outer = static_cast<IUnknown*>(pv);
        if (outer == nullptr)
            return CreateObjectAndQuery<CStandaloneObject<T>>(iid, ppv);
        if (!IsEqualIID(iid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        return CreateObjectAndQuery<CAggObject<T>>(iid, ppv, outer);
    }
};

// The class factory of a class: CreateInstance calls the creator it was given.
class CClassFactory : public IClassFactory, public CObjectRootEx<CMultiThreadModel>
{
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObj) noexcept override;
    // TRUE locks the module and FALSE unlocks it; the answer is always S_OK.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) noexcept override;
    virtual ~CClassFactory() = default;

    [[nodiscard]] HRESULT InternalQueryInterface(REFIID iid, void** ppv) noexcept;

    PFNCREATOR m_pfnCreateInstance = nullptr;
};

// The factory of a singleton class: the first CreateInstance creates the one instance of
// T, which the factory caches for its life and hands to every later caller. The outcome of
// that one attempt is final: a failure is remembered and answered to every later caller.
// The creator the factory is given is never called.
template <class T>
class CClassFactorySingleton : public CClassFactory
{
public:
    ~CClassFactorySingleton() override { m_spObj.reset(); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObj) noexcept override
    {
        if (ppvObj == nullptr)
            return E_POINTER;
        *ppvObj = nullptr;
        if (pUnkOuter != nullptr)
            return CLASS_E_NOAGGREGATION;

        // Once the attempt is made, callers go on without the lock.
        if (!m_bAttempted.load(std::memory_order_acquire)) {
            CriticalSectionLock lock(m_critsec);
            if (m_hrCreate == S_OK && !m_spObj)  // another thread may have created it meanwhile
                CreateSingleton();
            m_bAttempted.store(true, std::memory_order_release);
        }

        if (m_hrCreate != S_OK)
            return m_hrCreate;
        return m_spObj->QueryInterface(riid, ppvObj);
    }

    HRESULT m_hrCreate = S_OK;
    ComPtr<IUnknown> m_spObj;
    std::atomic<bool> m_bAttempted{false};  // publishes m_hrCreate and m_spObj to lock-free readers

private:
    void CreateSingleton() noexcept
    {
        CObjectCached<T>* object = nullptr;
        m_hrCreate = CreateObjectInstance(object);
        if (FAILED(m_hrCreate))
            return;
        // This first reference is the factory's own; it does not lock the module.
        m_hrCreate = object->QueryInterface(IID_IUnknown, m_spObj.put_void());
        if (FAILED(m_hrCreate))
            delete object;
    }
};

// The class-object creator of the class-object table: builds the factory form TFactory,
// hands it the instance creator pv, and answers the requested interface on it.
template <class TFactory>
HRESULT WINAPI CreateClassFactory(void* pv, REFIID iid, void** ppv) noexcept
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    TFactory* factory = nullptr;
    VEXIL_RETURN_IF_FAILED(CreateObjectInstance(factory));
    factory->m_pfnCreateInstance = reinterpret_cast<PFNCREATOR>(pv);
    factory->AddRef();
    const HRESULT hr = factory->QueryInterface(iid, ppv);
    factory->Release();
    return hr;
}

// What a creatable class offers the class-object table: its class identifier, no
// description, its instance creator and its class-object creator. A class picks another
// factory by declaring its own ClassFactory type.
template <class T, const CLSID* pclsid>
class CCoClass
{
public:
    using ClassFactory = CClassFactory;

    static const CLSID& GetObjectCLSID() noexcept { return *pclsid; }
    static const wchar_t* WINAPI GetObjectDescription() noexcept { return nullptr; }

    static HRESULT WINAPI CreateInstance(void* pv, REFIID iid, void** ppv) noexcept
    {
        return CObjectCreator<T>::CreateInstance(pv, iid, ppv);
    }

    static HRESULT WINAPI GetClassObject(void* pv, REFIID iid, void** ppv) noexcept
    {
        return CreateClassFactory<CObjectNoLock<typename T::ClassFactory>>(pv, iid, ppv);
    }
};
