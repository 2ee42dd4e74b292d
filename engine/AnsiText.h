// Wide text as 8-bit text in the calling thread's ANSI code page, the form
// of Firehose commands and of the expressions handed to the parser.
#pragma once
#include <windows.h>

#include <string>

inline std::string ToThreadAnsi(const std::wstring& text)
{
    std::string out;
    if (text.empty())
        return out;
    const int wide = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    if (n > 0)
    {
        out.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), wide, &out[0], n, nullptr, nullptr);
    }
    return out;
}
