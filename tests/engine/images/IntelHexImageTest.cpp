#include "engine/images/IntelHexImage.h"
#include "simulators/BuiltFiles.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/IntelHexText.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

using Bytes = std::vector<BYTE>;

class IntelHexImageTest : public ::testing::Test
{
protected:
    // Writes text to a file of the test's folder and loads it.
    bool LoadText(const std::string& text)
    {
        std::wstring path = m_dir / L"programmer.hex";
        EXPECT_TRUE(WriteWholeFile(path, text));
        return m_image.Load(std::string(path.begin(), path.end()).c_str());
    }
    bool LoadLines(const std::vector<std::string>& lines, const char* end = "\n")
    {
        std::string text;
        for (const std::string& line : lines)
            text += line + end;
        return LoadText(text);
    }

    CTempDir m_dir{L"hex"};
    CIntelHexImage m_image;
};

} // namespace

TEST_F(IntelHexImageTest, RecordsGiveRunsAtTheirAddresses)
{
    for (const char* end : {"\n", "\r\n"})
    {
        ASSERT_TRUE(LoadLines({":0200000400FFFB", ":04000000DEADBEEFC4", ":00000001FF"}, end)) << end;
        EXPECT_EQ((std::map<ULONG, Bytes>{{0x00FF0000u, {0xDE, 0xAD, 0xBE, 0xEF}}}), m_image.GetRuns());
        EXPECT_TRUE(m_image.HasExtendedAddress());
        EXPECT_EQ(0u, m_image.StartAddress());
    }
    // Lower-case digits, a start address, records after the end record.
    ASSERT_TRUE(LoadLines({":0400000500c0ffee4a", ":00000001FF", IntelHexRecord(0, 0x1234, {0x55})}));
    EXPECT_EQ(0x00C0FFEEu, m_image.StartAddress());
    EXPECT_FALSE(m_image.HasExtendedAddress());
    EXPECT_EQ((std::map<ULONG, Bytes>{{0x1234u, {0x55}}}), m_image.GetRuns());
    // A later record at the same address replaces the earlier.
    ASSERT_TRUE(LoadLines(
        {IntelHexRecord(0, 0x10, {1, 2, 3, 4}), IntelHexRecord(0, 0x10, {9}), IntelHexRecord(0, 0x12, {7})}));
    EXPECT_EQ((std::map<ULONG, Bytes>{{0x10u, {9}}, {0x12u, {7}}}), m_image.GetRuns());
    // An empty file is a valid empty image; a missing one is not.
    ASSERT_TRUE(LoadText(""));
    EXPECT_TRUE(m_image.GetRuns().empty());
    EXPECT_FALSE(m_image.Load("no such folder\\programmer.hex"));
}

TEST_F(IntelHexImageTest, BrokenRecordsFailTheWholeLoad)
{
    const std::string good = IntelHexRecord(0, 0, {0xDE, 0xAD, 0xBE, 0xEF});
    ASSERT_TRUE(LoadLines({good}));
    const struct
    {
        const char* why;
        std::string line;
    } cases[] = {
        {"checksum one off", ":04000000DEADBEEFC5"},
        {"checksum one off the other way", ":04000000DEADBEEFC3"},
        {"count says 5, 4 data bytes", ":05000000DEADBEEFC3"},
        {"count says 3, 4 data bytes", ":03000000DEADBEEFC5"},
        {"not a hexadecimal digit", ":04000000DEADBEEGC4"},
        {"trailing unpaired digit", ":04000000DEADBEEFC40"},
        {"shorter than a record", ":00000001F"},
        {"nothing after the colon", ":"},
        {"extended segment address", IntelHexRecord(2, 0, {0x10, 0x00})},
        {"start segment address", IntelHexRecord(3, 0, {0x00, 0x00, 0x01, 0x00})},
        {"unknown type", IntelHexRecord(6, 0, {})},
        {"extended address of 3 bytes", IntelHexRecord(4, 0, {0, 1, 2})},
        {"extended address with an address", IntelHexRecord(4, 2, {0, 1})},
        {"start address of 2 bytes", IntelHexRecord(5, 0, {0, 1})},
        {"start address with an address", IntelHexRecord(5, 4, {0, 1, 2, 3})},
    };
    for (const auto& c : cases)
    {
        EXPECT_FALSE(LoadLines({good, c.line, ":00000001FF"})) << c.why;
        EXPECT_FALSE(LoadLines({c.line})) << c.why;
    }
}

TEST_F(IntelHexImageTest, OnlyPaddingMayFollowTheFirstEndOfFileMark)
{
    const std::string data = IntelHexRecord(0, 0x20, {0xC0, 0xDE});
    const std::string end = ":00000001FF";
    // The file filled up with marks to the end of a block of 128 bytes, as a
    // block transfer leaves it.
    const std::string head = data + "\r\n" + end + "\r\n";
    const std::string block = end + "\r\n" + std::string(128 - head.size(), '\x1A');
    const std::string nul(1, '\0');
    const struct
    {
        std::string tail; // after the data record and its line end
        bool valid;
    } cases[] = {
        {end, true}, // the last line may end without a line feed
        {end + "\n\n", false},
        {end + "\r\n\r\n", false},
        {end + "\nend\n", false},
        {" " + end + "\n", false},
        // Marks on a line of their own or right after the last record, with
        // or without line ends among and after them.
        {end + "\r\n\x1A", true},
        {end + "\r\n\x1A\r\n", true},
        {end + "\n\x1A\n", true},
        {end + "\x1A", true},
        {end + "\x1A\r\n", true},
        {"\x1A", true},
        {end + "\r\n\x1A\x1A", true},
        {end + "\r\n\x1A\n\x1A", true},
        {end + "\x1A\r\n\r\n\x1A\x1A\r", true},
        {block, true},
        // Anything else after the first mark.
        {block + IntelHexRecord(0, 0, {1}), false},
        {block.substr(0, block.size() - 1) + nul, false},
        {end + "\r\n\x1A" + nul, false},
        {end + "\r\n\x1A \r\n", false},
        {end + "\r\n\x1A" + IntelHexRecord(0, 0, {1}) + "\r\n", false},
        {end + "\r\n\x1A\r\n" + IntelHexRecord(0, 0, {1}), false},
        {end + "\r\n\x1A\n\x1A" + "end", false},
        // Nothing but records before it: no blank line, no blank.
        {end + "\r\n\r\n\x1A", false},
        {end + "\n\n\x1A\x1A", false},
        {end + "\r\n \x1A", false},
        {":00000001\x1A", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(c.tail));
        EXPECT_EQ(c.valid, LoadText(data + "\r\n" + c.tail));
        if (c.valid)
        {
            EXPECT_EQ((std::map<ULONG, Bytes>{{0x20u, {0xC0, 0xDE}}}), m_image.GetRuns());
        }
    }
    // Marks in place of the file's only line.
    EXPECT_TRUE(LoadText("\x1A"));
    EXPECT_TRUE(LoadText(std::string(128, '\x1A')));
    EXPECT_TRUE(m_image.GetRuns().empty());
}

TEST_F(IntelHexImageTest, CoalesceJoinsOnlyRunsThatTouch)
{
    Bytes a(16, 0xAA), b(16, 0xBB);
    ASSERT_TRUE(LoadLines({IntelHexRecord(0, 0x0010, b), IntelHexRecord(0, 0x0000, a)}));
    m_image.Coalesce();
    ASSERT_EQ(1u, m_image.GetRuns().size());
    Bytes ab = a;
    ab.insert(ab.end(), b.begin(), b.end());
    EXPECT_EQ(ab, m_image.GetRuns().at(0));

    ASSERT_TRUE(LoadLines({IntelHexRecord(0, 0x0000, a), IntelHexRecord(0, 0x0020, b)}));
    m_image.Coalesce();
    EXPECT_EQ(2u, m_image.GetRuns().size());

    // A chain becomes one run; an overlap and a gap stay apart.
    ASSERT_TRUE(
        LoadLines({IntelHexRecord(0, 0x00, {1, 2}), IntelHexRecord(0, 0x02, {3}), IntelHexRecord(0, 0x03, {4, 5}),
                   IntelHexRecord(0, 0x04, {6, 7}), IntelHexRecord(0, 0x08, {8})}));
    m_image.Coalesce();
    ASSERT_EQ(3u, m_image.GetRuns().size());
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5}), m_image.GetRuns().at(0x00));
    EXPECT_EQ((Bytes{6, 7}), m_image.GetRuns().at(0x04));
    EXPECT_EQ(Bytes{8}, m_image.GetRuns().at(0x08));
}

TEST_F(IntelHexImageTest, RunAtTheTopOfTheAddressSpaceTouchesNothing)
{
    // The last run ends at 2^32, which wraps to 0 in 32 bits.
    ASSERT_TRUE(LoadLines(
        {IntelHexRecord(0, 0x0000, {1}), IntelHexRecord(4, 0, {0xFF, 0xFF}), IntelHexRecord(0, 0xFFFF, {2})}));
    m_image.Coalesce();
    ASSERT_EQ(2u, m_image.GetRuns().size());
    EXPECT_EQ(Bytes{2}, m_image.GetRuns().at(0xFFFFFFFFu));

    // A record may end at the top, never past it: its address would wrap.
    const std::string top = IntelHexRecord(4, 0, {0xFF, 0xFF});
    EXPECT_TRUE(LoadLines({top, IntelHexRecord(0, 0xFFF0, Bytes(16, 3))}));
    EXPECT_FALSE(LoadLines({top, IntelHexRecord(0, 0xFFF1, Bytes(16, 3))}));
    EXPECT_FALSE(LoadLines({top, IntelHexRecord(0, 0xFFFF, Bytes(255, 3))}));
}

TEST_F(IntelHexImageTest, GeneratedImageReadsBackAtItsAddresses)
{
    // 64 KiB in records of 255 bytes across three 64 KiB pages.
    const std::string pattern = Pattern(0x10000, 6);
    const Bytes content(pattern.begin(), pattern.end());
    const ULONG base = 0x2001FF00;
    ASSERT_TRUE(LoadText(IntelHexFile({{base, content}}, 0x2001FF04, 255)));
    EXPECT_GT(m_image.GetRuns().size(), 256u);
    EXPECT_TRUE(m_image.HasExtendedAddress());
    m_image.Coalesce();
    ASSERT_EQ(1u, m_image.GetRuns().size());
    EXPECT_EQ(base, m_image.GetRuns().begin()->first);
    EXPECT_EQ(content, m_image.GetRuns().begin()->second);
    EXPECT_EQ(0x2001FF04u, m_image.StartAddress());
}
