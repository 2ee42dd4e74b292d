#include "engine/protocols/Hdlc.h"

#include "engine/Crc.h"
#include "engine/EngineIo.h"
#include "services/Dump.h"
#include "services/Log.h"
#include "services/Text.h"
#include "platform/Handles.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

CByteBuffer::~CByteBuffer()
{
    free(m_data);
}

HRESULT CByteBuffer::Append(BYTE b)
{
    if (m_count == m_capacity)
    {
        if (m_capacity > MAXDWORD / 2)
            return E_OUTOFMEMORY;
        DWORD capacity = m_capacity == 0 ? 1 : m_capacity * 2;
        BYTE* grown = static_cast<BYTE*>(realloc(m_data, capacity));
        if (!grown)
            return E_OUTOFMEMORY;
        m_data = grown;
        m_capacity = capacity;
    }
    m_data[m_count++] = b;
    return S_OK;
}

HRESULT AppendEscapedByte(CByteBuffer& buffer, BYTE b)
{
    if (b == kHdlcFlag || b == kHdlcEscape)
    {
        HRESULT hr = buffer.Append(kHdlcEscape);
        return SUCCEEDED(hr) ? buffer.Append(static_cast<BYTE>(b ^ kHdlcEscapeXor)) : hr;
    }
    return buffer.Append(b);
}

HRESULT TransmitPacket(HANDLE port, const void* payload, DWORD length)
{
    const BYTE* bytes = static_cast<const BYTE*>(payload);
    CByteBuffer frame;
    HRESULT hr = frame.Append(kHdlcFlag);
    USHORT crc = 0;
    for (DWORD i = 0; i < length && SUCCEEDED(hr); ++i)
    {
        crc = UpdateCrc16(crc, bytes[i]);
        hr = AppendEscapedByte(frame, bytes[i]);
    }
    if (SUCCEEDED(hr))
        hr = AppendEscapedByte(frame, static_cast<BYTE>(crc & 0xFF));
    if (SUCCEEDED(hr))
        hr = AppendEscapedByte(frame, static_cast<BYTE>(crc >> 8));
    if (SUCCEEDED(hr))
        hr = frame.Append(kHdlcFlag);
    RETURN_IF_FAILED(hr, L"TransmitPacket", __LINE__);
    // A frame goes out at the phone's pace.
    CPaceFloor floor;
    hr = WriteRobust(port, frame.Data(), frame.Count(), kNoPosition, &floor);
    RETURN_IF_FAILED(hr, L"TransmitPacket", __LINE__);
    return S_OK;
}

namespace
{
constexpr DWORD kScratchSize = 255;

// A phone that keeps talking without answering (bytes without a closing flag,
// nothing but flags, one log packet after another) is given up on after 64
// KiB of wire bytes besides the answer, or after 1000 log packets: far more
// than any programmer sends before an answer, and reached by a chattering
// phone within seconds.
constexpr ULONGLONG kChatterBytes = 64 * 1024;
constexpr DWORD kMaxLogPackets = 1000;

// A phone that trickles (one byte now and then, each within the silence a
// byte read allows) is given up on once the receive has taken this long.
std::atomic<DWORD> g_receiveTimeLimitMs{kReceiveTimeLimitMs};

// 8-bit text from the phone as a wide string, up to its first zero.
std::wstring PhoneText(const BYTE* text, DWORD length)
{
    const void* zero = memchr(text, 0, length);
    if (zero)
        length = static_cast<DWORD>(static_cast<const BYTE*>(zero) - text);
    return ToWide(reinterpret_cast<const char*>(text), length);
}
} // namespace

HRESULT ReceivePacket(HANDLE port, void* buffer, DWORD capacity, bool exact)
{
    enum class State
    {
        Hunting,
        AfterFlag,
        InFrame
    };
    BYTE* out = static_cast<BYTE*>(buffer);
    CDumpBuffer dump(L"ReceivePacket");
    // The answer itself, every byte escaped, and the chatter allowed besides.
    const ULONGLONG byteLimit = kChatterBytes + 2 * (static_cast<ULONGLONG>(capacity) + 2) + 2;
    ULONGLONG wireBytes = 0;
    DWORD logPackets = 0;
    const ULONGLONG start = GetTickCount64();
    const DWORD timeLimit = g_receiveTimeLimitMs;
    auto next = [&](BYTE& b) {
        if (wireBytes == byteLimit)
            return HResultFromWin32(ERROR_MORE_DATA);
        if (GetTickCount64() - start >= timeLimit)
            return HResultFromWin32(ERROR_TIMEOUT);
        HRESULT hr = ReadRobust(port, &b, 1);
        if (SUCCEEDED(hr))
        {
            ++wireBytes;
            dump.Append(b);
        }
        return hr;
    };
    BYTE scratch[kScratchSize];
    State state = State::Hunting;
    DWORD count = 0;
    USHORT crc = 0;
    for (;;)
    {
        BYTE b = 0;
        HRESULT hr = next(b);
        RETURN_IF_FAILED(hr, L"ReceivePacket", __LINE__);
        if (state == State::Hunting)
        {
            if (b == kHdlcFlag)
            {
                count = 0;
                crc = 0;
                state = State::AfterFlag;
            }
            continue;
        }
        if (state == State::AfterFlag)
        {
            if (b == kHdlcFlag)
                continue;
            state = State::InFrame;
        }
        if (b != kHdlcFlag)
        {
            if (b == kHdlcEscape)
            {
                hr = next(b);
                RETURN_IF_FAILED(hr, L"ReceivePacket", __LINE__);
                b ^= kHdlcEscapeXor;
            }
            crc = UpdateCrc16(crc, b);
            if (count < kScratchSize)
                scratch[count] = b;
            if (count < capacity)
                out[count] = b;
            ++count;
            continue;
        }

        // The closing flag.
        if (crc != kCrc16GoodFrame)
            return LogError(HResultFromWin32(ERROR_CRC), L"ReceivePacket", __LINE__);
        if (count < 3)
            return LogError(kBadFormatResult, L"ReceivePacket", __LINE__);
        const DWORD payload = count - 2;
        const DWORD kept = payload < kScratchSize ? payload : kScratchSize;
        if (scratch[0] == kHdlcLogPacket)
        {
            WriteLog(L"log: %s", PhoneText(scratch + 1, kept - 1).c_str());
            if (++logPackets == kMaxLogPackets)
                return LogError(HResultFromWin32(ERROR_MORE_DATA), L"ReceivePacket", __LINE__);
            state = State::Hunting;
            continue;
        }
        if (scratch[0] == kHdlcErrorPacket)
        {
            BYTE number[4] = {};
            memcpy(number, scratch + 1, kept > 4 ? 4 : kept - 1);
            const LONG code = static_cast<LONG>(number[0] | (number[1] << 8) | (number[2] << 16) |
                                                (static_cast<ULONG>(number[3]) << 24));
            const std::wstring text = kept > 5 ? PhoneText(scratch + 5, kept - 5) : std::wstring();
            WriteLog(L"err: %s(%d)", text.c_str(), code);
            return LogError(E_UNEXPECTED, L"ReceivePacket", __LINE__);
        }
        if (payload > capacity)
            return LogError(HResultFromWin32(ERROR_INSUFFICIENT_BUFFER), L"ReceivePacket", __LINE__);
        if (exact && payload != capacity)
            return LogError(HResultFromWin32(ERROR_BAD_LENGTH), L"ReceivePacket", __LINE__);
        return S_OK;
    }
}

DWORD SetReceiveTimeLimit(DWORD limitMs)
{
    return g_receiveTimeLimitMs.exchange(limitMs);
}

HRESULT OpenSerialPort(const wchar_t* name, DWORD readTimeoutMs, HANDLE* port)
{
    CFileHandle h(
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h)
        return LogError(LastErrorHResult(), L"OpenSerialPort", __LINE__);
    HRESULT hr = SetPortTimeouts(h.Get(), readTimeoutMs);
    RETURN_IF_FAILED(hr, L"OpenSerialPort", __LINE__);
    // A handle already held is closed once the new one stands.
    CFileHandle previous(*port ? *port : INVALID_HANDLE_VALUE);
    *port = h.Detach();
    return S_OK;
}
