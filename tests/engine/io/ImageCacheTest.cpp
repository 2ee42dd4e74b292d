#include "engine/images/ImageCache.h"
#include "tests/fixtures/ChildProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace
{

class ImageCache : public ::testing::Test
{
protected:
    void SetUp() override
    {
        path = dir / L"system.img";
        content = std::string(100000, '\0');
        for (size_t i = 0; i < content.size(); ++i)
            content[i] = static_cast<char>(i * 31);
        ASSERT_TRUE(WriteWholeFile(path, content));
    }

    CTempDir dir;
    std::wstring path;
    std::string content;
};

TEST_F(ImageCache, HoldersOfOnePathShareOneMappingOfTheWholeFile)
{
    const size_t before = SharedFileMappingEntryCount();
    std::shared_ptr<CSharedFileMapping> first, second, upper;
    ASSERT_EQ(S_OK, OpenSharedFileMapping(path.c_str(), first));
    ASSERT_EQ(S_OK, OpenSharedFileMapping(path.c_str(), second));
    EXPECT_EQ(first.get(), second.get());
    ASSERT_EQ(content.size(), first->Size());
    EXPECT_EQ(0, memcmp(first->View(), content.data(), content.size()));
    EXPECT_EQ(before + 1, SharedFileMappingEntryCount());

    // Paths are compared exactly: the same file in capitals is another entry.
    std::wstring other = path;
    std::transform(other.begin(), other.end(), other.begin(), ::towupper);
    ASSERT_NE(path, other);
    ASSERT_EQ(S_OK, OpenSharedFileMapping(other.c_str(), upper));
    EXPECT_NE(first.get(), upper.get());
    EXPECT_EQ(before + 2, SharedFileMappingEntryCount());
}

TEST_F(ImageCache, MappedAgainAfterTheLastHolderLetGoAndAMissingFileLeavesNoEntry)
{
    const size_t before = SharedFileMappingEntryCount();
    std::shared_ptr<CSharedFileMapping> mapping;
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), OpenSharedFileMapping((dir / L"missing.img").c_str(), mapping));
    EXPECT_EQ(nullptr, mapping.get());
    EXPECT_EQ(before, SharedFileMappingEntryCount());

    std::weak_ptr<CSharedFileMapping> old;
    {
        std::shared_ptr<CSharedFileMapping> held;
        ASSERT_EQ(S_OK, OpenSharedFileMapping(path.c_str(), held));
        old = held;
    }
    EXPECT_TRUE(old.expired());
    // Unmapped: the file can be replaced, and the next request sees the new bytes.
    ASSERT_TRUE(WriteWholeFile(path, "replaced"));
    ASSERT_EQ(S_OK, OpenSharedFileMapping(path.c_str(), mapping));
    ASSERT_EQ(8u, mapping->Size());
    EXPECT_EQ(0, memcmp(mapping->View(), "replaced", 8));
    EXPECT_EQ(before + 1, SharedFileMappingEntryCount());

    // A path whose mapping expired and whose file went away leaves no entry either.
    mapping.reset();
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), OpenSharedFileMapping(path.c_str(), mapping));
    EXPECT_EQ(before, SharedFileMappingEntryCount());
}

TEST_F(ImageCache, ConcurrentRequestsShareOneMapping)
{
    constexpr int kThreads = 8;
    for (int round = 0; round < 5; ++round)
    {
        std::vector<std::shared_ptr<CSharedFileMapping>> got(kThreads);
        std::vector<HRESULT> results(kThreads, E_FAIL);
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                WaitForSingleObject(go, INFINITE);
                results[t] = OpenSharedFileMapping(path.c_str(), got[t]);
            });
        SetEvent(go);
        for (auto& t : threads)
            t.join();
        CloseHandle(go);
        for (int t = 0; t < kThreads; ++t)
        {
            EXPECT_EQ(S_OK, results[t]);
            EXPECT_EQ(got[0].get(), got[t].get());
        }
        EXPECT_EQ(kThreads, got[0].use_count());
    }
}

} // namespace
