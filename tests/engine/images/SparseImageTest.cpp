#include <gtest/gtest.h>

#include "engine/images/SparseImage.h"
#include "tests/engine/images/RecordingDevice.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/SparseBuilder.h"

namespace
{

const HRESULT kBadFormat = static_cast<HRESULT>(0x8007000B);
const HRESULT kUnsupported = static_cast<HRESULT>(0x8007065E);
const HRESULT kTooLarge = static_cast<HRESULT>(0x800700DF);
const HRESULT kTruncated = static_cast<HRESULT>(0x80070026);

class SparseImage : public ::testing::Test
{
protected:
    HRESULT Write(const std::string& image, const wchar_t* start = L"100", const wchar_t* limit = L"0",
                  const wchar_t* offset = L"0", const wchar_t* sectorSize = L"512")
    {
        path = dir / (L"sparse" + std::to_wstring(++files) + L".img");
        EXPECT_TRUE(WriteWholeFile(path, image));
        return WriteSparseFileToDevice(&device, start, limit, path.c_str(), offset, sectorSize, L"2");
    }
    // start_sector, num_partition_sectors, file_sector_offset, byte offset
    // of each write.
    std::vector<std::vector<std::wstring>> Writes() const
    {
        std::vector<std::vector<std::wstring>> writes;
        for (const DeviceCall& call : device.Calls(L"WriteFile"))
        {
            EXPECT_EQ(path, call.args[2]);
            writes.push_back({call.args[0], call.args[1], call.args[3], call.args[4], call.args[5], call.args[6]});
        }
        return writes;
    }

    CTempDir dir{L"sparse"};
    int files = 0;
    std::wstring path;
    CRecordingDevice device;
};

TEST_F(SparseImage, RawChunksAreWrittenFromTheirPlaceInTheFileWhateverTheHeaderSizes)
{
    std::string image =
        CSparseBuilder(4096).Raw(std::string(2 * 4096, 'a')).DontCare(10).Raw(std::string(4096, 'b')).Build();
    ASSERT_EQ(S_OK, Write(image, L"50+50", L"0", L"0", L"2*256"));
    // The first raw chunk starts at byte 40: sector 0 of the file, offset 40.
    // The don't-care chunk of 10 blocks of 4096 moves the next one 80 sectors.
    std::vector<std::vector<std::wstring>> expected = {{L"100", L"16", L"0", L"40", L"2*256", L"2"},
                                                       {L"196", L"8", L"16", L"64", L"2*256", L"2"}};
    EXPECT_EQ(expected, Writes());

    // Header sizes larger than their fields are honoured.
    device.calls.clear();
    ASSERT_EQ(S_OK, Write(CSparseBuilder(1024).HeaderSizes(32, 16).Raw(std::string(1024, 'x')).Build(), L"0", L"2"));
    expected = {{L"0", L"2", L"0", L"48", L"512", L"2"}};
    EXPECT_EQ(expected, Writes());
}

TEST_F(SparseImage, ChunksOfFourGigabytesAndMorePlaceLaterChunksCorrectly)
{
    // 2^20 blocks of 4096 bytes: 4 GiB, 8388608 sectors of 512.
    std::string image = CSparseBuilder(4096).DontCare(0x100000).DontCare(0x100001).Raw(std::string(4096, 'z')).Build();
    ASSERT_EQ(S_OK, Write(image, L"0", L"0"));
    std::vector<std::vector<std::wstring>> expected = {{L"16777224", L"8", L"0", L"64", L"512", L"2"}};
    EXPECT_EQ(expected, Writes());

    // The size check does not wrap either: 2^20 blocks exceed 2^23 - 1 sectors.
    EXPECT_EQ(kTooLarge, Write(CSparseBuilder(4096).DontCare(0x100000).Build(), L"0", L"8388607"));
    EXPECT_EQ(S_OK, Write(CSparseBuilder(4096).DontCare(0x100000).Build(), L"0", L"8388608"));

    // A raw chunk whose size in bytes wraps to its header's total size in 32
    // bits is refused, not taken as an empty chunk.
    EXPECT_EQ(kBadFormat, Write(CSparseBuilder(4096).Chunk(0xCAC1, 0x100000, 12, "").Build(), L"0"));
    EXPECT_EQ(1u, device.Calls(L"WriteFile").size());
}

TEST_F(SparseImage, HeaderChecks)
{
    const std::string good = CSparseBuilder().Raw(std::string(4096, 'g')).Build();
    EXPECT_EQ(kUnsupported, Write(CSparseBuilder().MajorVersion(2).Raw(std::string(4096, 'g')).Build()));
    EXPECT_EQ(kBadFormat, Write(CSparseBuilder().Magic(0xED26FF3B).Raw(std::string(4096, 'g')).Build()));
    EXPECT_EQ(kBadFormat, Write(good, L"0", L"0", L"1"));
    EXPECT_EQ(kBadFormat, Write(good, L"0", L"0", L"0", L"0"));
    // 4096-byte blocks do not divide into sectors of 3000.
    EXPECT_EQ(kBadFormat, Write(good, L"0", L"0", L"0", L"3000"));
    // 8 sectors of image do not fit 7; 0 means no limit.
    EXPECT_EQ(kTooLarge, Write(good, L"0", L"7"));
    EXPECT_EQ(0u, device.calls.size());
    EXPECT_EQ(S_OK, Write(good, L"0", L"8"));
    EXPECT_EQ(S_OK, Write(good, L"0", L"0"));
    EXPECT_EQ(2u, device.calls.size());
    // Expressions fail with the parser's code.
    EXPECT_EQ(static_cast<HRESULT>(0x80070000u), Write(good, L"3+*4"));
    // No chunks: nothing to do.
    EXPECT_EQ(S_OK, Write(CSparseBuilder().Build()));
    EXPECT_EQ(2u, device.calls.size());
}

TEST_F(SparseImage, BadChunksStopTheImageAfterWhatWasWritten)
{
    // A fill chunk after a raw chunk: the raw chunk stays written.
    EXPECT_EQ(kUnsupported, Write(CSparseBuilder().Raw(std::string(4096, 'r')).Fill(2, 7).Build()));
    EXPECT_EQ(1u, device.Calls(L"WriteFile").size());
    EXPECT_EQ(kUnsupported, Write(CSparseBuilder().Chunk(0xCAC4, 0, 16, "abcd").Build()));
    // Sizes that do not match the chunk type.
    EXPECT_EQ(kBadFormat, Write(CSparseBuilder().Chunk(0xCAC1, 1, 12 + 4095, std::string(4095, 'r')).Build()));
    EXPECT_EQ(kBadFormat, Write(CSparseBuilder().Chunk(0xCAC3, 1, 16, "").Build()));
    EXPECT_EQ(1u, device.Calls(L"WriteFile").size());
    // A raw chunk of no blocks writes nothing (a count of 0 means no limit).
    EXPECT_EQ(S_OK, Write(CSparseBuilder().Chunk(0xCAC1, 0, 12, "").DontCare(1).Build()));
    EXPECT_EQ(1u, device.Calls(L"WriteFile").size());

    // A failing target ends the image with its result.
    device.writeResults = {S_OK, E_ACCESSDENIED};
    EXPECT_EQ(E_ACCESSDENIED, Write(CSparseBuilder()
                                        .Raw(std::string(4096, 'a'))
                                        .Raw(std::string(4096, 'b'))
                                        .Raw(std::string(4096, 'c'))
                                        .Build()));
    EXPECT_EQ(3u, device.Calls(L"WriteFile").size());
}

// Nothing lands outside the partition: sector numbers that would wrap past
// 2^64 - 1 (to sector 0) are refused before any write, and chunks that add
// up to more blocks than the header counts (which the partition size was
// checked against) stop the image before they are written.
TEST_F(SparseImage, ChunksNeverLandOutsideThePartition)
{
    const HRESULT kOverflow = static_cast<HRESULT>(0x80070216);
    const std::string block(4096, 'w');
    struct Case
    {
        const char* name;
        std::string image;
        const wchar_t* start;
        const wchar_t* limit;
        HRESULT result;
        size_t writes;
        std::wstring firstSector;
    } cases[] = {
        {"start -8, then two raw chunks", CSparseBuilder().Raw(block).Raw(block).Build(), L"-8", L"0", kOverflow, 0},
        {"start -8, one chunk that ends at 2^64", CSparseBuilder().Raw(block).Build(), L"-8", L"8", kOverflow, 0},
        {"start -8, skipped then raw", CSparseBuilder().DontCare(1).Raw(block).Build(), L"-8", L"0", kOverflow, 0},
        {"start -16, one chunk up to the last sector", CSparseBuilder().Raw(block).Build(), L"-16", L"0", S_OK, 1,
         L"18446744073709551600"},
        {"more raw blocks than counted", CSparseBuilder().TotalBlocks(1).Raw(block).Raw(block).Build(), L"0", L"0",
         kBadFormat, 1, L"0"},
        {"more blocks than counted, past the partition",
         CSparseBuilder().TotalBlocks(1).Raw(block).DontCare(1).Raw(block).Build(), L"0", L"8", kBadFormat, 1, L"0"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        device.calls.clear();
        EXPECT_EQ(c.result, Write(c.image, c.start, c.limit));
        ASSERT_EQ(c.writes, device.calls.size());
        if (c.writes)
        {
            EXPECT_EQ(c.firstSector, device.calls[0].args[0]);
        }
    }
}

TEST_F(SparseImage, TruncatedFilesAreRefused)
{
    const std::string image = CSparseBuilder().Raw(std::string(4096, 'a')).DontCare(3).Build();
    EXPECT_EQ(kTruncated, Write(image.substr(0, 20)));
    // The raw chunk's data runs past the end of the file.
    EXPECT_EQ(kTruncated, Write(image.substr(0, 28 + 12 + 4000)));
    // The last chunk header is cut.
    EXPECT_EQ(kTruncated, Write(image.substr(0, image.size() - 4)));
    EXPECT_EQ(1u, device.Calls(L"WriteFile").size());
    // A file header that claims to be larger than the file.
    EXPECT_EQ(kTruncated, Write(CSparseBuilder().HeaderSizes(4000, 12).DontCare(1).Build().substr(0, 100)));
    EXPECT_EQ(kBadFormat, Write(CSparseBuilder().HeaderSizes(20, 12).DontCare(1).Build()));
}

} // namespace
