// The owner-drawn list's view state as plain records, and the rules over
// them that need no window: where a point falls among the columns, what a
// click does to the selection, which rows a band crosses, where a dragged
// column lands.
#pragma once
#include "ui/listctrl/ListTypes.h"
#include <commctrl.h>
#include <set>
#include <string>
#include <vector>

// What the list's owner switches on or off, and the pictures it lends.
struct CListOptions
{
    UINT showHeader = TRUE;
    UINT useThemes = TRUE;
    UINT sortable = TRUE;
    UINT cellFocus = FALSE;
    UINT singleSelect = FALSE;
    UINT swipeSelect = FALSE;
    UINT smoothScroll = TRUE;
    UINT allowHorzBar = TRUE;
    UINT allowVertBar = TRUE;
    BOOL tileBackground = FALSE;
    HBITMAP background = nullptr;    // owned by the caller
    HIMAGELIST cellImages = nullptr; // owned by the caller
};

// Row and header heights, the columns' total width, the wheel and the bars.
struct CListGeometry
{
    int rowHeight = 0;
    int headerHeight = 0;
    int totalWidth = 0;
    UINT wheelLines = 3;
    UINT horzBarShown = FALSE;
    UINT vertBarShown = FALSE;
};

// The smooth scroll: pixels left to go, the step, the number of steps, the
// rows the picture was made for, the direction.
struct CListAnimation
{
    int remaining = 0;
    int step = 0;
    int steps = 0;
    int visibleRows = 0;
    BOOL down = FALSE;
    BOOL animating = FALSE;
};

// The header: the pressed and hot columns, a divider drag and the sort.
struct CListHeaderState
{
    UINT captured = FALSE;
    UINT resizing = FALSE;
    UINT shrinkTimerRunning = FALSE;
    UINT sortAscending = TRUE;
    int sortColumn = -1;
    int pressedColumn = -1;
    int hotColumn = -1;
    int resizedColumn = -1;
    int resizeStartX = 0;
    int resizeStartWidth = 0;
    int shrinkStartX = 0;
};

// A header column on its way to another place.
struct CListDragState
{
    int draggedColumn = -1;
    int dropPosition = -1;
    UINT clipboardFormat = 0;
};

// The mouse and the keys: the press, the hot cell, the cell of the title
// tip, the rubber band, the type-ahead buffer and an open editor.
struct CListInputState
{
    UINT buttonDown = FALSE;
    UINT mouseTracking = FALSE;
    UINT dragArmed = FALSE;
    UINT editing = FALSE;
    POINT pressPoint{};
    int hotRow = -1;
    int hotColumn = -1;
    int tipRow = -1;
    int tipColumn = -1;
    UINT bandActive = FALSE;
    POINT bandAnchor{};
    RECT bandRect{};
    DWORD lastBandScroll = 0;
    std::wstring typeAhead;
    DWORD typeAheadTime = 0;
};

// The selected rows (ascending), the anchor of a range and the focus cell.
struct CListSelection
{
    std::set<int> rows;
    int anchorRow = -1;
    int focusRow = -1;
    int focusColumn = -1;

    bool IsSelected(int row) const { return rows.count(row) != 0; }
    // The focus row when selected, else the lowest selected row, else -1.
    int CurrentRow() const;
    void Clear();
};

// The column whose inside (edges excluded) holds client x, the columns
// scrolled left by scroll. position ends where the search stopped: at the
// column count when no column holds x.
bool HitTestColumns(const std::vector<CListColumn>& columns, int scroll, int x, int& position);

// Client x in the header strip: on a divider (5 pixels left to 4 right of
// a column's right edge; bits 0x1, with 0x2 to resize that column or 0x4
// to pull out the last of the zero-width columns after it) or inside a
// column (bits 0). position is left as it was when neither.
bool HitTestDividers(const std::vector<CListColumn>& columns, int scroll, int x, int& position, UINT& bits);

// A click on row (at column position) with MK_SHIFT and MK_CONTROL as in
// keyFlags, in a list of count rows. True when the click selected a row or
// a range (a Control-click that took a row away, or a click on the only
// selected row, selects nothing new).
bool ApplyClick(CListSelection& selection, int row, int position, UINT keyFlags, bool singleSelect, int count);

// Selects the rows from top to bottom that exist among count rows: the
// anchor becomes the first of them (-1 when none), the focus the last.
void SelectRowRange(CListSelection& selection, int top, int bottom, int count);

// Where a column dragged from position dragged lands when the cursor is at
// client x over the column at position, which spans column: before it on
// its left half, after it on its right half; -1 for the dragged column's
// own place.
int DropPositionAt(int x, int position, const RECT& column, int dragged);

// Moves the column at from so that it lands before the column that was at
// dropPosition (at or beyond the count: at the end).
void MoveColumn(std::vector<CListColumn>& columns, int from, int dropPosition);

// The order that sorts rows by their texts (one per row, in row order),
// comparing UTF-16 code units one by one, a prefix first; not stable.
// order[i] is the index of the row that goes to place i.
void SortOrder(const std::vector<const std::wstring*>& texts, std::vector<int>& order);
