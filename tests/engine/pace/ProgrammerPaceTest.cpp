// How a Firehose programmer may take a write and answer it, against the
// engine's bounds at full time over real serial port pairs: every honest pace
// stores the image byte for byte, each next to a hostile twin that fails.
// Rows that wait on the phone's clock run side by side.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "engine/storage/SerialDevice.h"
#include "simulators/BuiltFiles.h"
#include "simulators/phones/FirehosePhone.h"
#include "tests/fixtures/BoundedRun.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/SideBySide.h"

#include <functional>

using Microsoft::WRL::ComPtr;

namespace
{

const HRESULT kTimeout = static_cast<HRESULT>(0x800705B4);
const HRESULT kInputEnd = static_cast<HRESULT>(0xC00CEE01);
// Far beyond the engine's own bounds: reaching it means a hang.
constexpr DWORD kHangLimitMs = 120000;
constexpr size_t kKiB = 1024, kMiB = 1024 * 1024;

using Change = std::function<void(FirehoseOptions&)>;

// What one phone made of one write, and of the Reset after it.
struct Outcome
{
    HRESULT created = E_FAIL, written = E_FAIL, after = E_FAIL;
    bool stored = false;
    std::vector<std::string> errors;
    size_t outputWaits = 0;
    ULONGLONG slowedToFailMs = 0; // from the phone's slowing down to the write's failure
};

// A phone with these options; the engine creates its device, writes an
// image of `bytes` at sector 1, then (written) resets it, or (failed) finds
// it out of step.
Outcome Flash(const Change& change, size_t bytes, const std::wstring& path)
{
    FirehoseOptions options;
    options.partitionSectors = {bytes / 512 + 8};
    change(options);
    Outcome out;
    const std::string image = Pattern(bytes, static_cast<unsigned>(bytes % 251));
    if (!WriteWholeFile(path, image))
        return out;
    CFirehosePhone phone(options);
    if (!phone.Start())
        return out;
    ComPtr<IQDevice> device;
    out.created = RunBounded(kHangLimitMs, [&] {
        return CSerialDevice::CreateInstance(phone.HostPort().c_str(), nullptr, &device, FALSE, FALSE);
    });
    if (SUCCEEDED(out.created))
    {
        out.written = RunBounded(
            kHangLimitMs, [&] { return device->WriteFile(L"1", L"0", path.c_str(), L"0", L"0", L"512", L"0"); });
        if (phone.SlowedAt() != 0 && FAILED(out.written))
            out.slowedToFailMs = GetTickCount64() - phone.SlowedAt();
        out.stored = SUCCEEDED(out.written) && image == phone.Storage(0).substr(512, image.size());
        // Every Reset waits as long for the answers; a device whose write
        // failed sends nothing until then.
        out.after = RunBounded(kHangLimitMs, [&] {
            return SUCCEEDED(out.written) ? device->Reset() : device->ApplyPatch(L"1", L"0", L"1", L"1", L"512", L"0");
        });
    }
    out.errors = phone.Errors();
    out.outputWaits = phone.OutputWaits();
    phone.Stop();
    DeleteFileW(path.c_str());
    return out;
}

Change Slow(ULONGLONG from, size_t bytes, DWORD everyMs)
{
    return [=](FirehoseOptions& o) {
        o.slowAfter = from;
        o.slowBytes = bytes;
        o.slowEveryMs = everyMs;
    };
}

Change Paused(ULONGLONG whenLeft, DWORD ms)
{
    return [=](FirehoseOptions& o) {
        o.pauseWhenLeft = whenLeft;
        o.pauseMs = ms;
    };
}

// The programmer sets its own pace: it may set up its storage before it
// answers configure, take the data in any rhythm that keeps 64 KiB in every
// 10 s, pause amid the data or at its end for as long as that allows, and
// answer once it has the data. A write ends only when the programmer takes
// far less (within 20 s of when it slowed down), or an answer is late.
TEST(ProgrammerPace, AnyRhythmAboveTheFloorSucceedsAndOneFarBelowItFails)
{
    // The sizes leave little in the link when the last byte has gone in, so
    // that the phone takes it at its next burst.
    struct Row
    {
        const char* what;
        Change change;
        size_t bytes;
        HRESULT created, written;
        Outcome out;
    } rows[] = {
        {"configure answered 4 s late", [](FirehoseOptions& o) { o.configureDelayMs = 4000; }, 64 * kKiB, S_OK, S_OK},
        {"configure answered 7 s late", [](FirehoseOptions& o) { o.configureDelayMs = 7000; }, 64 * kKiB, kTimeout,
         E_FAIL},
        {"8 KiB every 1.25 s, the floor itself", Slow(0, 8 * kKiB, 1250), 96 * kKiB, S_OK, S_OK},
        {"32 KiB every 5 s, the floor in bursts", Slow(0, 32 * kKiB, 5000), 144 * kKiB, S_OK, S_OK},
        {"36,044 bytes every 5 s", Slow(0, 36044, 5000), 144 * kKiB, S_OK, S_OK},
        {"48 KiB every 5 s", Slow(0, 48 * kKiB, 5000), 144 * kKiB, S_OK, S_OK},
        {"64 KiB every 9.5 s", Slow(0, 64 * kKiB, 9500), 100 * kKiB, S_OK, S_OK},
        {"8 KiB every second", Slow(0, 8 * kKiB, 1000), 96 * kKiB, S_OK, S_OK},
        {"8 KiB every 6 s after 64 KiB", Slow(64 * kKiB, 8 * kKiB, 6000), kMiB, S_OK, kTimeout},
        {"4 KiB every 6 s after 64 KiB", Slow(64 * kKiB, 4 * kKiB, 6000), kMiB, S_OK, kTimeout},
        {"logging, no data taken after 64 KiB",
         [](FirehoseOptions& o) {
             o.logsPerRead = 16;
             o.slowAfter = 64 * kKiB;
         },
         kMiB, S_OK, kTimeout},
        {"a pause of 9.5 s amid the data", Paused(512 * kKiB, 9500), kMiB, S_OK, S_OK},
        {"a pause of 11 s amid the data", Paused(512 * kKiB, 11000), kMiB, S_OK, kTimeout},
        {"a pause of 9.5 s with the last 16 KiB in the link", Paused(16 * kKiB, 9500), 256 * kKiB, S_OK, S_OK},
        {"a pause of 8 s before the first byte of 16 KiB", Paused(16 * kKiB, 8000), 16 * kKiB, S_OK, S_OK},
        {"the answer 14 s after the data", [](FirehoseOptions& o) { o.programAnswerDelayMs = 14000; }, 64 * kKiB, S_OK,
         kTimeout},
    };
    CTempDir dir{L"pace"};
    RunSideBySide(
        rows,
        [&](Row& row) {
            const std::wstring path = dir / (L"image" + std::to_wstring(&row - rows) + L".bin");
            row.out = Flash(row.change, row.bytes, path);
        },
        16);
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.created, row.out.created);
        if (FAILED(row.created))
            continue;
        EXPECT_EQ(row.written, row.out.written);
        EXPECT_EQ(SUCCEEDED(row.written), row.out.stored);
        // A device whose write failed refuses what follows, with that cause.
        EXPECT_EQ(SUCCEEDED(row.written) ? S_OK : row.written, row.out.after);
        if (row.out.slowedToFailMs != 0)
        {
            EXPECT_LT(row.out.slowedToFailMs, 20000u);
        }
        if (SUCCEEDED(row.written))
        {
            EXPECT_TRUE(row.out.errors.empty()) << row.out.errors.front();
        }
    }
}

// A programmer may log while it takes data, as often as it likes, in pieces
// of any size: it is heard between the pieces as well as whenever a write
// call ends short, so that it never waits on its own output.
TEST(ProgrammerPace, ProgrammersThatLogAsTheyTakeDataAreHeardAndNeverWait)
{
    const struct
    {
        const char* what;
        ULONGLONG logEvery; // a log per this many bytes taken
        int logsPerRead;    // logs after every read of data
        ULONGLONG readSize; // the phone's reads, when it takes less than it can
        bool onePiece;      // a payload of 1 GiB
        size_t bytes;
        bool neverWaits; // the engine reads as fast as the phone writes
    } rows[] = {
        {"a log per 16 KiB taken", 16384, 0, 0, false, 64 * kMiB, true},
        {"a log per 16 KiB taken, one piece", 16384, 0, 0, true, 16 * kMiB, false},
        {"16 logs after every read of 4 KiB", 0, 16, 4096, false, 8 * kMiB, false},
        {"16 logs after every read, one piece", 0, 16, 0, true, 16 * kMiB, false},
    };
    CTempDir dir{L"chatty"};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        const Outcome out = Flash(
            [&](FirehoseOptions& o) {
                o.logEveryBytes = row.logEvery;
                o.logsPerRead = row.logsPerRead;
                o.maxPayload = row.onePiece ? 1 << 30 : 0;
                if (row.readSize != 0)
                    Slow(0, row.readSize, 0)(o);
            },
            row.bytes, dir / L"image.bin");
        EXPECT_EQ(S_OK, out.written);
        EXPECT_TRUE(out.stored);
        EXPECT_EQ(S_OK, out.after);
        EXPECT_TRUE(out.errors.empty());
        if (row.neverWaits)
        {
            EXPECT_EQ(0u, out.outputWaits);
        }
    }
}

// Each write is the session's last command, so no later read can pick up its
// answer: the wait after the data alone decides it, and it begins once the
// port can have emptied at the floor's pace. An answer that comes after the
// wait leaves the device out of step until a Reset, which drops it.
TEST(ProgrammerPace, FinalAnswerAfterTheDataDecidesWithinTheBound)
{
    using Answer = FirehoseOptions::ProgramAnswer;
    // Answers split after `after`, the parts a pause apart.
    struct Split
    {
        std::vector<std::string> answersTo;
        const char* after;
        DWORD pauseMs;
    };
    struct Row
    {
        const char* name;
        Split split;
        std::string beforeData;
        Answer answer;
        DWORD delay;
        HRESULT write;
        HRESULT next;  // a patch right after the write, refused with the write's cause
        bool recovers; // a Reset, then a patch
        HRESULT patched = E_FAIL, written = E_FAIL, patchedNext = E_FAIL, refused = E_FAIL, recovered = E_FAIL;
        std::vector<std::string> names;
        std::string storage;
    };
    const std::vector<std::string> setUpAndWrites = {"nop", "program", "patch"};
    const std::string raw = FirehoseOptions::kRawModeAck;
    const Split none = {{}, "", 0}, cutDeclaration = {{"configure", "program", "patch"}, "?>", 100};
    const Split neverWhole = {{"program"}, "/>", INFINITE};
    Row rows[] = {
        {"split before </data>", {setUpAndWrites, "/>", 300}, "", Answer::Checked, 0, S_OK, S_OK, false},
        {"split after the declaration", cutDeclaration, raw, Answer::Checked, 0, S_OK, S_OK, false},
        {"split after <?x", {setUpAndWrites, "<?x", 100}, raw, Answer::Checked, 0, S_OK, S_OK, false},
        {"ACK 3 s after the data", none, raw, Answer::Checked, 3000, S_OK, S_OK, false},
        {"NAK 1 s after the data", none, raw, Answer::Nak, 1000, E_UNEXPECTED, S_OK, false},
        {"ACK 13 s after the data", none, raw, Answer::Checked, 13000, kTimeout, kTimeout, true},
        {"silence after the data", none, raw, Answer::None, 0, kTimeout, kTimeout, true},
        {"final answer never whole", neverWhole, raw, Answer::Checked, 0, kInputEnd, kInputEnd, false},
    };
    CTempDir dir{L"answers"};
    // Three pieces of the programmer's payload.
    const std::string image = Pattern(600 * 512, 9);
    const std::wstring path = dir / L"image.bin";
    ASSERT_TRUE(WriteWholeFile(path, image));
    RunSideBySide(rows, [&](Row& row) {
        FirehoseOptions options;
        options.partitionSectors = {1024};
        options.splitAnswersTo = row.split.answersTo;
        options.splitAfter = row.split.after;
        options.splitPauseMs = row.split.pauseMs;
        options.answerBeforeData = row.beforeData;
        options.programAnswer = row.answer;
        options.programAnswerDelayMs = row.delay;
        CFirehosePhone phone(options);
        if (!phone.Start())
            return;
        ComPtr<IQDevice> device;
        RunBounded(kHangLimitMs, [&] {
            HRESULT hr = CSerialDevice::CreateInstance(phone.HostPort().c_str(), nullptr, &device, FALSE, FALSE);
            if (FAILED(hr))
                return hr;
            row.patched = device->ApplyPatch(L"1", L"0", L"16909060", L"4", L"512", L"0");
            row.written = device->WriteFile(L"4", L"0", path.c_str(), L"0", L"0", L"512", L"0");
            row.patchedNext = device->ApplyPatch(L"2", L"0", L"5", L"1", L"512", L"0");
            if (!row.recovers)
                return S_OK;
            // A late answer must not stand in for a refused patch's.
            hr = device->Reset();
            if (SUCCEEDED(hr))
                row.refused = device->ApplyPatch(L"NUM_DISK_SECTORS", L"0", L"6", L"1", L"512", L"0");
            return row.recovered = SUCCEEDED(hr) ? device->ApplyPatch(L"3", L"0", L"6", L"1", L"512", L"0") : hr;
        });
        row.names = phone.CommandNames();
        row.storage = phone.Storage(0);
    });
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(S_OK, row.patched);
        EXPECT_EQ(row.write, row.written);
        EXPECT_EQ(row.next, row.patchedNext);
        // Sent once: an answer is never taken twice or half, nor is a request
        // to send again made up.
        EXPECT_EQ(1, std::count(row.names.begin(), row.names.end(), "program"));
        ASSERT_EQ(1024u * 512, row.storage.size());
        EXPECT_EQ(std::string("\x04\x03\x02\x01", 4), row.storage.substr(512, 4));
        EXPECT_EQ(SUCCEEDED(row.next) ? '\x05' : '\0', row.storage[2 * 512]);
        if (SUCCEEDED(row.write))
        {
            EXPECT_TRUE(image == row.storage.substr(4 * 512, image.size()));
        }
        if (row.recovers)
        {
            EXPECT_EQ(E_UNEXPECTED, row.refused);
            EXPECT_EQ(S_OK, row.recovered);
            EXPECT_EQ('\x06', row.storage[3 * 512]);
        }
        else
        {
            EXPECT_EQ(SUCCEEDED(row.next) ? 2 : 1, std::count(row.names.begin(), row.names.end(), "patch"));
        }
    }
}

} // namespace
