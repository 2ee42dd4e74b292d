#include "engine/storage/DiskAccess.h"

#include <gtest/gtest.h>

#include "DiskTestSupport.h"

namespace {

TEST(Win32DiskAccess, PositionsThatReadAsNoPositionAreRefused)
{
    CTempDir dir(L"access");
    const std::wstring path = dir / L"disk.bin";
    ASSERT_TRUE(CreateDiskFile(path, 4 * 512));
    CWin32DiskAccess access;
    HANDLE disk = INVALID_HANDLE_VALUE;
    ASSERT_EQ(S_OK, access.OpenDisk(path.c_str(), &disk));

    const std::string data = Pattern(512, 1);
    ASSERT_EQ(S_OK, access.Write(disk, data.data(), 512, 1024));
    // All ones is the retrying writer's "no position": it would write at
    // the handle's current position, which is now just behind sector 2.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK), access.Write(disk, data.data(), 512, ~0ull));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK), access.Write(disk, data.data(), 512, 1ull << 63));
    std::string back(512, '\0');
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK), access.Read(disk, &back[0], 512, ~0ull));
    ASSERT_EQ(S_OK, access.Read(disk, &back[0], 512, 1024));
    EXPECT_EQ(data, back);
    access.Close(disk);
    EXPECT_EQ(std::string(1024, '\0') + data + std::string(512, '\0'), ReadWholeFile(path));

    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), access.OpenDisk((dir / L"none.bin").c_str(), &disk));
}

} // namespace
