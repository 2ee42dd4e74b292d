#include "services/Text.h"

#include <climits>

std::wstring ToWide(const char* bytes, size_t size, UINT codePage)
{
    std::wstring text;
    if (!bytes || size == 0 || size > INT_MAX)
        return text;
    const int n = MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(size), nullptr, 0);
    if (n <= 0)
        return text;
    text.resize(static_cast<size_t>(n));
    MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(size), &text[0], n);
    return text;
}

std::string ToNarrow(const wchar_t* text, size_t size, UINT codePage)
{
    std::string bytes;
    if (!text || size == 0 || size > INT_MAX)
        return bytes;
    // Code pages that have no best fit (UTF-8 among them) refuse the flag.
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    int n = WideCharToMultiByte(codePage, flags, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    if (n <= 0 && GetLastError() == ERROR_INVALID_FLAGS)
    {
        flags = 0;
        n = WideCharToMultiByte(codePage, flags, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    }
    if (n <= 0)
        return bytes;
    bytes.resize(static_cast<size_t>(n));
    WideCharToMultiByte(codePage, flags, text, static_cast<int>(size), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

HRESULT ToNarrowExact(const std::wstring& text, std::string& bytes, UINT codePage)
{
    bytes = ToNarrow(text, codePage);
    if (ToWide(bytes, codePage) == text)
        return S_OK;
    bytes.clear();
    return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
}

std::wstring GetProgramPath()
{
    // Paths past MAX_PATH come back cut with the buffer full: grow and ask again.
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 6; ++attempt)
    {
        DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size())
        {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
    return std::wstring();
}
