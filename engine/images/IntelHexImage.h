// A DMSS flash programmer in Intel HEX form: runs of bytes keyed by their
// 32-bit load address, and the start address the file names.
#pragma once
#include <windows.h>

#include <map>
#include <vector>

class CIntelHexImage
{
public:
    using Runs = std::map<ULONG, std::vector<BYTE>>;

    // Reads the whole file as bytes; true only when every line up to the end
    // of the file is a valid record (an empty file is a valid empty image),
    // lines ending in LF or CR LF. A DOS end-of-file mark (0x1A) may end the
    // file, right after the last record or on a line of its own; after it only
    // more marks and line ends may follow (a block's padding), anything else
    // is invalid. A record whose bytes would reach past 0xFFFFFFFF is
    // invalid. The image holds what was read before a failure.
    bool Load(const char* path);

    // Joins every run that ends exactly where the next one begins.
    void Coalesce();

    // The runs by ascending load address.
    const Runs& GetRuns() const { return m_runs; }
    // From a start linear address record; 0 when the file has none.
    ULONG StartAddress() const { return m_startAddress; }
    // Whether the file had an extended linear address record.
    bool HasExtendedAddress() const { return m_extendedAddress; }

private:
    bool LoadRecord(const std::vector<BYTE>& record, ULONG& upper);

    ULONG m_startAddress = 0;
    bool m_extendedAddress = false;
    Runs m_runs;
};
