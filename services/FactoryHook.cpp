#include "services/FactoryHook.h"
#include "services/FileSearch.h"
#include "services/Log.h"
#include "services/ProcessObjects.h"
#include "platform/Handles.h"

#include <mscoree.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace
{

// The managed object handle that AppDomain.CreateInstanceFrom gives.
struct _ObjectHandle : public IDispatch
{
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE Equals(VARIANT other, VARIANT_BOOL* equal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHashCode(long* hash) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetType(IUnknown** type) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLifetimeService(VARIANT* service) = 0;
    virtual HRESULT STDMETHODCALLTYPE InitializeLifetimeService(VARIANT* service) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateObjRef(IUnknown* type, IUnknown** reference) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unwrap(VARIANT* object) = 0;
};

// The default application domain, as far as this hook uses it: the members
// before CreateInstanceFrom only hold their places.
struct _AppDomain : public IUnknown
{
#define KESTRUP_SLOT(n) virtual HRESULT STDMETHODCALLTYPE Slot##n() = 0;
    // clang-format off
    // Dispatch members, object members, lifetime, evidence, seven event
    // pairs and nine DefineDynamicAssembly overloads: slots 3 to 36.
    KESTRUP_SLOT(3) KESTRUP_SLOT(4) KESTRUP_SLOT(5) KESTRUP_SLOT(6) KESTRUP_SLOT(7) KESTRUP_SLOT(8)
    KESTRUP_SLOT(9) KESTRUP_SLOT(10) KESTRUP_SLOT(11) KESTRUP_SLOT(12) KESTRUP_SLOT(13) KESTRUP_SLOT(14)
    KESTRUP_SLOT(15) KESTRUP_SLOT(16) KESTRUP_SLOT(17) KESTRUP_SLOT(18) KESTRUP_SLOT(19) KESTRUP_SLOT(20)
    KESTRUP_SLOT(21) KESTRUP_SLOT(22) KESTRUP_SLOT(23) KESTRUP_SLOT(24) KESTRUP_SLOT(25) KESTRUP_SLOT(26)
    KESTRUP_SLOT(27) KESTRUP_SLOT(28) KESTRUP_SLOT(29) KESTRUP_SLOT(30) KESTRUP_SLOT(31) KESTRUP_SLOT(32)
    KESTRUP_SLOT(33) KESTRUP_SLOT(34) KESTRUP_SLOT(35) KESTRUP_SLOT(36)
#undef KESTRUP_SLOT
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(BSTR assemblyName, BSTR typeName, _ObjectHandle** handle) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstanceFrom(BSTR assemblyFile, BSTR typeName, _ObjectHandle** handle) = 0;
    // clang-format on
};

// The runtime host's class and interface.
const CLSID kClsidCorRuntimeHost = {0xCB2F6723, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};
const IID kIidCorRuntimeHost = {0xCB2F6722, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};

// {05F696DC-2B29-3663-AD8B-C4389CF2A713}
const IID IID_AppDomain = {0x05F696DC, 0x2B29, 0x3663, {0xAD, 0x8B, 0xC4, 0x38, 0x9C, 0xF2, 0xA7, 0x13}};

using CorBindToRuntimeExFn = HRESULT(WINAPI*)(LPCWSTR version, LPCWSTR flavor, DWORD flags, REFCLSID clsid, REFIID iid,
                                              void** out);

const HRESULT kNoStation = static_cast<HRESULT>(0x800704DB); // ERROR_SERVICE_NOT_FOUND
const LCID kLocale = 0x400;

struct CStation
{
    const wchar_t* assembly;
    const wchar_t* type;
};
const CStation kStations[] = {
    {L"Dodevoz\\PUB_TEST_FUNC_DLL.dll", L"PUB_TEST_FUNC_DLL.TPUB_TEST_FUNC_DLL"},
    {L"Dozuzeza\\PUB_TEST_FUNC_DLL.dll", L"PUB_TEST_FUNC_DLL.TPUB_TEST_FUNC_DLL"},
};

HRESULT GlobalTable(ComPtr<IGlobalInterfaceTable>& table)
{
    return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&table));
}

// The hook's process-wide state; the cookies are revoked at exit.
struct CFactoryState
{
    CGitCookie hostCookie;
    CGitCookie stationCookie;
    bool load = true;
    ManagedObjectCreator creator = CreateManagedObject;

    ~CFactoryState()
    {
        if (!hostCookie.IsRegistered() && !stationCookie.IsRegistered())
            return;
        const CComInitializer apartment(COINIT_MULTITHREADED);
        stationCookie.Revoke();
        hostCookie.Revoke();
    }
};
CFactoryState g_factory;

// Holds the factory mutex; re-entrant on its thread.
class CFactoryLock : public CMutexLock
{
public:
    CFactoryLock() : CMutexLock(ProcessObjects().hFactoryMutex.Get()) {}
};

// A text for the station: a copy of `value` (null: empty). Empty owners are
// what the station fills through a by-reference VARIANT.
CBstr MakeBstr(const wchar_t* value)
{
    return CBstr(SysAllocString(value ? value : L""));
}

std::wstring BstrText(const CBstr& text)
{
    return text ? std::wstring(text.Get(), SysStringLen(text.Get())) : std::wstring();
}

VARIANT Value(const CBstr& text)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = text.Get();
    return v;
}

VARIANT Reference(CBstr& text)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&v) = text.Receive();
    return v;
}

// Calls a station method by name with positional arguments (the first
// managed parameter last); `answer` is the boolean it returned.
HRESULT CallStation(IDispatch* station, const wchar_t* method, VARIANT* args, UINT count, bool& answer)
{
    answer = false;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(method);
    HRESULT hr = station->GetIDsOfNames(IID_NULL, &name, 1, kLocale, &id);
    if (FAILED(hr))
        return hr;
    DISPPARAMS params = {args, nullptr, count, 0};
    VARIANT result;
    VariantInit(&result);
    hr = station->Invoke(id, IID_NULL, kLocale, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    if (SUCCEEDED(hr))
        answer = V_BOOL(&result) != 0;
    VariantClear(&result);
    return hr;
}

void LogStationMessage(const CBstr& message)
{
    WriteLog(L"%s", BstrText(message).c_str());
}

// Starts the runtime once per process; later calls take it from the table.
HRESULT RuntimeHost(ComPtr<ICorRuntimeHost>& host)
{
    CFactoryLock lock;
    ComPtr<IGlobalInterfaceTable> table;
    HRESULT hr = GlobalTable(table);
    RETURN_IF_FAILED(hr, L"CreateManagedObject", 1364);
    if (g_factory.hostCookie.IsRegistered())
        return LogError(
            g_factory.hostCookie.Get(kIidCorRuntimeHost, reinterpret_cast<void**>(host.ReleaseAndGetAddressOf())),
            L"CreateManagedObject", 1376);

    // Found at run time: the program must start where .NET is missing.
    HMODULE mscoree = LoadLibraryW(L"mscoree.dll");
    auto bind =
        mscoree ? reinterpret_cast<CorBindToRuntimeExFn>(GetProcAddress(mscoree, "CorBindToRuntimeEx")) : nullptr;
    hr = bind ? bind(nullptr, nullptr, 0, kClsidCorRuntimeHost, kIidCorRuntimeHost,
                     reinterpret_cast<void**>(host.ReleaseAndGetAddressOf()))
              : LastErrorHResult();
    if (SUCCEEDED(hr) && !host)
        hr = E_POINTER;
    RETURN_IF_FAILED(hr, L"CreateManagedObject", 1364);
    hr = host->Start();
    if (SUCCEEDED(hr))
        hr = g_factory.hostCookie.Register(table.Get(), host.Get(), kIidCorRuntimeHost);
    return LogError(hr, L"CreateManagedObject", 1368);
}

// The station for one entry's call; a failure is logged under the entry.
HRESULT StationFor(ComPtr<IDispatch>& station, const wchar_t* entry, int line)
{
    HRESULT hr = GetFactoryObject(station.ReleaseAndGetAddressOf());
    return FAILED(hr) ? LogError(hr, entry, line) : hr;
}

} // namespace

HRESULT CreateManagedObject(const wchar_t* assemblyPath, const wchar_t* typeName, IDispatch** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    ComPtr<ICorRuntimeHost> host;
    HRESULT hr = RuntimeHost(host);
    if (FAILED(hr))
        return hr;
    ComPtr<IUnknown> domainUnknown;
    hr = host->GetDefaultDomain(&domainUnknown);
    RETURN_IF_FAILED(hr, L"CreateManagedObject", 1383);
    ComPtr<_AppDomain> domain;
    hr = domainUnknown->QueryInterface(IID_AppDomain, reinterpret_cast<void**>(domain.GetAddressOf()));
    RETURN_IF_FAILED(hr, L"CreateManagedObject", 1387);
    const CBstr path = MakeBstr(assemblyPath), type = MakeBstr(typeName);
    ComPtr<_ObjectHandle> handle;
    hr = domain->CreateInstanceFrom(path.Get(), type.Get(), &handle);
    if (SUCCEEDED(hr) && !handle)
        hr = E_POINTER;
    RETURN_IF_FAILED(hr, L"CreateManagedObject", 1392);
    VARIANT instance;
    VariantInit(&instance);
    hr = handle->Unwrap(&instance);
    RETURN_IF_FAILED(hr, L"CreateManagedObject", 1396);
    IUnknown* object =
        (V_VT(&instance) == VT_UNKNOWN || V_VT(&instance) == VT_DISPATCH) ? V_UNKNOWN(&instance) : nullptr;
    hr = object ? object->QueryInterface(IID_PPV_ARGS(out)) : E_NOINTERFACE;
    VariantClear(&instance);
    return LogError(hr, L"CreateManagedObject", 1400);
}

ManagedObjectCreator SetManagedObjectCreator(ManagedObjectCreator creator)
{
    CFactoryLock lock;
    ManagedObjectCreator previous = g_factory.creator;
    g_factory.creator = creator ? creator : CreateManagedObject;
    return previous;
}

HRESULT GetFactoryObject(IDispatch** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    CFactoryLock lock;
    ComPtr<IGlobalInterfaceTable> table;
    HRESULT hr = GlobalTable(table);
    RETURN_IF_FAILED(hr, L"GetFactoryObject", 1460);

    if (g_factory.load)
    {
        g_factory.load = false;
        for (const CStation& candidate : kStations)
        {
            std::wstring path = FindFile(L"%s", candidate.assembly);
            ComPtr<IDispatch> station;
            hr = g_factory.creator(path.c_str(), candidate.type, &station);
            if (SUCCEEDED(hr) && !station)
                hr = E_POINTER;
            if (FAILED(hr))
            {
                LogError(hr, L"GetFactoryObject", 1436);
                continue;
            }
            CBstr message;
            VARIANT args[] = {Reference(message)};
            bool ready = false;
            hr = CallStation(station.Get(), L"InitCheck", args, 1, ready);
            if (FAILED(hr))
            {
                LogError(hr, L"GetFactoryObject", 1442);
                continue;
            }
            if (!ready)
            {
                LogStationMessage(message);
                continue;
            }
            // A station that cannot be registered is treated like one that
            // failed to load.
            hr = g_factory.stationCookie.Register(table.Get(), station.Get(), IID_IDispatch);
            if (FAILED(hr))
            {
                LogError(hr, L"GetFactoryObject", 1436);
                continue;
            }
            break;
        }
    }

    if (!g_factory.stationCookie.IsRegistered())
        return LogError(kNoStation, L"GetFactoryObject", 1457);
    return LogError(g_factory.stationCookie.Get(out), L"GetFactoryObject", 1460);
}

std::wstring GetSearchPath(const wchar_t* deviceId, const std::wstring& defaultText)
{
    CFactoryLock lock;
    ComPtr<IDispatch> station;
    if (FAILED(StationFor(station, L"GetSearchPath", 1512)))
        return defaultText;
    const CBstr device = MakeBstr(deviceId);
    CBstr path, message;
    VARIANT args[] = {Reference(message), Reference(path), Value(device)};
    bool known = false;
    HRESULT hr = CallStation(station.Get(), L"CheckCPUID", args, 3, known);
    if (FAILED(hr))
    {
        LogError(hr, L"GetSearchPath", 1520);
        return BstrText(message);
    }
    // A device the station does not know gets its explanation instead.
    return known ? BstrText(path) : BstrText(message);
}

HRESULT SaveFlashResult(const wchar_t* deviceId, HRESULT flashResult)
{
    CFactoryLock lock;
    ComPtr<IDispatch> station;
    if (FAILED(StationFor(station, L"SaveFlashResult", 1478)))
        return flashResult;
    LogError(flashResult, L"SaveFlashResult", 1482);
    const CBstr device = MakeBstr(deviceId);
    CBstr message;
    VARIANT pass;
    VariantInit(&pass);
    V_VT(&pass) = VT_BOOL;
    V_BOOL(&pass) = SUCCEEDED(flashResult) ? VARIANT_TRUE : VARIANT_FALSE;
    VARIANT args[] = {Reference(message), pass, Value(device)};
    bool saved = false;
    HRESULT hr = CallStation(station.Get(), L"SaveDataByCPUID", args, 3, saved);
    RETURN_IF_FAILED(hr, L"SaveFlashResult", 1486);
    if (!saved)
    {
        LogStationMessage(message);
        return STG_E_CANTSAVE;
    }
    return flashResult;
}
