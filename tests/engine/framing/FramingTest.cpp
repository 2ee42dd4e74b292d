#include "engine/ByteOrder.h"
#include "engine/Crc.h"
#include "engine/protocols/Hdlc.h"
#include "services/Log.h"
#include "tests/fixtures/BoundedRun.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/SimulatedPhone.h"

#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <string>
#include <thread>

namespace
{

// The engine's end of a pair whose far end is a simulated phone.
class FramingOverPort : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(phoneIdle.Start([](CSimulatedPhone&) {}));
        ASSERT_EQ(S_OK, OpenSerialPort(phoneIdle.HostPort().c_str(), 100, &port));
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        EXPECT_TRUE(phoneIdle.Errors().empty());
    }

    // Everything the engine sent, as the phone saw it.
    ByteVector PhoneReads(size_t atMost)
    {
        ByteVector bytes(atMost);
        bytes.resize(phoneIdle.ReadSome(bytes.data(), atMost, 1000));
        return bytes;
    }

    CSimulatedPhone phoneIdle;
    HANDLE port = INVALID_HANDLE_VALUE;
};

bool LogContains(const std::string& text)
{
    return ReadWholeFile(GetLogFileName()).find(text) != std::string::npos;
}

// Every table entry and the rule that combines it with the state, byte for
// byte from several states, against the definitions one bit at a time; and
// the check values both CRCs are known by.
TEST(Crc, EveryByteFromAnyStateMatchesTheBitwiseDefinition)
{
    const ULONG states[] = {0, 0xFFFFFFFF, 0x0000FFFF, 0xA5C35A3C, 0x12345678};
    for (ULONG state : states)
        for (int b = 0; b < 256; ++b)
        {
            const USHORT state16 = static_cast<USHORT>(state);
            ASSERT_EQ(BitwiseCrc16(state16, static_cast<BYTE>(b)), UpdateCrc16(state16, static_cast<BYTE>(b)))
                << std::hex << "state " << state16 << ", byte " << b;
            ASSERT_EQ(BitwiseCrc32(state, static_cast<BYTE>(b)), UpdateCrc32(state, static_cast<BYTE>(b)))
                << std::hex << "state " << state << ", byte " << b;
        }

    USHORT crc16 = 0;
    ULONG crc32 = 0;
    for (const char* p = "123456789"; *p; ++p)
    {
        crc16 = UpdateCrc16(crc16, static_cast<BYTE>(*p));
        crc32 = UpdateCrc32(crc32, static_cast<BYTE>(*p));
    }
    EXPECT_EQ(0x906E, crc16);
    EXPECT_EQ(0xCBF43926u, crc32);

    // A payload followed by its own frame check, low byte first, leaves the
    // good-frame value.
    const USHORT fcs = crc16;
    crc16 = UpdateCrc16(crc16, static_cast<BYTE>(fcs & 0xFF));
    crc16 = UpdateCrc16(crc16, static_cast<BYTE>(fcs >> 8));
    EXPECT_EQ(0x0F47, crc16);
}

TEST(ByteOrder, FieldsLieInMemoryAsNamed)
{
    ASSERT_FALSE(IsBigEndianHost());
    const ULONG big32 = ToBigEndian32(0x01020304);
    const USHORT big16 = ToBigEndian16(0x0102);
    const ULONG little32 = ToLittleEndian32(0x01020304);
    const USHORT little16 = ToLittleEndian16(0x0102);
    const BYTE b32[] = {1, 2, 3, 4}, b16[] = {1, 2}, l32[] = {4, 3, 2, 1}, l16[] = {2, 1};
    EXPECT_EQ(0, memcmp(&big32, b32, 4));
    EXPECT_EQ(0, memcmp(&big16, b16, 2));
    EXPECT_EQ(0, memcmp(&little32, l32, 4));
    EXPECT_EQ(0, memcmp(&little16, l16, 2));
    EXPECT_EQ(0x04030201u, SwapBytes32(0x01020304));
    EXPECT_EQ(0x0201, SwapBytes16(0x0102));
}

// A one-byte payload whose frame check holds a byte that must be escaped.
BYTE PayloadWithEscapedCheck()
{
    for (int b = 0; b < 256; ++b)
    {
        const USHORT fcs = BitwiseCrc16(0, static_cast<BYTE>(b));
        if ((fcs & 0xFF) == 0x7E || (fcs & 0xFF) == 0x7D || (fcs >> 8) == 0x7E || (fcs >> 8) == 0x7D)
            return static_cast<BYTE>(b);
    }
    ADD_FAILURE() << "no such payload";
    return 0;
}

// Frames written out and read back: the wire bytes as the protocol defines
// them, escapes in the payload and in the frame check.
TEST_F(FramingOverPort, KnownFramesAreWrittenAndReadBackExactly)
{
    const BYTE odd = PayloadWithEscapedCheck();
    const struct
    {
        ByteVector payload;
        ByteVector wire;
    } frames[] = {
        {{0x07}, {0x7E, 0x07, 0xC7, 0x84, 0x7E}},
        {{0x0B}, {0x7E, 0x0B, 0xAB, 0x4E, 0x7E}},
        {{0x15}, {0x7E, 0x15, 0x54, 0xB7, 0x7E}},
        {{0x7E, 0x01, 0x7D}, {0x7E, 0x7D, 0x5E, 0x01, 0x7D, 0x5D, 0xB5, 0xE7, 0x7E}},
        {{odd}, CSimulatedPhone::BuildFrame({odd})},
    };
    for (const auto& frame : frames)
    {
        SCOPED_TRACE(frame.payload[0]);
        ASSERT_EQ(S_OK, TransmitPacket(port, frame.payload.data(), static_cast<DWORD>(frame.payload.size())));
        EXPECT_EQ(frame.wire, PhoneReads(64));

        ASSERT_TRUE(phoneIdle.Write(frame.wire));
        BYTE answer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        const DWORD size = static_cast<DWORD>(frame.payload.size());
        ASSERT_EQ(S_OK, ReceivePacket(port, answer, size, true));
        EXPECT_EQ(frame.payload, ByteVector(answer, answer + size));
        EXPECT_EQ(0xAA, answer[size]); // nothing stored past the capacity
    }
    EXPECT_EQ(6u, CSimulatedPhone::BuildFrame({odd}).size());
}

TEST_F(FramingOverPort, EveryByteValueRoundTrips)
{
    ByteVector all(256);
    for (int b = 0; b < 256; ++b)
        all[b] = static_cast<BYTE>(b);
    ASSERT_EQ(S_OK, TransmitPacket(port, all.data(), 256));
    ByteVector seen;
    bool checkOk = false;
    ASSERT_TRUE(phoneIdle.ReceiveFrame(seen, 1000, &checkOk));
    EXPECT_TRUE(checkOk);
    EXPECT_EQ(all, seen);

    ASSERT_TRUE(phoneIdle.SendFrame(all));
    BYTE answer[258] = {};
    ASSERT_EQ(S_OK, ReceivePacket(port, answer, 256, true));
    EXPECT_EQ(all, ByteVector(answer, answer + 256));
}

// A frame from the phone against the size and the exact flag of the receive:
// noise before an honest frame is skipped, a wrong length, check or an error
// packet fails.
TEST_F(FramingOverPort, ReceivedFramesAreCheckedForLengthCheckAndErrorPackets)
{
    FrameFaults noise, bad, cut;
    noise.garbageBefore = {0x01, 0x7D, 0x5E, 0xFF, 0x00};
    noise.extraOpeningFlags = 3;
    noise.logBefore = "phone says 4711";
    bad.badCheck = true;
    cut.dropLastBytes = 1;
    ByteVector error{0x0D, 0x39, 0x30, 0x00, 0x00};
    const std::string text = "flash %s %n error";
    error.insert(error.end(), text.begin(), text.end());
    const struct
    {
        ByteVector payload;
        FrameFaults faults;
        DWORD size;
        bool exact;
        HRESULT result;
    } cases[] = {
        {{0x02}, noise, 1, true, S_OK},
        {{0x01, 0x02}, {}, 1, false, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
        {{0x01}, {}, 2, true, HRESULT_FROM_WIN32(ERROR_BAD_LENGTH)},
        {{0x01}, {}, 2, false, S_OK}, // shorter is fine without the exact flag
        {{0x02}, bad, 1, true, HRESULT_FROM_WIN32(ERROR_CRC)},
        {{}, {}, 1, false, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT)}, // only the frame check between the flags
        // A frame cut short fails its check rather than passing as shorter data.
        {{0x02, 0x03, 0x04}, cut, 3, false, HRESULT_FROM_WIN32(ERROR_CRC)},
        {error, {}, 1, false, E_UNEXPECTED},
        {{0x0D, 0x01}, {}, 1, false, E_UNEXPECTED}, // too short to carry the number
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(c.payload));
        ASSERT_TRUE(phoneIdle.SendFrame(c.payload, c.faults));
        BYTE answer[4] = {};
        EXPECT_EQ(c.result, ReceivePacket(port, answer, c.size, c.exact));
        if (c.result == S_OK)
        {
            EXPECT_EQ(c.payload, ByteVector(answer, answer + c.payload.size()));
        }
    }
    EXPECT_TRUE(LogContains("log: phone says 4711\r\n")); // no frame-check bytes in the text
    EXPECT_TRUE(LogContains("err: flash %s %n error(12345)"));
}

TEST_F(FramingOverPort, SilenceEndsInShortReadAfterTheRetries)
{
    BYTE answer = 0;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(static_cast<HRESULT>(0x80070026), ReceivePacket(port, &answer, 1, true));
    // Ten reads of 100 ms, 100 ms apart.
    EXPECT_GE(GetTickCount64() - start, 1500u);

    // An answer after half of that silence is still taken.
    std::thread late([&] {
        Sleep(1000);
        phoneIdle.SendFrame({0x05});
    });
    EXPECT_EQ(S_OK, ReceivePacket(port, &answer, 1, true));
    late.join();
    EXPECT_EQ(0x05, answer);
}

// A phone that keeps sending without answering: bytes that never close a
// frame, nothing but flags, no flag at all, one log packet after another. The
// phone sends first the prefix, then the pattern until it has sent limit
// bytes, then the answer where one is given. A reader without a bound of its
// own would read it all and end in silence (0x80070026) or on the answer.
TEST_F(FramingOverPort, ChatterBeforeTheAnswerIsBoundedByBytesAndLogPackets)
{
    const HRESULT kChatter = static_cast<HRESULT>(0x800700EA);
    const ByteVector logPacket = CSimulatedPhone::BuildFrame({0x0E, 'x'});
    const ByteVector payload = {1, 2, 3, 4, 5, 6, 7, 8};
    const ByteVector answer = CSimulatedPhone::BuildFrame(payload);
    ASSERT_EQ(12u, answer.size()); // no byte of it escaped
    // 64 KiB besides the answer, every byte of the answer and its check
    // escaped, and its two flags.
    const size_t byteBound = 64 * 1024 + 2 * (payload.size() + 2) + 2;
    const struct
    {
        const char* what;
        ByteVector prefix;
        ByteVector pattern;
        size_t limit;
        bool answer;
        HRESULT result;
    } cases[] = {
        {"no closing flag", {0x7E}, {0x41, 0x7D, 0x5D}, 256 * 1024, false, kChatter},
        {"only flags", {}, {0x7E}, 256 * 1024, false, kChatter},
        {"no flag", {}, {0x00, 0xFF, 0x7D}, 256 * 1024, false, kChatter},
        {"garbage that fills the byte bound with the answer", {}, {0x00}, byteBound - answer.size(), true, S_OK},
        {"one byte of garbage more", {}, {0x00}, byteBound - answer.size() + 1, true, kChatter},
        // Short log packets: far fewer bytes than the byte bound.
        {"999 log packets", {}, logPacket, 999 * logPacket.size(), true, S_OK},
        {"1000 log packets", {}, logPacket, 1000 * logPacket.size(), true, kChatter},
    };
    for (const auto& c : cases)
    {
        std::atomic<bool> stop{false}, done{false};
        std::thread chatter([&] {
            bool ok = phoneIdle.Write(c.prefix);
            ByteVector chunk;
            while (chunk.size() + c.pattern.size() <= 4096)
                chunk.insert(chunk.end(), c.pattern.begin(), c.pattern.end());
            for (size_t sent = 0; ok && !stop && sent < c.limit; sent += chunk.size())
                ok = phoneIdle.Write(chunk.data(), std::min(chunk.size(), c.limit - sent));
            if (ok && !stop && c.answer)
                phoneIdle.Write(answer);
            done = true;
        });
        BYTE received[8] = {};
        EXPECT_EQ(c.result, ReceivePacket(port, received, sizeof received, true)) << c.what;
        if (c.result == S_OK)
        {
            EXPECT_EQ(payload, ByteVector(received, received + sizeof received)) << c.what;
        }
        // Take what is still under way, so that the phone's writes end.
        stop = true;
        BYTE sink[4096];
        DWORD read = 1;
        while (!done || read > 0)
            if (!ReadFile(port, sink, sizeof sink, &read, nullptr))
                break;
        chatter.join();
    }
}

// A phone that sends each byte of its answer within the silence that one byte
// read allows, but so slowly that the answer never ends in useful time.
TEST(FramingTimeLimit, AReceiveEndsAtItsTimeLimitWhateverTheBytesDo)
{
    constexpr DWORD limitMs = 3000;
    struct LimitForThisTest
    {
        const DWORD previous = SetReceiveTimeLimit(limitMs);
        ~LimitForThisTest() { SetReceiveTimeLimit(previous); }
    } limit;
    EXPECT_EQ(10000u, limit.previous);
    const ByteVector payload = {1, 2, 3, 4, 5, 6, 7, 8};
    const struct
    {
        DWORD trickleMs; // 11 pauses between the 12 wire bytes
        HRESULT result;
    } cases[] = {
        {1500, HRESULT_FROM_WIN32(ERROR_TIMEOUT)},
        // Done well within the limit, though slower than one byte read waits.
        {150, S_OK},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.trickleMs);
        CSimulatedPhone phone;
        FrameFaults slow;
        slow.trickleMs = c.trickleMs;
        ASSERT_TRUE(phone.Start([&](CSimulatedPhone& p) { p.SendFrame(payload, slow); }));
        HANDLE port = INVALID_HANDLE_VALUE;
        ASSERT_EQ(S_OK, OpenSerialPort(phone.HostPort().c_str(), 100, &port));
        BYTE received[8] = {};
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(c.result, RunBounded(60000, [&] { return ReceivePacket(port, received, sizeof received, true); }));
        if (c.result == S_OK)
        {
            EXPECT_EQ(payload, ByteVector(received, received + sizeof received));
        }
        else
        {
            EXPECT_GE(GetTickCount64() - start, limitMs);
        }
        phone.Stop();
        CloseHandle(port);
    }
}

TEST_F(FramingOverPort, OpenSerialPortSetsBothTimeOutForms)
{
    COMMTIMEOUTS t = {};
    ASSERT_TRUE(GetCommTimeouts(port, &t));
    EXPECT_EQ(0u, t.ReadIntervalTimeout);
    EXPECT_EQ(100u, t.ReadTotalTimeoutConstant);
    EXPECT_EQ(0u, t.ReadTotalTimeoutMultiplier);
    // Each write call returns within 20 ms with what the phone took.
    EXPECT_EQ(20u, t.WriteTotalTimeoutConstant);
    EXPECT_EQ(0u, t.WriteTotalTimeoutMultiplier);

    // A handle held by the out argument is closed first.
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    HANDLE held = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE second = held;
    ASSERT_EQ(S_OK, OpenSerialPort(phoneIdle.HostPort().c_str(), 0, &second));
    port = second;
    DWORD flags = 0;
    EXPECT_NE(held, second);
    EXPECT_FALSE(GetHandleInformation(held, &flags));
    ASSERT_TRUE(GetCommTimeouts(port, &t));
    EXPECT_EQ(MAXDWORD, t.ReadIntervalTimeout);
    EXPECT_EQ(0u, t.ReadTotalTimeoutConstant);

    BYTE b = 0;
    DWORD read = 1;
    EXPECT_TRUE(ReadFile(port, &b, 1, &read, nullptr));
    EXPECT_EQ(0u, read);

    HANDLE missing = INVALID_HANDLE_VALUE;
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), OpenSerialPort(L"\\\\.\\COM99", 100, &missing));
    EXPECT_EQ(INVALID_HANDLE_VALUE, missing);
}

} // namespace
