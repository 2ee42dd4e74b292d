#include "services/Dump.h"
#include "services/Log.h"
#include "services/ProcessObjects.h"

#include <climits>
#include <cstdlib>
#include <cstring>

bool IsDumpEnabled()
{
    return ProcessObjects().bDumpEnabled;
}

CDumpBuffer::CDumpBuffer(const wchar_t* title) : m_title(title ? title : L"") {}

CDumpBuffer::~CDumpBuffer()
{
    LogHexDump(*this);
    free(m_data);
}

void CDumpBuffer::Append(const void* data, int n)
{
    if (!IsDumpEnabled() || n <= 0)
        return;
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (int i = 0; i < n; ++i)
        Append(bytes[i]);
}

void CDumpBuffer::Append(BYTE b)
{
    if (!IsDumpEnabled())
        return;
    if (m_count == m_capacity)
    {
        if (m_capacity > INT_MAX / 2)
            return;
        int capacity = m_capacity == 0 ? 1 : m_count * 2;
        BYTE* grown = static_cast<BYTE*>(realloc(m_data, static_cast<size_t>(capacity)));
        if (!grown)
            return;
        memset(grown + m_capacity, 0, static_cast<size_t>(capacity - m_capacity));
        m_data = grown;
        m_capacity = capacity;
    }
    m_data[m_count++] = b;
}

void LogHexDump(const CDumpBuffer& buffer)
{
    if (buffer.Count() == 0)
        return;
    WriteLog(L"%s", buffer.Title().c_str());
    const BYTE* data = buffer.Data();
    for (int row = 0; row < buffer.Count(); row += 16)
    {
        wchar_t hex[16 * 3 + 1];
        wchar_t text[16 + 1];
        for (int i = 0; i < 16; ++i)
        {
            if (row + i < buffer.Count())
            {
                BYTE b = data[row + i];
                wsprintfW(hex + i * 3, L"%02X ", b);
                text[i] = b >= 0x20 && b <= 0x7E ? static_cast<wchar_t>(b) : L'.';
            }
            else
            {
                lstrcpyW(hex + i * 3, L"   ");
                text[i] = L' ';
            }
        }
        text[16] = L'\0';
        WriteLog(L"%s%s", hex, text);
    }
}
