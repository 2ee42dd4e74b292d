#include "platform/ComObject.h"

#include <gtest/gtest.h>

namespace {

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

namespace {

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
        COM_INTERFACE_ENTRY_AGGREGATE(IID_IMarshal, m_marshaler)
    END_COM_MAP()

    HRESULT FinalConstruct()
    {
        if (FAILED(g_constructResult))
            return g_constructResult;
        // A reference taken and dropped here must not destroy the object.
        ComPtr<INamed> self;
        static_cast<ICounter*>(this)->QueryInterface(IID_PPV_ARGS(&self));
        self.Reset();
        return CoCreateFreeThreadedMarshaler(static_cast<ICounter*>(this), &m_marshaler);
    }
    void FinalRelease() { ++g_destroyed; }

    int STDMETHODCALLTYPE Next() override { return ++m_count; }
    const wchar_t* STDMETHODCALLTYPE Name() override { return L"thing"; }

private:
    int m_count = 0;
    ComPtr<IUnknown> m_marshaler;
};

class ComObject : public testing::Test
{
protected:
    void SetUp() override
    {
        g_destroyed = 0;
        g_constructResult = S_OK;
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override { CoUninitialize(); }

    ComPtr<ICounter> Make()
    {
        CComObject<CThing>* object = nullptr;
        EXPECT_EQ(S_OK, CComObject<CThing>::CreateInstance(&object));
        return ComPtr<ICounter>(object);
    }
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

} // namespace
