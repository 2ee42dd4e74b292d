#include "engine/protocols/StreamingDownload.h"
#include "services/Log.h"
#include "simulators/BuiltFiles.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/StatusRecorder.h"
#include "simulators/phones/StreamingPhone.h"

#include <gtest/gtest.h>

namespace
{
const HRESULT kWrongAnswer = HResultFromWin32(ERROR_INVALID_STATE);

class StreamingDownloadTest : public ::testing::Test
{
protected:
    void WriteBootImage(size_t size)
    {
        const std::string image = Pattern(size, static_cast<unsigned>(size));
        m_bootImage.assign(image.begin(), image.end());
        ASSERT_TRUE(WriteWholeFile(m_path, image));
    }

    HRESULT Load(CStreamingPhone& phone)
    {
        EXPECT_TRUE(phone.Start());
        HRESULT hr = DownloadMiniKernel(phone.HostPort().c_str(), m_path.c_str(), &m_status);
        phone.Stop();
        return hr;
    }

    // The command codes of a whole download of blocks blocks: hello, security
    // mode, open multi-image, the stream writes, close, reset.
    static ByteVector Session(size_t blocks)
    {
        ByteVector commands{0x01, 0x17, 0x1B};
        commands.insert(commands.end(), blocks, 0x07);
        commands.push_back(0x15);
        commands.push_back(0x0B);
        return commands;
    }

    CTempDir m_dir{L"streaming"};
    std::wstring m_path = m_dir / L"8960_msimage.mbn";
    ByteVector m_bootImage;
    CStatusRecorder m_status;
};
} // namespace

TEST_F(StreamingDownloadTest, StreamsTheBootImageAndRestartsThePhone)
{
    WriteBootImage(100 * 1024);
    CStreamingPhone phone(CStreamingPhone::Options{});
    ASSERT_EQ(S_OK, Load(phone));
    EXPECT_TRUE(phone.Errors().empty()) << phone.Errors().front();
    EXPECT_EQ(m_bootImage, phone.Image());
    EXPECT_EQ(Session(100), phone.Commands());
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Open boot file \"" + m_path + L"\"",
                  L"Open serial port \"" + phone.HostPort() + L"\"",
                  L"Send hello command 0",
                  L"Enable trusted security mode",
                  L"Open EMMC card USER partition",
                  L"StreamWrite address 00000000, size 40960",
                  L"StreamWrite address 0x00a000, size 40960",
                  L"StreamWrite address 0x014000, size 20480",
                  L"Close EMMC card USER partition",
                  L"Reboot to mini kernel",
              }),
              m_status.Texts());
}

TEST_F(StreamingDownloadTest, OddSizesAndReplyLengthsAndSlowAnswers)
{
    // An empty image, a last block shorter than the rest, a block size above
    // the 128-byte packet buffer, hello replies of every length the reply may
    // have, and blocks answered late (the phone fails when the next block
    // comes before the answer).
    const struct
    {
        size_t image;
        ULONG blockSize;
        size_t replyTail;
        size_t blocks;
        DWORD answerDelayMs;
    } cases[] = {{0, 1024, 16, 0, 0}, {5000, 123, 0, 41, 0},         {5000, 124, 1029, 41, 0},
                 {1, 4096, 7, 1, 0},  {70000, 0x7FFFFFFF, 16, 1, 0}, {2048, 1024, 16, 2, 300}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.blockSize);
        WriteBootImage(c.image);
        CStreamingPhone::Options options;
        options.blockSize = c.blockSize;
        options.replyTail = c.replyTail;
        options.answerDelayMs = c.answerDelayMs;
        CStreamingPhone phone(options);
        ASSERT_EQ(S_OK, Load(phone));
        EXPECT_TRUE(phone.Errors().empty()) << phone.Errors().front();
        EXPECT_EQ(m_bootImage, phone.Image());
        EXPECT_EQ(Session(c.blocks), phone.Commands());
    }
}

// Hellos without an answer and hellos refused are repeated, up to 61 in all:
// the 61st may still be answered.
TEST_F(StreamingDownloadTest, HelloIsRepeatedUntilThePhoneAnswersOrSixtyOneWentOut)
{
    WriteBootImage(4096);
    const struct
    {
        int silent, refused;
        HRESULT result;
        int hellos;
    } cases[] = {{1, 2, S_OK, 4}, {0, 60, S_OK, 61}, {0, 1000, HResultFromWin32(ERROR_NOT_READY), 61}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.refused);
        CStatusRecorder status;
        CStreamingPhone::Options options;
        options.silentHellos = c.silent;
        options.refusedHellos = c.refused;
        CStreamingPhone phone(options);
        ASSERT_TRUE(phone.Start());
        EXPECT_EQ(c.result, DownloadMiniKernel(phone.HostPort().c_str(), m_path.c_str(), &status));
        phone.Stop();
        EXPECT_EQ(c.hellos, phone.Hellos());
        const std::vector<std::wstring> hellos = status.WithPrefix(L"Send hello command ");
        ASSERT_EQ(static_cast<size_t>(c.hellos), hellos.size());
        for (int i = 0; i < c.hellos; ++i)
            EXPECT_EQ(L"Send hello command " + std::to_wstring(i), hellos[i]);
        if (FAILED(c.result))
            EXPECT_EQ(hellos.back(), status.Texts().back());
        else
            EXPECT_EQ(m_bootImage, phone.Image());
    }
}

TEST_F(StreamingDownloadTest, WrongAnswersEndTheDownloadAndOnlyThey)
{
    WriteBootImage(10 * 1024);
    auto with = [](auto change) {
        CStreamingPhone::Options options;
        change(options);
        return options;
    };
    const struct
    {
        const char* why;
        HRESULT expected;
        CStreamingPhone::Options options;
        size_t blocksSent;
    } cases[] = {
        {"wrong magic", HResultFromWin32(ERROR_REVISION_MISMATCH),
         with([](auto& o) { o.magic = "QCOM fast download protocol host"; }), 0},
        {"block size 0", kWrongAnswer, with([](auto& o) { o.blockSize = 0; }), 0},
        {"block size 2^31", kWrongAnswer, with([](auto& o) { o.blockSize = 0x80000000; }), 0},
        {"security mode refused", kWrongAnswer, with([](auto& o) { o.securityReply = 0x0E + 1; }), 0},
        {"open reply code", kWrongAnswer, with([](auto& o) { o.openReplyCode = 0x1D; }), 0},
        {"open status 1", HResultFromWin32(ERROR_OPEN_FAILED), with([](auto& o) { o.openStatus = 1; }), 0},
        {"block 4 confirmed at another address", kWrongAnswer, with([](auto& o) { o.wrongAddressBlock = 4; }), 5},
        {"block 2 answered with another code", kWrongAnswer, with([](auto& o) { o.wrongCodeBlock = 2; }), 3},
        {"last block answered with another code", kWrongAnswer, with([](auto& o) { o.wrongCodeBlock = 9; }), 10},
        // The address of the answers read after the last block is not compared.
        {"last block confirmed at another address", S_OK, with([](auto& o) { o.wrongAddressBlock = 9; }), 10},
        {"close refused", kWrongAnswer, with([](auto& o) { o.closeReply = 0x15; }), 10},
        {"reset refused", kWrongAnswer, with([](auto& o) { o.resetReply = 0x0B; }), 10},
    };
    for (const auto& c : cases)
    {
        CStreamingPhone phone(c.options);
        EXPECT_EQ(c.expected, Load(phone)) << c.why;
        EXPECT_EQ(c.blocksSent, phone.Blocks()) << c.why;
    }
}

TEST_F(StreamingDownloadTest, MissingBootImageFailsBeforeThePortIsOpened)
{
    EXPECT_EQ(HResultFromWin32(ERROR_FILE_NOT_FOUND), DownloadMiniKernel(L"\\\\.\\COM199", m_path.c_str(), &m_status));
    EXPECT_EQ(std::vector<std::wstring>{L"Open boot file \"" + m_path + L"\""}, m_status.Texts());
}
