#include "tests/jobs/emergency/FakeQpstServer.h"
#include "tests/jobs/JobTestSupport.h"

#include <gtest/gtest.h>

namespace
{

CFakeQpst* g_fake = nullptr;

std::wstring Text(const VARIANT& v)
{
    return V_VT(&v) == VT_BSTR && V_BSTR(&v) ? V_BSTR(&v) : L"";
}

class CFakeDownload : public CSoftwareDownload
{
public:
    STDMETHODIMP put_StatusReport(IUnknown* sink) override
    {
        m_sink.Reset();
        HRESULT hr = sink ? sink->QueryInterface(IID_PPV_ARGS(&m_sink)) : S_OK;
        g_fake->KeepSink(m_sink.Get());
        return hr;
    }
    STDMETHODIMP DownloadBySettings(IUnknown*) override
    {
        g_fake->DownloadStarted();
        for (const auto& event : g_fake->script.events)
        {
            const CBstr text(event.second ? SysAllocString(event.second) : nullptr);
            if (m_sink)
                m_sink->NewStatus(event.first, nullptr, text.Get());
        }
        if (g_fake->script.downloadGate)
            WaitForSingleObject(g_fake->script.downloadGate, kJobWaitMs);
        g_fake->DownloadEnded();
        return g_fake->script.downloadResult;
    }

private:
    ComPtr<IQStatusReport> m_sink;
};

class CFakePort : public CPortProxy
{
public:
    LONG m_status = 0;
    STDMETHODIMP get_PhoneStatus(VARIANT* status) override
    {
        VariantInit(status);
        V_VT(status) = VT_I4;
        V_I4(status) = m_status;
        return S_OK;
    }
    STDMETHODIMP get_SoftwareDownload(IUnknown** out) override
    {
        CComObject<CFakeDownload>* download = nullptr;
        HRESULT hr = CComObject<CFakeDownload>::CreateInstance(&download);
        return FAILED(hr) ? hr : download->QueryInterface(IID_PPV_ARGS(out));
    }
};

class CFakeSettings : public CDownloadSettings
{
public:
    STDMETHODIMP SetParam(VARIANT name, VARIANT value) override
    {
        if (Text(name) == g_fake->script.failingParameter)
            return E_ACCESSDENIED;
        g_fake->RecordParameter(Text(name) + L"=" + Text(value));
        return CDownloadSettings::SetParam(name, value);
    }
    STDMETHODIMP get_IsKnownConfiguration(VARIANT* known) override
    {
        VariantInit(known);
        V_VT(known) = VT_BOOL;
        V_BOOL(known) = VARIANT_TRUE;
        return S_OK;
    }
};

class CFakeServer : public IDispatch, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CFakeServer)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(m_marshaler)
    END_COM_MAP()

    HRESULT FinalConstruct() { return m_marshaler.Aggregate(static_cast<IDispatch*>(this)); }
    virtual ~CFakeServer() = default;

    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        static const std::map<std::wstring, DISPID> known = {
            {L"Quit", 4}, {L"GetPort", 5}, {L"AddPort", 8}, {L"RemovePort", 9}};
        if (count != 1)
            return E_INVALIDARG;
        auto found = known.find(names[0]);
        if (found == known.end())
            return DISP_E_UNKNOWNNAME;
        ids[0] = found->second;
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override
    {
        if (flags != DISPATCH_METHOD || params->cNamedArgs != 0)
            return E_INVALIDARG;
        std::wstring call = id == 4 ? L"Quit" : id == 5 ? L"GetPort" : id == 8 ? L"AddPort" : L"RemovePort";
        for (UINT i = params->cArgs; i-- > 0;) // last argument first
            call += L" " + Text(params->rgvarg[i]);
        g_fake->Record(call);
        if (id != 5)
            return S_OK;
        CComObject<CFakePort>* port = nullptr;
        HRESULT hr = CComObject<CFakePort>::CreateInstance(&port);
        if (FAILED(hr))
            return hr;
        const int notReady = g_fake->script.notReadyCalls;
        port->m_status = notReady >= 0 && g_fake->CountCalls(call) > notReady ? 5 : 2;
        VariantInit(result);
        V_VT(result) = VT_UNKNOWN;
        return port->QueryInterface(IID_PPV_ARGS(&V_UNKNOWN(result)));
    }

private:
    CFreeThreadedMarshaler m_marshaler;
};

template <class T> class CFactory : public IClassFactory, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CFactory)
    COM_INTERFACE_ENTRY(IClassFactory)
    END_COM_MAP()

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        CComObject<T>* object = nullptr;
        HRESULT hr = CComObject<T>::CreateInstance(&object);
        if (FAILED(hr))
            return hr;
        ComPtr<IUnknown> hold(static_cast<IDispatch*>(object));
        return object->QueryInterface(iid, out);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

CComObjectStatic<CFactory<CFakeServer>> g_serverFactory;
CComObjectStatic<CFactory<CFakeSettings>> g_settingsFactory;

} // namespace

// The classes are published from the multithreaded apartment, as the
// program publishes its own, on a thread that holds them until the end.
CFakeQpst::CFakeQpst() : m_withdraw(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    g_fake = this;
    const CHandle registered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HRESULT results[2] = {E_FAIL, E_FAIL};
    m_host = std::thread([this, &registered, &results] {
        const CComInitializer apartment(COINIT_MULTITHREADED);
        results[0] = CoRegisterClassObject(CLSID_AtmnServer, &g_serverFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                           &m_serverCookie);
        results[1] = CoRegisterClassObject(CLSID_DownloadSettings, &g_settingsFactory, CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE, &m_settingsCookie);
        SetEvent(registered.Get());
        WaitForSingleObject(m_withdraw.Get(), 600000);
        CoRevokeClassObject(m_serverCookie);
        CoRevokeClassObject(m_settingsCookie);
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(registered.Get(), 30000));
    EXPECT_EQ(S_OK, results[0]);
    EXPECT_EQ(S_OK, results[1]);
}

CFakeQpst::~CFakeQpst()
{
    SetEvent(m_withdraw.Get());
    m_host.join();
    g_fake = nullptr;
}
