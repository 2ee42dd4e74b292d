// Raw protocol traffic, collected per call and written to the log as a hex
// dump when the collecting object goes away. Costs nothing unless the
// "DumpKestrup" switch was on at start-up.
#pragma once
#include <windows.h>
#include <string>

bool IsDumpEnabled();

class CDumpBuffer
{
public:
    explicit CDumpBuffer(const wchar_t* title);
    ~CDumpBuffer();
    CDumpBuffer(const CDumpBuffer&) = delete;
    CDumpBuffer& operator=(const CDumpBuffer&) = delete;

    void Append(const void* data, int n);
    void Append(BYTE b);

    const std::wstring& Title() const { return m_title; }
    const BYTE* Data() const { return m_data; }
    int Count() const { return m_count; }

private:
    std::wstring m_title;
    BYTE* m_data = nullptr;
    int m_count = 0;
    int m_capacity = 0;
};

void LogHexDump(const CDumpBuffer& buffer);
