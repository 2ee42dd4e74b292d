#include "engine/images/IntelHexImage.h"
#include "engine/protocols/Dmss.h"
#include "services/Log.h"
#include "simulators/BuiltFiles.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/DmssPhone.h"
#include "simulators/IntelHexText.h"
#include "tests/fixtures/StatusRecorder.h"

#include <gtest/gtest.h>

namespace
{
using Runs = std::map<ULONG, ByteVector>;

const HRESULT kWrongAnswer = HResultFromWin32(ERROR_INVALID_STATE);

ByteVector RandomBytes(size_t count, unsigned seed)
{
    const std::string bytes = Pattern(count, seed);
    return ByteVector(bytes.begin(), bytes.end());
}

class DmssTest : public ::testing::Test
{
protected:
    void WriteProgrammer(const Runs& runs, ULONG start)
    {
        ASSERT_TRUE(WriteWholeFile(m_path, IntelHexFile(runs, start)));
    }

    HRESULT Load(CDmssPhone& phone)
    {
        EXPECT_TRUE(phone.Start());
        HRESULT hr = DownloadFlashProgrammerDMSS(phone.HostPort().c_str(), m_path.c_str(), &m_status);
        phone.Stop();
        return hr;
    }

    CTempDir m_dir{L"dmss"};
    // Not ASCII, but held by the Western code page: narrowed exactly.
    std::wstring m_path = m_dir / L"MPRG8960\x00E9.hex";
    CStatusRecorder m_status;
};
} // namespace

TEST_F(DmssTest, LoadsEveryRunAtItsAddressAndJumpsToTheStart)
{
    // 100 packets and 37 bytes of 512, then a run apart from it.
    const USHORT maxWrite = 512;
    const Runs runs = {{0x00100000, RandomBytes(100 * maxWrite + 37, 1)}, {0x00200000, RandomBytes(300, 2)}};
    WriteProgrammer(runs, 0x00100000);
    CDmssPhone::Options options;
    options.maxWrite = maxWrite;
    CDmssPhone phone(options);
    ASSERT_EQ(S_OK, Load(phone));
    EXPECT_TRUE(phone.Errors().empty()) << phone.Errors().front();

    EXPECT_EQ(runs, phone.Memory());
    ASSERT_TRUE(phone.GoAddress());
    EXPECT_EQ(0x00100000u, *phone.GoAddress());
    // Whole packets but for the last of each run.
    ASSERT_EQ(102u, phone.WriteLengths().size());
    EXPECT_EQ(37u, phone.WriteLengths()[100]);
    EXPECT_EQ(300u, phone.WriteLengths()[101]);
    for (size_t i = 0; i < 100; ++i)
        ASSERT_EQ(maxWrite, phone.WriteLengths()[i]) << i;

    EXPECT_EQ((std::vector<std::wstring>{
                  L"Load programmer \"" + m_path + L"\"",
                  L"Open serial port \"" + phone.HostPort() + L"\"",
                  L"Send parameters command",
                  L"Write and verify address 0x100000, size 20480",
                  L"Write and verify address 0x105000, size 20480",
                  L"Write and verify address 0x10a000, size 10277",
                  L"Write and verify address 0x200000, size 300",
                  L"Jump to flash programmer(0x100000)",
              }),
              m_status.Texts());
}

TEST_F(DmssTest, RunsThatTouchGoAsOneAndNoStartAddressJumpsToZero)
{
    // Records of 16 bytes make touching runs; 0x1FFF0 to 0x20010 crosses a page.
    const Runs runs = {{0x0001FFF0, RandomBytes(0x20, 3)}, {0x00030000, RandomBytes(10, 4)}};
    // Its last block of 128 bytes filled up with Ctrl-Z, as a block transfer
    // leaves a text file.
    std::string file = IntelHexFile(runs, 0);
    file.append(128 - file.size() % 128, '\x1A');
    ASSERT_TRUE(WriteWholeFile(m_path, file));
    CDmssPhone phone(CDmssPhone::Options{});
    ASSERT_EQ(S_OK, Load(phone));
    EXPECT_EQ(runs, phone.Memory());
    EXPECT_EQ((std::vector<size_t>{0x20, 10}), phone.WriteLengths());
    ASSERT_TRUE(phone.GoAddress());
    EXPECT_EQ(0u, *phone.GoAddress());
}

TEST_F(DmssTest, AnswerThatIsNotRightEndsTheLoad)
{
    // Ten packets of 1024 bytes.
    WriteProgrammer({{0x1000, RandomBytes(10 * 1024, 5)}}, 0x1000);
    auto with = [](auto change) {
        CDmssPhone::Options options;
        change(options);
        return options;
    };
    const struct
    {
        const char* why;
        HRESULT expected;
        CDmssPhone::Options options;
        size_t writes;
        bool go;
    } cases[] = {
        {"parameters reply of another code", kWrongAnswer, with([](auto& o) { o.parametersCode = 0x09; }), 0, false},
        {"maximum write size 0", kWrongAnswer, with([](auto& o) { o.maxWrite = 0; }), 0, false},
        {"parameters reply one byte long", HResultFromWin32(ERROR_INSUFFICIENT_BUFFER),
         with([](auto& o) { o.parametersLength = 9; }), 0, false},
        {"parameters reply one byte short", HResultFromWin32(ERROR_BAD_LENGTH),
         with([](auto& o) { o.parametersLength = 7; }), 0, false},
        {"parameters reply with a bad frame check", HResultFromWin32(ERROR_CRC),
         with([](auto& o) { o.parametersFaults.badCheck = true; }), 0, false},
        {"write 3 refused", kWrongAnswer, with([](auto& o) { o.nakWrite = 3; }), 4, false},
        {"jump refused", kWrongAnswer, with([](auto& o) { o.goAnswer = 0x03; }), 10, true},
    };
    for (const auto& c : cases)
    {
        CDmssPhone phone(c.options);
        EXPECT_EQ(c.expected, Load(phone)) << c.why;
        EXPECT_EQ(c.writes, phone.WriteLengths().size()) << c.why;
        EXPECT_EQ(c.go, phone.GoAddress().has_value()) << c.why;
    }
}

TEST_F(DmssTest, ProgrammerThatIsNoIntelHexFailsBeforeThePortIsOpened)
{
    const HRESULT badFormat = HResultFromWin32(ERROR_BAD_FORMAT);
    // A record after a Ctrl-Z is not hidden by it. A record whose bytes reach
    // past 0xFFFFFFFF would be written at address 0.
    const std::string files[] = {
        ":04000000DEADBEEFC5\r\n:00000001FF\r\n",
        ":00000001FF\r\n\x1A:04000000DEADBEEFC4\r\n",
        IntelHexRecord(4, 0, {0xFF, 0xFF}) + "\r\n" + IntelHexRecord(0, 0xFFFE, {1, 2, 3}) + "\r\n:00000001FF\r\n",
    };
    std::vector<std::wstring> expected;
    for (const std::string& file : files)
    {
        ASSERT_TRUE(WriteWholeFile(m_path, file));
        EXPECT_EQ(badFormat, DownloadFlashProgrammerDMSS(L"\\\\.\\COM199", m_path.c_str(), &m_status)) << file;
        expected.push_back(L"Load programmer \"" + m_path + L"\"");
    }
    const std::wstring missing = m_dir / L"missing.hex";
    EXPECT_EQ(badFormat, DownloadFlashProgrammerDMSS(L"\\\\.\\COM199", missing.c_str(), &m_status));
    expected.push_back(L"Load programmer \"" + missing + L"\"");
    // A name that the code page holds only by a look-alike is not narrowed
    // to it: U+221E is no "8".
    ASSERT_TRUE(WriteWholeFile(m_dir / L"MPRG8.hex", IntelHexFile({{0, {1, 2}}}, 0)));
    const std::wstring lookAlike = m_dir / L"MPRG\x221E.hex";
    EXPECT_EQ(HResultFromWin32(ERROR_NO_UNICODE_TRANSLATION),
              DownloadFlashProgrammerDMSS(L"\\\\.\\COM199", lookAlike.c_str(), &m_status));
    expected.push_back(L"Load programmer \"" + lookAlike + L"\"");
    EXPECT_EQ(expected, m_status.Texts());
}
