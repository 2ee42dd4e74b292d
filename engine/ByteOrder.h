// Byte order of multi-byte protocol fields. The host's order is read at run
// time from how the constant 0x01020304 lies in memory.
#pragma once
#include <windows.h>
#include <cstring>

inline bool IsBigEndianHost()
{
    const ULONG probe = 0x01020304;
    BYTE first;
    memcpy(&first, &probe, 1);
    return first == 1;
}

inline USHORT SwapBytes16(USHORT v)
{
    return static_cast<USHORT>((v >> 8) | (v << 8));
}

inline ULONG SwapBytes32(ULONG v)
{
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// Also reads big-endian fields: the conversion is its own inverse.
inline USHORT ToBigEndian16(USHORT v)
{
    return IsBigEndianHost() ? v : SwapBytes16(v);
}
inline ULONG ToBigEndian32(ULONG v)
{
    return IsBigEndianHost() ? v : SwapBytes32(v);
}
inline USHORT ToLittleEndian16(USHORT v)
{
    return IsBigEndianHost() ? SwapBytes16(v) : v;
}
inline ULONG ToLittleEndian32(ULONG v)
{
    return IsBigEndianHost() ? SwapBytes32(v) : v;
}
