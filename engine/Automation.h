// What the engine's automation classes share: the QPST interfaces generated
// from our IDL, their type information from the type libraries embedded in
// the program, IDispatch for dual interfaces, and aggregation.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include "QpstAtmn_h.h"
#include "QpstProxy_h.h"
#include "platform/ComObject.h"

// Resource numbers of the embedded type libraries.
enum TypeLibraryIndex : int
{
    kKestrupTypeLibrary = 1,
    kAtmnServerTypeLibrary = 2,
    kProxyTypeLibrary = 3,
};

// The type information of `iid` in type library `library` of this program,
// loaded on first use and kept for the life of the process. For a dual
// interface, `vtablePart` asks for the interface's own description rather
// than its dispatch one. The caller gets a reference.
HRESULT GetProgramTypeInfo(int library, REFIID iid, bool vtablePart, ITypeInfo** info);

// IDispatch of a dual interface I, answered from its description in type
// library Library: calls by name or dispatch ID reach the vtable.
template <class I, int Library> class CDualDispatch : public I
{
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override
    {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        if (index != 0)
            return DISP_E_BADINDEX;
        return GetProgramTypeInfo(Library, __uuidof(I), true, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        ComPtr<ITypeInfo> info;
        HRESULT hr = GetProgramTypeInfo(Library, __uuidof(I), true, &info);
        return FAILED(hr) ? hr : DispGetIDsOfNames(info.Get(), names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                        UINT* argumentError) override
    {
        ComPtr<ITypeInfo> info;
        HRESULT hr = GetProgramTypeInfo(Library, __uuidof(I), true, &info);
        if (FAILED(hr))
            return hr;
        return DispInvoke(static_cast<I*>(this), info.Get(), id, flags, params, result, exception, argumentError);
    }
};

// Holds a VARIANT and clears it at the end.
class CVariant : public VARIANT
{
public:
    CVariant() { VariantInit(this); }
    ~CVariant() { VariantClear(this); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
};

// The engine's creatable classes, as start-up publishes them.
struct EngineClass
{
    const CLSID* clsid;
    HRESULT (*create)(IUnknown* outer, REFIID iid, void** out);
};

// AtmnServer and DownloadSettings; `count` receives the number of entries.
const EngineClass* GetEngineClasses(size_t* count);

// The class object (IClassFactory) of one engine class; CLASS_E_CLASSNOTAVAILABLE
// for any other class. Class objects are static: their references do not
// count, IClassFactory::LockServer locks the server module.
HRESULT GetEngineClassObject(REFCLSID clsid, REFIID iid, void** out);

// Publishes the class object of every engine class (CoRegisterClassObject with
// this context and these flags) or withdraws them again. A failure withdraws
// what was published and is returned.
HRESULT RegisterEngineClassObjects(DWORD context, DWORD flags);
void RevokeEngineClassObjects();

// The program's local server: the class objects published from a thread of
// the multithreaded apartment (CLSCTX_LOCAL_SERVER with these flags), which
// stays in it until they are withdrawn. Every call of an outside client is
// then served on an RPC thread, side by side with the others, and never on
// the window's thread, whatever apartment the caller of this joined.
HRESULT PublishEngineClassObjects(DWORD flags);
void WithdrawEngineClassObjects();
