// The automation objects in the process: the server's dispatch interface,
// ports, software downloads, settings, class objects and aggregation.
#include <gtest/gtest.h>

#include "engine/AtmnServer.h"
#include "engine/DownloadSettings.h"
#include "engine/SoftwareDownload.h"
#include "platform/Handles.h"
#include "tests/fixtures/AutomationCalls.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/DeviceTable.h"
#include "tests/fixtures/StatusRecorder.h"

#include <string>
#include <thread>

namespace
{
class Automation : public ::testing::Test
{
protected:
    ComPtr<IDownloadSettings> Settings()
    {
        ComPtr<IDownloadSettings> settings;
        EXPECT_EQ(S_OK, CreateComObject<CDownloadSettings>(nullptr, IID_PPV_ARGS(&settings)));
        return settings;
    }

    const CComInitializer apartment{COINIT_MULTITHREADED};
};

TEST_F(Automation, ServerAnswersByDispatchIdAndName)
{
    ComPtr<IDispatch> server;
    ASSERT_EQ(S_OK, CreateComObject<CAtmnServer>(nullptr, IID_PPV_ARGS(&server)));
    UINT count = 0;
    EXPECT_EQ(E_POINTER, server->GetTypeInfoCount(nullptr));
    EXPECT_EQ(S_OK, server->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(DISP_E_BADINDEX, server->GetTypeInfo(1, 0, &info));
    ASSERT_EQ(S_OK, server->GetTypeInfo(0, 0, &info));
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(DIID_IAtmnServer, attributes->guid));
    info->ReleaseTypeAttr(attributes);

    // Members without a handler, and unknown ids, succeed and give nothing.
    for (DISPID id : {1, 6, 14, 99})
    {
        VARIANT result;
        VariantInit(&result);
        DISPPARAMS none = {};
        EXPECT_EQ(S_OK, server->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr)) << id;
        EXPECT_EQ(VT_EMPTY, V_VT(&result)) << id;
    }

    CTextVariant port(L"COM12"), label(L"COM12");
    CVariant result, first, second;
    EXPECT_EQ(S_OK, CallByName(server.Get(), L"AddPort", DISPATCH_METHOD, {&port, &label}, &result));
    EXPECT_EQ(S_OK, CallByName(server.Get(), L"RemovePort", DISPATCH_METHOD, {&port}, &result));
    EXPECT_EQ(S_OK, CallByName(server.Get(), L"Quit", DISPATCH_METHOD, {}, &result));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, CallByName(server.Get(), L"GetPort", DISPATCH_METHOD, {}, &result));

    // Each GetPort makes a new port whose status is always 5.
    ASSERT_EQ(S_OK, CallByName(server.Get(), L"GetPort", DISPATCH_METHOD, {&port}, &first));
    ASSERT_EQ(S_OK, CallByName(server.Get(), L"GetPort", DISPATCH_METHOD, {&port}, &second));
    ASSERT_EQ(VT_UNKNOWN, V_VT(&first));
    ASSERT_EQ(VT_UNKNOWN, V_VT(&second));
    EXPECT_NE(V_UNKNOWN(&first), V_UNKNOWN(&second));
    ComPtr<IQPortProxy> proxy;
    ASSERT_EQ(S_OK, V_UNKNOWN(&first)->QueryInterface(IID_PPV_ARGS(&proxy)));
    CTextVariant stale(L"stale");
    EXPECT_EQ(S_OK, proxy->get_PhoneStatus(&stale));
    EXPECT_EQ(VT_I4, V_VT(&stale));
    EXPECT_EQ(5, V_I4(&stale));
    EXPECT_EQ(E_POINTER, proxy->get_PhoneStatus(nullptr));
    // The dual interface by name reaches the same member.
    CVariant status;
    ComPtr<IDispatch> portDispatch;
    ASSERT_EQ(S_OK, proxy.As(&portDispatch));
    EXPECT_EQ(S_OK, CallByName(portDispatch.Get(), L"PhoneStatus", DISPATCH_PROPERTYGET, {}, &status));
    EXPECT_EQ(5, V_I4(&status));
    EXPECT_EQ(E_NOTIMPL, proxy->Reset());
    EXPECT_EQ(E_NOTIMPL, proxy->get_MACAddress(&status));
}

TEST_F(Automation, SettingsStoreOnePairPerNameComparedExactly)
{
    ComPtr<IDownloadSettings> settings = Settings();
    ASSERT_TRUE(settings);
    CTextVariant name(L"flashprogrammer"), first(L"first.mbn"), second(L"second.mbn");
    auto read = [&](const VARIANT& key, const wchar_t* expected) {
        CVariant value;
        HRESULT hr = settings->get_GetParam(key, &value);
        if (expected)
        {
            EXPECT_STREQ(expected, V_VT(&value) == VT_BSTR ? V_BSTR(&value) : L"(no text)");
        }
        return hr;
    };
    EXPECT_EQ(E_INVALIDARG, read(name, nullptr));
    EXPECT_EQ(S_OK, settings->SetParam(name, first));
    EXPECT_EQ(S_OK, settings->SetParam(name, second));
    EXPECT_EQ(S_OK, read(name, L"second.mbn"));
    EXPECT_EQ(E_INVALIDARG, read(CTextVariant(L"FlashProgrammer"), nullptr));

    // A number is not the text of the same digits; a null name is a name.
    CVariant number, null;
    V_VT(&number) = VT_I4;
    V_I4(&number) = 7;
    V_VT(&null) = VT_NULL;
    EXPECT_EQ(S_OK, settings->SetParam(number, first));
    EXPECT_EQ(E_INVALIDARG, read(CTextVariant(L"7"), nullptr));
    EXPECT_EQ(E_INVALIDARG, read(null, nullptr));
    EXPECT_EQ(S_OK, settings->SetParam(null, second));
    EXPECT_EQ(S_OK, read(null, L"second.mbn"));

    // By name through IDispatch, as a script would.
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, settings.As(&dispatch));
    CTextVariant third(L"third.mbn");
    CVariant result, got;
    EXPECT_EQ(S_OK, CallByName(dispatch.Get(), L"SetParam", DISPATCH_METHOD, {&name, &third}, &result));
    ASSERT_EQ(S_OK, CallByName(dispatch.Get(), L"GetParam", DISPATCH_PROPERTYGET, {&name}, &got));
    EXPECT_STREQ(L"third.mbn", V_BSTR(&got));

    EXPECT_EQ(E_NOTIMPL, settings->get_IsKnownConfiguration(&result));
    EXPECT_EQ(E_NOTIMPL, settings->GetLastError(&result));
    EXPECT_EQ(E_NOTIMPL, settings->put_PhoneComponent(nullptr));
}

TEST_F(Automation, SoftwareDownloadOnlyForKnownPortsAndItsSinkCanBeDropped)
{
    CTempDir dir(L"devices");
    CDeviceTable table(dir / L"devices.txt");
    ASSERT_TRUE(table.Set({3, 1, L"COM31"}));
    ComPtr<IQPortProxy> unknownPort, knownPort;
    ASSERT_EQ(S_OK, CPortProxy::CreateInstance(L"COM32", &unknownPort));
    ASSERT_EQ(S_OK, CPortProxy::CreateInstance(L"COM31", &knownPort));
    ComPtr<IUnknown> object;
    EXPECT_EQ(E_INVALIDARG, unknownPort->get_SoftwareDownload(&object));
    EXPECT_FALSE(object);
    ASSERT_EQ(S_OK, knownPort->get_SoftwareDownload(&object));
    ComPtr<IQSoftwareDownload> download;
    ASSERT_EQ(S_OK, object.As(&download));

    // A sink, then an object without IQStatusReport: no sink is left, so a
    // download fails at once and the first sink hears nothing.
    CFreeThreadedRecorder sink;
    ComPtr<IDownloadSettings> settings = Settings();
    EXPECT_EQ(S_OK, download->put_StatusReport(&sink));
    EXPECT_EQ(S_OK, download->put_StatusReport(settings.Get()));
    EXPECT_TRUE(FAILED(download->DownloadBySettings(settings.Get())));
    EXPECT_TRUE(sink.Texts().empty());
    EXPECT_EQ(E_NOTIMPL, download->put_SetServer(nullptr));
    EXPECT_EQ(E_NOTIMPL, download->get_DownloadSettings(&object));
}

class COuter : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown)
        {
            *out = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
    LONG references = 1;
    ComPtr<IUnknown> inner;
};

TEST_F(Automation, ClassObjectsMakePlainAndAggregatedObjects)
{
    size_t count = 0;
    const EngineClass* classes = GetEngineClasses(&count);
    ASSERT_EQ(2u, count);
    EXPECT_TRUE(IsEqualGUID(CLSID_AtmnServer, *classes[0].clsid));
    EXPECT_TRUE(IsEqualGUID(CLSID_DownloadSettings, *classes[1].clsid));
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, GetEngineClassObject(CLSID_SoftwareDownload, IID_PPV_ARGS(&factory)));
    ASSERT_EQ(S_OK, GetEngineClassObject(CLSID_DownloadSettings, IID_PPV_ARGS(&factory)));
    const LONG locks = g_Module.GetLockCount();
    {
        ComPtr<IDownloadSettings> plain;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&plain)));
        EXPECT_EQ(locks + 1, g_Module.GetLockCount());

        COuter outer;
        ComPtr<IDownloadSettings> refused;
        EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_PPV_ARGS(&refused)));
        ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_PPV_ARGS(&outer.inner)));
        // The inner object's interfaces count on the outer object and know it
        // as their identity; the free-threaded marshaler is there too.
        IDownloadSettings* settings = nullptr;
        ASSERT_EQ(S_OK, outer.QueryInterface(IID_PPV_ARGS(&settings)));
        EXPECT_EQ(2, outer.references);
        IUnknown* identity = nullptr;
        ASSERT_EQ(S_OK, settings->QueryInterface(IID_PPV_ARGS(&identity)));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
        identity->Release();
        IMarshal* marshal = nullptr;
        ASSERT_EQ(S_OK, settings->QueryInterface(IID_PPV_ARGS(&marshal)));
        EXPECT_EQ(3, outer.references);
        marshal->Release();
        settings->Release();
        EXPECT_EQ(1, outer.references);
        outer.inner.Reset();
    }
    EXPECT_EQ(locks, g_Module.GetLockCount());
    factory->LockServer(TRUE);
    EXPECT_EQ(locks + 1, g_Module.GetLockCount());
    factory->LockServer(FALSE);
    EXPECT_EQ(locks, g_Module.GetLockCount());
}

TEST_F(Automation, ObjectsPassBetweenApartmentsUnmarshalled)
{
    ComPtr<IDownloadSettings> settings = Settings();
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(__uuidof(IDownloadSettings), settings.Get(), &stream));
    IDownloadSettings* received = nullptr;
    HRESULT hr = E_FAIL;
    std::thread sta([&] {
        const CComInitializer apartment(COINIT_APARTMENTTHREADED);
        hr = CoGetInterfaceAndReleaseStream(stream.Detach(), IID_PPV_ARGS(&received));
        if (received)
            received->Release();
    });
    sta.join();
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(settings.Get(), received);
}
} // namespace
