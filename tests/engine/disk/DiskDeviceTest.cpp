#include "engine/storage/DiskDevice.h"

#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DiskTestSupport.h"

using Microsoft::WRL::ComPtr;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace
{

const wchar_t kDisk[] = L"\\\\.\\PhysicalDrive7";
const wchar_t kVolumeE[] = L"\\\\.\\E:";
const wchar_t kVolumeF[] = L"\\\\.\\F:";

CDiskDevice* Disk(const ComPtr<IQDevice>& device)
{
    return static_cast<CDiskDevice*>(device.Get());
}

// One disk of patterned bytes, opened as a target.
class DiskTarget : public DiskTest
{
protected:
    void Open(size_t sectors, unsigned seed, IQStatusReport* status = nullptr)
    {
        file = MakeDisk(kDisk, sectors * 512);
        before = Pattern(sectors * 512, seed);
        ASSERT_TRUE(WriteWholeFile(file, before));
        ASSERT_EQ(S_OK, CDiskDevice::CreateInstance(kDisk, status, &device));
    }
    std::string Contents() const { return ReadWholeFile(file); }

    std::wstring file;
    std::string before;
    ComPtr<IQDevice> device;
};

using DiskReset = DiskTest;

TEST_F(DiskReset, LocksAndDismountsEveryVolumeBeforeOpeningAndKeepsThemLocked)
{
    MakeDisk(kDisk, 1 << 20, {kVolumeE, kVolumeF});
    ComPtr<IQDevice> device;
    ASSERT_EQ(S_OK, CDiskDevice::CreateInstance(kDisk, &sink, &device));
    EXPECT_THAT(disks.Calls(), ElementsAre(L"open volume \\\\.\\E:", L"lock \\\\.\\E:", L"dismount \\\\.\\E:",
                                           L"open volume \\\\.\\F:", L"lock \\\\.\\F:", L"dismount \\\\.\\F:",
                                           L"open disk \\\\.\\PhysicalDrive7", L"delete layout \\\\.\\PhysicalDrive7",
                                           L"update properties \\\\.\\PhysicalDrive7"));
    EXPECT_THAT(sink.Texts(), ElementsAre(L"Dismount volume \"\\\\.\\E:\"", L"Dismount volume \"\\\\.\\F:\"",
                                          L"Open disk \"\\\\.\\PhysicalDrive7\"", L"Delete drive layout"));
    EXPECT_THAT(disks.LockedVolumes(), UnorderedElementsAre(kVolumeE, kVolumeF));

    // A second reset lets everything go before taking it again.
    disks.ClearCalls();
    ASSERT_EQ(S_OK, device->Reset());
    std::vector<std::wstring> calls = disks.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_THAT(std::vector<std::wstring>(calls.begin(), calls.begin() + 3),
                ElementsAre(L"close \\\\.\\E:", L"close \\\\.\\F:", L"close disk \\\\.\\PhysicalDrive7"));
    EXPECT_EQ(L"lock \\\\.\\E:", calls[4]);
    EXPECT_THAT(disks.LockedVolumes(), UnorderedElementsAre(kVolumeE, kVolumeF));

    // The last reference ends the locks and closes the disk; the sink goes too.
    EXPECT_GT(sink.Held(), 0);
    device.Reset();
    EXPECT_THAT(disks.LockedVolumes(), IsEmpty());
    EXPECT_EQ(L"close disk \\\\.\\PhysicalDrive7", disks.Calls().back());
    EXPECT_EQ(0, sink.Held());
}

TEST_F(DiskReset, DiskWithoutVolumesIsOpenedAloneAndAFailedVolumeListOpensNothing)
{
    MakeDisk(kDisk, 1 << 20);
    ComPtr<IQDevice> device;
    ASSERT_EQ(S_OK, CDiskDevice::CreateInstance(kDisk, nullptr, &device));
    EXPECT_THAT(disks.Calls(), ElementsAre(L"open disk \\\\.\\PhysicalDrive7", L"delete layout \\\\.\\PhysicalDrive7",
                                           L"update properties \\\\.\\PhysicalDrive7"));
    device.Reset();
    disks.ClearCalls();
    ASSERT_TRUE(m_table.SetAnswer({"qcGetVolumeList", "", 5}));
    EXPECT_TRUE(FAILED(CDiskDevice::CreateInstance(kDisk, nullptr, &device)));
    EXPECT_THAT(disks.Calls(), IsEmpty());
}

TEST_F(DiskReset, FailuresEndTheStepAndLeaveNothingOpen)
{
    MakeDisk(kDisk, 1 << 20, {kVolumeE, kVolumeF});
    const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    for (const wchar_t* call : {L"lock \\\\.\\F:", L"dismount \\\\.\\E:", L"open disk \\\\.\\PhysicalDrive7",
                                L"delete layout \\\\.\\PhysicalDrive7", L"update properties \\\\.\\PhysicalDrive7"})
    {
        SCOPED_TRACE(call);
        CFileBackedDisk faulty;
        faulty.AddDisk(kDisk, Path(L"disk1.bin"));
        faulty.AddVolume(kVolumeE);
        faulty.AddVolume(kVolumeF);
        faulty.FailCall(call, denied);
        ComPtr<IQDevice> device;
        EXPECT_EQ(denied, CDiskDevice::CreateInstance(kDisk, nullptr, &device));
        EXPECT_EQ(nullptr, device.Get());
        std::vector<std::wstring> calls = faulty.Calls();
        auto failed = std::find(calls.begin(), calls.end(), call);
        ASSERT_NE(calls.end(), failed);
        // Nothing but closing after the failed step, and everything is closed.
        for (auto later = failed + 1; later != calls.end(); ++later)
            EXPECT_EQ(0u, later->rfind(L"close", 0)) << *later;
        EXPECT_THAT(faulty.LockedVolumes(), IsEmpty());
    }
}

using DiskExpressions = DiskTarget;

TEST_F(DiskExpressions, DiskSectorsCountWholeSectorsOfTheDisk)
{
    const ULONGLONG sixteenGiB = 16ull << 30;
    MakeDisk(kDisk, sixteenGiB + 511);
    ASSERT_EQ(S_OK, CDiskDevice::CreateInstance(kDisk, nullptr, &device));
    ULONGLONG value = 0;
    ASSERT_EQ(S_OK, Disk(device)->ParseXmlAttrValue(L"NUM_DISK_SECTORS", value));
    EXPECT_EQ(33554432u, value);
    ASSERT_EQ(S_OK, Disk(device)->ParseXmlAttrValue(L"NUM_DISK_SECTORS-33.", value));
    EXPECT_EQ(33554399u, value);
    // Other names stay unknown, and a failure leaves the value alone.
    EXPECT_TRUE(FAILED(Disk(device)->ParseXmlAttrValue(L"NUM_DISK_BLOCKS", value)));
    EXPECT_EQ(33554399u, value);
}

TEST_F(DiskExpressions, Crc32ReadsWholeSectorsOfTheDiskAsItIsThenInBoundedPieces)
{
    Open(600, 1);
    using Reads = std::vector<std::pair<ULONGLONG, DWORD>>;
    struct Case
    {
        const wchar_t* expression;
        ULONG crc;
        Reads reads; // position and count of each read, in order
    } cases[] = {
        {L"CRC32(1,92)", BitwiseCrc32Of(before, 512, 92), {{512, 512}}},
        {L"CRC32(0,600)", BitwiseCrc32Of(before, 0, 600), {{0, 1024}}},
        {L"CRC32(2,1024)", BitwiseCrc32Of(before, 1024, 1024), {{1024, 1024}}},
        {L"CRC32(3,0)", 0, {}},
        {L"CRC32(600,0)", 0, {}},
        // Pieces of 256 sectors at most, the last one cut to what is left.
        {L"CRC32(4,256*512)", BitwiseCrc32Of(before, 2048, 256 * 512), {{2048, 256 * 512}}},
        {L"CRC32(4,256*512+1)", BitwiseCrc32Of(before, 2048, 256 * 512 + 1), {{2048, 256 * 512}, {133120, 512}}},
        // Up to the disk's last byte.
        {L"CRC32(0,600*512)", BitwiseCrc32Of(before), {{0, 256 * 512}, {256 * 512, 256 * 512}, {512 * 512, 88 * 512}}},
        {L"CRC32(599,512)", BitwiseCrc32Of(before, 599 * 512), {{599 * 512, 512}}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.expression);
        disks.ClearTransfers();
        ULONGLONG value = 0;
        ASSERT_EQ(S_OK, Disk(device)->ParseXmlAttrValue(c.expression, value));
        EXPECT_EQ(c.crc, value);
        Reads reads;
        for (const DiskTransfer& read : disks.Reads())
            reads.emplace_back(read.position, read.count);
        EXPECT_EQ(c.reads, reads);
    }

    // Every evaluation reads the disk as it is then, as a checksum patch
    // after the patches it covers needs.
    ASSERT_EQ(S_OK, device->ApplyPatch(L"1", L"0", L"0", L"8", L"512", L"0"));
    std::string changed = before.substr(512, 92);
    changed.replace(0, 8, std::string(8, '\0'));
    ULONGLONG value = 0;
    ASSERT_EQ(S_OK, Disk(device)->ParseXmlAttrValue(L"CRC32(1,92)", value));
    EXPECT_EQ(BitwiseCrc32Of(changed), value);

    // Outside the disk the whole expression fails before anything is read,
    // and the value stays.
    for (const wchar_t* expression : {L"CRC32(599,513)", L"CRC32(601,0)", L"CRC32(0,2147483647)", L"CRC32(-1,16)",
                                      L"1+CRC32(0,-1)", L"CRC32(0,2^32)"})
    {
        SCOPED_TRACE(expression);
        disks.ClearTransfers();
        value = 42;
        EXPECT_EQ(static_cast<HRESULT>(0xFFFFFFFF), Disk(device)->ParseXmlAttrValue(expression, value));
        EXPECT_EQ(42u, value);
        EXPECT_THAT(disks.Reads(), IsEmpty());
    }
}

TEST_F(DiskExpressions, EachThreadReachesItsOwnDisk)
{
    std::wstring first = MakeDisk(kDisk, 16 * 512, {}, 1);
    std::wstring second = MakeDisk(L"\\\\.\\PhysicalDrive8", 32 * 512, {}, 2);
    const std::string a = Pattern(16 * 512, 11), b = Pattern(32 * 512, 12);
    ASSERT_TRUE(WriteWholeFile(first, a));
    ASSERT_TRUE(WriteWholeFile(second, b));
    ComPtr<IQDevice> one, two;
    ASSERT_EQ(S_OK, CDiskDevice::CreateInstance(kDisk, nullptr, &one));
    ASSERT_EQ(S_OK, CDiskDevice::CreateInstance(L"\\\\.\\PhysicalDrive8", nullptr, &two));

    auto evaluate = [](CDiskDevice* disk, ULONGLONG expected, int* mismatches) {
        for (int i = 0; i < 200; ++i)
        {
            ULONGLONG value = 0;
            if (FAILED(disk->ParseXmlAttrValue(L"CRC32(0,512)+NUM_DISK_SECTORS", value)) || value != expected)
                ++*mismatches;
        }
    };
    int wrongOne = 0, wrongTwo = 0;
    std::thread t1(evaluate, Disk(one), BitwiseCrc32Of(a, 0, 512) + 16ull, &wrongOne);
    std::thread t2(evaluate, Disk(two), BitwiseCrc32Of(b, 0, 512) + 32ull, &wrongTwo);
    t1.join();
    t2.join();
    EXPECT_EQ(0, wrongOne);
    EXPECT_EQ(0, wrongTwo);
}

using DiskPatch = DiskTarget;

TEST_F(DiskPatch, StoresTheValueLowByteFirstAndKeepsTheRestOfTheSector)
{
    Open(64, 3, &sink);

    ASSERT_EQ(S_OK, device->ApplyPatch(L"5", L"8", L"258", L"2", L"4096", L"3"));
    std::string expected = before;
    expected[5 * 512 + 8] = 0x02;
    expected[5 * 512 + 9] = 0x01;
    EXPECT_EQ(expected, Contents());
    EXPECT_EQ(L"ApplyPatch sector 5, offset 8, value 258, size 2", sink.Texts().back());

    // Bytes beyond the eighth are zero; the value may use the disk's names.
    ASSERT_EQ(S_OK, device->ApplyPatch(L"NUM_DISK_SECTORS-1", L"500", L"NUM_DISK_SECTORS*256+1", L"12", L"512", L"0"));
    const std::string tail("\x01\x40\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
    expected.replace(63 * 512 + 500, 12, tail);
    EXPECT_EQ(expected, Contents());

    // Size 0 writes the sector back as it was.
    disks.ClearTransfers();
    ASSERT_EQ(S_OK, device->ApplyPatch(L"9", L"512", L"7", L"0", L"512", L"0"));
    EXPECT_EQ(expected, Contents());
    ASSERT_EQ(1u, disks.Writes().size());
    EXPECT_EQ(9u * 512, disks.Writes()[0].position);
    EXPECT_EQ(512u, disks.Writes()[0].count);
}

TEST_F(DiskPatch, PatchOutsideItsSectorOrTheDiskIsRefusedUntouched)
{
    Open(64, 4);
    struct Case
    {
        const wchar_t *sector, *offset, *size;
        HRESULT result;
    } cases[] = {
        {L"2", L"510", L"4", E_INVALIDARG},
        {L"2", L"513", L"0", E_INVALIDARG},
        {L"2", L"0", L"513", E_INVALIDARG},
        {L"2", L"-1", L"2", E_INVALIDARG},
        // Sector numbers whose byte position wraps to the start of the disk.
        {L"2^55", L"0", L"1", HRESULT_FROM_WIN32(ERROR_SECTOR_NOT_FOUND)},
        {L"-1", L"0", L"1", HRESULT_FROM_WIN32(ERROR_SECTOR_NOT_FOUND)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::wstring(c.sector) + L"/" + c.offset + L"/" + c.size);
        disks.ClearTransfers();
        EXPECT_EQ(c.result, device->ApplyPatch(c.sector, c.offset, L"65535", c.size, L"512", L"0"));
        EXPECT_THAT(disks.Writes(), IsEmpty());
    }
    EXPECT_EQ(before, Contents());
    EXPECT_TRUE(FAILED(device->ApplyPatch(L"2", L"8", L"1+", L"2", L"512", L"0")));
}

using DiskWrite = DiskTarget;

TEST_F(DiskWrite, WritesInPiecesOfAtMost256SectorsAtTheStartSector)
{
    Open(1024, 5, &sink);
    // 300 sectors and 100 bytes: the last sector is completed with zeros.
    const std::string image = Pattern(300 * 512 + 100, 6);
    ASSERT_TRUE(WriteWholeFile(Path(L"boot.img"), image));
    disks.ClearTransfers();

    ASSERT_EQ(S_OK,
              device->WriteFile(L"NUM_DISK_SECTORS-400", L"0", Path(L"boot.img").c_str(), L"0", L"0", L"512", L"0"));
    std::string expected = before;
    expected.replace(624 * 512, image.size() + 412, image + std::string(412, '\0'));
    EXPECT_EQ(expected, Contents());
    std::vector<DiskTransfer> writes = disks.Writes();
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(624u * 512, writes[0].position);
    EXPECT_EQ(256u * 512, writes[0].count);
    EXPECT_EQ(880u * 512, writes[1].position);
    EXPECT_EQ(45u * 512, writes[1].count);
    std::vector<std::wstring> texts = sink.Texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(L"Writing file \"" + Path(L"boot.img") + L"\" to partition at NUM_DISK_SECTORS-400",
              texts[texts.size() - 3]);
    EXPECT_EQ(0u, texts[texts.size() - 2].rfind(L"WriteFile position ", 0));
    EXPECT_EQ(L", size 131072", texts[texts.size() - 2].substr(texts[texts.size() - 2].size() - 13));
    EXPECT_EQ(L"WriteFile position 0x00000000020000, size 23040", texts.back());
}

TEST_F(DiskWrite, OffsetsLimitsAndSectorSizesPickTheRightBytes)
{
    Open(256, 7);
    // Five whole pages: a read past the file's end would fault.
    const std::string image = Pattern(40 * 512, 8);
    ASSERT_TRUE(WriteWholeFile(Path(L"part.bin"), image));
    const std::wstring part = Path(L"part.bin");
    struct Case
    {
        const wchar_t *start, *limit, *offset, *extra, *sectorSize;
        size_t diskAt, fileAt, length;
    } cases[] = {
        // Cut to num_partition_sectors.
        {L"10", L"8", L"0", L"0", L"512", 10 * 512, 0, 8 * 512},
        // From file sector 30 to the end of the file.
        {L"100", L"0", L"30", L"0", L"512", 100 * 512, 30 * 512, 10 * 512},
        // A raw chunk of a sparse image: sector 1 plus 40 bytes, 3 sectors.
        {L"150", L"3", L"1", L"40", L"512", 150 * 512, 552, 3 * 512},
        // Sectors of 4096 bytes: start sector 20 is byte 81920.
        {L"20", L"2", L"1", L"0", L"4096", 20 * 4096, 4096, 2 * 4096},
        // A byte offset pushing the last sector past the file's end: zeros.
        {L"200", L"0", L"0", L"100", L"512", 200 * 512, 100, 40 * 512},
    };
    // The cases write apart from each other.
    std::string expected = before;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::wstring(c.start) + L"/" + c.limit + L"/" + c.offset + L"/" + c.extra);
        ASSERT_EQ(S_OK, device->WriteFile(c.start, c.limit, part.c_str(), c.offset, c.extra, c.sectorSize, L"0"));
        expected.replace(c.diskAt, c.length, (image + std::string(512, '\0')).substr(c.fileAt, c.length));
        EXPECT_EQ(expected, Contents());
    }
}

TEST_F(DiskWrite, RefusedEntriesProvisioningAndTheBootableDriveWriteNothing)
{
    Open(64, 11, &sink);
    ASSERT_TRUE(WriteWholeFile(Path(L"small.bin"), Pattern(1000, 12)));
    const std::wstring small = Path(L"small.bin");
    struct Case
    {
        const wchar_t *start, *offset, *extra, *sectorSize;
        HRESULT result;
    } cases[] = {
        {L"0", L"3", L"0", L"512", HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)},
        {L"0", L"0", L"1001", L"512", HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)},
        {L"0", L"0", L"0", L"0", HRESULT_FROM_WIN32(ERROR_BAD_FORMAT)},
        {L"-1", L"0", L"0", L"512", HRESULT_FROM_WIN32(ERROR_SECTOR_NOT_FOUND)},
        {L"2^60", L"0", L"0", L"512", HRESULT_FROM_WIN32(ERROR_SECTOR_NOT_FOUND)},
        {L"0", L"0", L"0", L"1+", static_cast<HRESULT>(0)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::wstring(c.start) + L"/" + c.offset + L"/" + c.extra + L"/" + c.sectorSize);
        disks.ClearTransfers();
        HRESULT hr = device->WriteFile(c.start, L"0", small.c_str(), c.offset, c.extra, c.sectorSize, L"0");
        if (c.result == 0)
            EXPECT_TRUE(FAILED(hr));
        else
            EXPECT_EQ(c.result, hr);
        EXPECT_THAT(disks.Writes(), IsEmpty());
    }
    // Nothing to write is a success; a missing file fails when it is mapped.
    ASSERT_TRUE(WriteWholeFile(Path(L"empty.bin"), ""));
    EXPECT_EQ(S_OK, device->WriteFile(L"0", L"0", Path(L"empty.bin").c_str(), L"0", L"0", L"512", L"0"));
    EXPECT_EQ(S_OK, device->WriteFile(L"0", L"0", small.c_str(), L"2", L"0", L"512", L"0"));
    EXPECT_THAT(disks.Writes(), IsEmpty());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              device->WriteFile(L"0", L"0", Path(L"none.bin").c_str(), L"0", L"0", L"512", L"0"));

    // Provisioning and the bootable drive mean nothing to a disk.
    disks.ClearCalls();
    const size_t texts = sink.Texts().size();
    EXPECT_EQ(S_OK, device->Provision(Path(L"provision.xml").c_str()));
    EXPECT_EQ(S_OK, device->SetBootableStorageDrive());
    EXPECT_THAT(disks.Calls(), IsEmpty());
    EXPECT_EQ(texts, sink.Texts().size());
    EXPECT_EQ(before, Contents());
}

// The plain disk access under the targets.
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
