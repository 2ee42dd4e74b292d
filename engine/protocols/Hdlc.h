// HDLC-like asynchronous framing of the DMSS and streaming download
// protocols, and the serial port they run on.
//
// A frame on the wire: 0x7E, the payload, the CRC-16/X-25 frame check (low
// byte first), 0x7E; every payload or frame-check byte 0x7E or 0x7D is sent
// as 0x7D followed by the byte XOR 0x20.
#pragma once
#include <windows.h>

constexpr BYTE kHdlcFlag = 0x7E;
constexpr BYTE kHdlcEscape = 0x7D;
constexpr BYTE kHdlcEscapeXor = 0x20;
constexpr BYTE kHdlcLogPacket = 0x0E;
constexpr BYTE kHdlcErrorPacket = 0x0D;

// A byte buffer that grows by doubling, from 1.
class CByteBuffer
{
public:
    CByteBuffer() = default;
    ~CByteBuffer();
    CByteBuffer(const CByteBuffer&) = delete;
    CByteBuffer& operator=(const CByteBuffer&) = delete;

    HRESULT Append(BYTE b);
    const BYTE* Data() const { return m_data; }
    DWORD Count() const { return m_count; }

private:
    BYTE* m_data = nullptr;
    DWORD m_count = 0;
    DWORD m_capacity = 0;
};

// Appends b, escaped when it is a flag or escape byte. E_OUTOFMEMORY when the
// buffer cannot grow.
HRESULT AppendEscapedByte(CByteBuffer& buffer, BYTE b);

// Frames the payload and writes the frame in one WriteRobust call.
HRESULT TransmitPacket(HANDLE port, const void* payload, DWORD length);

// Reads one frame. The payload, and the two frame-check bytes where capacity
// allows, are stored from the start of buffer. Log packets from the phone are
// logged and skipped; an error packet is logged and gives E_UNEXPECTED. A
// payload larger than capacity gives 0x8007007A; with exact set, one not
// equal to capacity gives 0x80070018; a bad check 0x80070017; a frame under 3
// bytes 0x8007000B. A phone that keeps sending without closing an answer's
// frame (64 KiB of wire bytes besides the answer, or 1000 log packets) gives
// 0x800700EA. A receive that has taken the receive time limit gives
// 0x800705B4 before its next byte: with the wait for one byte (10 reads of at
// most the port's read time-out, 100 ms apart) a receive ends within the
// limit and that wait.
HRESULT ReceivePacket(HANDLE port, void* buffer, DWORD capacity, bool exact);

// The time one ReceivePacket may take: 10 s. An answer is a few hundred bytes
// at most, which any phone sends within milliseconds once it starts, and a
// phone that keeps silent is given up on after about 2 s by the byte reads
// themselves; only a phone that trickles its bytes reaches this limit.
constexpr DWORD kReceiveTimeLimitMs = 10000;

// Sets the time limit of every ReceivePacket from now on (for tests); gives
// the limit set before.
DWORD SetReceiveTimeLimit(DWORD limitMs);

// Opens a serial port for exclusive read and write. With a read time-out, a
// read waits at most that many milliseconds; with 0 it returns at once with
// what has arrived. Each write call ends at kPortCallBoundMs. On success
// *port (closed first when it held a handle) takes the new handle; it must
// hold a handle, NULL or INVALID_HANDLE_VALUE.
HRESULT OpenSerialPort(const wchar_t* name, DWORD readTimeoutMs, HANDLE* port);
