// The owner-drawn list: a window of class "ListCtrl" that draws its own
// header and rows. The rows belong to the data class (CListCtrlData), which
// answers the row operations below; the list keeps the columns, the view
// state and its child windows (editors, title tip, drop arrows, row
// tooltip) and its drag and drop.
#pragma once
#include "platform/DoubleBuffer.h"
#include "platform/Handles.h"
#include "ui/listctrl/ListDraw.h"
#include "ui/listctrl/ListState.h"
#include "ui/listctrl/ListTypes.h"
#include <memory>
#include <string>
#include <vector>

struct CListChildren;

using CListImplTraits = CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0>;

class CListImpl : public CWindowImpl<CListImpl, CWindow, CListImplTraits>, public CDoubleBufferImpl<CListImpl>
{
    using WindowBase = CWindowImpl<CListImpl, CWindow, CListImplTraits>;

public:
    DECLARE_WND_CLASS(L"ListCtrl")

    CListImpl();
    ~CListImpl() override;
    CListImpl(const CListImpl&) = delete;
    CListImpl& operator=(const CListImpl&) = delete;

    // The message map (ListGeometry.cpp).
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                              DWORD dwMsgMapID = 0) override;

    // The class that dialog templates name, for lists that a dialog creates
    // and SubclassWindow then takes over.
    static BOOL RegisterListClass();

    // ---- Rows (kept by the data class) ----------------------------------

    virtual int GetItemCount() const { return 0; }

    // ---- Set-up ---------------------------------------------------------

    BOOL SubclassWindow(HWND hWnd);
    BOOL LoadResources();
    BOOL Initialise();

    // ---- Columns (display positions unless said otherwise) ----------------

    BOOL AddColumn(LPCWSTR title, int width, int image = -1, BOOL fixed = FALSE, UINT format = ITEM_FORMAT_NONE,
                   UINT flags = 0);
    // Puts a column record at a position (at or beyond the count: appended).
    BOOL InsertColumn(int position, const CListColumn& column);
    BOOL RemoveColumn(int position);
    int GetColumnCount() const { return static_cast<int>(m_columns.size()); }
    BOOL GetColumn(int position, CListColumn& column) const;
    int GetColumnWidth(int position) const { return IsColumn(position) ? m_columns[position].width : 0; }
    int GetColumnId(int position) const { return IsColumn(position) ? m_columns[position].id : 0; }
    int FindColumn(int id) const;
    UINT GetColumnFormat(int position) const { return IsColumn(position) ? m_columns[position].format : 0; }
    UINT GetColumnFlags(int position) const { return IsColumn(position) ? m_columns[position].flags : 0; }
    BOOL GetColumnItems(int position, CListStrings& items) const;

    // ---- Rows and cells (row index, column id) ------------------------------

    // A row with one cell per column; the first cell gets text and image.
    // The new index, or -1 without columns or memory.
    int AddItem(LPCWSTR text, int image = -1, UINT format = ITEM_FORMAT_NONE, UINT flags = 0);
    BOOL DeleteItem(int row);

    const CListCell* FindCell(int row, int id) const;
    CListCell* FindCell(int row, int id);

    BOOL SetItemText(int row, int id, LPCWSTR text);
    BOOL SetItemDate(int row, int id, const SYSTEMTIME& time);
    std::wstring GetItemText(int row, int id) const;
    BOOL GetItem(int row, int id, CListCell& copy) const;
    // No redraw: the caller redraws.
    BOOL SetItemColours(int row, int id, COLORREF background, COLORREF text);

    // Lookups with the column fallback.
    int GetItemImage(int row, int id) const;
    UINT GetItemFormat(int row, int id) const;
    UINT GetItemFlags(int row, int id) const;
    BOOL GetItemComboList(int row, int id, CListStrings& items) const;
    HFONT GetItemFont(int row, int id) const;
    BOOL GetItemColours(int row, int id, COLORREF& background, COLORREF& text) const;
    BOOL GetItemDate(int row, int id, SYSTEMTIME& time) const;
    std::wstring GetItemTipText(int row) const;

    // ---- Geometry -------------------------------------------------------------

    int GetRowHeight() const { return m_geometry.rowHeight; }
    int GetHeaderHeight() const { return m_options.showHeader ? m_geometry.headerHeight : 0; }
    HFONT GetListFont() const { return m_listFont.Get(); }
    HIMAGELIST GetItemImageList() const { return m_itemImages.Get(); }

    int GetTotalWidth(BOOL recalculate = FALSE);
    BOOL SetColumnWidth(int position, int width);
    BOOL GetColumnRect(int position, RECT& rect);
    BOOL GetItemRect(int row, int position, RECT& rect);
    BOOL InvalidateItem(int row, int position = -1);
    BOOL IsItemVisible(int row, int position = -1, BOOL partial = FALSE);
    BOOL EnsureVisible(int row, int position = -1);
    BOOL HitTest(POINT point, int& row, int& position);
    // bars: SB_HORZ, SB_VERT or SB_BOTH; a negative position keeps the
    // positions as they are.
    void ResetScrollBars(int bars = SB_BOTH, int position = -1, BOOL recalculate = TRUE);
    int FirstVisibleRow() const;

    // ---- Notification -----------------------------------------------------------

    LRESULT NotifyParent(int row, int position, int code);

    // ---- Header (ListHeader.cpp) --------------------------------------------------

    BOOL HitTestDivider(POINT point, int& position, UINT& bits);
    // One step of a divider drag at screen x: tick 0 from a mouse move,
    // tick 1 from the shrink timer.
    void OnResizeColumn(int tick);
    void OnResizeColumn(int tick, int x);
    // Starts a divider drag of the column at position from screen x.
    void BeginResize(int position, int x);
    BOOL InvalidateHeader();
    void DrawHeader(HDC dc);
    // The picture of a dragged header column: a pressed button with its
    // image and title, the size of the column. Null when it cannot be made;
    // the caller deletes it.
    HBITMAP MakeHeaderDragImage(int position);
    // Widens or narrows a column to its title and texts; 0 for a fixed
    // column or when a text cannot be measured.
    int AutoSizeColumn(int position);

    // ---- Header drag and drop (ListDragDrop.cpp) ------------------------------------

    // Where a header column dragged over point would land; shows the arrows there.
    void ShowDropArrows(POINT point);
    // Drags the pressed header column; a drop on this list moves it.
    void BeginHeaderDrag();
    // The drop target's callbacks (clipboard data in medium, client point).
    DWORD OnDragEnter(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point);
    DWORD OnDragOver(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point);
    BOOL OnDrop(FORMATETC& format, STGMEDIUM& medium, DWORD effect, POINT point);
    UINT GetHeaderClipboardFormat() const { return m_drag.clipboardFormat; }

    // ---- Painting (ListPaint.cpp) -------------------------------------------------------

    void DoPaint(HDC dc);
    void DrawBackground(HDC dc);
    void DrawItems(HDC dc);
    void DrawItem(HDC dc, int row, const RECT& rowRect);
    void DrawSelectionBand(HDC dc);
    BOOL AnimateScroll(int from, int to);
    BOOL AnimateStep();
    void StopAnimation();

    // ---- Rubber band and selection (ListInput.cpp) ----------------------------------------

    // Starts a band at a client point (the mouse handling decides when).
    void BeginBand(POINT point);
    void OnBandMove(POINT point);
    void SelectRowsInRect(const RECT& band);
    // One auto-scroll step of the band towards a client point; true when
    // the view moved.
    BOOL AutoScrollBand(POINT point);
    void EndBand();

    BOOL IsSelected(int row) const { return m_selection.IsSelected(row); }
    // Selects a row (and column position) as a click with these key flags
    // (MK_SHIFT, MK_CONTROL) would; false for a row outside the rows.
    BOOL SelectItem(int row, int position, UINT keyFlags);
    // Sorts the rows by the texts of the column at a display position, or
    // reverses them when that column is sorted already; 0 when sorting is
    // off or the header hidden.
    BOOL SortColumn(int position);
    const std::set<int>& GetSelection() const { return m_selection.rows; }
    void ClearSelection() { m_selection.Clear(); }
    // The focus row when selected, else the lowest selected row, else -1.
    int CurrentRow() const { return m_selection.CurrentRow(); }

    // ---- Cell editing (ListEditing.cpp) ---------------------------------------------------

    // Opens the editor that the cell's format asks for over the cell at a
    // row and display position; true also when nothing is to be edited.
    BOOL EditItem(int row, int position);

    // ---- Options ------------------------------------------------------------------------

    void ShowHeader(BOOL show);
    void SetUseThemes(BOOL use);
    void SetCellImageList(HIMAGELIST images) { m_options.cellImages = images; }
    void SetSingleSelect(BOOL single) { m_options.singleSelect = single; }
    void SetCellFocus(BOOL cellFocus) { m_options.cellFocus = cellFocus; }
    void SetSwipeSelect(BOOL swipe) { m_options.swipeSelect = swipe; }
    void SetSortable(BOOL sortable) { m_options.sortable = sortable; }
    // A bitmap behind the rows (owned by the caller), tiled or centred.
    void SetBackgroundImage(HBITMAP bitmap, BOOL tile);

    // ---- View state, read-only ------------------------------------------------------------

    const CListOptions& GetOptions() const { return m_options; }
    const CListGeometry& GetGeometry() const { return m_geometry; }
    const CListAnimation& GetAnimation() const { return m_animation; }
    const CListHeaderState& GetHeaderState() const { return m_header; }
    const CListDragState& GetDragState() const { return m_drag; }
    const CListInputState& GetInputState() const { return m_input; }
    const CListSelection& GetSelectionState() const { return m_selection; }
    const CListColours& GetColours() const { return m_colours; }
    // The child windows and the drag and drop (ListChildren.h).
    CListChildren& GetChildren() { return *m_children; }

protected:
    // ---- Row operations that the data class implements ----------------------
    // Without it (also while a destroyed data class's window still gets its
    // last messages) the list answers as a list without rows.

    // A row's cells and tip text; null out of range.
    virtual const CListRowBase* FindRowRecord(int) const { return nullptr; }
    // Appends a row made of record's cells and tip text; false without memory.
    virtual BOOL AppendRow(CListRowBase&&) { return FALSE; }
    // Removes a row in range.
    virtual void RemoveRow(int) {}
    // Puts the rows in a new order: order[i] is the index of the row that
    // goes to place i, every row once. False (nothing moved) without memory.
    virtual BOOL ReorderRows(const std::vector<int>&) { return FALSE; }

    // ---- View state, writable by derived classes --------------------------------

    CListGeometry& Geometry() { return m_geometry; }
    CListHeaderState& HeaderState() { return m_header; }
    CListDragState& DragState() { return m_drag; }
    CListInputState& InputState() { return m_input; }
    CListSelection& SelectionState() { return m_selection; }

    static const std::wstring& EmptyText();

private:
    // ---- Messages -------------------------------------------------------

    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnFocusChange(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSize(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnHScroll(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnVScroll(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnMouseWheel(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnSettingChange(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEndEdit(int, LPNMHDR header, BOOL&);
    LRESULT OnRelayToTooltip(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnControlColour(UINT message, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnRButtonUp(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnLButtonDown(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnLButtonUp(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnLButtonDblClk(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnRButtonDown(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnMouseMove(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnKeyDown(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnSysKeyDown(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnCancelMode(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled);

    // ---- Helpers --------------------------------------------------------

    void OnEditDelay();
    void ShowTitleTip(POINT point, int row, int position);
    void ToggleCell(int row, int position);
    void TypeAhead(wchar_t key);
    BOOL IsPlainClickInSelection(int row, UINT keyFlags) const;
    int CurrentColumn() const { return m_options.cellFocus && CurrentRow() != -1 ? m_selection.focusColumn : -1; }
    void InitialiseDragDrop();
    // The data is a header column of this list.
    BOOL IsOwnHeaderDrag(const FORMATETC& format, STGMEDIUM& medium);
    // Image, title and (when asked) sort arrow of one header button over rect.
    void DrawHeaderContent(HDC dc, int position, const RECT& rect, bool themed, bool withArrow = true);

    int TrackPosition(int bar) const;
    // A point packed as two signed 16-bit coordinates (mouse messages,
    // GetMessagePos).
    static POINT PointFromLParam(LPARAM packed)
    {
        return POINT{static_cast<short>(LOWORD(packed)), static_cast<short>(HIWORD(packed))};
    }
    bool IsColumn(int position) const { return position >= 0 && position < GetColumnCount(); }
    bool HasListFocus() const { return ::GetFocus() == m_hWnd || m_input.editing; }
    bool Themed() const { return m_options.useThemes && m_headerTheme; }
    int RowFromClientY(int y) const;
    SIZE ItemIconSize() const;
    SIZE CellIconSize() const;
    int TextHeight(LPCWSTR text);
    // An item image at (x, y), cut at clipRight and clipBottom.
    void DrawClippedImage(HDC dc, int image, int x, int y, int clipRight, int clipBottom);
    void DrawCheckImage(HDC dc, int image, const RECT& textRect, const RECT& cell);
    void DrawProgress(HDC dc, const RECT& cell, UINT flags, double percent);
    void DrawSelectionFrame(HDC dc, const RECT& rect, COLORREF outer, COLORREF inner);
    // Where a cell's text goes: 4 pixels in on both sides, one more on the
    // left in the first column (an image, when the cell shows one, comes
    // first and takes its width and 4 pixels).
    static RECT CellTextRect(const RECT& cell, int position);
    // A date cell's text as it shows: the user's short date and/or time.
    static std::wstring DateText(const std::wstring& text, UINT flags);
    void ResetHotCells();
    void HideTitleTip();

    // ---- State ----------------------------------------------------------

    CListOptions m_options;
    CListGeometry m_geometry;
    CListAnimation m_animation;
    CListHeaderState m_header;
    CListDragState m_drag;
    CListInputState m_input;
    CListSelection m_selection;
    CListColours m_colours{};
    CTheme m_headerTheme;
    CTheme m_progressTheme;
    HCURSOR m_dividerCursor = nullptr; // shared resource cursors: not freed
    HCURSOR m_handCursor = nullptr;
    CGdiObject<HFONT> m_listFont;
    CGdiObject<HFONT> m_linkFont;
    CGdiObject<HBITMAP> m_animationBitmap;
    CImageList m_itemImages;
    std::unique_ptr<CListChildren> m_children;
    std::vector<CListColumn> m_columns;
};
