// The vocabulary of the owner-drawn list: cell formats and flags, the
// column, cell and row records, and the notification the list sends.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

enum ListFormat : UINT
{
    ITEM_FORMAT_NONE = 0,
    ITEM_FORMAT_EDIT = 1,
    ITEM_FORMAT_DATETIME = 2,
    ITEM_FORMAT_COMBO = 3,
    ITEM_FORMAT_CHECKBOX = 4,
    ITEM_FORMAT_CHECKBOX3 = 5,
    ITEM_FORMAT_HYPERLINK = 6,
    ITEM_FORMAT_PROGRESS = 7,
    ITEM_FORMAT_HIDDEN = 8,
};

enum ListFlag : UINT
{
    ITEM_FLAGS_LEFT = 0x0001,
    ITEM_FLAGS_RIGHT = 0x0002,
    ITEM_FLAGS_CENTRE = 0x0004,
    ITEM_FLAGS_READ_ONLY = 0x0008,
    ITEM_FLAGS_UPPERCASE = 0x0010,
    ITEM_FLAGS_EDIT_NUMBER = 0x0020,
    ITEM_FLAGS_EDIT_FLOAT = 0x0040,
    ITEM_FLAGS_EDIT_NEGATIVE = 0x0080,
    ITEM_FLAGS_EDIT_OPERATOR = 0x0100,
    ITEM_FLAGS_COMBO_EDIT = 0x0200,
    ITEM_FLAGS_DATE_ONLY = 0x0400,
    ITEM_FLAGS_TIME_ONLY = 0x0800,
    ITEM_FLAGS_DATE_NONE = 0x1000,
    ITEM_FLAGS_PROGRESS_SOLID = 0x2000,
};

// Notification codes (WM_NOTIFY to the parent; LCN_ENDEDIT from an editor
// to the list).
constexpr int LCN_FIRST = -1500;
constexpr int LCN_SELECTED = LCN_FIRST - 1;
constexpr int LCN_LEFTCLICK = LCN_FIRST - 2;
constexpr int LCN_RIGHTCLICK = LCN_FIRST - 3;
constexpr int LCN_DBLCLICK = LCN_FIRST - 4;
constexpr int LCN_ENDEDIT = LCN_FIRST - 5;
constexpr int LCN_MODIFIED = LCN_FIRST - 6;
constexpr int LCN_HYPERLINK = LCN_FIRST - 7;

// The list's window timers.
constexpr UINT_PTR TIMER_AUTOSCROLL_RESIZE = 1001;
constexpr UINT_PTR TIMER_EDIT_DELAY = 1002;
constexpr UINT_PTR TIMER_AUTOSCROLL_SELECT = 1003;
constexpr UINT_PTR TIMER_SCROLL_ANIMATION = 1004;

// Caps on the arrays: an append beyond them fails.
constexpr size_t kMaxListColumns = 44739242;
constexpr size_t kMaxListCells = 38347922;
constexpr size_t kMaxListRows = 0x3FFFFFF;

struct ListNotify
{
    NMHDR header;
    int row;
    int column;
    WORD key;
    LPCWSTR text;
    SYSTEMTIME* date;
};

using CListStrings = std::vector<std::wstring>;

struct CListColumn
{
    std::wstring title;
    int width = 0;
    UINT fixed = FALSE;
    UINT format = ITEM_FORMAT_NONE;
    UINT flags = 0;
    int image = -1;
    int id = 0;
    CListStrings items;
};

struct CListCell
{
    std::wstring text;
    int image = -1;
    UINT format = ITEM_FORMAT_NONE;
    UINT flags = 0;
    CListStrings items;
    HFONT font = nullptr;
    COLORREF background = 0;
    COLORREF textColour = 0;
};

// What a row holds besides its item data: one cell per column (indexed by
// column id) and the text of the tooltip over the row.
struct CListRowBase
{
    std::vector<CListCell> cells;
    std::wstring tipText;
};

// One row; TItem is a counted reference (copying it adds a reference,
// destroying it releases one).
template <class TItem> struct CListRow : CListRowBase
{
    TItem itemData{};
};

// Makes a set of flags consistent: centre beats right beats left, date
// only beats time only, number edits drop upper case (and text edits the
// number-only bits), and an editable combo drops the date bits.
UINT NormaliseFlags(UINT flags);

// The 14-digit text of a date cell, and back. Parsing an empty text fails
// and yields an all-zero SYSTEMTIME.
std::wstring FormatItemDate(const SYSTEMTIME& time);
bool ParseItemDate(const std::wstring& text, SYSTEMTIME& time);

// The user's short date and time texts of a date cell.
std::wstring FormatDate(const SYSTEMTIME& time);
std::wstring FormatTime(const SYSTEMTIME& time);
