// The CRC-32 of IEEE 802.3 (the one of zlib), eight bytes a step, for the
// benchmark: its phone side must check the data far faster than any link
// brings it, so that the benchmark measures the engine and not itself.
#pragma once
#include <windows.h>

#include <cstring>

#include "engine/Crc.h"

namespace bench
{

struct Crc32Tables
{
    ULONG t[8][256];
};

// The engine's byte-at-a-time table, and from it the tables that take the
// byte one to seven places further back.
inline Crc32Tables MakeCrc32Tables()
{
    Crc32Tables x{};
    for (ULONG i = 0; i < 256; ++i)
        x.t[0][i] = ~UpdateCrc32(0xFFFFFFFFu, static_cast<BYTE>(i)); // the bare table entry
    for (int k = 1; k < 8; ++k)
        for (ULONG i = 0; i < 256; ++i)
            x.t[k][i] = (x.t[k - 1][i] >> 8) ^ x.t[0][x.t[k - 1][i] & 0xFF];
    return x;
}

// Continues a CRC held in its finished form: start from 0, and the value
// after the last block is the CRC. Little-endian hosts only (x64).
inline ULONG UpdateFastCrc32(ULONG crc, const void* data, size_t size)
{
    static const Crc32Tables tables = MakeCrc32Tables();
    const auto& t = tables.t;
    const BYTE* p = static_cast<const BYTE*>(data);
    crc = ~crc;
    for (; size >= 8; p += 8, size -= 8)
    {
        ULONG a, b;
        memcpy(&a, p, 4);
        memcpy(&b, p + 4, 4);
        a ^= crc;
        crc = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^ t[3][b & 0xFF] ^
              t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
    }
    for (; size > 0; ++p, --size)
        crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

} // namespace bench
