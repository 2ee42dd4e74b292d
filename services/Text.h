// Text in other encodings, and the program's own path.
#pragma once
#include <windows.h>

#include <string>

// 8-bit text in codePage (by default the calling thread's ANSI code page:
// child output, log lines, Firehose commands) as wide text, and back. A text
// that cannot be converted gives an empty result.
std::wstring ToWide(const char* bytes, size_t size, UINT codePage = CP_THREAD_ACP);
inline std::wstring ToWide(const std::string& bytes, UINT codePage = CP_THREAD_ACP)
{
    return ToWide(bytes.data(), bytes.size(), codePage);
}
std::string ToNarrow(const wchar_t* text, size_t size, UINT codePage = CP_THREAD_ACP);
inline std::string ToNarrow(const std::wstring& text, UINT codePage = CP_THREAD_ACP)
{
    return ToNarrow(text.data(), text.size(), codePage);
}

// The full path of the running program's file, of any length; empty when it
// cannot be had.
std::wstring GetProgramPath();
