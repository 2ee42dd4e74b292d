// The engine's two CRCs. Callers keep the value in its finished
// (complemented) form: start from 0, feed one byte at a time, and the value
// after the last byte is the CRC, with no final step.
#pragma once
#include <windows.h>

// CRC-16/X-25, the HDLC frame check. Over a payload followed by its own frame
// check (low byte first) a good frame ends at kCrc16GoodFrame.
USHORT UpdateCrc16(USHORT state, BYTE b);
constexpr USHORT kCrc16GoodFrame = 0x0F47;

// CRC-32 of IEEE 802.3 / zlib. Its table is a constant, made at compile time,
// so no thread ever waits for it.
ULONG UpdateCrc32(ULONG state, BYTE b);
