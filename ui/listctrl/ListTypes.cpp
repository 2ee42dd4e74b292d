#include "ui/listctrl/ListTypes.h"
#include <cwchar>
#include <cwctype>

UINT NormaliseFlags(UINT flags)
{
    if (flags & ITEM_FLAGS_CENTRE)
        flags &= ~(ITEM_FLAGS_LEFT | ITEM_FLAGS_RIGHT);
    if (flags & ITEM_FLAGS_RIGHT)
        flags &= ~ITEM_FLAGS_LEFT;
    if (flags & ITEM_FLAGS_DATE_ONLY)
        flags &= ~ITEM_FLAGS_TIME_ONLY;
    if (flags & (ITEM_FLAGS_EDIT_NUMBER | ITEM_FLAGS_EDIT_FLOAT))
        flags &= ~ITEM_FLAGS_UPPERCASE;
    else
        flags &= ~(ITEM_FLAGS_EDIT_NEGATIVE | ITEM_FLAGS_EDIT_OPERATOR);
    if (flags & ITEM_FLAGS_COMBO_EDIT)
        flags &= ~(ITEM_FLAGS_DATE_ONLY | ITEM_FLAGS_TIME_ONLY | ITEM_FLAGS_DATE_NONE);
    return flags;
}

std::wstring FormatItemDate(const SYSTEMTIME& time)
{
    wchar_t text[64];
    std::swprintf(text, 64, L"%04d%02d%02d%02d%02d%02d", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
                  time.wSecond);
    return text;
}

namespace
{

// The decimal value of text[first, first + count), as far as the text reaches.
WORD Slice(const std::wstring& text, size_t first, size_t count)
{
    if (first >= text.size())
        return 0;
    return static_cast<WORD>(std::wcstol(text.substr(first, count).c_str(), nullptr, 10));
}

} // namespace

bool ParseItemDate(const std::wstring& text, SYSTEMTIME& time)
{
    time = SYSTEMTIME{};
    if (text.empty())
        return false;
    time.wYear = Slice(text, 0, 4);
    time.wMonth = Slice(text, 4, 2);
    time.wDay = Slice(text, 6, 2);
    time.wHour = Slice(text, 8, 2);
    time.wMinute = Slice(text, 10, 2);
    time.wSecond = Slice(text, 12, 2);
    return true;
}

std::wstring FormatDate(const SYSTEMTIME& time)
{
    wchar_t text[128];
    int length = ::GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, text, 128);
    return length > 0 ? std::wstring(text) : std::wstring();
}

std::wstring FormatTime(const SYSTEMTIME& time)
{
    wchar_t text[128];
    int length = ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &time, nullptr, text, 128);
    return length > 0 ? std::wstring(text) : std::wstring();
}
