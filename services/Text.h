// Text in other encodings, and the program's own path.
#pragma once
#include <windows.h>

#include <string>

// 8-bit text in codePage (by default the calling thread's ANSI code page:
// child output, log lines, Firehose commands) as wide text, and back. A text
// that cannot be converted gives an empty result. Narrowed, a character that
// the code page lacks becomes its default character, never a look-alike.
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

// The narrowing for texts that go to a phone, to the expression parser or to
// an 8-bit file call: only a text that comes back the same from its bytes is
// narrowed. One with a character that the code page lacks fails with
// 0x80070459 (no mapping for the Unicode character) and leaves bytes empty.
HRESULT ToNarrowExact(const std::wstring& text, std::string& bytes, UINT codePage = CP_THREAD_ACP);

// The full path of the running program's file, of any length; empty when it
// cannot be had.
std::wstring GetProgramPath();
