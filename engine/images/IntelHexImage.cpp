#include "engine/images/IntelHexImage.h"

#include <cstdio>
#include <memory>
#include <share.h>
#include <string>

namespace
{

enum RecordType : BYTE
{
    kData = 0,
    kEndOfFile = 1,
    kExtendedLinearAddress = 4,
    kStartLinearAddress = 5,
};

// The DOS end-of-file mark (Ctrl-Z). Editors of that line end a text file with
// one; block transfers pad the file's last block with them.
constexpr int kEndOfFileMark = 0x1A;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The record's bytes from its hexadecimal text; false for a character that is
// no hexadecimal digit, or a digit left over without its pair.
bool DecodeRecord(const std::string& text, std::vector<BYTE>& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes.clear();
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2)
    {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<BYTE>(high << 4 | low));
    }
    return true;
}

// After the first end-of-file mark only padding may follow up to the end of
// the file: more marks and line ends, in any order. A record, text or any
// other byte after the mark makes the file invalid. The file's length bounds
// the loop.
bool OnlyPaddingFollows(FILE* file)
{
    int c = getc(file);
    while (c == kEndOfFileMark || c == '\r' || c == '\n')
        c = getc(file);
    return c == EOF && !ferror(file);
}

struct FileCloser
{
    void operator()(FILE* file) const { fclose(file); }
};

} // namespace

bool CIntelHexImage::Load(const char* path)
{
    m_runs.clear();
    m_startAddress = 0;
    m_extendedAddress = false;

    // Read as bytes: text mode would end the file at a Ctrl-Z and hide what
    // follows it, which must be nothing but padding. Others may keep the file
    // open for writing.
    std::unique_ptr<FILE, FileCloser> file(_fsopen(path, "rb", _SH_DENYNO));
    if (!file)
        return false;

    ULONG upper = 0;
    std::string text;
    std::vector<BYTE> record;
    for (;;)
    {
        int c = getc(file.get());
        if (c == kEndOfFileMark)
            return OnlyPaddingFollows(file.get());
        if (c != ':')
            return c == EOF && !ferror(file.get());

        text.clear();
        while ((c = getc(file.get())) != EOF && c != '\n' && c != kEndOfFileMark)
            text.push_back(static_cast<char>(c));
        if (ferror(file.get()))
            return false;
        // CR LF ends a line as LF does.
        if (c == '\n' && !text.empty() && text.back() == '\r')
            text.pop_back();
        // Count, address, type and checksum at the least.
        if (text.size() < 10)
            return false;
        if (!DecodeRecord(text, record) || !LoadRecord(record, upper))
            return false;
        // The mark right after the last record, without a line end between.
        if (c == kEndOfFileMark)
            return OnlyPaddingFollows(file.get());
    }
}

bool CIntelHexImage::LoadRecord(const std::vector<BYTE>& record, ULONG& upper)
{
    BYTE sum = 0;
    for (BYTE b : record)
        sum = static_cast<BYTE>(sum + b);
    if (sum != 0)
        return false;

    const size_t count = record[0];
    if (record.size() != count + 5)
        return false;
    const ULONG address = static_cast<ULONG>(record[1]) << 8 | record[2];
    const BYTE type = record[3];
    const BYTE* data = record.data() + 4;

    switch (type)
    {
    case kData:
        // Bytes past the top of the 32-bit address space would wrap to 0.
        if (static_cast<ULONGLONG>(upper) + address + count > 0x100000000ull)
            return false;
        // A later record at the same address replaces the earlier one.
        m_runs[upper + address].assign(data, data + count);
        return true;
    case kEndOfFile:
        return true;
    case kExtendedLinearAddress:
        if (count != 2 || address != 0)
            return false;
        upper = (static_cast<ULONG>(data[0]) << 8 | data[1]) << 16;
        m_extendedAddress = true;
        return true;
    case kStartLinearAddress:
        if (count != 4 || address != 0)
            return false;
        m_startAddress = static_cast<ULONG>(data[0]) << 24 | static_cast<ULONG>(data[1]) << 16 |
                         static_cast<ULONG>(data[2]) << 8 | data[3];
        return true;
    default:
        // Segment addresses (types 2 and 3) and unknown types.
        return false;
    }
}

void CIntelHexImage::Coalesce()
{
    if (m_runs.empty())
        return;
    auto current = m_runs.begin();
    for (auto next = std::next(current); next != m_runs.end();)
    {
        // In 64 bits: a run that ends at the top of the address space touches
        // nothing.
        const ULONGLONG end = static_cast<ULONGLONG>(current->first) + current->second.size();
        if (end == next->first)
        {
            current->second.insert(current->second.end(), next->second.begin(), next->second.end());
            next = m_runs.erase(next);
        }
        else
        {
            current = next++;
        }
    }
}
