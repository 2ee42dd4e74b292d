#include "engine/Automation.h"
#include "services/ServerRegistration.h"

#include <gtest/gtest.h>

namespace
{
// The registration describes exactly the classes that the engine publishes,
// each by the type library that holds its coclass.
TEST(ServerRegistrationTest, DescribesEveryPublishedClassByItsTypeLibrary)
{
    size_t engineCount = 0;
    const EngineClass* engine = GetEngineClasses(&engineCount);
    size_t count = 0;
    const ServerClassRegistration* classes = GetServerClasses(count);
    ASSERT_EQ(engineCount, count);
    for (size_t i = 0; i < count; ++i)
    {
        bool published = false;
        for (size_t e = 0; e < engineCount; ++e)
            published = published || IsEqualCLSID(*engine[e].clsid, *classes[i].clsid);
        EXPECT_TRUE(published) << i;

        bool described = false;
        for (const wchar_t* index : {L"\\1", L"\\2", L"\\3"})
        {
            ComPtr<ITypeLib> lib;
            ASSERT_EQ(S_OK, LoadTypeLibEx((GetProgramPath() + index).c_str(), REGKIND_NONE, &lib));
            TLIBATTR* attr = nullptr;
            ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
            bool mine = IsEqualGUID(attr->guid, *classes[i].libid);
            lib->ReleaseTLibAttr(attr);
            ComPtr<ITypeInfo> info;
            if (mine && SUCCEEDED(lib->GetTypeInfoOfGuid(*classes[i].clsid, &info)))
                described = true;
        }
        EXPECT_TRUE(described) << i;
    }
}
} // namespace
