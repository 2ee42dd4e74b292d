#include "engine/storage/DiskDevice.h"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DiskTestSupport.h"
#include "simulators/SparseBuilder.h"

using ::testing::IsEmpty;

namespace
{

const wchar_t kDisk[] = L"\\\\.\\PhysicalDrive3";
const wchar_t kVolume[] = L"\\\\.\\G:";
const size_t kSector = 512;

std::string Resource(const wchar_t* name)
{
    HRSRC found = FindResourceW(nullptr, name, RT_RCDATA);
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    if (!loaded)
        return {};
    return std::string(static_cast<const char*>(LockResource(loaded)), SizeofResource(nullptr, found));
}

void Put(std::string& bytes, size_t at, ULONGLONG value, size_t size)
{
    bytes.replace(at, size, LittleEndian(value, size));
}

// A partition entry: type, unique id, first and last sector, name.
void PutEntry(std::string& table, int index, ULONGLONG first, ULONGLONG last, const wchar_t* name)
{
    size_t at = static_cast<size_t>(index) * 128;
    table.replace(at, 16, Pattern(16, 100 + index));
    table.replace(at + 16, 16, Pattern(16, 200 + index));
    Put(table, at + 32, first, 8);
    Put(table, at + 40, last, 8);
    for (size_t i = 0; name[i]; ++i)
        Put(table, at + 56 + 2 * i, name[i], 2);
}

// The 32 sectors of partition entries; the last partition's range is left
// for the patches, which know the disk's size.
std::string PartitionTable()
{
    std::string table(32 * kSector, '\0');
    PutEntry(table, 0, 40, 551, L"boot");
    PutEntry(table, 1, 600, 663, L"cache");
    PutEntry(table, 2, 1024, 1535, L"system");
    PutEntry(table, 3, 0, 0, L"modem");
    return table;
}

// A GPT header with its disk-size fields and checksums left as zeros.
std::string Header(ULONGLONG self, ULONGLONG other, ULONGLONG entries)
{
    std::string header(kSector, '\0');
    header.replace(0, 8, "EFI PART");
    Put(header, 8, 0x00010000, 4);
    Put(header, 12, 92, 4);
    Put(header, 24, self, 8);
    Put(header, 32, other, 8);
    Put(header, 40, 34, 8);
    header.replace(56, 16, Pattern(16, 77));
    Put(header, 72, entries, 8);
    Put(header, 80, 128, 4);
    Put(header, 84, 128, 4);
    return header;
}

std::string ProtectiveMbr()
{
    std::string mbr(kSector, '\0');
    mbr[446 + 4] = '\xEE';
    Put(mbr, 446 + 8, 1, 4);
    Put(mbr, 446 + 12, 0xFFFFFFFF, 4);
    mbr[510] = '\x55';
    mbr[511] = '\xAA';
    return mbr;
}

class DownloadToDisk : public DiskTest, public ::testing::WithParamInterface<ULONGLONG>
{
protected:
    void SetUp() override
    {
        boot = Pattern(300 * kSector + 100, 1);
        modem = Pattern(20 * kSector, 2);
        systemFirst = Pattern(8192, 3);
        systemSecond = Pattern(4096, 4);
        ASSERT_TRUE(WriteWholeFile(Path(L"gpt_main0.bin"), ProtectiveMbr() + Header(1, 0, 2) + PartitionTable()));
        ASSERT_TRUE(WriteWholeFile(Path(L"gpt_backup0.bin"), PartitionTable() + Header(0, 1, 0)));
        ASSERT_TRUE(WriteWholeFile(Path(L"boot.img"), boot));
        ASSERT_TRUE(WriteWholeFile(Path(L"modem.bin"), modem));
        // Blocks of 4096 bytes: 2 of data, 10 left alone, 1 of data.
        const std::string system = CSparseBuilder().Raw(systemFirst).DontCare(10).Raw(systemSecond).Build();
        ASSERT_TRUE(WriteWholeFile(Path(L"system.img"), system));
        ASSERT_TRUE(WriteWholeFile(Path(L"rawprogram0.xml"), Resource(L"RAWPROGRAM_GPT")));
        ASSERT_TRUE(WriteWholeFile(Path(L"patch0.xml"), Resource(L"PATCH_GPT")));
    }

    // What the disk must hold afterwards, worked out from the layout.
    std::string ExpectedDisk(const std::string& before, ULONGLONG sectors) const
    {
        const size_t n = static_cast<size_t>(sectors);
        std::string disk = before;
        auto place = [&disk](size_t sector, const std::string& bytes) {
            disk.replace(sector * kSector, bytes.size(), bytes);
        };
        place(0, ProtectiveMbr() + Header(1, 0, 2) + PartitionTable());
        place(40, boot + std::string(kSector - 100, '\0'));
        place(1024, systemFirst);
        place(1024 + 16 + 80, systemSecond);
        place(n - 41, modem.substr(0, 8 * kSector));
        place(n - 33, PartitionTable() + Header(0, 1, 0));

        for (size_t table : {size_t(2), n - 33})
        {
            Put(disk, table * kSector + 3 * 128 + 32, n - 41, 8);
            Put(disk, table * kSector + 3 * 128 + 40, n - 34, 8);
        }
        const size_t primary = kSector, backup = (n - 1) * kSector;
        Put(disk, primary + 32, n - 1, 8);
        Put(disk, primary + 48, n - 34, 8);
        Put(disk, backup + 24, n - 1, 8);
        Put(disk, backup + 48, n - 34, 8);
        Put(disk, backup + 72, n - 33, 8);
        Put(disk, primary + 88, BitwiseCrc32Of(disk, 2 * kSector, 16384), 4);
        Put(disk, backup + 88, BitwiseCrc32Of(disk, (n - 33) * kSector, 16384), 4);
        Put(disk, primary + 16, BitwiseCrc32Of(disk, primary, 92), 4);
        Put(disk, backup + 16, BitwiseCrc32Of(disk, backup, 92), 4);
        return disk;
    }

    std::string boot, modem, systemFirst, systemSecond;
};

TEST_P(DownloadToDisk, GptLayoutFollowsTheDiskItIsWrittenTo)
{
    const ULONGLONG sectors = GetParam();
    const DWORD length = static_cast<DWORD>(sectors * kSector);
    std::wstring file = MakeDisk(kDisk, length, {kVolume});
    const std::string before = Pattern(length, 9);
    ASSERT_TRUE(WriteWholeFile(file, before));

    ASSERT_EQ(S_OK, DownloadImagesToDisk(kDisk, Path(L"rawprogram0.xml").c_str(), Path(L"patch0.xml").c_str(),
                                         m_dir.Path().c_str(), &sink));
    const std::string after = ReadWholeFile(file);
    const std::string expected = ExpectedDisk(before, sectors);
    ASSERT_EQ(expected.size(), after.size());
    auto differ = std::mismatch(expected.begin(), expected.end(), after.begin());
    EXPECT_TRUE(differ.first == expected.end()) << "first difference at byte " << (differ.first - expected.begin())
                                                << " (sector " << (differ.first - expected.begin()) / kSector << ")";

    // The volume was locked for the download and let go with the device.
    std::vector<std::wstring> calls = disks.Calls();
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), L"lock \\\\.\\G:"));
    EXPECT_THAT(disks.LockedVolumes(), IsEmpty());
    EXPECT_EQ(0, sink.Held());
}

INSTANTIATE_TEST_SUITE_P(DiskSizes, DownloadToDisk, ::testing::Values(4096ull, 6000ull));

using DownloadToDiskFailures = DiskTest;

TEST_F(DownloadToDiskFailures, MissingImageResetsTheDiskBetweenAttemptsAndFails)
{
    MakeDisk(kDisk, 64 * kSector, {kVolume});
    ASSERT_TRUE(
        WriteWholeFile(Path(L"raw.xml"), "<data><program filename=\"absent.img\" start_sector=\"0\"/></data>"));
    ASSERT_TRUE(WriteWholeFile(Path(L"patch.xml"), "<patches/>"));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              DownloadImagesToDisk(kDisk, Path(L"raw.xml").c_str(), Path(L"patch.xml").c_str(), m_dir.Path().c_str(),
                                   nullptr));
    std::vector<std::wstring> calls = disks.Calls();
    // Made once, then reset after each of the three failed attempts.
    EXPECT_EQ(4, std::count(calls.begin(), calls.end(), L"delete layout \\\\.\\PhysicalDrive3"));
    EXPECT_EQ(4, std::count(calls.begin(), calls.end(), L"lock \\\\.\\G:"));
    EXPECT_THAT(disks.Writes(), IsEmpty());
    EXPECT_THAT(disks.LockedVolumes(), IsEmpty());
}

} // namespace
