// The Firehose serial device against simulated programmers over real serial
// port pairs.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <deque>

#include "engine/storage/SerialDevice.h"
#include "services/Log.h"
#include "tests/fixtures/BoundedRun.h"
#include "simulators/BuiltFiles.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/LogLines.h"
#include "simulators/phones/FirehosePhone.h"
#include "tests/fixtures/PhoneTime.h"
#include "tests/fixtures/StatusRecorder.h"

using Microsoft::WRL::ComPtr;

namespace
{

const HRESULT kAttemptRetry = static_cast<HRESULT>(0x800704D5);
const HRESULT kAttemptRestart = static_cast<HRESULT>(0x800705BB);
const HRESULT kTimeout = static_cast<HRESULT>(0x800705B4);
const HRESULT kInputEnd = static_cast<HRESULT>(0xC00CEE01);
const HRESULT kOutOfStep = static_cast<HRESULT>(0x8007139F);
// What the platform's XML reader gives for an end tag that closes nothing.
const HRESULT kStrayEndTag = static_cast<HRESULT>(0xC00CEE3B);
const HRESULT kNamedTwice = static_cast<HRESULT>(0xC00CEE3C);
// Far beyond the engine's own bounds: reaching it means a hang.
constexpr DWORD kHangLimitMs = 60000;

std::string Doc(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data>" + body + "</data>";
}

// A recorder that counts the references taken on it.
class CCountingRecorder : public CStatusRecorder
{
public:
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
    LONG References() const { return m_refs; }

private:
    LONG m_refs = 1;
};

// What the engine's side of a port pair holds at most (a pseudo-terminal's
// buffer): more waits in the link until the engine reads.
constexpr DWORD kPortHolds = 4095;

CSerialDevice* Serial(IQDevice* device)
{
    return static_cast<CSerialDevice*>(device);
}

// A programmer played by the test. It answers every nop and configure with
// an ACK (configure with the payload given); every other command it sees gets
// the next answer the test gave it, in parts a pause apart, the first a pause
// after the phone saw the command. The test may also have it send bytes of its
// own, or log every 50 ms for a while.
class CScriptedProgrammer
{
public:
    explicit CScriptedProgrammer(const std::string& payload) : m_payload(payload)
    {
        m_phone.Start([this, payload](CSimulatedPhone& phone) {
            std::string seen;
            char buffer[512];
            while (!phone.Stopping())
            {
                seen.append(buffer, phone.ReadSome(buffer, sizeof(buffer), 20));
                for (size_t at; (at = seen.find("</data>")) != std::string::npos; seen.erase(0, at + 7))
                    Seen(phone, seen.substr(0, at));
                SendDue(phone);
            }
        });
    }
    // The answer to the next command but nop and configure: its parts, the
    // first pauseMs after the phone saw the command, each later one pauseMs
    // after the one before.
    void Answer(const std::vector<std::string>& parts, DWORD pauseMs = 200)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_answers.push_back({parts, pauseMs});
    }
    // Sends bytes now and returns once they are in the engine's side of the
    // port, for its next read to find, or the port is full (the rest then
    // comes as the engine reads).
    void Send(const std::string& bytes)
    {
        const DWORD before = m_phone.HostHolding();
        const DWORD all = std::min<DWORD>(before + static_cast<DWORD>(bytes.size()), kPortHolds);
        SendLater(bytes, 0);
        EXPECT_LE(all, m_phone.HostHolding(all));
    }
    // Sends bytes pauseMs from now, and returns at once.
    void SendLater(const std::string& bytes, DWORD pauseMs)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_due.push_back({GetTickCount64() + pauseMs, bytes});
    }
    // A log every 50 ms for the next ms milliseconds (0: no more logs).
    void LogFor(DWORD ms) { m_logUntil = GetTickCount64() + ms; }
    size_t AnswersLeft()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_answers.size();
    }
    const std::wstring& HostPort() const { return m_phone.HostPort(); }

private:
    struct Scripted
    {
        std::vector<std::string> parts;
        DWORD pauseMs;
    };
    void Seen(CSimulatedPhone& phone, const std::string& command)
    {
        std::string answer;
        if (command.find("<configure ") != std::string::npos)
            answer = Doc("<response value=\"ACK\" MaxPayloadSizeToTargetInBytes=\"" + m_payload + "\"/>");
        else if (command.find("<nop ") != std::string::npos)
            answer = Doc("<response value=\"ACK\"/>");
        if (!answer.empty())
        {
            phone.Write(answer.data(), answer.size());
            return;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_answers.empty())
            return;
        ULONGLONG due = GetTickCount64();
        for (const std::string& part : m_answers.front().parts)
            m_due.push_back({due += m_answers.front().pauseMs, part});
        m_answers.pop_front();
    }
    void SendDue(CSimulatedPhone& phone)
    {
        const ULONGLONG now = GetTickCount64();
        if (now < m_logUntil && now >= m_nextLog)
        {
            const std::string log = Doc("<log value=\"INFO: still busy\"/>");
            phone.Write(log.data(), log.size());
            m_nextLog = now + 50;
        }
        std::vector<std::string> due;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            while (!m_due.empty() && m_due.front().first <= now)
            {
                due.push_back(m_due.front().second);
                m_due.pop_front();
            }
        }
        for (const std::string& bytes : due)
            phone.Write(bytes.data(), bytes.size());
    }

    const std::string m_payload;
    CSimulatedPhone m_phone;
    std::mutex m_lock;
    std::deque<Scripted> m_answers;
    std::deque<std::pair<ULONGLONG, std::string>> m_due; // in the order given
    std::atomic<ULONGLONG> m_logUntil{0};
    ULONGLONG m_nextLog = 0;
};

// A command that the scripted programmer leaves for the test to answer.
const wchar_t kQuestion[] = L"<?xml version=\"1.0\" ?><data><peek value=\"1\"/></data>";

// A Reset after the exchange went out of step or while a command waits,
// while the programmer logs every 50 ms for longer than the drain's overall
// limit, or stays quiet: logs are no answers, so the drain ends once no
// answer has come for its bound, not at that limit (which would be logged),
// and the device is in step.
void ResetAndDrain(CScriptedProgrammer& programmer, CSerialDevice* serial, bool logging)
{
    const size_t resetErrors = LogLinesWith("]CSerialDevice::Reset(").size();
    programmer.LogFor(logging ? PhoneTimeMs(kQuietWaitLimitMs) + 500 : 0);
    ASSERT_EQ(S_OK, RunBounded(kHangLimitMs, [&] { return serial->Reset(); }));
    programmer.LogFor(0);
    EXPECT_EQ(resetErrors, LogLinesWith("]CSerialDevice::Reset(").size());
}

// What came before a command, whole or only begun, is read before the command
// is sent: an answer among it answers no command to come and leaves the
// device out of step until a Reset; a log is left behind. What comes while a
// command waits decides it, and only its own answer does; a Reset while it
// still waits drops its answer first.
TEST(SerialDeviceResponses, WhatCameBeforeACommandNeverAnswersIt)
{
    CFastPhoneTime fast(2); // the answer wait, as the engine counts it, passes twice as fast
    CScriptedProgrammer programmer("131072");
    ComPtr<IQDevice> device;
    ASSERT_EQ(S_OK, CSerialDevice::CreateInstance(programmer.HostPort().c_str(), nullptr, &device, FALSE, FALSE));
    CSerialDevice* serial = Serial(device.Get());
    EXPECT_EQ(256u, serial->MaxSectorsPerTransfer());
    EXPECT_EQ(S_OK, serial->GetResponse(0));
    EXPECT_EQ(S_OK, serial->GetResponse(1)); // configure was acknowledged

    const std::string ack = Doc("<response value=\"ACK\"/>"), nak = Doc("<response value=\"NAK\"/>");
    const std::string log = Doc("<log value=\"INFO: hello\"/>");
    // Logs before an answer that fill the port, or that the port cuts it
    // from: its rest comes as the engine reads.
    auto fill = [](size_t size) {
        return Doc("<log value=\"" + std::string(size - Doc("<log value=\"\"/>").size(), 'x') + "\"/>");
    };
    const struct
    {
        const char* what;
        std::string before; // there before the command
        std::string rest;   // comes 200 ms later
        HRESULT sent;
    } cases[] = {
        {"a log", log, "", S_OK},
        {"the start of a log", log.substr(0, 30), log.substr(30), S_OK},
        {"an answer nobody asked for", ack, "", kOutOfStep},
        {"the start of an answer nobody asked for", nak.substr(0, 30), nak.substr(30), kOutOfStep},
        {"the start of one that never ends", nak.substr(0, 30), "", kInputEnd},
        {"one behind logs, the two filling the port", fill(kPortHolds - ack.size()) + ack, "", kOutOfStep},
        {"one that the port cuts after its start", fill(kPortHolds - 10) + ack, "", kOutOfStep},
        {"one that the port cuts after its first byte", fill(kPortHolds - 1) + ack, "", kOutOfStep},
    };
    bool acknowledge = false;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        programmer.Send(c.before);
        if (!c.rest.empty())
            programmer.SendLater(c.rest, 200);
        const HRESULT sent = RunBounded(kHangLimitMs, [&] { return serial->SendCommand(0, kQuestion); });
        EXPECT_EQ(c.sent, sent);
        if (SUCCEEDED(sent))
        {
            // The command is answered by its own answer alone.
            acknowledge = !acknowledge;
            EXPECT_EQ(E_UNEXPECTED, serial->GetResponse(1));
            programmer.Send(acknowledge ? ack : nak);
            EXPECT_EQ(acknowledge ? S_OK : E_UNEXPECTED, serial->GetResponse(1));
            continue;
        }
        // Nothing is sent until a Reset, after which the device is in step;
        // what is refused meanwhile fails with the cause.
        EXPECT_EQ(c.sent, serial->GetResponse(0));
        EXPECT_EQ(c.sent, serial->SendCommand(0, kQuestion));
        ASSERT_NO_FATAL_FAILURE(ResetAndDrain(programmer, serial, acknowledge = !acknowledge));
        ASSERT_EQ(S_OK, serial->SendCommand(0, kQuestion));
        programmer.Send(ack);
        EXPECT_EQ(S_OK, serial->GetResponse(1));
    }

    // What comes while a patch waits decides it, and only its own answer
    // does; a request in raw mode asks all the same (the ACK after it
    // answers the patch sent again). Each answer comes once the phone has
    // seen its patch.
    const std::string rawAck = Doc("<response value=\"ACK\" rawmode=\"true\"/>");
    const std::string rawRetry = Doc("<response value=\"NAK\" rawmode=\"true\" AttemptRetry=\"\"/>");
    const struct
    {
        const char* what;
        std::vector<std::vector<std::string>> answers; // to each patch sent
        HRESULT result;
        bool logged; // a refusal or a request, under the name of the reading
    } waits[] = {
        {"an ACK", {{ack}}, S_OK, false},
        {"a NAK", {{nak}}, E_UNEXPECTED, true},
        {"an ACK with another that nobody waits for", {{ack + ack}}, kOutOfStep, true},
        {"an ACK in raw mode, then its own", {{rawAck, ack}}, S_OK, false},
        {"a retry asked in raw mode, then an ACK", {{rawRetry}, {ack}}, S_OK, true},
        {"a value named twice", {{Doc("<response value=\"NAK\" value=\"ACK\"/>")}}, kNamedTwice, true},
        {"an answer that cannot be read", {{Doc("<response value=\"ACK\"/></oops>")}}, kStrayEndTag, true},
    };
    for (const auto& w : waits)
    {
        SCOPED_TRACE(w.what);
        const size_t logged = LogLinesWith("]CSerialDevice::GetResponse(").size();
        for (const auto& answer : w.answers)
            programmer.Answer(answer);
        EXPECT_EQ(w.result,
                  RunBounded(kHangLimitMs, [&] { return device->ApplyPatch(L"1", L"0", L"1", L"1", L"512", L"0"); }));
        EXPECT_EQ(w.logged, LogLinesWith("]CSerialDevice::GetResponse(").size() > logged);
        EXPECT_EQ(0u, programmer.AnswersLeft());
        if (FAILED(w.result))
        {
            ASSERT_NO_FATAL_FAILURE(ResetAndDrain(programmer, serial, acknowledge = !acknowledge));
        }
    }

    // A Reset while a command still waits drops the answer still coming
    // before the port is opened afresh: otherwise it would answer a command
    // of the new session.
    programmer.Answer({nak}, 1000);
    ASSERT_EQ(S_OK, serial->SendCommand(0, kQuestion));
    ASSERT_NO_FATAL_FAILURE(ResetAndDrain(programmer, serial, false));
    programmer.Answer({ack});
    EXPECT_EQ(S_OK,
              RunBounded(kHangLimitMs, [&] { return device->ApplyPatch(L"1", L"0", L"1", L"1", L"512", L"0"); }));

    // The boot drive must be set, not only asked for; a nop that ends a pair
    // must find its own ACK.
    ComPtr<IQDeviceSync> sync;
    ASSERT_EQ(S_OK, device.As(&sync));
    for (const std::string& answer : {nak, ack})
    {
        programmer.Answer({answer});
        EXPECT_EQ(answer == ack ? S_OK : E_UNEXPECTED,
                  RunBounded(kHangLimitMs, [&] { return device->SetBootableStorageDrive(); }));
        EXPECT_EQ(S_OK, sync->Synchronize());
    }
    programmer.Send(ack);
    EXPECT_EQ(kOutOfStep, sync->Synchronize());
}

TEST(SerialDeviceReset, ConfiguresForEmmcAndUfs)
{
    for (bool ufs : {false, true})
    {
        SCOPED_TRACE(ufs ? "UFS" : "eMMC");
        FirehoseOptions options;
        options.ufs = ufs;
        options.configureDelayMs = 500; // the answer comes only while Reset waits for it
        CFirehosePhone phone(options);
        ASSERT_TRUE(phone.Start());
        CCountingRecorder sink;
        ComPtr<IQDevice> device;
        ASSERT_EQ(S_OK, CSerialDevice::CreateInstance(phone.HostPort().c_str(), &sink, &device, ufs, TRUE));
        // 1048576 on UFS and 131072 on eMMC both give 256 sectors.
        EXPECT_EQ(256u, Serial(device.Get())->MaxSectorsPerTransfer());
        EXPECT_EQ(2, sink.References()); // the object holds its own reference

        std::vector<std::wstring> texts = sink.Texts();
        const std::wstring configure =
            std::wstring(
                L"<?xml version=\"1.0\" ?><data><configure ZlpAwareHost=\"1\" MaxPayloadSizeToTargetInBytes=") +
            (ufs ? L"\"1048576\" MemoryName=\"ufs\"" : L"\"131072\" MemoryName=\"eMMC\"") +
            L" SkipStorageInit=\"1\"/></data>";
        std::vector<std::wstring> expected = {L"Open serial port \"" + phone.HostPort() + L"\"",
                                              L"Send nop command",
                                              L"cmd <?xml version=\"1.0\" ?><data><nop value=\"ping\"/></data>",
                                              L"Send configure command",
                                              L"cmd " + configure,
                                              L"Max buffer sector is 256"};
        EXPECT_EQ(expected, texts);
        device.Reset();
        EXPECT_EQ(1, sink.References());
    }
}

// The answers to nop and configure decide a Reset, each for its own command:
// a programmer offered more than it takes refuses configure with its own
// size, and is used at that size; neither refusal fails, but a request to
// restart does.
TEST(SerialDeviceReset, DecidedByTheAnswersToNopAndConfigure)
{
    CFastPhoneTime fast(2);
    FirehoseOptions refused, nak, restart, silent, tiny, cut, twice;
    refused.maxPayload = 16384;
    refused.refuseLargerOffer = true;
    nak.answerTo["nop"] = "value=\"NAK\"";
    restart.answerTo["nop"] = "value=\"ACK\" AttemptRestart=\"\"";
    silent.silentConfigure = true;
    tiny.maxPayload = 256; // under one sector: no payload either
    tiny.refuseLargerOffer = true;
    cut.splitAnswersTo = {"configure"};
    cut.splitPauseMs = INFINITE;
    twice.answeredTwice = {"configure"};
    const struct
    {
        FirehoseOptions* options;
        HRESULT result;
        DWORD sectors;
    } cases[] = {{&refused, S_OK, 32},   {&nak, S_OK, 256},        {&restart, kAttemptRestart, 0},
                 {&silent, kTimeout, 0}, {&tiny, E_UNEXPECTED, 0}, {&cut, kInputEnd, 0},
                 {&twice, kOutOfStep, 0}};
    for (const auto& c : cases)
    {
        CFirehosePhone phone(*c.options);
        ASSERT_TRUE(phone.Start());
        ComPtr<IQDevice> device;
        const HRESULT created = RunBounded(kHangLimitMs, [&] {
            return CSerialDevice::CreateInstance(phone.HostPort().c_str(), nullptr, &device, FALSE, FALSE);
        });
        EXPECT_EQ(c.result, created);
        if (FAILED(created))
        {
            EXPECT_EQ(nullptr, device.Get());
            continue;
        }
        EXPECT_EQ(c.sectors, Serial(device.Get())->MaxSectorsPerTransfer());
        // A later Reset knows the payload size already, and still fails when
        // nothing answers it.
        phone.Stop();
        EXPECT_EQ(kTimeout, RunBounded(kHangLimitMs, [&] { return device->Reset(); }));
    }
}

class SerialDeviceWrite : public ::testing::Test
{
protected:
    void Open(const FirehoseOptions& options)
    {
        sink.phone = &phone;
        phone.reset(new CFirehosePhone(options));
        ASSERT_TRUE(phone->Start());
        ASSERT_EQ(S_OK, CSerialDevice::CreateInstance(phone->HostPort().c_str(), &sink, &device, options.ufs, FALSE));
    }
    std::wstring File(const std::string& bytes)
    {
        std::wstring path = dir / (L"image" + std::to_wstring(++files) + L".bin");
        EXPECT_TRUE(WriteWholeFile(path, bytes));
        return path;
    }
    std::string LastProgram()
    {
        std::vector<std::string> commands = phone->Commands();
        for (auto it = commands.rbegin(); it != commands.rend(); ++it)
            if (it->find("<program ") != std::string::npos)
                return *it;
        return "";
    }

    // Keeps what the device reports, and has the phone say `words` just
    // before a program command goes out.
    struct CSayingRecorder : CStatusRecorder
    {
        STDMETHODIMP NewStatus(LONG id, BSTR first, BSTR text) override
        {
            if (!words.empty() && text && wcsncmp(text, L"cmd ", 4) == 0 && wcsstr(text, L"<program "))
            {
                (*phone)->Write(words.data(), words.size());
                Sleep(200);
            }
            return CStatusRecorder::NewStatus(id, first, text);
        }
        std::unique_ptr<CFirehosePhone>* phone = nullptr;
        std::string words;
    };

    CTempDir dir{L"serial"};
    int files = 0;
    std::unique_ptr<CFirehosePhone> phone;
    CSayingRecorder sink;
    ComPtr<IQDevice> device;
};

TEST_F(SerialDeviceWrite, SendsWholeSectorsFromTheMappingInPayloadPieces)
{
    FirehoseOptions options;
    options.maxPayload = 4096; // 8 sectors per piece
    options.partitionSectors = {64, 64};
    ASSERT_NO_FATAL_FAILURE(Open(options));
    // 20 sectors and 100 bytes: the last sector is completed with zeros.
    const std::string image = Pattern(20 * 512 + 100, 1);
    std::wstring path = File(image);
    ASSERT_EQ(S_OK, device->WriteFile(L"NUM_DISK_SECTORS-30", L"0", path.c_str(), L"0", L"0", L"512", L"1"));
    // The start sector goes to the programmer as it was written.
    EXPECT_EQ("<?xml version=\"1.0\" ?><data><program SECTOR_SIZE_IN_BYTES=\"512\" num_partition_sectors=\"21\" "
              "start_sector=\"NUM_DISK_SECTORS-30\" physical_partition_number=\"1\"/></data>",
              LastProgram());
    std::string expected(64 * 512, '\0');
    expected.replace(34 * 512, image.size(), image);
    EXPECT_EQ(expected, phone->Storage(1));
    EXPECT_EQ(std::string(64 * 512, '\0'), phone->Storage(0));

    std::vector<std::wstring> pieces = sink.WithPrefix(L"WriteFile position");
    std::vector<std::wstring> expectedPieces = {L"WriteFile position 0000000000000000, size 4096",
                                                L"WriteFile position 0x00000000001000, size 4096",
                                                L"WriteFile position 0x00000000002000, size 2560"};
    EXPECT_EQ(expectedPieces, pieces);
    EXPECT_EQ(std::vector<std::wstring>{L"Writing file \"" + path + L"\" to partition at NUM_DISK_SECTORS-30"},
              sink.WithPrefix(L"Writing file"));
}

// A range is cut from the file by its offset, limit and byte offset; one
// past the file, or with a bad sector size, is refused before any command.
TEST_F(SerialDeviceWrite, RangeFromFileOffsetLimitAndByteOffsetOrRefused)
{
    FirehoseOptions options;
    options.partitionSectors = {64};
    ASSERT_NO_FATAL_FAILURE(Open(options));
    const std::string image = Pattern(10 * 512, 2);
    std::wstring path = File(image);

    // A limit larger than the file: only the file is announced and sent.
    ASSERT_EQ(S_OK, device->WriteFile(L"0", L"50", path.c_str(), L"0", L"0", L"512", L"0"));
    EXPECT_NE(std::string::npos, LastProgram().find("num_partition_sectors=\"10\""));
    // From sector 4 of the file, cut to 3 sectors.
    ASSERT_EQ(S_OK, device->WriteFile(L"20", L"3", path.c_str(), L"2*2", L"0", L"512", L"0"));
    EXPECT_NE(std::string::npos, LastProgram().find("num_partition_sectors=\"3\""));
    // A byte offset shifts the data; what lies past the file's end is zero.
    ASSERT_EQ(S_OK, device->WriteFile(L"30", L"0", path.c_str(), L"8", L"40", L"512", L"0"));
    EXPECT_NE(std::string::npos, LastProgram().find("num_partition_sectors=\"2\""));

    std::string expected(64 * 512, '\0');
    expected.replace(0, image.size(), image);
    expected.replace(20 * 512, 3 * 512, image.substr(4 * 512, 3 * 512));
    expected.replace(30 * 512, 2 * 512 - 40, image.substr(8 * 512 + 40));
    EXPECT_EQ(expected, phone->Storage(0));

    const size_t before = phone->Commands().size();
    EXPECT_EQ(static_cast<HRESULT>(0x80070026),
              device->WriteFile(L"0", L"0", path.c_str(), L"11", L"0", L"512", L"0"));
    EXPECT_EQ(static_cast<HRESULT>(0x80070026),
              device->WriteFile(L"0", L"0", path.c_str(), L"0", L"10240", L"512", L"0"));
    EXPECT_EQ(static_cast<HRESULT>(0x8007000B), device->WriteFile(L"0", L"0", path.c_str(), L"0", L"0", L"0", L"0"));
    EXPECT_EQ(static_cast<HRESULT>(0x80070000u),
              device->WriteFile(L"0", L"3+*4", path.c_str(), L"0", L"0", L"512", L"0"));
    EXPECT_EQ(static_cast<HRESULT>(0x80070002),
              device->WriteFile(L"0", L"0", (dir / L"missing.bin").c_str(), L"0", L"0", L"512", L"0"));
    // Nothing left to send: no command at all.
    EXPECT_EQ(S_OK, device->WriteFile(L"0", L"0", path.c_str(), L"10", L"0", L"512", L"0"));
    EXPECT_EQ(S_OK, device->WriteFile(L"0", L"0", File("").c_str(), L"0", L"0", L"512", L"0"));
    EXPECT_EQ(before, phone->Commands().size());
}

// The answer to a program is read once all of its data is on the wire,
// whenever it came: a request to send again, with the command, amid the data
// or after it, repeats the whole program, and the programmer takes the data
// of each whole. A final answer before the data leaves the request amid the
// data to no command: the write fails however the first answer read.
TEST_F(SerialDeviceWrite, AnswersToTheDataAreHonoured)
{
    using Moment = FirehoseOptions::Moment;
    const std::string image = Pattern(16384 * 512 + 7, 4); // pieces enough to be heard amid the data
    const struct
    {
        Moment when;
        const char* beforeData;
        HRESULT written;
        size_t programs;
    } cases[] = {
        {Moment::AmidData, "value=\"ACK\"", kOutOfStep, 1},
        {Moment::WithCommand, FirehoseOptions::kRawModeAck, S_OK, 3},
        {Moment::AmidData, FirehoseOptions::kRawModeAck, S_OK, 3},
        {Moment::AfterData, FirehoseOptions::kRawModeAck, S_OK, 3},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(static_cast<int>(c.when));
        SCOPED_TRACE(c.beforeData);
        FirehoseOptions options;
        options.partitionSectors = {16400};
        options.retryPrograms = 2;
        options.requestsWhen = c.when;
        options.answerBeforeData = c.beforeData;
        ASSERT_NO_FATAL_FAILURE(Open(options));
        const std::wstring path = File(image);
        EXPECT_EQ(c.written, device->WriteFile(L"1", L"0", path.c_str(), L"0", L"0", L"512", L"0"));
        std::vector<std::string> names = phone->CommandNames();
        EXPECT_EQ(c.programs, std::count(names.begin(), names.end(), "program"));
        if (FAILED(c.written))
            continue;
        std::string expected(16400 * 512, '\0');
        expected.replace(512, image.size(), image);
        EXPECT_TRUE(expected == phone->Storage(0));
        EXPECT_TRUE(phone->Errors().empty());
    }

    // A programmer that never stops asking gets a bounded number of resends.
    const std::wstring path = File(image);
    phone->SetRetryPrograms(1000);
    size_t before = phone->Commands().size();
    EXPECT_EQ(kAttemptRetry, device->WriteFile(L"1", L"0", path.c_str(), L"0", L"0", L"512", L"0"));
    EXPECT_EQ(before + 11, phone->Commands().size());
    phone->SetRetryPrograms(0);

    // A refused program is a failure, not a success: from sector 300 the
    // image runs past the end of the storage.
    EXPECT_EQ(E_UNEXPECTED, device->WriteFile(L"300", L"0", path.c_str(), L"0", L"0", L"512", L"0"));
}

// Once a program command is on the wire its data follows whole, even when
// the read right after it fails: the programmer waits for the data. What the
// programmer says as the command goes out, or amid the data, is judged after
// the data; the cause of a document that cannot be read amid the data is
// logged as it comes, before the write fails (here at the floor, as the
// phone takes no more data), and is the write's result as the first cause.
TEST_F(SerialDeviceWrite, DataFollowsItsCommandWhateverCameWithIt)
{
    const std::string image = Pattern(600 * 512, 7);
    const std::wstring path = File(image);
    const std::string log = Doc("<log value=\"INFO: hello\"/>"), broken = Doc("<response value=\"ACK\"/></oops>");
    const struct
    {
        const char* what;
        std::string withCommand, amidData;
        HRESULT result;
    } cases[] = {
        {"a log with the command", log, "", S_OK},
        {"an unreadable answer with the command", broken, "", kStrayEndTag},
        {"a log amid the data", "", log, S_OK},
        {"an unreadable answer amid the data, no more data taken", "", broken, kStrayEndTag},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        FirehoseOptions options;
        options.partitionSectors = {1024};
        options.sayAmidData = c.amidData;
        const bool stops = !c.amidData.empty() && FAILED(c.result);
        if (stops)
            options.slowAfter = image.size() / 2; // and takes nothing more
        ASSERT_NO_FATAL_FAILURE(Open(options));
        sink.words = c.withCommand;
        const size_t before = SplitLines(ReadWholeFile(GetLogFileName())).size();
        // The floor, as the engine counts it, passes four times faster.
        std::unique_ptr<CFastPhoneTime> fast(stops ? new CFastPhoneTime(4) : nullptr);
        EXPECT_EQ(c.result, RunBounded(kHangLimitMs, [&] {
                      return device->WriteFile(L"2", L"0", path.c_str(), L"0", L"0", L"512", L"0");
                  }));
        fast.reset();
        if (!stops)
        {
            // The phone takes all of the data, whatever the write gave.
            for (int wait = 0; wait < 1000 && image != phone->Storage(0).substr(2 * 512, image.size()); ++wait)
                Sleep(10);
            EXPECT_TRUE(image == phone->Storage(0).substr(2 * 512, image.size()));
            EXPECT_TRUE(phone->Errors().empty());
        }
        if (SUCCEEDED(c.result))
            continue;
        // The cause is logged under the reading's name, before the write's
        // failure.
        std::vector<std::string> lines = SplitLines(ReadWholeFile(GetLogFileName()));
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
        auto with = [&lines](const char* text) {
            return std::find_if(lines.begin(), lines.end(),
                                [text](const std::string& line) { return line.find(text) != std::string::npos; });
        };
        const auto cause = with("]CSerialDevice::GetResponse("), failed = with("]CSerialDevice::WriteFile(");
        ASSERT_NE(lines.end(), cause);
        EXPECT_NE(std::string::npos, cause->find("(0xc00cee3b)")) << *cause;
        EXPECT_LT(cause - lines.begin(), failed - lines.begin());
    }
}

TEST_F(SerialDeviceWrite, PatchesAndBootDriveCommands)
{
    FirehoseOptions options;
    options.partitionSectors = {32};
    options.retryPatches = 1;
    ASSERT_NO_FATAL_FAILURE(Open(options));
    ASSERT_EQ(S_OK, device->ApplyPatch(L"NUM_DISK_SECTORS-1", L"8", L"NUM_DISK_SECTORS+1", L"4", L"512", L"0"));
    std::vector<std::string> commands = phone->Commands();
    ASSERT_GE(commands.size(), 2u);
    const std::string patch =
        "<?xml version=\"1.0\" ?><data><patch SECTOR_SIZE_IN_BYTES=\"512\" byte_offset=\"8\" filename=\"DISK\" "
        "physical_partition_number=\"0\" size_in_bytes=\"4\" start_sector=\"NUM_DISK_SECTORS-1\" "
        "value=\"NUM_DISK_SECTORS+1\" what=\"Update\"/></data>";
    // Asked once to retry: sent twice.
    EXPECT_EQ(patch, commands[commands.size() - 2]);
    EXPECT_EQ(patch, commands.back());
    EXPECT_EQ(std::string("\x21\0\0\0", 4), phone->Storage(0).substr(31 * 512 + 8, 4));
    EXPECT_EQ(
        std::vector<std::wstring>{L"ApplyPatch sector NUM_DISK_SECTORS-1, offset 8, value NUM_DISK_SECTORS+1, size 4"},
        sink.WithPrefix(L"ApplyPatch"));

    ASSERT_EQ(S_OK, device->SetBootableStorageDrive());
    EXPECT_EQ("<?xml version=\"1.0\" ?><data><setbootablestoragedrive value=\"1\" /></data>",
              phone->Commands().back()); // kept before it is answered
    EXPECT_EQ(L"Set boot partition 1", sink.WithPrefix(L"Set boot").at(0));

    // A refusal belongs to the command refused: the programmer refuses this
    // unknown command, and the patch after it stands on its own answer.
    ASSERT_EQ(S_OK, Serial(device.Get())->SendCommand(0, kQuestion));
    EXPECT_EQ(S_OK, device->ApplyPatch(L"2", L"0", L"7", L"1", L"512", L"0"));
    EXPECT_EQ('\x07', phone->Storage(0)[2 * 512]);
}

// Texts from the files are values on the wire, never markup: the programmer
// reads back exactly what the file held, whatever it evaluates to.
TEST_F(SerialDeviceWrite, TextsFromTheFilesReachTheProgrammerAsTheyAre)
{
    FirehoseOptions options;
    options.partitionSectors = {32};
    ASSERT_NO_FATAL_FAILURE(Open(options));
    const std::wstring path = File(Pattern(512, 8));
    const std::string power = "\"/></data><?xml version=\"1.0\" ?><data><power value=\"reset_to_edl\"/></data><!--";
    const struct
    {
        std::string start;
        std::string value;
        HRESULT patch;
        HRESULT write;
    } cases[] = {
        {"(1<2)&&(3>2)", "(2>1)?5:6", S_OK, S_OK},
        {"1", power, E_UNEXPECTED, E_UNEXPECTED},
        {"'4'", "'", E_UNEXPECTED, E_UNEXPECTED},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.value);
        const std::wstring start(c.start.begin(), c.start.end()), value(c.value.begin(), c.value.end());
        EXPECT_EQ(c.patch, device->ApplyPatch(start.c_str(), L"0", value.c_str(), L"1", L"512", L"0"));
        std::vector<std::map<std::string, std::string>> commands = phone->CommandAttributes();
        EXPECT_EQ(c.start, commands.back()["start_sector"]);
        EXPECT_EQ(c.value, commands.back()["value"]);
        EXPECT_EQ(c.write, device->WriteFile(value.c_str(), L"0", path.c_str(), L"0", L"0", L"512", L"0"));
        EXPECT_EQ(c.value, phone->CommandAttributes().back()["start_sector"]);
    }
    std::vector<std::string> names = phone->CommandNames();
    EXPECT_EQ(0, std::count(names.begin(), names.end(), "power"));
    const std::string storage = phone->Storage(0);
    EXPECT_EQ('\x05', storage[512]);                          // the patch's value evaluated by the phone
    EXPECT_EQ(Pattern(512, 8), storage.substr(5 * 512, 512)); // written at sector 5
}

} // namespace
