#include "engine/protocols/Sahara.h"
#include "services/Log.h"
#include "simulators/BuiltFiles.h"
#include "tests/fixtures/BoundedRun.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/SaharaPhone.h"
#include "tests/fixtures/PhoneTime.h"
#include "tests/fixtures/StatusRecorder.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
using Request = CSaharaPhone::Request;

// E_BOUNDS: a request past the end of the programmer.
const HRESULT kBounds = static_cast<HRESULT>(0x8000000B);

class SaharaTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string programmer = Pattern(150000, 121);
        m_programmer.assign(programmer.begin(), programmer.end());
        ASSERT_TRUE(WriteWholeFile(m_path, programmer));
    }

    CSaharaPhone::Options PhoneOptions() const
    {
        CSaharaPhone::Options options;
        options.programmerSize = m_programmer.size();
        return options;
    }

    HRESULT Load(CSaharaPhone& phone, BOOL waitForHello = FALSE)
    {
        EXPECT_TRUE(phone.Start());
        HRESULT hr = DownloadFlashProgrammerSahara(phone.HostPort().c_str(), m_path.c_str(), &m_status, waitForHello);
        phone.Stop();
        return hr;
    }

    std::wstring Quoted(const std::wstring& text) const { return L"\"" + text + L"\""; }

    CTempDir m_dir{L"sahara"};
    std::wstring m_path = m_dir / L"prog_emmc_firehose.mbn";
    ByteVector m_programmer;
    CStatusRecorder m_status;
};

// The port can be opened again: the load closed it.
bool PortIsFree(const std::wstring& port)
{
    HANDLE h = CreateFileW(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}
} // namespace

TEST_F(SaharaTest, LoadsTheWholeProgrammerInPiecesOfBothKinds)
{
    CSaharaPhone phone(PhoneOptions());
    ASSERT_GT(phone.Requests().size(), 20u);
    ASSERT_EQ(S_OK, Load(phone));
    EXPECT_TRUE(phone.Errors().empty()) << phone.Errors().front();
    EXPECT_EQ(m_programmer, phone.Received());
    EXPECT_EQ(std::vector<ULONG>{CSaharaPhone::kModeImageTransfer}, phone.HelloResponseModes());
    EXPECT_TRUE(phone.DoneReceived());
    EXPECT_TRUE(PortIsFree(phone.HostPort()));

    std::vector<std::wstring> texts = m_status.Texts();
    ASSERT_GE(texts.size(), 7u);
    EXPECT_EQ(L"Open programmer " + Quoted(m_path), texts[0]);
    EXPECT_EQ(L"Open serial port " + Quoted(phone.HostPort()), texts[1]);
    EXPECT_EQ(L"Receiving hello packet", texts[2]);
    EXPECT_EQ(L"Send hello response", texts[3]);
    EXPECT_EQ(phone.Requests().size(), m_status.CountPrefix(L"ReadDataPacket id 13, offset "));
    EXPECT_EQ(L"EndTransferPacket id 13, status 0", texts[texts.size() - 2]);
    EXPECT_EQ(L"Send done packet", texts.back());
}

TEST_F(SaharaTest, ServesA64BitRequestFirstAndReportsEachRequest)
{
    CSaharaPhone::Options options = PhoneOptions();
    options.imageId = 0x21;
    options.requests = {{true, 0x10000, 0x1234}, {false, 0, 0x10000}, {true, 0x11234, 150000 - 0x11234}};
    CSaharaPhone phone(options);
    ASSERT_EQ(S_OK, Load(phone));
    EXPECT_EQ(m_programmer, phone.Received());
    EXPECT_EQ((std::vector<std::wstring>{L"ReadDataPacket id 33, offset 0x010000, length 4660",
                                         L"ReadDataPacket id 33, offset 00000000, length 65536",
                                         L"ReadDataPacket id 33, offset 0x011234, length 79804"}),
              m_status.WithPrefix(L"ReadDataPacket"));
}

TEST_F(SaharaTest, PhonePastItsHelloIsRecoveredThroughCommandMode)
{
    CSaharaPhone::Options options = PhoneOptions();
    options.pastHello = true;
    CSaharaPhone phone(options);
    ASSERT_EQ(S_OK, Load(phone));
    EXPECT_TRUE(phone.Errors().empty()) << phone.Errors().front();
    EXPECT_EQ((std::vector<ULONG>{CSaharaPhone::kModeCommand, CSaharaPhone::kModeImageTransfer}),
              phone.HelloResponseModes());
    EXPECT_EQ(m_programmer, phone.Received());
    std::vector<std::wstring> texts = m_status.Texts();
    ASSERT_GE(texts.size(), 7u);
    EXPECT_EQ((std::vector<std::wstring>{L"Receiving hello packet", L"Missed hello packet, try to recover",
                                         L"Switch mode back", L"Receiving hello packet", L"Send hello response"}),
              std::vector<std::wstring>(texts.begin() + 2, texts.begin() + 7));
}

TEST_F(SaharaTest, WaitsForTheHelloOfARestartedPhone)
{
    CSaharaPhone::Options options = PhoneOptions();
    options.packetsBeforeHello = 2;
    CSaharaPhone phone(options);
    ASSERT_EQ(S_OK, Load(phone, TRUE));
    EXPECT_EQ(m_programmer, phone.Received());
    // The first read and two rounds; no command mode.
    EXPECT_EQ(3u, m_status.Count(L"Receiving hello packet"));
    EXPECT_EQ(0u, m_status.Count(L"Missed hello packet, try to recover"));
    EXPECT_EQ(std::vector<ULONG>{CSaharaPhone::kModeImageTransfer}, phone.HelloResponseModes());
}

TEST_F(SaharaTest, PhoneThatGoesWrongEndsTheLoad)
{
    using Change = std::function<void(CSaharaPhone::Options&)>;
    const struct
    {
        const char* what;
        Change change;
        HRESULT result;
        std::wstring lastText; // empty: not compared
        bool done;
    } cases[] = {
        {"recovery that hears no hello",
         [](auto& o) {
             o.pastHello = o.neverHello = true;
             o.packetsBeforeHello = 1;
         },
         E_UNEXPECTED, L"", false},
        {"unknown command", [](auto& o) { o.unknownCommandAfter = 2; }, E_UNEXPECTED, L"Unknown command 07", false},
        {"transfer ends badly", [](auto& o) { o.endStatus = 5; }, E_FAIL, L"EndTransferPacket id 13, status 5", false},
        {"done answered with another command", [](auto& o) { o.doneResponseId = 0x07; }, E_UNEXPECTED, L"", true},
        // Far more than the port holds, so the write ends at its bound.
        {"stops reading while its data is written",
         [](auto& o) {
             o.requests = {{false, 0, 4096}, {false, 4096, 100000}};
             o.stopReadingAt = 1;
         },
         HResultFromWin32(ERROR_TIMEOUT), L"ReadDataPacket id 13, offset 0x001000, length 100000", false},
    };
    CFastPhoneTime fast(10);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CStatusRecorder status;
        CSaharaPhone::Options options = PhoneOptions();
        c.change(options);
        CSaharaPhone phone(options);
        ASSERT_TRUE(phone.Start());
        EXPECT_EQ(c.result, RunBounded(60000, [&] {
                      return DownloadFlashProgrammerSahara(phone.HostPort().c_str(), m_path.c_str(), &status, FALSE);
                  }));
        EXPECT_TRUE(phone.WaitDone(30000));
        if (!c.lastText.empty())
        {
            EXPECT_EQ(c.lastText, status.Texts().back());
        }
        EXPECT_EQ(c.done, phone.DoneReceived());
        EXPECT_EQ(options.pastHello ? 0u : 1u, status.Count(L"Send hello response"));
        EXPECT_TRUE(PortIsFree(phone.HostPort()));
    }
}

TEST_F(SaharaTest, RequestsPastTheEndOfTheProgrammerAreRefused)
{
    const ULONGLONG size = m_programmer.size();
    const std::vector<Request> refused[] = {
        {{false, size - 10, 11}},
        {{false, size, 1}},
        {{false, size + 1, 1}},
        {{false, 16, 0xFFFFFFFF}},
        // Offsets above 4 GiB must not wrap into the file.
        {{true, 0x100000000ull, 16}},
        {{true, 0xFFFFFFFFFFFFFFF0ull, 0x20}},
        // Nor lengths above 4 GiB into a short count.
        {{true, 0, 0x100000010ull}},
    };
    for (const auto& requests : refused)
    {
        CSaharaPhone::Options options = PhoneOptions();
        options.requests = {{false, 0, 100}};
        options.requests.insert(options.requests.end(), requests.begin(), requests.end());
        CSaharaPhone phone(options);
        EXPECT_EQ(kBounds, Load(phone)) << requests.front().offset;
        EXPECT_EQ(1u, phone.AnsweredRequests());
    }
    // Up to the last byte is fine.
    CSaharaPhone::Options options = PhoneOptions();
    options.requests = {{false, size - 10, 10}, {true, size, 0}};
    CSaharaPhone phone(options);
    EXPECT_EQ(S_OK, Load(phone));
    EXPECT_EQ(2u, phone.AnsweredRequests());
}

// A phone that asks again and again is stopped, once it has asked far more
// than loading the programmer takes, but not after a few repeats.
TEST_F(SaharaTest, PhoneThatKeepsAskingIsStopped)
{
    const struct
    {
        const char* what;
        Request request;
        size_t times;
        size_t allowed; // at least this many are served
    } cases[] = {
        {"the whole programmer", {false, 0, 150000}, 40, 8},
        {"one byte", {true, 7, 1}, 5000, 1024},
    };
    for (const auto& c : cases)
    {
        CSaharaPhone::Options options = PhoneOptions();
        options.requests.assign(c.times, c.request);
        CSaharaPhone phone(options);
        EXPECT_EQ(HResultFromWin32(ERROR_MORE_DATA), Load(phone)) << c.what;
        EXPECT_GE(phone.AnsweredRequests(), c.allowed) << c.what;
        EXPECT_LT(phone.AnsweredRequests(), c.times) << c.what;
        EXPECT_FALSE(phone.DoneReceived()) << c.what;
    }
}

TEST_F(SaharaTest, MissingProgrammerFailsBeforeThePortIsOpened)
{
    CStatusRecorder status;
    const std::wstring missing = m_dir / L"missing.mbn";
    EXPECT_EQ(HResultFromWin32(ERROR_FILE_NOT_FOUND),
              DownloadFlashProgrammerSahara(L"\\\\.\\COM199", missing.c_str(), &status, FALSE));
    EXPECT_EQ(std::vector<std::wstring>{L"Open programmer " + Quoted(missing)}, status.Texts());
}
