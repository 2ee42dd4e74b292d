#include "engine/Automation.h"

#include "engine/AtmnServer.h"
#include "engine/DownloadSettings.h"
#include "platform/Handles.h"
#include "services/Log.h"

#include <process.h>
#include <string>

namespace
{
// Cached type information: [library][interface kind].
struct CachedTypeInfo
{
    int library;
    const IID* iid;
    bool vtablePart;
    ITypeInfo* volatile info;
};

CachedTypeInfo g_typeInfos[] = {
    {kAtmnServerTypeLibrary, &DIID_IAtmnServer, false, nullptr},
    {kProxyTypeLibrary, &IID_IQPortProxy, true, nullptr},
    {kProxyTypeLibrary, &IID_IQSoftwareDownload, true, nullptr},
    {kProxyTypeLibrary, &IID_IDownloadSettings, true, nullptr},
};

HRESULT LoadTypeInfo(int library, REFIID iid, bool vtablePart, ITypeInfo** out)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return LastErrorHResult();
        if (length < path.size())
        {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    path += L"\\" + std::to_wstring(library);
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
    if (FAILED(hr))
        return hr;
    ComPtr<ITypeInfo> info;
    hr = lib->GetTypeInfoOfGuid(iid, &info);
    if (FAILED(hr))
        return hr;
    if (vtablePart)
    {
        // A dual interface is found as its dispatch description; the vtable
        // one is the description it refers to as -1.
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> vtable;
        hr = info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
        if (SUCCEEDED(hr))
            hr = info->GetRefTypeInfo(ref, &vtable);
        if (FAILED(hr))
            return hr;
        info = vtable;
    }
    *out = info.Detach();
    return S_OK;
}

// The class object of one engine class (CComObjectStatic: its references do
// not count).
class CEngineClassFactory : public IClassFactory, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CEngineClassFactory)
    COM_INTERFACE_ENTRY(IClassFactory)
    END_COM_MAP()

    explicit CEngineClassFactory(const EngineClass& entry) : m_entry(entry) {}

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        return m_entry.create(outer, iid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            g_Module.Lock();
        else
            g_Module.Unlock();
        return S_OK;
    }

private:
    const EngineClass& m_entry;
};

const EngineClass g_classes[] = {
    {&CLSID_AtmnServer, &CreateComObject<CAtmnServer>},
    {&CLSID_DownloadSettings, &CreateComObject<CDownloadSettings>},
};
constexpr size_t kClassCount = sizeof g_classes / sizeof g_classes[0];

CComObjectStatic<CEngineClassFactory> g_factories[kClassCount] = {CComObjectStatic<CEngineClassFactory>(g_classes[0]),
                                                                  CComObjectStatic<CEngineClassFactory>(g_classes[1])};
DWORD g_cookies[kClassCount] = {};
} // namespace

HRESULT GetProgramTypeInfo(int library, REFIID iid, bool vtablePart, ITypeInfo** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    for (CachedTypeInfo& cached : g_typeInfos)
    {
        if (cached.library != library || !InlineIsEqualGUID(*cached.iid, iid) || cached.vtablePart != vtablePart)
            continue;
        ITypeInfo* info = cached.info;
        if (!info)
        {
            ComPtr<ITypeInfo> loaded;
            HRESULT hr = LoadTypeInfo(library, iid, vtablePart, &loaded);
            if (FAILED(hr))
                return hr;
            // Another thread may have been first: keep its copy. The cache
            // keeps its reference for the life of the process.
            ITypeInfo* earlier = static_cast<ITypeInfo*>(InterlockedCompareExchangePointer(
                reinterpret_cast<void* volatile*>(&cached.info), loaded.Get(), nullptr));
            info = earlier ? earlier : loaded.Detach();
        }
        return ComPtr<ITypeInfo>(info).CopyTo(out);
    }
    // Not one that the engine answers from: load it without keeping it.
    return LoadTypeInfo(library, iid, vtablePart, out);
}

const EngineClass* GetEngineClasses(size_t* count)
{
    if (count)
        *count = kClassCount;
    return g_classes;
}

HRESULT GetEngineClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    for (size_t i = 0; i < kClassCount; ++i)
    {
        if (InlineIsEqualGUID(clsid, *g_classes[i].clsid))
            return g_factories[i].QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT RegisterEngineClassObjects(DWORD context, DWORD flags)
{
    for (size_t i = 0; i < kClassCount; ++i)
    {
        if (g_cookies[i])
            continue;
        HRESULT hr = CoRegisterClassObject(*g_classes[i].clsid, &g_factories[i], context, flags, &g_cookies[i]);
        if (FAILED(hr))
        {
            g_cookies[i] = 0;
            RevokeEngineClassObjects();
            return LogError(hr, L"RegisterEngineClassObjects", __LINE__);
        }
    }
    return S_OK;
}

void RevokeEngineClassObjects()
{
    for (DWORD& cookie : g_cookies)
    {
        if (cookie)
            CoRevokeClassObject(cookie);
        cookie = 0;
    }
}

namespace
{
// The thread that holds the published class objects in the multithreaded
// apartment: it registers them, reports how that went and waits to revoke
// them again.
struct ClassObjectHost
{
    DWORD flags = 0;
    HRESULT result = E_FAIL;
    CHandle registered; // set once `result` holds the registration's outcome
    CHandle withdraw;   // set to make the thread revoke and end
    CHandle thread;
};

ClassObjectHost g_host;

// A registration or revocation takes milliseconds; a thread that does not
// report within this bound is counted as failed.
constexpr DWORD kHostBoundMs = 30000;

unsigned __stdcall HostClassObjects(void*)
{
    const CComInitializer apartment(COINIT_MULTITHREADED);
    HRESULT hr = apartment.Result();
    if (SUCCEEDED(hr))
        hr = RegisterEngineClassObjects(CLSCTX_LOCAL_SERVER, g_host.flags);
    g_host.result = hr;
    SetEvent(g_host.registered.Get());
    if (SUCCEEDED(hr))
    {
        // Lives as long as the program publishes; the withdrawal ends it.
        WaitForSingleObject(g_host.withdraw.Get(), INFINITE);
        RevokeEngineClassObjects();
    }
    return 0;
}

void CloseHost()
{
    g_host = ClassObjectHost();
}
} // namespace

HRESULT PublishEngineClassObjects(DWORD flags)
{
    const wchar_t* name = L"PublishEngineClassObjects";
    if (g_host.thread)
        return S_OK;
    g_host.flags = flags;
    g_host.result = E_FAIL;
    g_host.registered.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_host.withdraw.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!g_host.registered || !g_host.withdraw)
    {
        const HRESULT hr = LastErrorHResult();
        CloseHost();
        return LogError(hr, name, __LINE__);
    }
    g_host.thread.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, HostClassObjects, nullptr, 0, nullptr)));
    if (!g_host.thread)
    {
        const HRESULT hr = LastErrorHResult();
        CloseHost();
        return LogError(hr, name, __LINE__);
    }
    HANDLE waits[] = {g_host.registered.Get(), g_host.thread.Get()};
    const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, kHostBoundMs);
    // The thread ending before it reported cannot happen; counted as a failure all the same.
    const HRESULT hr = wait == WAIT_OBJECT_0
                           ? g_host.result
                           : HResultFromWin32(wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_INVALID_STATE);
    if (FAILED(hr))
    {
        WithdrawEngineClassObjects();
        return LogError(hr, name, __LINE__);
    }
    return S_OK;
}

void WithdrawEngineClassObjects()
{
    if (!g_host.thread)
        return;
    SetEvent(g_host.withdraw.Get());
    if (WaitForSingleObject(g_host.thread.Get(), kHostBoundMs) != WAIT_OBJECT_0)
    {
        // A thread stuck in COM still uses the events: they stay open.
        LogError(HResultFromWin32(ERROR_TIMEOUT), L"WithdrawEngineClassObjects", __LINE__);
        g_host.registered.Detach();
        g_host.withdraw.Detach();
        g_host.thread.Detach();
        CloseHost();
        return;
    }
    CloseHost();
}
