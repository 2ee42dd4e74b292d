#include "platform/ComObject.h"
#include "platform/Handles.h"

#include <gtest/gtest.h>

namespace
{

MIDL_INTERFACE("8D3E51A2-0C6F-4E7B-A915-3B2C7D40E611")
ICounter : public IUnknown
{
    virtual int STDMETHODCALLTYPE Next() = 0;
};

MIDL_INTERFACE("8D3E51A2-0C6F-4E7B-A915-3B2C7D40E612")
INamed : public IUnknown
{
    virtual const wchar_t* STDMETHODCALLTYPE Name() = 0;
};

} // namespace

__CRT_UUID_DECL(ICounter, 0x8d3e51a2, 0x0c6f, 0x4e7b, 0xa9, 0x15, 0x3b, 0x2c, 0x7d, 0x40, 0xe6, 0x11)
__CRT_UUID_DECL(INamed, 0x8d3e51a2, 0x0c6f, 0x4e7b, 0xa9, 0x15, 0x3b, 0x2c, 0x7d, 0x40, 0xe6, 0x12)

namespace
{

int g_destroyed = 0;
HRESULT g_constructResult = S_OK;

// An object with two interfaces, the free-threaded marshaler and a counter
// of its own, so a wrong interface pointer shows in the calls.
class CThing : public ICounter, public INamed, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CThing)
    COM_INTERFACE_ENTRY(ICounter)
    COM_INTERFACE_ENTRY(INamed)
    COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(m_marshaler)
    END_COM_MAP()

    HRESULT FinalConstruct()
    {
        if (FAILED(g_constructResult))
            return g_constructResult;
        // A reference taken and dropped here must not destroy the object.
        ComPtr<INamed> self;
        static_cast<ICounter*>(this)->QueryInterface(IID_PPV_ARGS(&self));
        self.Reset();
        return m_marshaler.Aggregate(static_cast<ICounter*>(this));
    }
    void FinalRelease() { ++g_destroyed; }

    int STDMETHODCALLTYPE Next() override { return ++m_count; }
    const wchar_t* STDMETHODCALLTYPE Name() override { return L"thing"; }

private:
    int m_count = 0;
    CFreeThreadedMarshaler m_marshaler;
};

class ComObject : public testing::Test
{
protected:
    void SetUp() override
    {
        g_destroyed = 0;
        g_constructResult = S_OK;
        ASSERT_HRESULT_SUCCEEDED(m_apartment.Result());
    }

    ComPtr<ICounter> Make()
    {
        CComObject<CThing>* object = nullptr;
        EXPECT_EQ(S_OK, CComObject<CThing>::CreateInstance(&object));
        return ComPtr<ICounter>(object);
    }

private:
    const CComInitializer m_apartment{COINIT_MULTITHREADED};
};

TEST_F(ComObject, InterfacesComeFromTheTableWithOneIdentityAndIMarshalFromTheMarshaler)
{
    ComPtr<ICounter> counter = Make();
    ComPtr<INamed> named;
    ASSERT_EQ(S_OK, counter.As(&named));
    EXPECT_STREQ(L"thing", named->Name());
    EXPECT_EQ(1, counter->Next());
    ComPtr<ICounter> again;
    ASSERT_EQ(S_OK, named.As(&again));
    EXPECT_EQ(counter.Get(), again.Get());
    EXPECT_EQ(2, again->Next());

    ComPtr<IUnknown> fromCounter, fromNamed;
    ASSERT_EQ(S_OK, counter.As(&fromCounter));
    ASSERT_EQ(S_OK, named.As(&fromNamed));
    EXPECT_EQ(fromCounter.Get(), fromNamed.Get());

    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(E_NOINTERFACE, counter.As(&dispatch));
    EXPECT_EQ(nullptr, dispatch.Get());
    EXPECT_EQ(E_POINTER, counter->QueryInterface(IID_IUnknown, nullptr));

    // IMarshal comes from the aggregated free-threaded marshaler.
    ComPtr<IMarshal> marshal;
    ASSERT_EQ(S_OK, counter.As(&marshal));
    EXPECT_NE(static_cast<void*>(marshal.Get()), static_cast<void*>(counter.Get()));
    // The inner object answers for the outer one.
    ComPtr<ICounter> back;
    ASSERT_EQ(S_OK, marshal.As(&back));
    EXPECT_EQ(counter.Get(), back.Get());

    // Marshalled to another apartment of the process it arrives unchanged.
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(__uuidof(ICounter), counter.Get(), &stream));
    ComPtr<ICounter> unmarshalled;
    ASSERT_EQ(S_OK, CoGetInterfaceAndReleaseStream(stream.Detach(), IID_PPV_ARGS(&unmarshalled)));
    EXPECT_EQ(counter.Get(), unmarshalled.Get());
}

TEST_F(ComObject, ObjectsHoldModuleLocksUntilTheyGoAndAFailedConstructionLeavesNothing)
{
    const LONG locks = g_Module.GetLockCount();
    {
        ComPtr<ICounter> first = Make();
        ComPtr<ICounter> second = Make();
        EXPECT_EQ(locks + 2, g_Module.GetLockCount());
        ComPtr<INamed> named;
        ASSERT_EQ(S_OK, first.As(&named));
        first.Reset();
        EXPECT_EQ(0, g_destroyed);
        EXPECT_EQ(locks + 2, g_Module.GetLockCount());
        named.Reset();
        EXPECT_EQ(1, g_destroyed);
        EXPECT_EQ(locks + 1, g_Module.GetLockCount());
    }
    EXPECT_EQ(2, g_destroyed);
    EXPECT_EQ(locks, g_Module.GetLockCount());

    // A global object counts its references as module locks instead.
    {
        CComObjectGlobal<CThing> global;
        EXPECT_EQ(S_OK, global.GetConstructResult());
        EXPECT_EQ(locks, g_Module.GetLockCount());
        ComPtr<INamed> named;
        ASSERT_EQ(S_OK, global.QueryInterface(IID_PPV_ARGS(&named)));
        EXPECT_EQ(locks + 1, g_Module.GetLockCount());
        named.Reset();
        EXPECT_EQ(locks, g_Module.GetLockCount());
        EXPECT_EQ(2, g_destroyed);
    }
    EXPECT_EQ(3, g_destroyed);

    g_constructResult = E_ACCESSDENIED;
    CComObject<CThing>* object = reinterpret_cast<CComObject<CThing>*>(1);
    EXPECT_EQ(E_ACCESSDENIED, CComObject<CThing>::CreateInstance(&object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(4, g_destroyed);
    EXPECT_EQ(locks, g_Module.GetLockCount());
}

// The creation helper runs the class's set-up after FinalConstruct, with the
// object held, and hands out the interface; every failure leaves nothing.
TEST_F(ComObject, MakeComObjectSetsUpAndHandsOutOrLeavesNothing)
{
    const LONG locks = g_Module.GetLockCount();
    int initialized = 0;
    auto count = [&](CThing& thing) {
        ++initialized;
        // Made and held: the marshaler is there and a reference comes and goes.
        ComPtr<IMarshal> marshal;
        EXPECT_EQ(S_OK, static_cast<ICounter*>(&thing)->QueryInterface(IID_PPV_ARGS(&marshal)));
        EXPECT_EQ(1, thing.Next());
        return S_FALSE;
    };
    INamed* named = reinterpret_cast<INamed*>(1);
    EXPECT_EQ(S_FALSE, MakeComObject<CThing>(&named, count));
    ASSERT_NE(nullptr, named);
    EXPECT_STREQ(L"thing", named->Name());
    ComPtr<ICounter> counter;
    ASSERT_EQ(S_OK, named->QueryInterface(IID_PPV_ARGS(&counter)));
    EXPECT_EQ(2, counter->Next());
    counter.Reset();
    EXPECT_EQ(0, g_destroyed);
    EXPECT_EQ(locks + 1, g_Module.GetLockCount());
    named->Release();
    EXPECT_EQ(1, g_destroyed);

    // The class's own form: the caller holds the one reference.
    ComPtr<CComObject<CThing>> object;
    ASSERT_EQ(S_FALSE, MakeComObject<CThing>(object, count));
    EXPECT_EQ(2, object->Next());
    object.Reset();
    EXPECT_EQ(2, g_destroyed);
    EXPECT_EQ(2, initialized);

    // A failing set-up, no memory in it, an interface the class lacks: the
    // object goes and nothing is handed out.
    IDispatch* dispatch = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(E_NOINTERFACE, MakeComObject<CThing>(&dispatch, count));
    EXPECT_EQ(nullptr, dispatch);
    EXPECT_EQ(3, g_destroyed);
    named = reinterpret_cast<INamed*>(1);
    EXPECT_EQ(E_ACCESSDENIED, MakeComObject<CThing>(&named, [](CThing&) { return E_ACCESSDENIED; }));
    EXPECT_EQ(nullptr, named);
    EXPECT_EQ(4, g_destroyed);
    EXPECT_EQ(E_OUTOFMEMORY, MakeComObject<CThing>(&named, [](CThing&) -> HRESULT { throw std::bad_alloc(); }));
    EXPECT_EQ(nullptr, named);
    EXPECT_EQ(5, g_destroyed);
    ASSERT_EQ(E_ACCESSDENIED, MakeComObject<CThing>(object, [](CThing&) { return E_ACCESSDENIED; }));
    EXPECT_EQ(nullptr, object.Get());
    EXPECT_EQ(6, g_destroyed);

    // A construction that fails, or nowhere to put the result: no set-up.
    g_constructResult = E_ABORT;
    EXPECT_EQ(E_ABORT, MakeComObject<CThing>(&named, count));
    g_constructResult = S_OK;
    EXPECT_EQ(E_POINTER, MakeComObject<CThing>(static_cast<INamed**>(nullptr), count));
    EXPECT_EQ(3, initialized);
    EXPECT_EQ(locks, g_Module.GetLockCount());
}

} // namespace
