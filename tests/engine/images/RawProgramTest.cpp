#include <gtest/gtest.h>

#include "engine/images/RawProgram.h"
#include "tests/engine/images/RecordingDevice.h"
#include "tests/fixtures/BoundedRun.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/SparseBuilder.h"
#include "tests/fixtures/StatusRecorder.h"

namespace
{

class RawProgram : public ::testing::Test
{
protected:
    std::wstring Xml(const std::wstring& name, const std::string& body)
    {
        std::wstring path = dir / name;
        EXPECT_TRUE(WriteWholeFile(path, "<?xml version=\"1.0\" ?>\n<data>\n" + body + "</data>\n"));
        return path;
    }
    std::wstring Image(const std::wstring& name, const std::string& bytes = std::string(1024, 'i'))
    {
        std::wstring path = images / name;
        EXPECT_TRUE(WriteWholeFile(path, bytes));
        return path;
    }

    CTempDir dir{L"rawprogram"};
    CTempDir images{L"images"};
    CRecordingDevice device;
    CStatusRecorder sink;
};

TEST_F(RawProgram, ProgramEntriesWithDefaultsLookupAndSkips)
{
    std::wstring boot = Image(L"boot.img");
    std::wstring system = Image(L"system.img");
    std::wstring rawprogram =
        Xml(L"rawprogram0.xml",
            "<program filename=\"boot.img\" start_sector=\"NUM_DISK_SECTORS-100\" num_partition_sectors=\"64\" "
            "file_sector_offset=\"1\" SECTOR_SIZE_IN_BYTES=\"4096\" physical_partition_number=\"3\" "
            "label=\"boot\"/>\n"
            "<program label=\"empty\" start_sector=\"5\"/>\n"
            "<program filename=\"\" start_sector=\"6\"/>\n"
            "<group><PROGRAM FILENAME=\"system.img\"/></group>\n"
            "<erase filename=\"boot.img\"/>\n"
            "<program filename=\"nowhere.img\" sparse=\"false\"/>\n");
    std::wstring search = L"C:\\does-not-exist;" + images.Path();
    ASSERT_EQ(S_OK, WriteFilesToDevice(&device, rawprogram.c_str(), search.c_str(), &sink));

    std::vector<DeviceCall> writes = device.Calls(L"WriteFile");
    ASSERT_EQ(3u, writes.size());
    EXPECT_EQ((std::vector<std::wstring>{L"NUM_DISK_SECTORS-100", L"64", boot, L"1", L"0", L"4096", L"3"}),
              writes[0].args);
    // Missing attributes take their defaults; names match in any case.
    EXPECT_EQ((std::vector<std::wstring>{L"0", L"0", system, L"0", L"0", L"512", L"0"}), writes[1].args);
    // A name that no directory holds is tried as it stands.
    EXPECT_EQ(L"nowhere.img", writes[2].args[2]);

    std::vector<std::wstring> expected = {
        L"Open program file \"" + rawprogram + L"\"", L"write image file \"" + boot + L"\" on NUM_DISK_SECTORS-100",
        L"write image file \"" + system + L"\" on 0", L"write image file \"nowhere.img\" on 0"};
    EXPECT_EQ(expected, sink.Texts());
}

TEST_F(RawProgram, ImageIsTriedFiveTimes)
{
    Image(L"a.img");
    std::wstring rawprogram = Xml(L"rp.xml", "<program filename=\"a.img\" start_sector=\"7\"/>\n"
                                             "<program filename=\"a.img\" start_sector=\"8\"/>\n");
    const std::wstring path = images / L"a.img";
    device.writeResults = {E_FAIL, E_FAIL, S_OK};
    ASSERT_EQ(S_OK, WriteFilesToDevice(&device, rawprogram.c_str(), images.Path().c_str(), &sink));
    EXPECT_EQ(4u, device.Calls(L"WriteFile").size());
    EXPECT_EQ(2u, sink.WithPrefix(L"write image file \"" + path + L"\" failed, try agian.").size());

    device.calls.clear();
    CStatusRecorder failing;
    device.writeResults = {E_FAIL, E_FAIL, E_FAIL, E_FAIL, E_ACCESSDENIED};
    EXPECT_EQ(E_ACCESSDENIED, WriteFilesToDevice(&device, rawprogram.c_str(), images.Path().c_str(), &failing));
    EXPECT_EQ(5u, device.Calls(L"WriteFile").size());
    std::vector<std::wstring> texts = failing.Texts();
    EXPECT_EQ(5u, failing.WithPrefix(L"write image file \"" + path + L"\" failed, try agian.").size());
    EXPECT_EQ(L"write image file \"" + path + L"\" failed", texts.back());
}

TEST_F(RawProgram, SparseEntriesGoThroughTheSparseWriterOnce)
{
    Image(L"userdata.img", CSparseBuilder().DontCare(2).Raw(std::string(4096, 'u')).Build());
    std::wstring rawprogram = Xml(L"rp.xml", "<program filename=\"userdata.img\" sparse=\"TRUE\" "
                                             "start_sector=\"1000\" num_partition_sectors=\"100\"/>\n");
    ASSERT_EQ(S_OK, WriteFilesToDevice(&device, rawprogram.c_str(), images.Path().c_str(), &sink));
    std::vector<DeviceCall> writes = device.Calls(L"WriteFile");
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ((std::vector<std::wstring>{L"1016", L"8", images / L"userdata.img", L"0", L"52", L"512", L"0"}),
              writes[0].args);
    // A failing sparse image is not retried here.
    device.calls.clear();
    device.writeResults = {E_FAIL};
    EXPECT_EQ(E_FAIL, WriteFilesToDevice(&device, rawprogram.c_str(), images.Path().c_str(), &sink));
    EXPECT_EQ(1u, device.Calls(L"WriteFile").size());
}

// Files cut short, broken, without any element, with an attribute named
// twice or a control character fail after the entries before the fault, and
// in bounded time; whole documents beside them still succeed.
TEST_F(RawProgram, MalformedFilesFailAfterTheEntriesBeforeTheFault)
{
    const HRESULT kInputEnd = static_cast<HRESULT>(0xC00CEE01);
    const HRESULT kEncoding = static_cast<HRESULT>(0xC00CEE02);
    const HRESULT kControlCharacter = static_cast<HRESULT>(0xC00CEE2B);
    const HRESULT kNamedTwice = static_cast<HRESULT>(0xC00CEE3C);
    const HRESULT kAnyFailure = 1;
    const std::string declaration = "<?xml version=\"1.0\" ?>\n";
    const std::string two = declaration + "<data>\n<program filename=\"a.img\" start_sector=\"1\"/>\n"
                                          "<program filename=\"a.img\" start_sector=\"2\"/>";
    const std::string patch = "<data><patch filename=\"DISK\" value=\"1\"/><patch filename=\"DISK\" value=\"2\"/>";
    const std::string ended = "<data>\n<program filename=\"a.img\" start_sector=\"1\"></program>\n"
                              "<group><program filename=\"a.img\" start_sector=\"2\"></program></group>";
    std::string utf16be = "\xFE\xFF";
    for (char c : "<?xml version=\"1.0\" encoding=\"UTF-16\" ?>\n<data><program filename=\"a.img\"/></data>\n")
        if (c)
            utf16be += std::string{'\0', c};
    struct Case
    {
        std::string text;
        bool patches;
        HRESULT result; // kAnyFailure: the reader's own error
        size_t calls;
    } cases[] = {
        {two + "\n", false, kInputEnd, 2},
        {two + "\n<program filename=\"a.img\" start_sector=\"3\">", false, kInputEnd, 3},
        {two, false, kInputEnd, 2},
        {two + "\n<program filename=\"a.img\" start_sector=\"3\" </oops>\n</data>\n", false, kAnyFailure, 2},
        {two + "\n</data></data>", false, kAnyFailure, 2},
        {two + "\n</data>", false, S_OK, 2},
        // Cut right after an end tag, the root never closed.
        {declaration + ended, false, kInputEnd, 2},
        {declaration + ended + "</data>", false, S_OK, 2},
        {"<data><patch filename=\"DISK\" value=\"1\"></patch>", true, kInputEnd, 1},
        // No element at all.
        {"<?xml version=\"1.0\" ?>", false, kInputEnd, 0},
        {declaration, false, kInputEnd, 0},
        {"<?xml version=\"1.0\" ?>\r\n", true, kInputEnd, 0},
        {"<!-- no entries -->\n", false, kInputEnd, 0},
        {"<?target no entries?>", true, kInputEnd, 0},
        {declaration + "<data/>\n", false, S_OK, 0},
        {patch, true, kInputEnd, 2},
        {"<?x", true, kInputEnd, 0},
        // Read here as nothing at all: refused, never an empty success.
        {utf16be, false, kEncoding, 0},
        // Taken here as the last value, or as 1+5; refused by other readers.
        {two + "\n<program filename=\"a.img\" start_sector=\"3\" start_sector=\"4\"/>\n</data>", false, kNamedTwice,
         2},
        {two + "\n<program filename=\"a.img\" start_sector=\"3\" START_SECTOR=\"4\"/>\n</data>", false, kNamedTwice,
         2},
        {"<data xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"><patch filename=\"DISK\"/><patch p:value=\"1\" "
         "q:value=\"2\"/></data>",
         true, kNamedTwice, 1},
        {two + "\n<program filename=\"a.img\" start_sector=\"1\x01+5\"/>\n</data>", false, kControlCharacter, 2},
        {patch + "<patch filename=\"DISK\" value=\"\x1F\"/></data>", true, kControlCharacter, 2},
        {two + "\n<!-- \x02 --></data>", false, kControlCharacter, 2},
        // Tabs and line ends, and references to them, are taken.
        {two + "\n<program filename=\"a.img\" start_sector=\"1\t+\r\n5\" file_sector_offset=\"&#9;0\"/>\n</data>",
         false, S_OK, 3},
    };
    Image(L"a.img");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        device.calls.clear();
        const std::wstring path = dir / L"cut.xml";
        ASSERT_TRUE(WriteWholeFile(path, c.text));
        HRESULT hr = RunBounded(60000, [&] {
            return c.patches ? ApplyPatchesToDevice(&device, path.c_str(), &sink)
                             : WriteFilesToDevice(&device, path.c_str(), images.Path().c_str(), &sink);
        });
        if (c.result == kAnyFailure)
            EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        else
            EXPECT_EQ(c.result, hr);
        EXPECT_EQ(c.calls, device.calls.size());
    }
    EXPECT_EQ(static_cast<HRESULT>(0x80070002),
              WriteFilesToDevice(&device, (dir / L"missing.xml").c_str(), L"", &sink));
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), ApplyPatchesToDevice(&device, (dir / L"missing.xml").c_str(), &sink));
}

TEST_F(RawProgram, OnlyDiskPatchesAreApplied)
{
    std::wstring patch =
        Xml(L"patch0.xml", "<patch filename=\"gpt_main0.bin\" start_sector=\"2\" byte_offset=\"16\" value=\"1\" "
                           "size_in_bytes=\"4\"/>\n"
                           "<patch filename=\"DISK\" start_sector=\"NUM_DISK_SECTORS-1.\" byte_offset=\"32\" "
                           "value=\"CRC32(2,4096)\" size_in_bytes=\"8\" SECTOR_SIZE_IN_BYTES=\"512\" "
                           "physical_partition_number=\"1\" what=\"Update\"/>\n"
                           "<patch filename=\"disk\"/>\n"
                           "<patch FileName=\"Disk\" value=\"9\"/>\n");
    ASSERT_EQ(S_OK, ApplyPatchesToDevice(&device, patch.c_str(), &sink));
    std::vector<DeviceCall> patches = device.Calls(L"ApplyPatch");
    ASSERT_EQ(3u, patches.size());
    EXPECT_EQ((std::vector<std::wstring>{L"NUM_DISK_SECTORS-1.", L"32", L"CRC32(2,4096)", L"8", L"512", L"1"}),
              patches[0].args);
    EXPECT_EQ((std::vector<std::wstring>{L"0", L"0", L"0", L"0", L"512", L"0"}), patches[1].args);
    EXPECT_EQ(L"9", patches[2].args[2]);
    EXPECT_EQ(L"Open patch file \"" + patch + L"\"", sink.Texts().at(0));

    // Patches addressed only to image files: nothing applied, success.
    device.calls.clear();
    std::wstring imageOnly = Xml(L"patch1.xml", "<patch filename=\"gpt_backup0.bin\" value=\"1\"/>\n");
    EXPECT_EQ(S_OK, ApplyPatchesToDevice(&device, imageOnly.c_str(), &sink));
    EXPECT_TRUE(device.calls.empty());

    // The first failing patch ends the file.
    device.patchResults = {E_FAIL};
    EXPECT_EQ(E_FAIL, ApplyPatchesToDevice(&device, patch.c_str(), &sink));
    EXPECT_EQ(1u, device.Calls(L"ApplyPatch").size());
}

TEST_F(RawProgram, PairsAreTriedThreeTimesWithResetBetweenAndUnpairedListsWriteNothing)
{
    Image(L"a.img");
    std::wstring rp0 = Xml(L"rp0.xml", "<program filename=\"a.img\"/>\n");
    std::wstring rp1 = Xml(L"rp1.xml", "<program filename=\"a.img\" start_sector=\"9\"/>\n");
    std::wstring p0 = Xml(L"p0.xml", "<patch filename=\"DISK\" value=\"1\"/>\n");
    std::wstring p1 = Xml(L"p1.xml", "<patch filename=\"DISK\" value=\"2\"/>\n");
    const std::wstring raws = rp0 + L";" + rp1;
    const std::wstring patches = p0 + L";;" + p1 + L";";

    // The first pair's patch fails once: the pair is written again.
    device.patchResults = {E_FAIL};
    ASSERT_EQ(S_OK, DownloadImagesToDevice(&device, raws.c_str(), patches.c_str(), images.Path().c_str(), &sink));
    std::vector<std::wstring> expected = {L"WriteFile",  L"ApplyPatch", L"Reset",     L"WriteFile",
                                          L"ApplyPatch", L"WriteFile",  L"ApplyPatch"};
    std::vector<std::wstring> operations;
    for (const DeviceCall& call : device.calls)
        operations.push_back(call.operation);
    EXPECT_EQ(expected, operations);
    EXPECT_EQ(L"9", device.calls[5].args[0]);
    EXPECT_EQ(L"2", device.calls[6].args[2]);

    // Three failed attempts end the run with the last write result; the
    // second pair is not touched.
    device.calls.clear();
    device.writeResults.assign(15, E_FAIL);
    device.writeResults.back() = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED,
              DownloadImagesToDevice(&device, raws.c_str(), patches.c_str(), images.Path().c_str(), &sink));
    EXPECT_EQ(15u, device.Calls(L"WriteFile").size());
    EXPECT_EQ(3u, device.Calls(L"Reset").size());
    EXPECT_TRUE(device.Calls(L"ApplyPatch").empty());

    // A failed Reset ends the pair at once with the write's result.
    device.calls.clear();
    device.writeResults.assign(5, E_FAIL);
    device.resetResults = {E_HANDLE};
    EXPECT_EQ(E_FAIL, DownloadImagesToDevice(&device, raws.c_str(), patches.c_str(), images.Path().c_str(), &sink));
    EXPECT_EQ(5u, device.Calls(L"WriteFile").size());
    EXPECT_EQ(1u, device.Calls(L"Reset").size());

    // Lists of different length write nothing, whichever is longer; blank
    // items do not count.
    device.calls.clear();
    CStatusRecorder unpaired;
    EXPECT_EQ(E_UNEXPECTED,
              DownloadImagesToDevice(&device, raws.c_str(), p0.c_str(), images.Path().c_str(), &unpaired));
    EXPECT_EQ(E_UNEXPECTED,
              DownloadImagesToDevice(&device, rp0.c_str(), patches.c_str(), images.Path().c_str(), &unpaired));
    EXPECT_TRUE(device.calls.empty());
    EXPECT_TRUE(unpaired.Texts().empty());
    EXPECT_EQ(S_OK, DownloadImagesToDevice(&device, L"", L";;", L"", &unpaired));
    EXPECT_TRUE(device.calls.empty());
}

} // namespace
