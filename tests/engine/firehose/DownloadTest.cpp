// A folder of images, rawprogram and patch files written into a simulated
// Firehose phone over a real serial port pair, its storage compared byte for
// byte with the storage the files describe.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <functional>

#include "engine/Crc.h"
#include "engine/images/RawProgram.h"
#include "engine/storage/SerialDevice.h"
#include "simulators/BuiltFiles.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/FirehosePhone.h"
#include "simulators/SparseBuilder.h"
#include "tests/fixtures/BoundedRun.h"
#include "tests/fixtures/LogLines.h"
#include "tests/fixtures/SideBySide.h"
#include "tests/fixtures/StatusRecorder.h"

using Microsoft::WRL::ComPtr;

namespace
{

// Far beyond the engine's own bounds: reaching it means a hang.
constexpr DWORD kHangLimitMs = 180000;

// The storage the files should leave, built independently of the engine.
class CExpectedStorage
{
public:
    CExpectedStorage(const std::vector<ULONGLONG>& sectors, size_t sectorSize) : m_sectorSize(sectorSize)
    {
        for (ULONGLONG n : sectors)
            m_areas.emplace_back(static_cast<size_t>(n) * sectorSize, '\0');
    }
    void Put(size_t area, ULONGLONG sector, const std::string& bytes)
    {
        m_areas[area].replace(static_cast<size_t>(sector) * m_sectorSize, bytes.size(), bytes);
    }
    void Patch(size_t area, ULONGLONG sector, size_t offset, size_t size, ULONGLONG value)
    {
        for (size_t i = 0; i < size; ++i)
            m_areas[area][static_cast<size_t>(sector) * m_sectorSize + offset + i] =
                static_cast<char>(i < 8 ? value >> (8 * i) : 0);
    }
    ULONG Crc(size_t area, ULONGLONG sector, size_t bytes) const
    {
        ULONG crc = 0;
        for (size_t i = 0; i < bytes; ++i)
            crc = UpdateCrc32(crc, static_cast<BYTE>(m_areas[area][static_cast<size_t>(sector) * m_sectorSize + i]));
        return crc;
    }
    ULONGLONG Sectors(size_t area) const { return m_areas[area].size() / m_sectorSize; }
    const std::string& Area(size_t area) const { return m_areas[area]; }

private:
    size_t m_sectorSize;
    std::vector<std::string> m_areas;
};

// Position of the first difference, for a readable failure.
::testing::AssertionResult SameStorage(const std::string& expected, const std::string& actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        ++i;
    return ::testing::AssertionFailure()
           << "sizes " << expected.size() << " and " << actual.size() << ", first difference at byte " << i
           << " (sector " << i / 512 << "/" << i / 4096 << ")";
}

class FirehoseDownload : public ::testing::Test
{
protected:
    std::wstring Put(const std::wstring& name, const std::string& bytes)
    {
        std::wstring path = folder / name;
        EXPECT_TRUE(WriteWholeFile(path, bytes));
        return path;
    }
    std::wstring Xml(const std::wstring& name, const std::string& body)
    {
        return Put(name, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<data>\n" + body + "</data>\n");
    }

    CTempDir folder{L"images"};
    CStatusRecorder sink;
};

TEST_F(FirehoseDownload, EmmcFolderIsWrittenAndPatchedExactly)
{
    FirehoseOptions options;
    options.partitionSectors = {4096};
    // The first image is sent again at the programmer's request, then fails
    // on a restart request and is tried again from the rawprogram entry.
    options.retryPrograms = 1;
    options.restartPrograms = 1;
    CFirehosePhone phone(options);
    ASSERT_TRUE(phone.Start());
    CExpectedStorage expected(options.partitionSectors, 512);

    const std::string gpt = Pattern(34 * 512, 1);
    const std::string boot = Pattern(3000, 2); // not a multiple of the sector size
    const std::string modem = Pattern(20 * 512, 3);
    const std::string filler = Pattern(200 * 512, 4);
    const std::string raw1 = Pattern(2 * 4096, 5), raw2 = Pattern(4096, 6);
    const std::string backup = Pattern(33 * 512, 7);
    Put(L"gpt_main0.bin", gpt);
    Put(L"boot.img", boot);
    Put(L"modem.img", modem);
    Put(L"filler.img", filler);
    Put(L"system.img", CSparseBuilder(4096).Raw(raw1).DontCare(10).Raw(raw2).Build());
    Put(L"gpt_backup0.bin", backup);
    std::wstring rawprogram =
        Xml(L"rawprogram0.xml",
            "<program SECTOR_SIZE_IN_BYTES=\"512\" filename=\"gpt_main0.bin\" label=\"PrimaryGPT\" "
            "num_partition_sectors=\"34\" physical_partition_number=\"0\" start_sector=\"0\"/>\n"
            "<program filename=\"boot.img\" label=\"boot\" num_partition_sectors=\"64\" start_sector=\"40\"/>\n"
            "<program filename=\"modem.img\" num_partition_sectors=\"10\" file_sector_offset=\"4\" "
            "start_sector=\"100\"/>\n"
            "<program filename=\"\" label=\"misc\" num_partition_sectors=\"10\" start_sector=\"120\"/>\n"
            "<program label=\"cache\" num_partition_sectors=\"10\" start_sector=\"130\"/>\n"
            "<program filename=\"filler.img\" num_partition_sectors=\"0\" start_sector=\"200\"/>\n"
            "<program filename=\"system.img\" sparse=\"true\" num_partition_sectors=\"200\" start_sector=\"200\"/>\n"
            "<program filename=\"gpt_backup0.bin\" num_partition_sectors=\"33\" "
            "start_sector=\"NUM_DISK_SECTORS-33.\"/>\n");
    std::wstring patch =
        Xml(L"patch0.xml",
            "<patch SECTOR_SIZE_IN_BYTES=\"512\" byte_offset=\"32\" filename=\"gpt_main0.bin\" "
            "physical_partition_number=\"0\" size_in_bytes=\"8\" start_sector=\"1\" value=\"NUM_DISK_SECTORS-1.\" "
            "what=\"image only\"/>\n"
            "<patch SECTOR_SIZE_IN_BYTES=\"512\" byte_offset=\"32\" filename=\"DISK\" physical_partition_number=\"0\" "
            "size_in_bytes=\"8\" start_sector=\"1\" value=\"NUM_DISK_SECTORS-1.\" what=\"Update last LBA\"/>\n"
            "<patch byte_offset=\"24\" filename=\"DISK\" size_in_bytes=\"8\" start_sector=\"NUM_DISK_SECTORS-1.\" "
            "value=\"NUM_DISK_SECTORS-1.\"/>\n"
            "<patch byte_offset=\"88\" filename=\"DISK\" size_in_bytes=\"4\" start_sector=\"1\" "
            "value=\"CRC32(2,4096)\"/>\n"
            "<patch byte_offset=\"16\" filename=\"disk\" size_in_bytes=\"4\" start_sector=\"1\" value=\"0\"/>\n"
            "<patch byte_offset=\"16\" filename=\"DISK\" size_in_bytes=\"4\" start_sector=\"1\" "
            "value=\"CRC32(1,92)\"/>\n");

    // What the files describe, in the same order.
    expected.Put(0, 0, gpt);
    expected.Put(0, 40, boot);
    expected.Put(0, 100, modem.substr(4 * 512, 10 * 512));
    expected.Put(0, 200, filler);
    expected.Put(0, 200, raw1); // 16 sectors, then 80 left alone
    expected.Put(0, 296, raw2); // 8 sectors
    const ULONGLONG last = expected.Sectors(0) - 1;
    expected.Put(0, last - 32, backup);
    expected.Patch(0, 1, 32, 8, last);
    expected.Patch(0, last, 24, 8, last);
    expected.Patch(0, 1, 88, 4, expected.Crc(0, 2, 4096));
    expected.Patch(0, 1, 16, 4, 0);
    expected.Patch(0, 1, 16, 4, expected.Crc(0, 1, 92));

    ComPtr<IQDevice> device;
    ASSERT_EQ(S_OK, CSerialDevice::CreateInstance(phone.HostPort().c_str(), &sink, &device, FALSE, FALSE));
    ASSERT_EQ(S_OK,
              DownloadImagesToDevice(device.Get(), rawprogram.c_str(), patch.c_str(), folder.Path().c_str(), &sink));
    EXPECT_TRUE(SameStorage(expected.Area(0), phone.Storage(0)));
    EXPECT_TRUE(phone.Errors().empty());
    EXPECT_EQ(1u,
              sink.WithPrefix(L"write image file \"" + (folder / L"gpt_main0.bin") + L"\" failed, try agian.").size());
    // The sparse image's raw chunks each went as one program command.
    std::vector<std::string> names = phone.CommandNames();
    EXPECT_EQ(3 + 4 + 2, std::count(names.begin(), names.end(), "program"));
    EXPECT_EQ(5, std::count(names.begin(), names.end(), "patch"));
}

TEST_F(FirehoseDownload, UfsLogicalUnitsFromTwoFilePairs)
{
    FirehoseOptions options;
    options.ufs = true;
    options.partitionSectors = {512, 256};
    options.maxPayload = 65536;                              // 16 sectors per transfer
    options.answerBeforeData = FirehoseOptions::kRawModeAck; // each program answered before and after its data
    CFirehosePhone phone(options);
    ASSERT_TRUE(phone.Start());
    CExpectedStorage expected(options.partitionSectors, 4096);

    const std::string xbl = Pattern(100 * 1024 + 5, 11); // 26 sectors, the last one short
    const std::string raw = Pattern(3 * 4096, 12);
    const std::string tail = Pattern(2 * 4096, 13);
    Put(L"xbl.elf", xbl);
    Put(L"userdata.img", CSparseBuilder(4096).DontCare(7).Raw(raw).DontCare(100).Build());
    Put(L"tail.bin", tail);
    std::wstring rp0 =
        Xml(L"rawprogram0.xml",
            "<program SECTOR_SIZE_IN_BYTES=\"4096\" filename=\"userdata.img\" num_partition_sectors=\"300\" "
            "physical_partition_number=\"0\" sparse=\"true\" start_sector=\"6*2\"/>\n"
            "<program SECTOR_SIZE_IN_BYTES=\"4096\" filename=\"tail.bin\" physical_partition_number=\"0\" "
            "start_sector=\"NUM_DISK_SECTORS-2\"/>\n");
    std::wstring rp1 = Xml(L"rawprogram1.xml",
                           "<program SECTOR_SIZE_IN_BYTES=\"4096\" filename=\"xbl.elf\" num_partition_sectors=\"64\" "
                           "physical_partition_number=\"1\" start_sector=\"6\"/>\n");
    std::wstring p0 = Xml(L"patch0.xml", "<patch SECTOR_SIZE_IN_BYTES=\"4096\" byte_offset=\"4000\" filename=\"DISK\" "
                                         "physical_partition_number=\"0\" size_in_bytes=\"8\" start_sector=\"1\" "
                                         "value=\"CRC32(19,3*4096)\"/>\n");
    std::wstring p1 = Xml(L"patch1.xml", "<patch SECTOR_SIZE_IN_BYTES=\"4096\" byte_offset=\"0\" filename=\"DISK\" "
                                         "physical_partition_number=\"1\" size_in_bytes=\"2\" start_sector=\"0\" "
                                         "value=\"NUM_DISK_SECTORS\"/>\n");

    expected.Put(0, 12 + 7, raw);
    expected.Put(0, 510, tail);
    expected.Patch(0, 1, 4000, 8, expected.Crc(0, 19, 3 * 4096));
    expected.Put(1, 6, xbl);
    expected.Patch(1, 0, 0, 2, 256);

    ComPtr<IQDevice> device;
    ASSERT_EQ(S_OK, CSerialDevice::CreateInstance(phone.HostPort().c_str(), &sink, &device, TRUE, FALSE));
    EXPECT_EQ(16u, static_cast<CSerialDevice*>(device.Get())->MaxSectorsPerTransfer());
    const std::wstring raws = rp0 + L";" + rp1, patches = p0 + L";" + p1;
    ASSERT_EQ(S_OK, device->SetBootableStorageDrive());
    ASSERT_EQ(S_OK, DownloadImagesToDevice(device.Get(), raws.c_str(), patches.c_str(), folder.Path().c_str(), &sink));
    EXPECT_TRUE(SameStorage(expected.Area(0), phone.Storage(0)));
    EXPECT_TRUE(SameStorage(expected.Area(1), phone.Storage(1)));
    // 26 sectors in pieces of 16: two pieces.
    EXPECT_EQ(1u, sink.WithPrefix(L"WriteFile position 0x00000000010000, size 40960").size());
}

// As on the disk: lists that do not pair up fail before anything is opened
// or sent, whichever is longer.
TEST_F(FirehoseDownload, UnequalListsTouchNothing)
{
    CFirehosePhone phone;
    ASSERT_TRUE(phone.Start());
    Put(L"a.img", Pattern(512, 1));
    std::wstring rp = Xml(L"rawprogram0.xml", "<program filename=\"a.img\" start_sector=\"0\"/>\n");
    std::wstring p =
        Xml(L"patch0.xml", "<patch filename=\"DISK\" start_sector=\"0\" size_in_bytes=\"1\" value=\"1\"/>\n");
    ComPtr<IQDevice> device;
    ASSERT_EQ(S_OK, CSerialDevice::CreateInstance(phone.HostPort().c_str(), &sink, &device, FALSE, FALSE));
    size_t before = phone.Commands().size();
    const std::pair<std::wstring, std::wstring> lists[] = {{rp + L";" + rp, p}, {rp, p + L";" + p}};
    for (const auto& pair : lists)
    {
        EXPECT_EQ(E_UNEXPECTED, DownloadImagesToDevice(device.Get(), pair.first.c_str(), pair.second.c_str(),
                                                       folder.Path().c_str(), &sink));
        EXPECT_EQ(0u, sink.CountPrefix(L"Open program file"));
    }
    Sleep(100);
    EXPECT_EQ(before, phone.Commands().size());
    EXPECT_EQ(std::string(8192 * 512, '\0'), phone.Storage(0));
}

// What programmers may do, each honest behaviour next to a hostile one: the
// honest ones leave the storage byte for byte as the files describe it, the
// hostile ones never pass for written, and answers out of step never stand in
// for the answer to a command that the phone refuses. Two pairs: the first
// begins with a sparse image and ends with one patch, the second holds only
// patches, the last of which the phone refuses in the cases that say so.
class FirehosePairs : public FirehoseDownload
{
protected:
    using Change = std::function<void(FirehoseOptions&)>;
    static constexpr HRESULT kAnyFailure = E_FAIL;
    struct Case
    {
        const char* what;
        Change change;
        HRESULT result; // kAnyFailure where the way it fails depends on timing
        int resets;     // of the target, each before the first pair is written again
        bool refused = false;
    };

    void SetUp() override
    {
        // The first chunk is larger than the ports between hold.
        const std::string raw1 = Pattern(64 * 4096, 21), raw2 = Pattern(4096, 22), kernel = Pattern(70 * 512 + 9, 23);
        Put(L"system.img", CSparseBuilder(4096).Raw(raw1).DontCare(2).Raw(raw2).Build());
        Put(L"kernel.img", kernel);
        const std::wstring rp0 =
            Xml(L"rawprogram0.xml", "<program filename=\"system.img\" sparse=\"true\" start_sector=\"16\"/>\n"
                                    "<program filename=\"kernel.img\" start_sector=\"1000\"/>\n");
        const std::wstring p0 = Xml(L"patch0.xml", "<patch filename=\"DISK\" start_sector=\"1\" byte_offset=\"4\" "
                                                   "size_in_bytes=\"2\" value=\"NUM_DISK_SECTORS-1\"/>\n");
        const std::wstring rp1 = Xml(L"rawprogram1.xml", "<!-- nothing to write -->\n");
        const std::string p1 = "<patch filename=\"DISK\" start_sector=\"2000\" size_in_bytes=\"1\" value=\"7\"/>\n"
                               "<patch filename=\"DISK\" start_sector=\"2001\" size_in_bytes=\"4\" "
                               "value=\"CRC32(1000,512)\"/>\n";
        // Past the end of the storage.
        const std::string refused =
            "<patch filename=\"DISK\" start_sector=\"NUM_DISK_SECTORS+5\" size_in_bytes=\"1\" value=\"9\"/>\n";
        expected.Put(0, 16, raw1);
        expected.Put(0, 16 + 66 * 8, raw2);
        expected.Put(0, 1000, kernel);
        expected.Patch(0, 1, 4, 2, 4095);
        expected.Patch(0, 2000, 0, 1, 7);
        expected.Patch(0, 2001, 0, 4, expected.Crc(0, 1000, 512));
        raws = rp0 + L";" + rp1;
        patches = p0 + L";" + Xml(L"patch1.xml", p1);
        refusingPatches = p0 + L";" + Xml(L"patch1r.xml", p1 + refused);
    }

    void Run(const Case& c)
    {
        SCOPED_TRACE(c.what);
        FirehoseOptions options;
        options.partitionSectors = {4096};
        c.change(options);
        CFirehosePhone phone(options);
        ASSERT_TRUE(phone.Start());
        const DWORD left = static_cast<DWORD>(options.leftFromEarlierSession.size());
        ASSERT_LE(left, phone.HostHolding(left));
        const std::wstring& patchList = c.refused ? refusingPatches : patches;
        ComPtr<IQDevice> device;
        size_t resetErrors = 0;
        const HRESULT hr = RunBounded(kHangLimitMs, [&] {
            // The rows run side by side: the lines of this download's thread.
            const std::string marker = LogLinePrefix(GetCurrentThreadId()) + "CSerialDevice::Reset(";
            const size_t before = LogLinesWith(marker).size();
            HRESULT result = CSerialDevice::CreateInstance(phone.HostPort().c_str(), &sink, &device, FALSE, FALSE);
            if (SUCCEEDED(result))
                result = DownloadImagesToDevice(device.Get(), raws.c_str(), patchList.c_str(), folder.Path().c_str(),
                                                &sink);
            resetErrors = LogLinesWith(marker).size() - before;
            return result;
        });
        // No Reset waited out its bound for a quiet port, or failed.
        if (SUCCEEDED(c.result))
        {
            EXPECT_EQ(0u, resetErrors);
        }
        if (c.result == kAnyFailure)
            EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        else
            EXPECT_EQ(c.result, hr);
        if (FAILED(hr))
            return;
        EXPECT_TRUE(SameStorage(expected.Area(0), phone.Storage(0)));
        for (const std::string& error : phone.Errors())
            ADD_FAILURE() << "phone: " << error;
        // Written again from the start of the first pair after each Reset,
        // then each pair ended with a nop.
        std::vector<std::string> names = phone.CommandNames();
        EXPECT_EQ(1 + c.resets, std::count(names.begin(), names.end(), "configure"));
        names.erase(names.begin(), std::find(names.rbegin(), names.rend(), "configure").base());
        const std::vector<std::string> road = {"program", "program", "program", "patch",
                                               "nop",     "patch",   "patch",   "nop"};
        EXPECT_EQ(road, names);
    }

    CExpectedStorage expected{{4096}, 512};
    std::wstring raws, patches, refusingPatches;
};

TEST_F(FirehosePairs, HonestProgrammersSucceedAndEveryPairEndsInStep)
{
    // A phone that restarts after AttemptRestart comes back on a new port
    // pair behind the same names, and the handle on the old one goes dead:
    // whatever the old handle does, a Reset opens the port afresh.
    const auto onNewPair = [](FirehoseOptions::Moment when) {
        return [when](FirehoseOptions& o) {
            o.restartPrograms = 1;
            o.restartsOnNewPair = true;
            o.requestsWhen = when;
        };
    };
    // The pair's last command answered twice, the second cut after `splitAfter`.
    const auto twiceSplit = [](const char* splitAfter) {
        return [splitAfter](FirehoseOptions& o) {
            o.answeredTwice = {"patch"};
            o.answeredTwiceTimes = 1;
            o.secondAnswer = "value=\"NAK\"";
            o.splitSecondAnswer = true;
            o.splitAfter = splitAfter;
        };
    };
    const Case cases[] = {
        {"in step", [](FirehoseOptions&) {}, S_OK, 0},
        {"configure refused with the programmer's own size",
         [](FirehoseOptions& o) {
             o.maxPayload = 16384;
             o.refuseLargerOffer = true;
         },
         S_OK, 0},
        {"a log every 100 ms, each cut in two",
         [](FirehoseOptions& o) {
             o.logEveryMs = 100;
             o.splitLogPauseMs = 30;
         },
         S_OK, 0},
        {"no declarations", [](FirehoseOptions& o) { o.declarationEvery = 0; }, S_OK, 0},
        {"no declarations, a restart asked after the first program",
         [](FirehoseOptions& o) {
             o.declarationEvery = 0;
             o.restartPrograms = 1;
         },
         S_OK, 1},
        {"a declaration on every other document, a log every 100 ms cut in two, a restart asked",
         [](FirehoseOptions& o) {
             o.declarationEvery = 2;
             o.logEveryMs = 100;
             o.splitLogPauseMs = 30;
             o.restartPrograms = 1;
         },
         S_OK, 1},
        {"an answer 14 s late, dropped while the phone logs every 100 ms",
         [](FirehoseOptions& o) {
             o.logEveryMs = 100;
             o.programAnswerDelayMs = 14000;
             o.delayedPrograms = 1;
         },
         S_OK, 1},
        {"the pair's last command answered twice, the second cut across the nop", twiceSplit("<?x"), S_OK, 1},
        {"the pair's last command answered twice, the second late", twiceSplit(""), S_OK, 1},
        {"a restart asked after the data, the phone back on a new pair", onNewPair(FirehoseOptions::Moment::AfterData),
         S_OK, 1},
        {"a restart asked amid the data, the phone back on a new pair", onNewPair(FirehoseOptions::Moment::AmidData),
         S_OK, 1},
        {"every last command answered twice",
         [](FirehoseOptions& o) {
             o.answeredTwice = {"patch"};
             o.secondAnswer = "value=\"NAK\"";
         },
         kAnyFailure, 0},
        {"restarts without end", [](FirehoseOptions& o) { o.restartPrograms = 1000; }, kAttemptRestartResult, 0},
        // The last patch refused, whatever else the phone does.
        {"in step, a patch refused", [](FirehoseOptions&) {}, E_UNEXPECTED, 0, true},
        {"first program answered 14 s late",
         [](FirehoseOptions& o) {
             o.programAnswerDelayMs = 14000;
             o.delayedPrograms = 1;
         },
         kAnyFailure, 0, true},
        {"two ACKs left by an earlier session",
         [](FirehoseOptions& o) {
             const std::string ack = "<?xml version=\"1.0\" ?><data><response value=\"ACK\" /></data>";
             o.leftFromEarlierSession = ack + ack;
         },
         E_UNEXPECTED, 0, true},
        {"patches answered once more with ACK", [](FirehoseOptions& o) { o.answeredTwice = {"patch"}; }, kAnyFailure,
         0, true},
        {"configure answered twice", [](FirehoseOptions& o) { o.answeredTwice = {"configure"}; }, kAnyFailure, 0,
         true},
        {"ACK without raw mode before the data, NAK after",
         [](FirehoseOptions& o) {
             o.answerBeforeData = "value=\"ACK\"";
             o.programAnswer = FirehoseOptions::ProgramAnswer::Nak;
         },
         kAnyFailure, 0, true},
    };
    // At full time: the late answers and the waits stand seconds apart, and a
    // new pair is up within the engine's waits however slow the machine. At
    // most 16 at once, so that the pace table beside it leaves port pairs
    // for the other executables.
    RunSideBySide(
        cases, [this](const Case& c) { Run(c); }, 16);
}

} // namespace
