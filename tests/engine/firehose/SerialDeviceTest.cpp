// The Firehose serial device against simulated programmers over real serial
// port pairs.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <condition_variable>
#include <deque>

#include "engine/storage/SerialDevice.h"
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

// The phone's commands once it has received at least count of them: the
// engine does not wait for the answer to every command.
std::vector<std::string> WaitForCommands(const CFirehosePhone& phone, size_t count)
{
    for (int wait = 0; wait < 200 && phone.Commands().size() < count; ++wait)
        Sleep(10);
    return phone.Commands();
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

CSerialDevice* Serial(IQDevice* device)
{
    return static_cast<CSerialDevice*>(device);
}

// A programmer played byte by byte: it answers every nop and configure with
// an ACK (configure with the payload given), and otherwise sends whatever the
// test queues, when the test queues it, after the pause queued with it.
class CScriptedProgrammer
{
public:
    explicit CScriptedProgrammer(const std::string& payload)
    {
        m_phone.Start([this, payload](CSimulatedPhone& phone) {
            std::string seen;
            char buffer[512];
            while (!phone.Stopping())
            {
                seen.append(buffer, phone.ReadSome(buffer, sizeof(buffer), 20));
                for (size_t at; (at = seen.find("</data>")) != std::string::npos; seen.erase(0, at + 7))
                {
                    const std::string command = seen.substr(0, at);
                    std::string answer;
                    if (command.find("<configure ") != std::string::npos)
                        answer = Doc("<response value=\"ACK\" MaxPayloadSizeToTargetInBytes=\"" + payload + "\"/>");
                    else if (command.find("<nop ") != std::string::npos)
                        answer = Doc("<response value=\"ACK\"/>");
                    phone.Write(answer.data(), answer.size());
                }
                std::pair<std::string, DWORD> next;
                {
                    std::lock_guard<std::mutex> lock(m_lock);
                    if (m_queue.empty())
                        continue;
                    next = m_queue.front();
                }
                phone.Pause(next.second);
                phone.Write(next.first.data(), next.first.size());
                std::lock_guard<std::mutex> lock(m_lock);
                m_queue.pop_front();
                m_sent.notify_all();
            }
        });
    }
    // Queues bytes and waits until they are on their way plus a little, so
    // that the engine's next read finds them.
    void Send(const std::string& bytes)
    {
        SendLater(bytes, 0);
        WaitSent();
    }
    // Waits until all that was queued is on its way plus a little.
    void WaitSent()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_sent.wait_for(lock, std::chrono::seconds(10), [this] { return m_queue.empty(); });
        lock.unlock();
        Sleep(150);
    }
    // Drops what is queued and not yet on its way.
    void Cancel()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.erase(m_queue.begin() + (m_queue.empty() ? 0 : 1), m_queue.end());
    }
    // Queues bytes to be sent after a pause, and returns at once.
    void SendLater(const std::string& bytes, DWORD pauseMs)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.emplace_back(bytes, pauseMs);
    }
    const std::wstring& HostPort() const { return m_phone.HostPort(); }

private:
    CSimulatedPhone m_phone;
    std::mutex m_lock;
    std::condition_variable m_sent;
    std::deque<std::pair<std::string, DWORD>> m_queue;
};

// A command that the scripted programmer leaves for the test to answer.
const wchar_t kQuestion[] = L"<?xml version=\"1.0\" ?><data><peek value=\"1\"/></data>";

// A Reset after the exchange went out of step, while the programmer logs
// every 50 ms for longer than the drain's overall limit: logs are no
// answers, so the drain ends once no answer has come for its bound, well
// before that limit (which would be logged), and the device is in step.
void ResetWhileItLogs(CScriptedProgrammer& programmer, CSerialDevice* serial)
{
    EXPECT_EQ(5000u, kQuietPortMs);
    EXPECT_EQ(30000u, kQuietWaitLimitMs);
    const std::string log = Doc("<log value=\"INFO: still busy\"/>");
    for (DWORD sent = 0; sent < PhoneTimeMs(kQuietWaitLimitMs) + 500; sent += 50)
        programmer.SendLater(log, 50);
    const size_t resetErrors = LogLinesWith("]CSerialDevice::Reset(").size();
    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(S_OK, RunBounded(kHangLimitMs, [&] { return serial->Reset(); }));
    EXPECT_LT(GetTickCount64() - start, PhoneTimeMs(kQuietWaitLimitMs));
    EXPECT_EQ(resetErrors, LogLinesWith("]CSerialDevice::Reset(").size());
    programmer.Cancel();
}

// What came before a command, whole or only begun, is read before the command
// is sent: an answer among it answers no command to come and leaves the
// device out of step until a Reset; a log is left behind.
TEST(SerialDeviceResponses, WhatCameBeforeACommandNeverAnswersIt)
{
    CFastPhoneTime fast(4); // the answer wait, as the engine counts it, passes four times faster
    CScriptedProgrammer programmer("131072");
    ComPtr<IQDevice> device;
    ASSERT_EQ(S_OK, CSerialDevice::CreateInstance(programmer.HostPort().c_str(), nullptr, &device, FALSE, FALSE));
    CSerialDevice* serial = Serial(device.Get());
    EXPECT_EQ(256u, serial->MaxSectorsPerTransfer());
    EXPECT_EQ(S_OK, serial->GetResponse(0));
    EXPECT_EQ(S_OK, serial->GetResponse(1)); // configure was acknowledged

    const std::string ack = Doc("<response value=\"ACK\"/>"), nak = Doc("<response value=\"NAK\"/>");
    const std::string log = Doc("<log value=\"INFO: hello\"/>");
    // Logs that fill what one read of a port hands out, whole, on either
    // side of its size.
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
        {"one behind 4094 bytes of logs", fill(4094) + ack, "", kOutOfStep},
        {"one behind 4095 bytes of logs", fill(4095) + ack, "", kOutOfStep},
        {"one behind 4096 bytes of logs", fill(4096) + ack, "", kOutOfStep},
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
        // Nothing is sent until a Reset, after which the device is in step.
        EXPECT_EQ(kOutOfStep, serial->GetResponse(0));
        EXPECT_EQ(kOutOfStep, serial->SendCommand(0, kQuestion));
        ASSERT_EQ(S_OK, RunBounded(kHangLimitMs, [&] { return serial->Reset(); }));
        ASSERT_EQ(S_OK, serial->SendCommand(0, kQuestion));
        programmer.Send(ack);
        EXPECT_EQ(S_OK, serial->GetResponse(1));
    }

    // What comes while a patch waits decides it, and only its own answer
    // does; a request in raw mode asks all the same (the ACK after it
    // answers the patch sent again).
    const struct
    {
        const char* what;
        std::vector<std::string> answers; // each 200 ms after the one before
        HRESULT result;
        bool logged; // a refusal or a request, under the name of the reading
    } waits[] = {
        {"an ACK", {ack}, S_OK, false},
        {"a NAK", {nak}, E_UNEXPECTED, true},
        {"an ACK with another that nobody waits for", {ack + ack}, kOutOfStep, true},
        {"an ACK in raw mode, then its own", {Doc("<response value=\"ACK\" rawmode=\"true\"/>"), ack}, S_OK, false},
        {"a retry asked in raw mode, then an ACK",
         {Doc("<response value=\"NAK\" rawmode=\"true\" AttemptRetry=\"\"/>"), ack},
         S_OK,
         true},
        {"a value named twice", {Doc("<response value=\"NAK\" value=\"ACK\"/>")}, kNamedTwice, true},
        {"an answer that cannot be read", {Doc("<response value=\"ACK\"/></oops>")}, kStrayEndTag, true},
    };
    for (const auto& w : waits)
    {
        SCOPED_TRACE(w.what);
        const size_t logged = LogLinesWith("]CSerialDevice::GetResponse(").size();
        for (const std::string& answer : w.answers)
            programmer.SendLater(answer, 200);
        EXPECT_EQ(w.result,
                  RunBounded(kHangLimitMs, [&] { return device->ApplyPatch(L"1", L"0", L"1", L"1", L"512", L"0"); }));
        EXPECT_EQ(w.logged, LogLinesWith("]CSerialDevice::GetResponse(").size() > logged);
        if (FAILED(w.result))
        {
            ASSERT_NO_FATAL_FAILURE(ResetWhileItLogs(programmer, serial));
        }
    }

    // The boot drive must be set, not only asked for; a nop that ends a pair
    // must find its own ACK.
    ComPtr<IQDeviceSync> sync;
    ASSERT_EQ(S_OK, device.As(&sync));
    for (const std::string& answer : {nak, ack})
    {
        programmer.SendLater(answer, 100);
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
            ufs ? L"<?xml version=\"1.0\" ?><data><configure ZlpAwareHost=\"1\" MaxPayloadSizeToTargetInBytes="
                  L"\"1048576\" MemoryName=\"ufs\" SkipStorageInit=\"1\"/></data>"
                : L"<?xml version=\"1.0\" ?><data><configure ZlpAwareHost=\"1\" MaxPayloadSizeToTargetInBytes="
                  L"\"131072\" MemoryName=\"eMMC\" SkipStorageInit=\"1\"/></data>";
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

// Each write is the session's last command, so no later read can pick up
// its answer: the wait after the data alone decides it. An answer that comes
// after the wait leaves the device out of step until a Reset, which drops it.
TEST(SerialDeviceAnswers, FinalAnswerAfterTheDataDecidesWithinTheBound)
{
    // The waits run twice as fast; the delays below are as the engine counts
    // them, each a second or more from the edge it tests.
    constexpr DWORD kSpeed = 2;
    CFastPhoneTime fast(kSpeed);
    using Answer = FirehoseOptions::ProgramAnswer;
    struct Case
    {
        const char* name;
        std::vector<std::string> split;
        const char* after;
        DWORD pause;
        std::string beforeData;
        Answer answer;
        DWORD delay;
        HRESULT write;
        HRESULT next;  // a patch right after the write
        bool recovers; // a Reset, then a patch
    };
    const std::vector<std::string> setUpAndWrites = {"nop", "program", "patch"};
    const std::string rawMode = FirehoseOptions::kRawModeAck;
    const Case cases[] = {
        {"split before </data>", setUpAndWrites, "/>", 300, "", Answer::Checked, 0, S_OK, S_OK, false},
        {"split after the declaration",
         {"configure", "program", "patch"},
         "?>",
         100,
         rawMode,
         Answer::Checked,
         0,
         S_OK,
         S_OK,
         false},
        {"split after <?x", setUpAndWrites, "<?x", 100, rawMode, Answer::Checked, 0, S_OK, S_OK, false},
        {"ACK 3 s after the data", {}, "", 0, rawMode, Answer::Checked, 3000, S_OK, S_OK, false},
        {"NAK 1 s after the data", {}, "", 0, rawMode, Answer::Nak, 1000, E_UNEXPECTED, S_OK, false},
        {"ACK 7 s after the data", {}, "", 0, rawMode, Answer::Checked, 7000, kTimeout, kOutOfStep, true},
        {"silence after the data", {}, "", 0, rawMode, Answer::None, 0, kTimeout, kOutOfStep, true},
        {"final answer never whole",
         {"program"},
         "/>",
         INFINITE,
         rawMode,
         Answer::Checked,
         0,
         kInputEnd,
         kOutOfStep,
         false},
    };
    CTempDir dir{L"answers"};
    // Three pieces of the programmer's payload.
    const std::string image = Pattern(600 * 512, 9);
    const std::wstring path = dir / L"image.bin";
    ASSERT_TRUE(WriteWholeFile(path, image));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        FirehoseOptions options;
        options.partitionSectors = {1024};
        options.splitAnswersTo = c.split;
        options.splitAfter = c.after;
        options.splitPauseMs = c.pause;
        options.answerBeforeData = c.beforeData;
        options.programAnswer = c.answer;
        options.programAnswerDelayMs = c.delay / kSpeed;
        CFirehosePhone phone(options);
        ASSERT_TRUE(phone.Start());
        ComPtr<IQDevice> device;
        HRESULT patched = E_FAIL, written = E_FAIL, next = E_FAIL;
        ASSERT_EQ(S_OK, RunBounded(kHangLimitMs, [&] {
                      HRESULT hr =
                          CSerialDevice::CreateInstance(phone.HostPort().c_str(), nullptr, &device, FALSE, FALSE);
                      if (SUCCEEDED(hr))
                      {
                          patched = device->ApplyPatch(L"1", L"0", L"16909060", L"4", L"512", L"0");
                          written = device->WriteFile(L"4", L"0", path.c_str(), L"0", L"0", L"512", L"0");
                          next = device->ApplyPatch(L"2", L"0", L"5", L"1", L"512", L"0");
                      }
                      return hr;
                  }));
        EXPECT_EQ(S_OK, patched);
        EXPECT_EQ(c.write, written);
        EXPECT_EQ(c.next, next);
        // Sent once: an answer is never taken twice or half, nor is a request
        // to send again made up.
        std::vector<std::string> names = phone.CommandNames();
        EXPECT_EQ(1, std::count(names.begin(), names.end(), "program"));
        EXPECT_EQ(SUCCEEDED(c.next) ? 2 : 1, std::count(names.begin(), names.end(), "patch"));
        const std::string storage = phone.Storage(0);
        EXPECT_EQ(std::string("\x04\x03\x02\x01", 4), storage.substr(512, 4));
        EXPECT_EQ(SUCCEEDED(c.next) ? '\x05' : '\0', storage[2 * 512]);
        if (SUCCEEDED(c.write))
        {
            EXPECT_TRUE(image == storage.substr(4 * 512, image.size()));
        }
        if (c.recovers)
        {
            // A late answer must not stand in for a refused patch's.
            HRESULT refused = E_FAIL;
            EXPECT_EQ(S_OK, RunBounded(kHangLimitMs, [&] {
                          HRESULT hr = device->Reset();
                          if (SUCCEEDED(hr))
                              refused = device->ApplyPatch(L"NUM_DISK_SECTORS", L"0", L"6", L"1", L"512", L"0");
                          return SUCCEEDED(hr) ? device->ApplyPatch(L"3", L"0", L"6", L"1", L"512", L"0") : hr;
                      }));
            EXPECT_EQ(E_UNEXPECTED, refused);
            EXPECT_EQ('\x06', phone.Storage(0)[3 * 512]);
        }
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

TEST_F(SerialDeviceWrite, RangeFromFileOffsetLimitAndByteOffset)
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
}

TEST_F(SerialDeviceWrite, RefusesRangesPastTheFileAndBadSectorSizes)
{
    ASSERT_NO_FATAL_FAILURE(Open(FirehoseOptions()));
    std::wstring path = File(Pattern(4 * 512, 3));
    size_t before = phone->Commands().size();
    EXPECT_EQ(static_cast<HRESULT>(0x80070026), device->WriteFile(L"0", L"0", path.c_str(), L"5", L"0", L"512", L"0"));
    EXPECT_EQ(static_cast<HRESULT>(0x80070026),
              device->WriteFile(L"0", L"0", path.c_str(), L"0", L"4096", L"512", L"0"));
    EXPECT_EQ(static_cast<HRESULT>(0x8007000B), device->WriteFile(L"0", L"0", path.c_str(), L"0", L"0", L"0", L"0"));
    EXPECT_EQ(static_cast<HRESULT>(0x80070000u),
              device->WriteFile(L"0", L"3+*4", path.c_str(), L"0", L"0", L"512", L"0"));
    EXPECT_EQ(static_cast<HRESULT>(0x80070002),
              device->WriteFile(L"0", L"0", (dir / L"missing.bin").c_str(), L"0", L"0", L"512", L"0"));
    // Nothing left to send: no command at all.
    EXPECT_EQ(S_OK, device->WriteFile(L"0", L"0", path.c_str(), L"4", L"0", L"512", L"0"));
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

// The programmer sets its own pace: it may log while it takes data, as
// often as it likes, set up its storage before it answers configure, take
// the data slowly and answer once it has it all, in pieces of any size. A
// write ends only when the programmer takes less than 64 KiB in 10 s (or
// an answer is late), each hostile row next to its honest twin.
TEST_F(SerialDeviceWrite, TheProgrammerSetsItsOwnPace)
{
    constexpr DWORD kSpeed = 4; // every bound and pause, as the engine counts them, four times faster
    CFastPhoneTime fast(kSpeed);
    constexpr size_t kMiB = 1 << 20;
    constexpr ULONGLONG kNever = ULLONG_MAX;
    // Times as the engine counts them.
    const struct
    {
        const char* what;
        ULONGLONG logEvery; // a log per this many bytes taken
        int logsPerRead;    // logs after every read of data
        bool onePiece;      // a payload of 1 GiB
        DWORD configureMs;  // configure answered this late
        ULONGLONG slowFrom; // from this many bytes on, slowBytes every slowMs
        size_t slowBytes;
        DWORD slowMs;
        DWORD answerMs; // the answer this long after the data
        size_t bytes;
        HRESULT created, written;
    } cases[] = {
        {"a log per 16 KiB taken", 16384, 0, false, 0, kNever, 0, 0, 0, 64 * kMiB, S_OK, S_OK},
        {"a log per 16 KiB taken, one piece", 16384, 0, true, 0, kNever, 0, 0, 0, 16 * kMiB, S_OK, S_OK},
        {"16 logs after every read of 4 KiB", 0, 16, false, 0, 0, 4096, 0, 0, 8 * kMiB, S_OK, S_OK},
        {"16 logs after every read, one piece", 0, 16, true, 0, kNever, 0, 0, 0, 16 * kMiB, S_OK, S_OK},
        {"logging, no data taken after 64 KiB", 0, 16, true, 0, 65536, 0, 0, 0, 64 * kMiB, S_OK, kTimeout},
        {"configure answered 4 s late", 0, 0, false, 4000, kNever, 0, 0, 0, 65536, S_OK, S_OK},
        {"configure answered 6 s late", 0, 0, false, 6000, kNever, 0, 0, 0, 0, kTimeout, S_OK},
        {"64 KiB a second", 0, 0, false, 0, 0, 65536, 1000, 0, kMiB, S_OK, S_OK},
        {"9 KiB a second, answering 4.5 s after", 0, 0, false, 0, 0, 9216, 1000, 4500, 128 * 1024, S_OK, S_OK},
        {"4 KiB every 6 s after 64 KiB", 0, 0, false, 0, 65536, 4096, 6000, 0, kMiB, S_OK, kTimeout},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        FirehoseOptions options;
        options.partitionSectors = {c.bytes / 512 + 8};
        options.logEveryBytes = c.logEvery;
        options.logsPerRead = c.logsPerRead;
        options.maxPayload = c.onePiece ? 1 << 30 : 0;
        options.configureDelayMs = c.configureMs / kSpeed;
        options.slowAfter = c.slowFrom;
        options.slowBytes = c.slowBytes;
        options.slowEveryMs = c.slowMs / kSpeed;
        options.programAnswerDelayMs = c.answerMs / kSpeed;
        phone.reset(new CFirehosePhone(options));
        ASSERT_TRUE(phone->Start());
        device.Reset();
        const HRESULT created = RunBounded(kHangLimitMs, [&] {
            return CSerialDevice::CreateInstance(phone->HostPort().c_str(), nullptr, &device, FALSE, FALSE);
        });
        EXPECT_EQ(c.created, created);
        if (FAILED(created))
            continue;
        const std::string image = Pattern(c.bytes, 6);
        const std::wstring path = File(image);
        EXPECT_EQ(c.written, RunBounded(kHangLimitMs, [&] {
                      return device->WriteFile(L"1", L"0", path.c_str(), L"0", L"0", L"512", L"0");
                  }));
        if (FAILED(c.written))
        {
            EXPECT_EQ(kOutOfStep, device->ApplyPatch(L"1", L"0", L"1", L"1", L"512", L"0"));
            continue;
        }
        EXPECT_TRUE(image == phone->Storage(0).substr(512, image.size()));
        EXPECT_TRUE(phone->Errors().empty());
        // Every Reset waits as long for the answers.
        EXPECT_EQ(S_OK, RunBounded(kHangLimitMs, [&] { return device->Reset(); }));
        DeleteFileW(path.c_str());
    }
}

// Once a program command is on the wire its data follows whole, even when
// the read right after it fails: the programmer waits for the data. What
// the programmer said as the command went out is judged after the data.
TEST_F(SerialDeviceWrite, DataFollowsItsCommandWhateverCameWithIt)
{
    const std::string image = Pattern(600 * 512, 7);
    const std::wstring path = File(image);
    for (const auto& c : {std::make_pair(Doc("<log value=\"INFO: hello\"/>"), S_OK),
                          std::make_pair(Doc("<response value=\"ACK\"/></oops>"), kStrayEndTag)})
    {
        SCOPED_TRACE(c.first);
        FirehoseOptions options;
        options.partitionSectors = {1024};
        ASSERT_NO_FATAL_FAILURE(Open(options));
        sink.words = c.first;
        EXPECT_EQ(c.second, RunBounded(kHangLimitMs, [&] {
                      return device->WriteFile(L"2", L"0", path.c_str(), L"0", L"0", L"512", L"0");
                  }));
        EXPECT_TRUE(image == phone->Storage(0).substr(2 * 512, image.size()));
        EXPECT_TRUE(phone->Errors().empty());
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
              WaitForCommands(*phone, commands.size() + 1).back());
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
