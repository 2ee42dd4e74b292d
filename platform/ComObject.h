// The small COM object layer of the program: reference-counted objects with
// interlocked counts, QueryInterface over a table of interfaces, the
// aggregated free-threaded marshaler, a critical-section owner, and the
// creation of objects that count as locks on the server module.
//
// A class derives from its interfaces and from CComObjectRoot (or
// CComObjectRootWithLock), leaves IUnknown's three methods abstract and
// declares its interfaces:
//
//     BEGIN_COM_MAP(CThing)
//         COM_INTERFACE_ENTRY(IThing)
//         COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(m_marshaler)
//     END_COM_MAP()
//
// CComObject<CThing>::CreateInstance makes it; MakeComObject makes it and
// sets it up in one step. The first entry answers IID_IUnknown, so it must be
// a plain interface.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <climits>
#include <new>
#include <type_traits>
#include <utility>
#include <wrl/client.h>

#include "platform/Module.h"

// Interface pointers are held in ComPtr. Mind that mingw-w64's ComPtr::Attach
// adds a reference; to take over one that is already counted, receive it
// through `&pointer` (as an out argument) instead.
using Microsoft::WRL::ComPtr;

// Owner of a critical section. Init may fail; the destructor deletes it.
class CComCriticalSection
{
public:
    CComCriticalSection() = default;
    ~CComCriticalSection() { Term(); }
    CComCriticalSection(const CComCriticalSection&) = delete;
    CComCriticalSection& operator=(const CComCriticalSection&) = delete;

    HRESULT Init()
    {
        if (m_initialized)
            return S_OK;
        if (!InitializeCriticalSectionAndSpinCount(&m_section, 0))
            return HRESULT_FROM_WIN32(GetLastError());
        m_initialized = true;
        return S_OK;
    }
    void Term()
    {
        if (m_initialized)
            DeleteCriticalSection(&m_section);
        m_initialized = false;
    }
    void Lock() { EnterCriticalSection(&m_section); }
    void Unlock() { LeaveCriticalSection(&m_section); }
    bool TryLock() { return TryEnterCriticalSection(&m_section) != FALSE; }

private:
    CRITICAL_SECTION m_section = {};
    bool m_initialized = false;
};

// Holds any object with Lock and Unlock for one scope.
template <class T> class CLockGuard
{
public:
    explicit CLockGuard(T& lock) : m_lock(lock) { m_lock.Lock(); }
    ~CLockGuard() { m_lock.Unlock(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    T& m_lock;
};

// One row of an interface table. `get` receives the object as the class that
// declared the table and gives either the interface itself or, for an entry
// that delegates, the inner object's IUnknown that is asked in its place.
struct ComInterfaceEntry
{
    const IID* iid; // null ends the table
    IUnknown* (*get)(void* object);
    bool delegates;
};

template <class T, class I> ComInterfaceEntry ComInterface()
{
    return {&__uuidof(I), [](void* object) -> IUnknown* { return static_cast<I*>(static_cast<T*>(object)); }, false};
}

// The free-threaded marshaler aggregated by an object, so that the object's
// interface pointers pass between the apartments of the process unmarshalled.
// The object makes it in its FinalConstruct on its controlling IUnknown and
// answers IMarshal from it through COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER.
class CFreeThreadedMarshaler
{
public:
    HRESULT Aggregate(IUnknown* controllingUnknown)
    {
        return CoCreateFreeThreadedMarshaler(controllingUnknown, m_inner.ReleaseAndGetAddressOf());
    }
    // The marshaler's own IUnknown; null before Aggregate succeeded.
    IUnknown* Get() const { return m_inner.Get(); }

private:
    ComPtr<IUnknown> m_inner;
};

template <class T, CFreeThreadedMarshaler T::*Marshaler> ComInterfaceEntry ComFreeThreadedMarshaler()
{
    return {&IID_IMarshal, [](void* object) -> IUnknown* { return (static_cast<T*>(object)->*Marshaler).Get(); },
            true};
}

// Looks `iid` up in `table`; `object` is the object as the declaring class.
HRESULT QueryInterfaceFromTable(void* object, const ComInterfaceEntry* table, REFIID iid, void** out);

#define BEGIN_COM_MAP(Class)                                                 \
    using ComMapClass = Class;                                               \
    HRESULT InternalQueryInterface(REFIID iid, void** out)                   \
    {                                                                        \
        return QueryInterfaceFromTable(this, GetInterfaceTable(), iid, out); \
    }                                                                        \
    static const ComInterfaceEntry* GetInterfaceTable()                      \
    {                                                                        \
        static const ComInterfaceEntry table[] = {
#define COM_INTERFACE_ENTRY(I) ComInterface<ComMapClass, I>(),
#define COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(member) \
    ComFreeThreadedMarshaler<ComMapClass, &ComMapClass::member>(),
#define END_COM_MAP()           \
    {                           \
        nullptr, nullptr, false \
    }                           \
    }                           \
    ;                           \
    return table;               \
    }

// The reference count of an object, changed with interlocked operations, and
// the construction steps that a class may replace by its own.
class CComObjectRoot
{
public:
    // Steps of creation: InitialConstruct prepares the root, FinalConstruct
    // the class; a failure of either fails the creation. FinalRelease is the
    // first step of destruction, before any field is released.
    HRESULT InitialConstruct() { return S_OK; }
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}

protected:
    ULONG InternalAddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_refCount)); }
    ULONG InternalRelease() { return static_cast<ULONG>(InterlockedDecrement(&m_refCount)); }

    volatile LONG m_refCount = 0;
};

// A root that also owns the object's lock (a critical section, re-entrant on
// its thread).
class CComObjectRootWithLock : public CComObjectRoot
{
public:
    HRESULT InitialConstruct() { return m_lock.Init(); }
    void Lock() { m_lock.Lock(); }
    void Unlock() { m_lock.Unlock(); }

protected:
    CComCriticalSection m_lock;
};

// Whether the objects of a class hold the server module. Every class does,
// except one that declares `static constexpr bool kLocksModule = false`: an
// object that lives only inside a window, which holds the module itself.
template <class T, class = void> struct LocksModule : std::true_type
{
};
template <class T> struct LocksModule<T, std::void_t<decltype(T::kLocksModule)>> : std::bool_constant<T::kLocksModule>
{
};

// The created object: its IUnknown, its life by reference count, and one lock
// on the server module for as long as it exists (see LocksModule).
template <class Base> class CComObject final : public Base
{
public:
    template <class... Args> explicit CComObject(Args&&... args) : Base(std::forward<Args>(args)...)
    {
        if constexpr (LocksModule<Base>::value)
            g_Module.Lock();
    }
    ~CComObject()
    {
        // A reference taken and dropped while tearing down must not delete again.
        this->m_refCount = -(LONG_MAX / 2);
        this->FinalRelease();
        if constexpr (LocksModule<Base>::value)
            g_Module.Unlock();
    }

    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override
    {
        ULONG count = this->InternalRelease();
        if (count == 0)
            delete this;
        return count;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override { return this->InternalQueryInterface(iid, out); }

    // Makes an object with no reference yet, the class built from args; on
    // failure nothing is left.
    template <class... Args> static HRESULT CreateInstance(CComObject** out, Args&&... args)
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        CComObject* object = new (std::nothrow) CComObject(std::forward<Args>(args)...);
        if (!object)
            return E_OUTOFMEMORY;
        HRESULT hr = object->InitialConstruct();
        if (SUCCEEDED(hr))
        {
            // Held across FinalConstruct so that a reference taken and
            // dropped inside it does not destroy the object.
            object->InternalAddRef();
            hr = object->FinalConstruct();
            object->InternalRelease();
        }
        if (FAILED(hr))
        {
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }
};

// Makes a T with one reference, held by `object`, and runs `initialize` on it
// (a callable taking T& and giving an HRESULT): the steps of a class's own
// creation function, which stores the fields the object is made from. A
// failure of either step destroys the object and is returned, `object` left
// empty; memory that `initialize` cannot get (std::bad_alloc) is
// E_OUTOFMEMORY.
template <class T, class Initialize> HRESULT MakeComObject(ComPtr<CComObject<T>>& object, Initialize&& initialize)
{
    object.Reset();
    CComObject<T>* made = nullptr;
    HRESULT hr = CComObject<T>::CreateInstance(&made);
    if (FAILED(hr))
        return hr;
    ComPtr<CComObject<T>> held(made);
    try
    {
        hr = initialize(static_cast<T&>(*made));
    }
    catch (const std::bad_alloc&)
    {
        hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr))
        object = std::move(held);
    return hr;
}

// The same, handing out the object's interface I through `out` (null on any
// failure): the first failure, else what `initialize` gave.
template <class T, class I, class Initialize> HRESULT MakeComObject(I** out, Initialize&& initialize)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    ComPtr<CComObject<T>> object;
    HRESULT hr = MakeComObject<T>(object, std::forward<Initialize>(initialize));
    if (FAILED(hr))
        return hr;
    const HRESULT query = object->QueryInterface(__uuidof(I), reinterpret_cast<void**>(out));
    return FAILED(query) ? query : hr;
}

// An object that lives as long as the process (a static) and is never deleted
// by its references: each reference is a lock on the server module.
template <class Base> class CComObjectGlobal final : public Base
{
public:
    CComObjectGlobal()
    {
        m_constructResult = this->InitialConstruct();
        if (SUCCEEDED(m_constructResult))
            m_constructResult = this->FinalConstruct();
    }
    ~CComObjectGlobal() { this->FinalRelease(); }

    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(g_Module.Lock()); }
    STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(g_Module.Unlock()); }
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override { return this->InternalQueryInterface(iid, out); }

    HRESULT GetConstructResult() const { return m_constructResult; }

private:
    HRESULT m_constructResult = S_OK;
};

// A root for classes that may be aggregated: m_outerUnknown is the outer
// object while aggregated, else null.
class CAggregatableRoot : public CComObjectRoot
{
protected:
    IUnknown* m_outerUnknown = nullptr;
};

// The class as part of an aggregate: its IUnknown is the outer object's.
template <class Base> class CComContainedObject final : public Base
{
public:
    explicit CComContainedObject(IUnknown* outer) { this->m_outerUnknown = outer; }
    STDMETHOD_(ULONG, AddRef)() override { return this->m_outerUnknown->AddRef(); }
    STDMETHOD_(ULONG, Release)() override { return this->m_outerUnknown->Release(); }
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        return this->m_outerUnknown->QueryInterface(iid, out);
    }
};

// The inner, non-delegating IUnknown of an aggregated object. It counts its
// own references and holds one lock on the server module while it lives.
template <class Base> class CComAggObject final : public IUnknown
{
public:
    static HRESULT CreateInstance(IUnknown* outer, CComAggObject** out)
    {
        *out = nullptr;
        CComAggObject* object = new (std::nothrow) CComAggObject(outer);
        if (!object)
            return E_OUTOFMEMORY;
        HRESULT hr = object->m_contained.InitialConstruct();
        if (SUCCEEDED(hr))
        {
            object->AddRef();
            hr = object->m_contained.FinalConstruct();
            InterlockedDecrement(&object->m_refs);
        }
        if (FAILED(hr))
        {
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }

    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    STDMETHOD_(ULONG, Release)() override
    {
        LONG count = InterlockedDecrement(&m_refs);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (InlineIsEqualGUID(iid, IID_IUnknown))
        {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_contained.InternalQueryInterface(iid, out);
    }

private:
    explicit CComAggObject(IUnknown* outer) : m_contained(outer) { g_Module.Lock(); }
    ~CComAggObject()
    {
        m_refs = -(LONG_MAX / 2);
        m_contained.FinalRelease();
        g_Module.Unlock();
    }

    volatile LONG m_refs = 0;
    CComContainedObject<Base> m_contained;
};

// Makes a plain or, with an outer object, an aggregated T and asks it for iid.
template <class T> HRESULT CreateComObject(IUnknown* outer, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer && !InlineIsEqualGUID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    IUnknown* unknown = nullptr;
    HRESULT hr;
    if (outer)
    {
        CComAggObject<T>* object = nullptr;
        hr = CComAggObject<T>::CreateInstance(outer, &object);
        unknown = object;
    }
    else
    {
        CComObject<T>* object = nullptr;
        hr = CComObject<T>::CreateInstance(&object);
        if (object)
            unknown = object->GetControllingUnknown();
    }
    if (FAILED(hr))
        return hr;
    ComPtr<IUnknown> hold(unknown); // destroys the object when the query fails
    return unknown->QueryInterface(iid, out);
}

// An object that lives as long as the process (a static) and whose references
// do not count: a class object, which holds the server only through
// IClassFactory::LockServer.
template <class Base> class CComObjectStatic final : public Base
{
public:
    template <class... Args> explicit CComObjectStatic(Args&&... args) : Base(std::forward<Args>(args)...) {}

    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override { return this->InternalQueryInterface(iid, out); }
};
