// The owner-drawn list: a window of class "ListCtrl" that draws its own
// header and rows. T is the data class (CListCtrlData) that holds the rows
// and answers GetItemCount, FindRow and FindCell.
#pragma once
#include "platform/DoubleBuffer.h"
#include "ui/listctrl/DragDrop.h"
#include "ui/listctrl/DropArrows.h"
#include "ui/listctrl/ListEditors.h"
#include "ui/listctrl/ListDraw.h"
#include "ui/listctrl/ListResources.h"
#include "ui/listctrl/ListTypes.h"
#include <commctrl.h>
#include <uxtheme.h>
#include <vssym32.h>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cwchar>
#include <new>
#include <set>

using CListImplTraits = CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0>;

template <class T>
class CListImpl : public CWindowImpl<T, CWindow, CListImplTraits>, public CDoubleBufferImpl<T>
{
    using WindowBase = CWindowImpl<T, CWindow, CListImplTraits>;

public:
    DECLARE_WND_CLASS(L"ListCtrl")

    // The class that dialog templates name, for lists that a dialog creates
    // and SubclassWindow then takes over.
    static BOOL RegisterListClass() { return RegisterPlainWindowClass(L"ListCtrl", CS_DBLCLKS); }

    ~CListImpl() override
    {
        // The window goes first: its messages still reach this object.
        if (this->m_hWnd)
            this->DestroyWindow();
        FreeResources();
    }

    BEGIN_MSG_MAP(CListImpl)
        MESSAGE_HANDLER(WM_CREATE, OnCreate)
        MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
        MESSAGE_HANDLER(WM_SETFOCUS, OnFocusChange)
        MESSAGE_HANDLER(WM_KILLFOCUS, OnFocusChange)
        MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
        MESSAGE_HANDLER(WM_SIZE, OnSize)
        MESSAGE_HANDLER(WM_HSCROLL, OnHScroll)
        MESSAGE_HANDLER(WM_VSCROLL, OnVScroll)
        MESSAGE_HANDLER(WM_CANCELMODE, OnCancelMode)
        MESSAGE_RANGE_HANDLER(WM_MOUSEMOVE, WM_MOUSELAST, OnRelayToTooltip)
        MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
        MESSAGE_HANDLER(WM_LBUTTONUP, OnLButtonUp)
        MESSAGE_HANDLER(WM_LBUTTONDBLCLK, OnLButtonDblClk)
        MESSAGE_HANDLER(WM_RBUTTONDOWN, OnRButtonDown)
        MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
        MESSAGE_HANDLER(WM_RBUTTONUP, OnRButtonUp)
        MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
        MESSAGE_HANDLER(WM_MOUSEWHEEL, OnMouseWheel)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
        MESSAGE_HANDLER(WM_KEYDOWN, OnKeyDown)
        MESSAGE_HANDLER(WM_SYSKEYDOWN, OnSysKeyDown)
        MESSAGE_HANDLER(WM_SETTINGCHANGE, OnSettingChange)
        MESSAGE_HANDLER(WM_SYSCOLORCHANGE, OnSettingChange)
        MESSAGE_HANDLER(WM_FONTCHANGE, OnSettingChange)
        MESSAGE_HANDLER(WM_THEMECHANGED, OnSettingChange)
        NOTIFY_CODE_HANDLER(LCN_ENDEDIT, OnEndEdit)
        MESSAGE_HANDLER(WM_CTLCOLOREDIT, OnControlColour)
        MESSAGE_HANDLER(WM_CTLCOLORLISTBOX, OnControlColour)
        CHAIN_MSG_MAP(CDoubleBufferImpl<T>)
        REFLECT_NOTIFICATIONS()
    END_MSG_MAP()

    // ---- Set-up -------------------------------------------------------

    BOOL SubclassWindow(HWND hWnd) { return WindowBase::SubclassWindow(hWnd) && LoadResources(); }

    BOOL LoadResources()
    {
        HINSTANCE instance = ::GetModuleHandleW(nullptr);
        if (!m_itemImages)
            m_itemImages = ::ImageList_LoadImageW(instance, MAKEINTRESOURCEW(IDB_LISTITEMS), 16, 0, RGB(255, 0, 255),
                                                  IMAGE_BITMAP, LR_CREATEDIBSECTION);
        if (!m_itemImages)
            return FALSE;
        if (!m_dividerCursor)
            m_dividerCursor = ::LoadCursorW(instance, MAKEINTRESOURCEW(IDC_LIST_DIVIDER));
        if (!m_handCursor)
            m_handCursor = ::LoadCursorW(instance, MAKEINTRESOURCEW(IDC_LIST_HAND));
        if (!m_dividerCursor || !m_handCursor)
            return FALSE;
        if (!Initialise())
            return FALSE;
        this->ModifyStyle(WS_BORDER, WS_CLIPCHILDREN, SWP_FRAMECHANGED);
        this->ModifyStyleEx(WS_EX_CLIENTEDGE, WS_EX_STATICEDGE, SWP_FRAMECHANGED);
        InitialiseDragDrop();
        if (!m_tooltip.IsWindow()) {
            m_tooltip.Create(TOOLTIPS_CLASSW, this->m_hWnd, RECT{}, nullptr, WS_POPUP);
            if (!m_tooltip.m_hWnd)
                return FALSE;
            m_tooltip.SendMessage(TTM_SETMAXTIPWIDTH, 0, 32767);
        }
        if (!m_titleTip.IsWindow() && !m_titleTip.Create(this->m_hWnd, TRUE))
            return FALSE;
        return TRUE;
    }

    BOOL Initialise()
    {
        m_colours.Load();
        m_headerClipboardFormat = ::RegisterClipboardFormatW(L"HEADERCLIPBOARDFORMAT");
        UINT lines = 3;
        if (::SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0))
            m_wheelLines = lines;

        LOGFONTW font{};
        if (!GetListMessageFont(font))
            return FALSE;
        HFONT listFont = ::CreateFontIndirectW(&font);
        font.lfUnderline = TRUE;
        HFONT linkFont = ::CreateFontIndirectW(&font);
        if (!listFont || !linkFont) {
            if (listFont)
                ::DeleteObject(listFont);
            if (linkFont)
                ::DeleteObject(linkFont);
            return FALSE;
        }
        FreeFonts();
        m_listFont = listFont;
        m_linkFont = linkFont;

        int rowHeight = TextHeight(L"Height") + 6;
        bool remake = rowHeight != m_rowHeight || !m_dropArrows.m_hWnd;
        m_rowHeight = m_headerHeight = rowHeight;
        if (remake && this->m_hWnd && !m_dropArrows.Create(this->m_hWnd, m_headerHeight, TRUE))
            return FALSE;

        CloseThemes();
        if (this->m_hWnd) {
            m_headerTheme = ::OpenThemeData(this->m_hWnd, L"HEADER");
            m_progressTheme = ::OpenThemeData(this->m_hWnd, L"PROGRESS");
        }
        return TRUE;
    }

    // ---- Columns (display positions unless said otherwise) ------------

    BOOL AddColumn(LPCWSTR title, int width, int image = -1, BOOL fixed = FALSE, UINT format = ITEM_FORMAT_NONE,
                   UINT flags = 0)
    {
        if (m_columns.size() >= kMaxListColumns)
            return FALSE;
        CListColumn column;
        try {
            column.title = title ? title : L"";
        } catch (const std::bad_alloc&) {
            return FALSE;
        }
        if (column.title.empty() && image != -1) {
            width = ItemIconSize().cx + 5;
            flags |= ITEM_FLAGS_CENTRE;
        }
        column.width = width;
        column.image = image;
        column.fixed = fixed;
        column.format = format;
        column.flags = NormaliseFlags(flags);
        column.id = static_cast<int>(m_columns.size());
        try {
            m_columns.push_back(std::move(column));
        } catch (const std::bad_alloc&) {
            return FALSE;
        }
        ResetScrollBars(SB_BOTH, -1, TRUE);
        return TRUE;
    }

    // Puts a column record at a position (at or beyond the count: appended).
    BOOL InsertColumn(int position, const CListColumn& column)
    {
        try {
            if (position < 0 || position >= GetColumnCount())
                m_columns.push_back(column);
            else
                m_columns.insert(m_columns.begin() + position, column);
        } catch (const std::bad_alloc&) {
            return FALSE;
        }
        return TRUE;
    }

    BOOL RemoveColumn(int position)
    {
        if (!IsColumn(position))
            return FALSE;
        m_columns.erase(m_columns.begin() + position);
        return TRUE;
    }

    int GetColumnCount() const { return static_cast<int>(m_columns.size()); }

    BOOL GetColumn(int position, CListColumn& column) const
    {
        if (!IsColumn(position))
            return FALSE;
        column = m_columns[position];
        return TRUE;
    }
    int GetColumnWidth(int position) const { return IsColumn(position) ? m_columns[position].width : 0; }
    int GetColumnId(int position) const { return IsColumn(position) ? m_columns[position].id : 0; }
    int FindColumn(int id) const
    {
        for (int position = 0; position < GetColumnCount(); ++position)
            if (m_columns[position].id == id)
                return position;
        return -1;
    }
    UINT GetColumnFormat(int position) const { return IsColumn(position) ? m_columns[position].format : 0; }
    UINT GetColumnFlags(int position) const { return IsColumn(position) ? m_columns[position].flags : 0; }
    BOOL GetColumnItems(int position, CListStrings& items) const
    {
        if (!IsColumn(position))
            return FALSE;
        items = m_columns[position].items;
        return !items.empty();
    }

    // ---- Cell lookups with the column fallback (row index, column id) --

    int GetItemImage(int row, int id) const
    {
        const CListCell* cell = Self()->FindCell(row, id);
        return cell ? cell->image : -1;
    }
    UINT GetItemFormat(int row, int id) const
    {
        const CListCell* cell = Self()->FindCell(row, id);
        if (!cell)
            return ITEM_FORMAT_NONE;
        return cell->format ? cell->format : GetColumnFormat(FindColumn(id));
    }
    UINT GetItemFlags(int row, int id) const
    {
        const CListCell* cell = Self()->FindCell(row, id);
        if (!cell)
            return 0;
        return cell->flags ? cell->flags : GetColumnFlags(FindColumn(id));
    }
    BOOL GetItemComboList(int row, int id, CListStrings& items) const
    {
        const CListCell* cell = Self()->FindCell(row, id);
        if (!cell)
            return FALSE;
        if (!cell->items.empty()) {
            items = cell->items;
            return TRUE;
        }
        return GetColumnItems(FindColumn(id), items);
    }
    HFONT GetItemFont(int row, int id) const
    {
        const CListCell* cell = Self()->FindCell(row, id);
        if (!cell)
            return nullptr;
        return cell->font ? cell->font : m_listFont;
    }
    BOOL GetItemColours(int row, int id, COLORREF& background, COLORREF& text) const
    {
        const CListCell* cell = Self()->FindCell(row, id);
        if (!cell)
            return FALSE;
        background = cell->background;
        text = cell->textColour;
        return TRUE;
    }
    BOOL GetItemDate(int row, int id, SYSTEMTIME& time) const
    {
        const CListCell* cell = Self()->FindCell(row, id);
        return ParseItemDate(cell ? cell->text : std::wstring(), time);
    }
    std::wstring GetItemTipText(int row) const
    {
        const auto* found = Self()->FindRow(row);
        return found ? found->tipText : std::wstring();
    }

    // ---- Geometry ---------------------------------------------------------

    int GetRowHeight() const { return m_rowHeight; }
    int GetHeaderHeight() const { return m_showHeader ? m_headerHeight : 0; }
    HFONT GetListFont() const { return m_listFont; }
    HIMAGELIST GetItemImageList() const { return m_itemImages; }

    int GetTotalWidth(BOOL recalculate = FALSE)
    {
        if (recalculate) {
            m_totalWidth = 0;
            for (const CListColumn& column : m_columns)
                m_totalWidth += column.width;
        }
        return m_totalWidth - 1;
    }

    BOOL SetColumnWidth(int position, int width)
    {
        if (!IsColumn(position))
            return FALSE;
        if (m_columns[position].fixed)
            return TRUE;
        m_columns[position].width = width;
        ResetScrollBars(SB_BOTH, -1, TRUE);
        this->Invalidate();
        return TRUE;
    }

    BOOL GetColumnRect(int position, RECT& rect)
    {
        if (!IsColumn(position))
            return FALSE;
        RECT client{};
        this->GetClientRect(&client);
        int left = 0;
        for (int i = 0; i < position; ++i)
            left += m_columns[i].width;
        int scroll = this->GetScrollPos(SB_HORZ);
        rect = RECT{left - scroll, client.top, left + m_columns[position].width - scroll, GetHeaderHeight()};
        return TRUE;
    }

    BOOL GetItemRect(int row, int position, RECT& rect)
    {
        int first = FirstVisibleRow();
        if (m_rowHeight <= 0 || row < first || row >= Self()->GetItemCount())
            return FALSE;
        RECT client{};
        this->GetClientRect(&client);
        int area = client.bottom - GetHeaderHeight();
        int visible = std::max<int>((area + m_rowHeight - 1) / m_rowHeight, 1);
        if (row >= first + visible)
            return FALSE;
        rect.top = (row - first) * m_rowHeight + GetHeaderHeight();
        rect.bottom = rect.top + m_rowHeight;
        rect.left = client.left;
        rect.right = std::min<LONG>(client.right, GetTotalWidth());
        if (position != -1) {
            RECT column{};
            if (!GetColumnRect(position, column))
                return FALSE;
            rect.left = column.left;
            rect.right = column.right;
        }
        return TRUE;
    }

    BOOL InvalidateItem(int row, int position = -1)
    {
        RECT rect{};
        return GetItemRect(row, position, rect) && this->InvalidateRect(&rect, TRUE);
    }

    BOOL IsItemVisible(int row, int position = -1, BOOL partial = FALSE)
    {
        int first = FirstVisibleRow();
        if (m_rowHeight <= 0 || row < first || row >= Self()->GetItemCount())
            return FALSE;
        RECT client{};
        this->GetClientRect(&client);
        int area = client.bottom - GetHeaderHeight();
        int visible = area / m_rowHeight;
        if (partial && area % m_rowHeight)
            ++visible;
        if (row >= first + std::max(visible, 1))
            return FALSE;
        if (m_cellFocus && position != -1) {
            RECT column{};
            if (!GetColumnRect(position, column))
                return FALSE;
            if (column.left < client.left || column.right > client.right)
                return FALSE;
        }
        return TRUE;
    }

    BOOL EnsureVisible(int row, int position = -1)
    {
        if (row < 0 || row >= Self()->GetItemCount() || m_rowHeight <= 0)
            return FALSE;
        if (IsItemVisible(row, position, FALSE))
            return TRUE;
        HideTitleTip();
        RECT client{};
        this->GetClientRect(&client);
        int first = FirstVisibleRow();
        int area = client.bottom - GetHeaderHeight();
        if (row < first) {
            ResetScrollBars(SB_VERT, row * m_rowHeight, FALSE);
        } else if (row >= first + std::max(area / m_rowHeight, 1)) {
            int top = row - std::max(area / m_rowHeight, 1) + 1;
            ResetScrollBars(SB_VERT, top * m_rowHeight, FALSE);
        }
        RECT column{};
        if (m_cellFocus && position != -1 && GetColumnRect(position, column)) {
            int scroll = this->GetScrollPos(SB_HORZ);
            if (column.right - column.left > client.right - client.left || column.left < client.left)
                ResetScrollBars(SB_HORZ, scroll + column.left - client.left, FALSE);
            else if (column.right > client.right)
                ResetScrollBars(SB_HORZ, scroll + column.right - client.right, FALSE);
        }
        this->Invalidate();
        return TRUE;
    }

    BOOL HitTest(POINT point, int& row, int& position)
    {
        if (m_rowHeight <= 0 || point.y < GetHeaderHeight())
            return FALSE;
        row = (point.y - GetHeaderHeight()) / m_rowHeight + FirstVisibleRow();
        if (row < 0 || row >= Self()->GetItemCount())
            return FALSE;
        int right = -this->GetScrollPos(SB_HORZ);
        for (position = 0; position < GetColumnCount(); ++position) {
            int left = right;
            right += m_columns[position].width;
            if (right > point.x && left < point.x)
                return TRUE;
        }
        return FALSE;
    }

    // bars: SB_HORZ, SB_VERT or SB_BOTH; a negative position keeps the
    // positions as they are.
    void ResetScrollBars(int bars = SB_BOTH, int position = -1, BOOL recalculate = TRUE)
    {
        if (recalculate)
            GetTotalWidth(TRUE);
        if (!this->m_hWnd)
            return;
        RECT client{};
        this->GetClientRect(&client);
        if ((bars == SB_VERT || bars == SB_BOTH) && m_allowVertBar) {
            int page = client.bottom - GetHeaderHeight();
            int content = Self()->GetItemCount() * m_rowHeight + GetHeaderHeight();
            SCROLLINFO info{sizeof(info)};
            info.fMask = SIF_RANGE | SIF_PAGE | (position >= 0 ? SIF_POS : 0);
            info.nMax = content > page + GetHeaderHeight() ? content : 0;
            info.nPage = static_cast<UINT>(std::max(page, 0));
            info.nPos = position;
            this->SetScrollInfo(SB_VERT, &info, TRUE);
            m_vertBarShown = info.nMax > 0;
        }
        if ((bars == SB_HORZ || bars == SB_BOTH) && m_allowHorzBar) {
            this->GetClientRect(&client);
            int total = GetTotalWidth();
            SCROLLINFO info{sizeof(info)};
            info.fMask = SIF_RANGE | SIF_PAGE | (position >= 0 ? SIF_POS : 0);
            info.nMax = client.right < total ? total : 0;
            info.nPage = static_cast<UINT>(std::max<LONG>(client.right, 0));
            info.nPos = position;
            this->SetScrollInfo(SB_HORZ, &info, TRUE);
            m_horzBarShown = info.nMax > static_cast<int>(info.nPage);
        }
        this->Invalidate();
    }

    int FirstVisibleRow() const
    {
        return m_rowHeight > 0 ? this->GetScrollPos(SB_VERT) / m_rowHeight : 0;
    }

    // ---- Notification ---------------------------------------------------

    LRESULT NotifyParent(int row, int position, int code)
    {
        ListNotify notify{};
        notify.header.hwndFrom = this->m_hWnd;
        notify.header.idFrom = static_cast<UINT_PTR>(this->GetDlgCtrlID());
        notify.header.code = static_cast<UINT>(code);
        notify.row = row;
        notify.column = GetColumnId(position);
        return ::SendMessageW(this->GetParent(), WM_NOTIFY, notify.header.idFrom, reinterpret_cast<LPARAM>(&notify));
    }

    // ---- Header -----------------------------------------------------------

    BOOL HitTestDivider(POINT point, int& position, UINT& bits)
    {
        bits = 0;
        if (!m_showHeader || point.y < 0 || point.y >= GetHeaderHeight())
            return FALSE;
        int right = -this->GetScrollPos(SB_HORZ);
        for (int i = 0; i < GetColumnCount(); ++i) {
            int width = m_columns[i].width;
            right += width;
            if (point.x >= right - 5 && point.x <= right + 4) {
                position = i;
                bits = 0x1;
                if (point.x < right) {
                    bits |= 0x2;
                } else if (i + 1 < GetColumnCount() - 1) {
                    while (position + 1 < GetColumnCount() && m_columns[position + 1].width == 0)
                        ++position;
                    bits |= 0x4;
                } else {
                    bits |= 0x2;
                }
                return TRUE;
            }
            if (right - width < point.x && point.x < right) {
                position = i;
                return TRUE;
            }
        }
        return FALSE;
    }

    // One step of a divider drag at screen x: tick 0 from a mouse move,
    // tick 1 from the shrink timer.
    void OnResizeColumn(int tick) { OnResizeColumn(tick, PointFromLParam(static_cast<LPARAM>(::GetMessagePos())).x); }

    void OnResizeColumn(int tick, int x)
    {
        ResetHotCells();
        HideTitleTip();
        RECT client{};
        this->GetClientRect(&client);
        int rightEnd = m_totalWidth - client.right - 1;
        int scroll = this->GetScrollPos(SB_HORZ);
        if (tick == 0) {
            int width = std::max(m_resizeStartWidth + (x - m_resizeStartX), 0);
            if (m_horzBarShown && scroll >= rightEnd && width < GetColumnWidth(m_resizedColumn)) {
                if (!m_shrinkTimerRunning) {
                    m_shrinkStartX = x;
                    this->SetTimer(TIMER_AUTOSCROLL_RESIZE, 20);
                    m_shrinkTimerRunning = TRUE;
                }
                return;
            }
            if (!m_shrinkTimerRunning)
                SetColumnWidth(m_resizedColumn, width);
            return;
        }
        if (m_resizingColumn && m_horzBarShown && x <= m_shrinkStartX) {
            if (x >= m_resizeStartX || scroll < rightEnd)
                return;
            int width = std::max(GetColumnWidth(m_resizedColumn) + (x - m_shrinkStartX), 0);
            m_resizeStartWidth = width;
            SetColumnWidth(m_resizedColumn, width);
            return;
        }
        this->KillTimer(TIMER_AUTOSCROLL_RESIZE);
        m_resizeStartX = x;
        m_shrinkTimerRunning = FALSE;
    }

    // Starts a divider drag of the column at position from screen x.
    void BeginResize(int position, int x)
    {
        m_resizingColumn = TRUE;
        m_resizedColumn = position;
        m_resizeStartX = x;
        m_resizeStartWidth = GetColumnWidth(position);
    }

    void ShowDropArrows(POINT point)
    {
        m_hotHeaderColumn = -1;
        m_dropPosition = -1;
        int position = -1;
        UINT bits = 0;
        RECT column{};
        if (HitTestDivider(point, position, bits) && GetColumnRect(position, column)) {
            m_hotHeaderColumn = position;
            m_dropPosition = point.x >= column.left + (column.right - column.left) / 2 ? position + 1 : position;
            if (m_dropPosition == m_draggedColumn || m_dropPosition == m_draggedColumn + 1)
                m_dropPosition = -1;
        }
        if (m_dropPosition == -1) {
            m_dropArrows.Hide();
            return;
        }
        POINT arrow{0, GetHeaderHeight() / 2};
        RECT edge{};
        if (m_dropPosition >= GetColumnCount()) {
            GetColumnRect(GetColumnCount() - 1, edge);
            arrow.x = edge.right;
        } else {
            GetColumnRect(m_dropPosition, edge);
            arrow.x = edge.left;
        }
        this->ClientToScreen(&arrow);
        m_dropArrows.Show(arrow);
    }

    // ---- Header drag and drop (ListDragDrop.h) -------------------------------

public:
    // Drags the pressed header column; a drop on this list moves it.
    void BeginHeaderDrag();
    // The drop target's callbacks (clipboard data in medium, client point).
    DWORD OnDragEnter(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point);
    DWORD OnDragOver(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point);
    BOOL OnDrop(FORMATETC& format, STGMEDIUM& medium, DWORD effect, POINT point);
    UINT GetHeaderClipboardFormat() const { return m_headerClipboardFormat; }

protected:
    void InitialiseDragDrop();
    // The data is a header column of this list.
    BOOL IsOwnHeaderDrag(const FORMATETC& format, STGMEDIUM& medium);

public:
    BOOL InvalidateHeader()
    {
        if (!m_showHeader)
            return TRUE;
        RECT rect{};
        this->GetClientRect(&rect);
        rect.bottom = GetHeaderHeight();
        return this->InvalidateRect(&rect, TRUE);
    }

    void DrawHeader(HDC dc)
    {
        RECT clip{};
        if (!m_showHeader || ::GetClipBox(dc, &clip) == ERROR || clip.top > GetHeaderHeight())
            return;
        RECT strip{};
        this->GetClientRect(&strip);
        strip.bottom = GetHeaderHeight();
        bool themed = m_useThemes && m_headerTheme;
        if (!themed)
            FillListRect(dc, strip, m_colours.headerFace);

        int x = -this->GetScrollPos(SB_HORZ);
        for (int position = 0; position < GetColumnCount(); ++position) {
            const CListColumn& column = m_columns[position];
            RECT rect{x, strip.top, x + column.width, strip.bottom};
            x += column.width;
            if (rect.right < clip.left)
                continue;
            if (rect.left > clip.right)
                break;
            int state = position == m_pressedColumn ? HIS_PRESSED : position == m_hotHeaderColumn ? HIS_HOT : HIS_NORMAL;
            if (themed) {
                ::DrawThemeBackground(m_headerTheme, dc, HP_HEADERITEM, state, &rect, nullptr);
            } else {
                if (position == m_pressedColumn)
                    FillListRect(dc, rect, m_colours.headerPressed);
                RECT line{rect.right - 1, rect.top + 4, rect.right, rect.bottom - 4};
                FillListRect(dc, line, m_colours.headerShadow);
                OffsetRect(&line, 1, 0);
                FillListRect(dc, line, m_colours.headerLight);
            }
            DrawHeaderContent(dc, position, rect, themed);
        }
        if (themed) {
            if (x < strip.right) {
                RECT rest{x, strip.top, strip.right + 2, strip.bottom};
                ::DrawThemeBackground(m_headerTheme, dc, HP_HEADERITEM, HIS_NORMAL, &rest, nullptr);
            }
        } else if (m_totalWidth > 0) {
            DrawListRaisedEdge(dc, strip, m_colours.headerLight, m_colours.headerShadow);
        }
    }

    // The picture of a dragged header column: a pressed button with its
    // image and title, the size of the column. Null when it cannot be made;
    // the caller deletes it.
    HBITMAP MakeHeaderDragImage(int position)
    {
        RECT column{};
        if (!GetColumnRect(position, column) || column.right <= column.left || column.bottom <= column.top)
            return nullptr;
        const RECT rect{0, 0, column.right - column.left, column.bottom - column.top};
        HDC windowDc = this->GetDC();
        HDC dc = ::CreateCompatibleDC(windowDc);
        HBITMAP bitmap = ::CreateCompatibleBitmap(windowDc, rect.right, rect.bottom);
        this->ReleaseDC(windowDc);
        if (dc && bitmap) {
            HGDIOBJ old = ::SelectObject(dc, bitmap);
            bool themed = m_useThemes && m_headerTheme;
            if (themed) {
                FillListRect(dc, rect, m_colours.window);
                ::DrawThemeBackground(m_headerTheme, dc, HP_HEADERITEM, HIS_PRESSED, &rect, nullptr);
            } else {
                FillListRect(dc, rect, m_colours.headerFace);
                DrawListRaisedEdge(dc, rect, m_colours.headerLight, m_colours.headerShadow);
            }
            DrawHeaderContent(dc, position, rect, themed, false);
            ::SelectObject(dc, old);
        } else if (bitmap) {
            ::DeleteObject(bitmap);
            bitmap = nullptr;
        }
        if (dc)
            ::DeleteDC(dc);
        return bitmap;
    }

    // Image, title and (when asked) sort arrow of one header button over rect.
    void DrawHeaderContent(HDC dc, int position, const RECT& rect, bool themed, bool withArrow = true)
    {
        const CListColumn& column = m_columns[position];
        const int width = rect.right - rect.left;
        RECT content = rect;
        OffsetRect(&content, 0, 1);
        content.left = rect.left + (position == 0 ? 4 : 3) + 4;
        content.right = rect.right - 5;
        bool arrow = m_sortable && width > 15 && !column.fixed && column.id == m_sortColumn;
        if (arrow)
            content.right -= 15;
        SIZE icon = ItemIconSize();
        if (column.image != -1 && m_itemImages) {
            int ix = content.left;
            if (column.title.empty())
                ix = content.left + (content.right - content.left) / 2 - icon.cx / 2 - (themed ? 1 : 0);
            int iy = content.top + (content.bottom - content.top) / 2 - icon.cy / 2;
            DrawClippedImage(dc, column.image, ix, iy, rect.left + width - 2, GetHeaderHeight());
            content.left += icon.cx + 4;
        }
        HGDIOBJ oldFont = ::SelectObject(dc, m_listFont);
        ::SetTextColor(dc, m_colours.headerText);
        ::SetBkMode(dc, TRANSPARENT);
        UINT align = (column.flags & ITEM_FLAGS_CENTRE) ? DT_CENTER : (column.flags & ITEM_FLAGS_RIGHT) ? DT_RIGHT : DT_LEFT;
        ::DrawTextW(dc, column.title.c_str(), static_cast<int>(column.title.size()), &content,
                    align | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
        ::SelectObject(dc, oldFont);
        if (arrow && withArrow && m_itemImages) {
            int ay = content.top + (content.bottom - content.top) / 2 - 3;
            DrawClippedImage(dc, m_sortAscending ? 1 : 0, content.right + 4, ay, rect.right, GetHeaderHeight());
        }
    }

    // ---- Painting ---------------------------------------------------------

    void DoPaint(HDC dc)
    {
        int saved = ::SaveDC(dc);
        DrawBackground(dc);
        DrawItems(dc);
        DrawSelectionBand(dc);
        DrawHeader(dc);
        ::RestoreDC(dc, saved);
    }

    void DrawBackground(HDC dc)
    {
        RECT clip{};
        ::GetClipBox(dc, &clip);
        FillListRect(dc, clip, m_colours.window);
        RECT client{};
        this->GetClientRect(&client);
        int below = client.bottom - GetHeaderHeight();
        if (!m_background || below <= 0)
            return;
        BITMAP info{};
        if (!::GetObjectW(m_background, sizeof(info), &info) || info.bmWidth <= 0 || info.bmHeight <= 0)
            return;
        HDC source = ::CreateCompatibleDC(dc);
        if (!source)
            return;
        HGDIOBJ old = ::SelectObject(source, m_background);
        if (m_tileBackground) {
            // The grid starts at the client's top, so it counts rows over the
            // whole client height: counted below the header only, a header
            // taller than the bitmap would leave the bottom uncovered.
            int rows = (client.bottom + info.bmHeight - 1) / info.bmHeight + 1;
            int columns = (client.right + info.bmWidth - 1) / info.bmWidth + 1;
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < columns; ++c)
                    ::BitBlt(dc, c * info.bmWidth, r * info.bmHeight, info.bmWidth, info.bmHeight, source, 0, 0, SRCCOPY);
        } else {
            int x = 0, width = client.right;
            if (info.bmWidth < client.right) {
                x = client.right / 2 - info.bmWidth / 2;
                width = info.bmWidth;
            }
            int y = GetHeaderHeight(), height = below;
            if (info.bmHeight + 16 < below) {
                y = below / 2 - (info.bmHeight + 16) / 2;
                height = info.bmHeight;
            }
            ::BitBlt(dc, x, y, width, height, source, 0, 0, SRCCOPY);
        }
        ::SelectObject(source, old);
        ::DeleteDC(source);
    }

    void DrawItems(HDC dc)
    {
        RECT clip{};
        if (::GetClipBox(dc, &clip) == ERROR || m_rowHeight <= 0)
            return;
        RECT row{-this->GetScrollPos(SB_HORZ), GetHeaderHeight(), GetTotalWidth(), GetHeaderHeight()};
        for (int index = FirstVisibleRow(); index < Self()->GetItemCount(); ++index) {
            row.bottom = row.top + m_rowHeight;
            if (row.bottom >= clip.top && row.right >= clip.left) {
                if (row.top > clip.bottom || row.left > clip.right)
                    break;
                DrawItem(dc, index, row);
            }
            row.top = row.bottom;
        }
    }

    void DrawItem(HDC dc, int row, const RECT& rowRect)
    {
        RECT clip{};
        if (::GetClipBox(dc, &clip) == ERROR)
            return;
        const int currentRow = CurrentRow();
        const int currentColumn = (m_cellFocus && currentRow != -1) ? m_focusColumn : -1;
        const bool selected = IsSelected(row);
        const bool themed = m_useThemes && m_headerTheme;
        const bool focused = HasListFocus();

        if (selected) {
            if (!themed) {
                FillListRect(dc, rowRect, m_colours.highlight);
            } else {
                const COLORREF* frame = focused ? m_colours.selectionFrameFocused : m_colours.selectionFrameUnfocused;
                const COLORREF* fill = focused ? m_colours.selectionFillFocused : m_colours.selectionFillUnfocused;
                DrawSelectionFrame(dc, rowRect, frame[0], frame[1]);
                RECT inner = rowRect;
                InflateRect(&inner, -2, -2);
                DrawGradient(dc, inner, fill[0], fill[1]);
            }
        }

        const SIZE cellIcon = CellIconSize();
        int left = rowRect.left;
        for (int position = 0; position < GetColumnCount(); ++position) {
            RECT cell{left, rowRect.top, left + m_columns[position].width - 1, rowRect.bottom};
            left = cell.right + 1;
            if (cell.right < clip.left || cell.right == cell.left)
                continue;
            if (cell.left > clip.right)
                break;
            const int id = m_columns[position].id;
            const CListCell* data = Self()->FindCell(row, id);
            const std::wstring& text = data ? data->text : EmptyText();
            const int image = GetItemImage(row, id);
            const UINT format = GetItemFormat(row, id);
            const UINT flags = GetItemFlags(row, id);
            if (format == ITEM_FORMAT_HIDDEN)
                break;
            const bool focusCell = m_cellFocus && row == currentRow && position == currentColumn;

            COLORREF background = m_colours.window, textColour = m_colours.cellText;
            if (!focusCell) {
                if (GetItemColours(row, id, background, textColour) && background != m_colours.window)
                    RoundListRect(dc, cell, background, background, 3);
            } else if (!themed) {
                if (m_editing) {
                    FillListRect(dc, cell, m_colours.window);
                    FrameListRect(dc, cell, m_colours.focusCellNoTheme);
                } else {
                    FillListRect(dc, cell, m_colours.focusCellNoTheme);
                }
            } else if (focused) {
                DrawSelectionFrame(dc, cell, m_colours.selectionFrameFocused[0], m_colours.selectionFrameFocused[1]);
                RECT inner = cell;
                InflateRect(&inner, -2, -2);
                if (m_editing)
                    FillListRect(dc, inner, m_colours.window);
                else
                    DrawGradient(dc, inner, m_colours.focusCellFill[0], m_colours.focusCellFill[1]);
            }

            RECT textRect = CellTextRect(cell, position);
            if (m_cellImages && image != -1 && !(focusCell && m_editing)) {
                int x = textRect.left;
                if (text.empty())
                    x = textRect.left + (textRect.right - textRect.left) / 2 - cellIcon.cx / 2 - (themed ? 1 : 0);
                int y = cell.top + (cell.bottom - cell.top) / 2 - cellIcon.cy / 2;
                int cx = std::min<int>(cellIcon.cx, cell.right - x), cy = std::min<int>(cellIcon.cy, cell.bottom - y);
                if (cx > 0 && cy > 0)
                    ::ImageList_DrawEx(m_cellImages, image, dc, x, y, cx, cy, CLR_DEFAULT, CLR_DEFAULT, ILD_TRANSPARENT);
                textRect.left += cellIcon.cx + 4;
            }
            if (IsRectEmpty(&textRect))
                continue;

            HGDIOBJ oldFont = ::SelectObject(dc, GetItemFont(row, id));
            if (focusCell)
                textColour = m_colours.cellText;
            else if (!themed && selected)
                textColour = m_colours.highlightText;
            ::SetTextColor(dc, textColour);
            ::SetBkMode(dc, TRANSPARENT);
            UINT drawFormat = (flags & ITEM_FLAGS_CENTRE) ? 0x8825 : (flags & ITEM_FLAGS_RIGHT) ? 0x8826 : 0x8824;

            switch (format) {
            case ITEM_FORMAT_DATETIME: {
                const std::wstring shown = DateText(text, flags);
                if (!shown.empty())
                    DrawCellText(dc, shown, textRect, drawFormat);
                break;
            }
            case ITEM_FORMAT_CHECKBOX:
                DrawCheckImage(dc, CheckBoxImage(text), textRect, cell);
                break;
            case ITEM_FORMAT_CHECKBOX3:
                DrawCheckImage(dc, ThreeStateImage(text), textRect, cell);
                break;
            case ITEM_FORMAT_HYPERLINK:
                if (row == m_hotRow && position == m_hotColumn && !(flags & ITEM_FLAGS_READ_ONLY)) {
                    ::SelectObject(dc, m_linkFont);
                    ::SetTextColor(dc, m_colours.link);
                }
                DrawCellText(dc, text, textRect, drawFormat);
                break;
            case ITEM_FORMAT_PROGRESS:
                DrawProgress(dc, cell, flags, ProgressPercent(text));
                break;
            default:
                DrawCellText(dc, text, textRect, drawFormat);
                break;
            }
            ::SelectObject(dc, oldFont);
        }
    }

    // Where a cell's text goes: 4 pixels in on both sides, one more on the
    // left in the first column (an image, when the cell shows one, comes
    // first and takes its width and 4 pixels).
    static RECT CellTextRect(const RECT& cell, int position)
    {
        RECT text = cell;
        text.left += position == 0 ? 4 : 3;
        InflateRect(&text, -4, 0);
        return text;
    }

    // A date cell's text as it shows: the user's short date and/or time.
    static std::wstring DateText(const std::wstring& text, UINT flags)
    {
        SYSTEMTIME time{};
        if (text.empty() || !ParseItemDate(text, time))
            return std::wstring();
        return (flags & ITEM_FLAGS_DATE_ONLY)   ? FormatDate(time)
               : (flags & ITEM_FLAGS_TIME_ONLY) ? FormatTime(time)
                                                : FormatDate(time) + L" " + FormatTime(time);
    }

    void DrawSelectionFrame(HDC dc, const RECT& rect, COLORREF outer, COLORREF inner)
    {
        DrawListSelectionFrame(dc, rect, outer, inner, m_colours.window);
    }
    void DrawGradient(HDC dc, const RECT& rect, COLORREF top, COLORREF bottom)
    {
        DrawListGradient(dc, rect, top, bottom);
    }

    void DrawSelectionBand(HDC dc)
    {
        if (!m_bandActive || IsRectEmpty(&m_bandRect))
            return;
        RECT band = m_bandRect;
        OffsetRect(&band, -this->GetScrollPos(SB_HORZ), -this->GetScrollPos(SB_VERT));
        RECT content{};
        this->GetClientRect(&content);
        content.top = GetHeaderHeight();
        RECT shown{};
        if (!IntersectRect(&shown, &band, &content))
            return;
        bool themed = m_useThemes && m_headerTheme;
        BlendListRect(dc, shown, themed ? m_colours.highlight : m_colours.focusCellNoTheme,
                      themed ? m_colours.highlight : m_colours.cellText);
    }

    // Widens or narrows a column to its title and texts; 0 for a fixed
    // column or when a text cannot be measured.
    int AutoSizeColumn(int position)
    {
        if (!IsColumn(position) || m_columns[position].fixed)
            return 0;
        HDC dc = this->GetDC();
        if (!dc)
            return 0;
        HGDIOBJ oldFont = ::SelectObject(dc, m_listFont);
        const CListColumn& column = m_columns[position];
        SIZE extent{};
        int width = 0;
        bool measured = ::GetTextExtentPoint32W(dc, column.title.c_str(), static_cast<int>(column.title.size()), &extent);
        if (measured) {
            width = extent.cx + 20;
            SIZE icon = CellIconSize();
            for (int row = 0; row < Self()->GetItemCount() && measured; ++row) {
                const CListCell* cell = Self()->FindCell(row, column.id);
                const std::wstring& text = cell ? cell->text : EmptyText();
                measured = ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
                int cellWidth = extent.cx + 20;
                if (m_cellImages && GetItemImage(row, column.id) != -1)
                    cellWidth += icon.cx;
                width = std::max(width, cellWidth);
            }
        }
        ::SelectObject(dc, oldFont);
        this->ReleaseDC(dc);
        if (!measured)
            return 0;
        SetColumnWidth(position, width);
        return width;
    }

    BOOL AnimateScroll(int from, int to)
    {
        if (from == to || m_rowHeight <= 0)
            return FALSE;
        int rows = std::abs(to - from);
        m_animationRemaining = rows * m_rowHeight;
        m_animationSteps = std::min(std::max(rows, 4), 8);
        m_animationStep = (m_animationRemaining - m_animationSteps) / m_animationSteps;
        m_animationDown = from < to;

        RECT client{};
        this->GetClientRect(&client);
        int visible = std::max<int>((client.bottom - GetHeaderHeight() + m_rowHeight - 1) / m_rowHeight, 1);
        int height = (rows + visible) * m_rowHeight;
        FreeAnimationBitmap();
        HDC windowDc = this->GetDC();
        HDC memory = ::CreateCompatibleDC(windowDc);
        m_animationBitmap = ::CreateCompatibleBitmap(windowDc, client.right, height);
        this->ReleaseDC(windowDc);
        if (memory && m_animationBitmap) {
            HGDIOBJ old = ::SelectObject(memory, m_animationBitmap);
            ::IntersectClipRect(memory, 0, 0, client.right, height);
            DrawBackground(memory);
            RECT row{-this->GetScrollPos(SB_HORZ), 0, GetTotalWidth(), 0};
            for (int index = std::min(from, to); index < Self()->GetItemCount() && row.top < height; ++index) {
                row.bottom = row.top + m_rowHeight;
                DrawItem(memory, index, row);
                row.top = row.bottom;
            }
            ::SelectObject(memory, old);
        }
        if (memory)
            ::DeleteDC(memory);
        m_animationVisibleRows = visible;
        AnimateStep();
        this->SetTimer(TIMER_SCROLL_ANIMATION, 20);
        return TRUE;
    }

    BOOL AnimateStep()
    {
        if (m_animationRemaining > m_animationSteps) {
            m_animationRemaining -= m_animationStep;
            if (m_animationRemaining < m_animationStep)
                m_animationRemaining = m_animationSteps;
        } else {
            m_animationRemaining -= 1;
        }
        if (!m_animationBitmap || m_animationRemaining < 0)
            return FALSE;
        BITMAP info{};
        ::GetObjectW(m_animationBitmap, sizeof(info), &info);
        RECT client{};
        this->GetClientRect(&client);
        int y = m_animationDown ? info.bmHeight - m_rowHeight * m_animationVisibleRows - m_animationRemaining
                                : m_animationRemaining;
        HDC windowDc = this->GetDC();
        HDC memory = ::CreateCompatibleDC(windowDc);
        if (memory) {
            HGDIOBJ old = ::SelectObject(memory, m_animationBitmap);
            ::BitBlt(windowDc, 0, GetHeaderHeight(), client.right, client.bottom - GetHeaderHeight(), memory, 0, y, SRCCOPY);
            ::SelectObject(memory, old);
            ::DeleteDC(memory);
        }
        this->ReleaseDC(windowDc);
        return TRUE;
    }

    void StopAnimation()
    {
        if (this->m_hWnd)
            this->KillTimer(TIMER_SCROLL_ANIMATION);
        FreeAnimationBitmap();
        m_animating = FALSE;
        if (this->m_hWnd)
            this->Invalidate();
    }

    // ---- Rubber band ------------------------------------------------------

    // Starts a band at a client point (the mouse handling decides when).
    void BeginBand(POINT point)
    {
        m_bandActive = TRUE;
        m_bandAnchor = POINT{point.x + this->GetScrollPos(SB_HORZ), point.y + this->GetScrollPos(SB_VERT)};
        SetRectEmpty(&m_bandRect);
    }

    void OnBandMove(POINT point)
    {
        ResetHotCells();
        HideTitleTip();
        POINT content{point.x + this->GetScrollPos(SB_HORZ), point.y + this->GetScrollPos(SB_VERT)};
        m_bandRect = RECT{std::min(m_bandAnchor.x, content.x), std::min(m_bandAnchor.y, content.y),
                          std::max(m_bandAnchor.x, content.x), std::max(m_bandAnchor.y, content.y)};
        if (IsRectEmpty(&m_bandRect))
            return;
        SelectRowsInRect(m_bandRect);
        this->SetTimer(TIMER_AUTOSCROLL_SELECT, 20);
        DWORD now = ::GetTickCount();
        if (now - m_lastBandScroll > 10 && AutoScrollBand(point))
            m_lastBandScroll = now;
        this->RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }

    void SelectRowsInRect(const RECT& band)
    {
        m_selection.clear();
        int first = -1, last = -1;
        if (band.left < GetTotalWidth() && m_rowHeight > 0) {
            int scroll = this->GetScrollPos(SB_VERT);
            int top = RowFromClientY(band.top - scroll);
            int bottom = RowFromClientY(band.bottom - scroll);
            int count = Self()->GetItemCount();
            for (int row = std::max(top, 0); row <= bottom && row < count; ++row) {
                m_selection.insert(row);
                if (first == -1)
                    first = row;
                last = row;
            }
        }
        if (last != -1) {
            m_focusRow = last;
            m_focusColumn = -1;
        }
        m_anchorRow = first;
    }

    // One auto-scroll step of the band towards a client point; true when
    // the view moved.
    BOOL AutoScrollBand(POINT point)
    {
        RECT client{};
        this->GetClientRect(&client);
        BOOL scrolled = FALSE;
        int vertical = this->GetScrollPos(SB_VERT);
        if (point.y < GetHeaderHeight()) {
            this->SendMessage(WM_VSCROLL, SB_LINEUP);
            int now = this->GetScrollPos(SB_VERT);
            if (now != vertical) {
                scrolled = TRUE;
                m_bandRect.top = now + GetHeaderHeight() - 1;
                m_bandRect.bottom = std::max<LONG>(m_bandAnchor.y, now + point.y - 1);
            }
        } else if (point.y > client.bottom) {
            this->SendMessage(WM_VSCROLL, SB_LINEDOWN);
            int now = this->GetScrollPos(SB_VERT);
            if (now != vertical) {
                scrolled = TRUE;
                m_bandRect.top = std::min<LONG>(m_bandAnchor.y, now + point.y + 1);
                m_bandRect.bottom = now + client.bottom + 1;
            }
        }
        int horizontal = this->GetScrollPos(SB_HORZ);
        if (point.x < client.left) {
            this->SendMessage(WM_HSCROLL, SB_LINELEFT);
            int now = this->GetScrollPos(SB_HORZ);
            if (now != horizontal) {
                scrolled = TRUE;
                m_bandRect.left = now + client.left - 1;
                m_bandRect.right = std::max<LONG>(m_bandAnchor.x, now + point.x - 1);
            }
        } else if (point.x > client.right) {
            this->SendMessage(WM_HSCROLL, SB_LINERIGHT);
            int now = this->GetScrollPos(SB_HORZ);
            if (now != horizontal) {
                scrolled = TRUE;
                m_bandRect.left = std::min<LONG>(m_bandAnchor.x, now + point.x + 1);
                m_bandRect.right = now + client.right + 1;
            }
        }
        return scrolled;
    }

    void EndBand()
    {
        m_bandActive = FALSE;
        SetRectEmpty(&m_bandRect);
        if (this->m_hWnd) {
            this->KillTimer(TIMER_AUTOSCROLL_SELECT);
            this->Invalidate();
        }
    }

    // ---- Selection state (the mouse and keys drive it) ---------------------

    BOOL IsSelected(int row) const { return m_selection.count(row) != 0; }
    // Selects a row (and column position) as a click with these key flags
    // (MK_SHIFT, MK_CONTROL) would; false for a row outside the rows.
    BOOL SelectItem(int row, int position, UINT keyFlags);
    // Sorts the rows by the texts of the column at a display position, or
    // reverses them when that column is sorted already; 0 when sorting is
    // off or the header hidden.
    BOOL SortColumn(int position);
    const std::set<int>& GetSelection() const { return m_selection; }
    void ClearSelection()
    {
        m_selection.clear();
        m_anchorRow = m_focusRow = m_focusColumn = -1;
    }
    // The focus row when selected, else the lowest selected row, else -1.
    int CurrentRow() const
    {
        if (m_focusRow != -1 && IsSelected(m_focusRow))
            return m_focusRow;
        return m_selection.empty() ? -1 : *m_selection.begin();
    }

    // ---- Cell editing (bodies in ListEditing.h) ------------------------------

    // Opens the editor that the cell's format asks for over the cell at a
    // row and display position; true also when nothing is to be edited.
    BOOL EditItem(int row, int position);

    // ---- Options ------------------------------------------------------------

    void ShowHeader(BOOL show)
    {
        m_showHeader = show;
        ResetScrollBars(SB_BOTH, -1, FALSE);
    }
    void SetUseThemes(BOOL use)
    {
        m_useThemes = use;
        if (this->m_hWnd)
            this->Invalidate();
    }
    void SetCellImageList(HIMAGELIST images) { m_cellImages = images; }
    void SetSingleSelect(BOOL single) { m_singleSelect = single; }
    void SetCellFocus(BOOL cellFocus) { m_cellFocus = cellFocus; }
    void SetSwipeSelect(BOOL swipe) { m_swipeSelect = swipe; }
    void SetSortable(BOOL sortable) { m_sortable = sortable; }
    // A bitmap behind the rows (owned by the caller), tiled or centred.
    void SetBackgroundImage(HBITMAP bitmap, BOOL tile)
    {
        m_background = bitmap;
        m_tileBackground = tile;
        if (this->m_hWnd)
            this->Invalidate();
    }

protected:
    // ---- Messages -------------------------------------------------------

    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&) { return LoadResources() ? 0 : -1; }

    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
    {
        StopAnimation();
        if (m_tooltip.IsWindow())
            m_tooltip.DestroyWindow();
        m_tooltip.m_hWnd = nullptr;
        if (m_dropArrows.m_hWnd)
            m_dropArrows.DestroyWindow();
        for (CWindow* window : {static_cast<CWindow*>(&m_titleTip), static_cast<CWindow*>(&m_listEdit),
                                static_cast<CWindow*>(&m_listCombo), static_cast<CWindow*>(&m_listDate)})
            if (window->IsWindow())
                window->DestroyWindow();
        m_dragDrop.Revoke();
        CloseThemes();
        handled = FALSE;
        return 0;
    }

    LRESULT OnFocusChange(UINT, WPARAM, LPARAM, BOOL&)
    {
        this->Invalidate();
        return 0;
    }

    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&) { return DLGC_WANTARROWS | DLGC_WANTTAB | DLGC_WANTCHARS; }

    LRESULT OnSize(UINT, WPARAM, LPARAM, BOOL&)
    {
        StopAnimation();
        if (m_editing)
            this->SetFocus();
        ResetScrollBars(SB_BOTH, -1, FALSE);
        return 0;
    }

    LRESULT OnHScroll(UINT, WPARAM wParam, LPARAM, BOOL&)
    {
        StopAnimation();
        if (m_editing)
            this->SetFocus();
        ResetHotCells();
        HideTitleTip();
        RECT client{};
        this->GetClientRect(&client);
        const int position = this->GetScrollPos(SB_HORZ);
        const int last = GetTotalWidth();
        int next = position;
        switch (LOWORD(wParam)) {
        case SB_LINELEFT:
            next = std::max(position - 5, 0);
            break;
        case SB_LINERIGHT:
            next = std::min(position + 5, last);
            break;
        case SB_PAGELEFT:
            next = std::max<int>(position - client.right, 0);
            break;
        case SB_PAGERIGHT:
            next = std::min<int>(position + client.right, last);
            break;
        case SB_THUMBPOSITION:
        case SB_THUMBTRACK:
            next = TrackPosition(SB_HORZ);
            if (next == position)
                return 0;
            break;
        case SB_LEFT:
            next = 0;
            break;
        case SB_RIGHT:
            next = last;
            break;
        default:
            return 0;
        }
        ResetScrollBars(SB_HORZ, next, FALSE);
        return 0;
    }

    LRESULT OnVScroll(UINT, WPARAM wParam, LPARAM, BOOL&)
    {
        if (m_editing)
            this->SetFocus();
        HideTitleTip();
        RECT client{};
        this->GetClientRect(&client);
        const int page = client.bottom - GetHeaderHeight();
        const int position = this->GetScrollPos(SB_VERT);
        const int oldTop = FirstVisibleRow();
        int next = position;
        bool animate = false;
        switch (LOWORD(wParam)) {
        case SB_LINEUP:
            next = std::max(position - m_rowHeight, 0);
            animate = true;
            break;
        case SB_LINEDOWN:
            next = position + m_rowHeight;
            animate = true;
            break;
        case SB_PAGEUP:
            next = std::max(position - page, 0);
            animate = true;
            break;
        case SB_PAGEDOWN:
            next = position + page;
            animate = true;
            break;
        case SB_THUMBPOSITION:
        case SB_THUMBTRACK:
            next = TrackPosition(SB_VERT);
            if (next == position)
                return 0;
            break;
        case SB_TOP:
            next = 0;
            break;
        case SB_BOTTOM:
            next = Self()->GetItemCount() * m_rowHeight;
            break;
        case SB_ENDSCROLL:
            m_animating = FALSE;
            return 0;
        default:
            return 0;
        }
        if (m_allowVertBar)
            ResetScrollBars(SB_VERT, next, FALSE);
        if (animate && m_smoothScroll && !m_animating)
            m_animating = AnimateScroll(oldTop, FirstVisibleRow());
        else
            StopAnimation();
        return 0;
    }

    LRESULT OnMouseWheel(UINT, WPARAM wParam, LPARAM, BOOL&)
    {
        ResetHotCells();
        HideTitleTip();
        if (m_editing)
            this->SetFocus();
        int delta = GET_WHEEL_DELTA_WPARAM(wParam);
        int lines = static_cast<int>(m_wheelLines) * delta / WHEEL_DELTA;
        int position = this->GetScrollPos(SB_VERT) - lines * m_rowHeight;
        ResetScrollBars(SB_VERT, std::max(position, 0), FALSE);
        return 0;
    }

    LRESULT OnSettingChange(UINT, WPARAM, LPARAM, BOOL&)
    {
        Initialise();
        ResetScrollBars(SB_BOTH, -1, TRUE);
        this->Invalidate();
        return 0;
    }

    LRESULT OnEndEdit(int, LPNMHDR header, BOOL&);
    LRESULT OnRelayToTooltip(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnControlColour(UINT message, WPARAM wParam, LPARAM lParam, BOOL&)
    {
        return this->DefWindowProc(message, wParam, lParam);
    }

    LRESULT OnRButtonUp(UINT, WPARAM, LPARAM lParam, BOOL&)
    {
        POINT point = PointFromLParam(lParam);
        int row = -1, position = -1;
        if (!HitTest(point, row, position)) {
            ClearSelection();
            this->Invalidate();
        }
        NotifyParent(row, position, LCN_RIGHTCLICK);
        return 0;
    }

    // Mouse and keys (bodies in ListInput.h).
    LRESULT OnLButtonDown(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnLButtonUp(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnLButtonDblClk(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnRButtonDown(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnMouseMove(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnKeyDown(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnSysKeyDown(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnCancelMode(UINT, WPARAM, LPARAM, BOOL&);

    void OnEditDelay();
    void ShowTitleTip(POINT point, int row, int position);
    void ToggleCell(int row, int position);
    void TypeAhead(wchar_t key);
    BOOL IsPlainClickInSelection(int row, UINT keyFlags) const;
    int CurrentColumn() const { return m_cellFocus && CurrentRow() != -1 ? m_focusColumn : -1; }


    LRESULT OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled)
    {
        switch (wParam) {
        case TIMER_AUTOSCROLL_RESIZE:
            OnResizeColumn(1);
            break;
        case TIMER_AUTOSCROLL_SELECT:
            if (m_bandActive) {
                POINT point = PointFromLParam(static_cast<LPARAM>(::GetMessagePos()));
                this->ScreenToClient(&point);
                AutoScrollBand(point);
                SelectRowsInRect(m_bandRect);
            } else {
                this->KillTimer(TIMER_AUTOSCROLL_SELECT);
            }
            break;
        case TIMER_EDIT_DELAY:
            OnEditDelay();
            break;
        case TIMER_SCROLL_ANIMATION:
            if (!AnimateStep())
                StopAnimation();
            break;
        default:
            handled = FALSE;
            break;
        }
        return 0;
    }

    // ---- Helpers --------------------------------------------------------

    int TrackPosition(int bar) const
    {
        SCROLLINFO info{sizeof(info), SIF_TRACKPOS};
        this->GetScrollInfo(bar, &info);
        return info.nTrackPos;
    }

    // A point packed as two signed 16-bit coordinates (mouse messages,
    // GetMessagePos).
    static POINT PointFromLParam(LPARAM packed)
    {
        return POINT{static_cast<short>(LOWORD(packed)), static_cast<short>(HIWORD(packed))};
    }

    const T* Self() const { return static_cast<const T*>(this); }
    T* Self() { return static_cast<T*>(this); }

    bool IsColumn(int position) const { return position >= 0 && position < GetColumnCount(); }

    static const std::wstring& EmptyText()
    {
        static const std::wstring empty;
        return empty;
    }

    bool HasListFocus() const { return ::GetFocus() == this->m_hWnd || m_editing; }

    int RowFromClientY(int y) const
    {
        int offset = y - GetHeaderHeight();
        // Rounds toward minus infinity, so a point above the rows is row -1.
        int rows = offset >= 0 ? offset / m_rowHeight : -((-offset + m_rowHeight - 1) / m_rowHeight);
        return rows + FirstVisibleRow();
    }

    SIZE ItemIconSize() const { return IconSize(m_itemImages); }
    SIZE CellIconSize() const { return IconSize(m_cellImages); }
    static SIZE IconSize(HIMAGELIST images)
    {
        int cx = 16, cy = 16;
        if (images)
            ::ImageList_GetIconSize(images, &cx, &cy);
        return SIZE{cx, cy};
    }

    int TextHeight(LPCWSTR text)
    {
        HDC dc = ::GetDC(this->m_hWnd);
        HGDIOBJ old = ::SelectObject(dc, m_listFont);
        SIZE extent{};
        ::GetTextExtentPoint32W(dc, text, static_cast<int>(std::wcslen(text)), &extent);
        ::SelectObject(dc, old);
        ::ReleaseDC(this->m_hWnd, dc);
        return extent.cy;
    }

    // An item image at (x, y), cut at clipRight and clipBottom.
    void DrawClippedImage(HDC dc, int image, int x, int y, int clipRight, int clipBottom)
    {
        SIZE icon = ItemIconSize();
        int cx = std::min<int>(icon.cx, clipRight - x), cy = std::min<int>(icon.cy, clipBottom - y);
        if (cx > 0 && cy > 0)
            ::ImageList_DrawEx(m_itemImages, image, dc, x, y, cx, cy, CLR_DEFAULT, CLR_DEFAULT, ILD_TRANSPARENT);
    }

    void DrawCheckImage(HDC dc, int image, const RECT& textRect, const RECT& cell)
    {
        SIZE icon = ItemIconSize();
        int x = textRect.left + (textRect.right - textRect.left) / 2 - icon.cx / 2 - 1;
        int y = cell.top + (cell.bottom - cell.top) / 2 - icon.cy / 2;
        if (m_itemImages)
            DrawClippedImage(dc, image, x, y, cell.right, cell.bottom);
    }

    static void DrawCellText(HDC dc, const std::wstring& text, RECT rect, UINT format)
    {
        if (!text.empty())
            ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, format);
    }

    static int CheckBoxImage(const std::wstring& text) { return std::wcstol(text.c_str(), nullptr, 10) < 1 ? 2 : 3; }
    static int ThreeStateImage(const std::wstring& text)
    {
        long value = std::wcstol(text.c_str(), nullptr, 10);
        return value < 0 ? 5 : value == 0 ? 2 : 4;
    }
    static double ProgressPercent(const std::wstring& text)
    {
        double value = std::wcstod(text.c_str(), nullptr);
        if (!(value > 0)) // also a text that is no number (NaN)
            return 0;
        return std::min(value, 100.0);
    }

    void DrawProgress(HDC dc, const RECT& cell, UINT flags, double percent)
    {
        RECT bar = cell;
        InflateRect(&bar, -3, -2);
        if (m_useThemes && m_progressTheme && !(flags & ITEM_FLAGS_PROGRESS_SOLID)) {
            ::DrawThemeBackground(m_progressTheme, dc, PP_BAR, 0, &bar, nullptr);
            RECT chunk{bar.left + 3, bar.top + 3, bar.right - 2, bar.bottom - 3};
            chunk.right = chunk.left + static_cast<int>((chunk.right - chunk.left) * percent / 100);
            ::DrawThemeBackground(m_progressTheme, dc, PP_CHUNK, 0, &chunk, nullptr);
            return;
        }
        DrawSelectionFrame(dc, bar, m_colours.headerShadow, m_colours.headerFace);
        InflateRect(&bar, -3, -3);
        bar.right = bar.left + static_cast<int>((bar.right - bar.left) * percent / 100);
        DrawGradient(dc, bar, m_colours.progressFill[0], m_colours.progressFill[1]);
    }

    void ResetHotCells()
    {
        m_hotRow = m_hotColumn = -1;
        m_tipRow = m_tipColumn = -1;
    }

    void HideTitleTip()
    {
        m_tipRow = m_tipColumn = -1;
        m_titleTip.Hide();
    }

    void FreeAnimationBitmap()
    {
        if (m_animationBitmap)
            ::DeleteObject(m_animationBitmap);
        m_animationBitmap = nullptr;
    }

    void FreeFonts()
    {
        if (m_listFont)
            ::DeleteObject(m_listFont);
        if (m_linkFont)
            ::DeleteObject(m_linkFont);
        m_listFont = m_linkFont = nullptr;
    }

    void CloseThemes()
    {
        if (m_headerTheme)
            ::CloseThemeData(m_headerTheme);
        if (m_progressTheme)
            ::CloseThemeData(m_progressTheme);
        m_headerTheme = m_progressTheme = nullptr;
    }

    void FreeResources()
    {
        m_selection.clear();
        m_columns.clear();
        CloseThemes();
        FreeFonts();
        FreeAnimationBitmap();
        if (m_itemImages)
            ::ImageList_Destroy(m_itemImages);
        m_itemImages = nullptr;
        // Cursors loaded from resources are shared and need no freeing.
        m_dividerCursor = m_handCursor = nullptr;
    }

    // ---- View state -------------------------------------------------------

    UINT m_showHeader = TRUE;
    UINT m_useThemes = TRUE;
    UINT m_sortable = TRUE;
    UINT m_sortAscending = TRUE;
    UINT m_headerCaptured = FALSE;
    UINT m_resizingColumn = FALSE;
    UINT m_cellFocus = FALSE;
    UINT m_bandActive = FALSE;
    UINT m_allowHorzBar = TRUE;
    UINT m_allowVertBar = TRUE;
    UINT m_horzBarShown = FALSE;
    UINT m_vertBarShown = FALSE;
    UINT m_shrinkTimerRunning = FALSE;
    UINT m_editing = FALSE;
    UINT m_smoothScroll = TRUE;
    UINT m_singleSelect = FALSE;
    UINT m_swipeSelect = FALSE;
    UINT m_buttonDown = FALSE;
    UINT m_mouseTracking = FALSE;
    UINT m_dragArmed = FALSE;
    POINT m_pressPoint{};
    std::wstring m_typeAhead;
    DWORD m_typeAheadTime = 0;
    POINT m_bandAnchor{};
    RECT m_bandRect{};
    int m_rowHeight = 0;
    int m_headerHeight = 0;
    int m_anchorRow = -1;
    int m_focusRow = -1;
    int m_focusColumn = -1;
    int m_hotRow = -1;
    int m_hotColumn = -1;
    int m_tipRow = -1;
    int m_tipColumn = -1;
    UINT m_wheelLines = 3;
    int m_totalWidth = 0;
    int m_sortColumn = -1;
    int m_draggedColumn = -1;
    int m_pressedColumn = -1;
    int m_hotHeaderColumn = -1;
    int m_dropPosition = -1;
    int m_resizedColumn = -1;
    int m_resizeStartX = 0;
    int m_resizeStartWidth = 0;
    int m_shrinkStartX = 0;
    DWORD m_lastBandScroll = 0;
    HBITMAP m_animationBitmap = nullptr;
    int m_animationRemaining = 0;
    int m_animationStep = 0;
    int m_animationSteps = 0;
    int m_animationVisibleRows = 0;
    BOOL m_animationDown = FALSE;
    BOOL m_animating = FALSE;
    UINT m_headerClipboardFormat = 0;
    CListColours m_colours{};
    HTHEME m_headerTheme = nullptr;
    HTHEME m_progressTheme = nullptr;
    HCURSOR m_dividerCursor = nullptr;
    HCURSOR m_handCursor = nullptr;
    HFONT m_listFont = nullptr;
    HFONT m_linkFont = nullptr;
    HIMAGELIST m_itemImages = nullptr;
    HIMAGELIST m_cellImages = nullptr;
    CDragDrop<T> m_dragDrop;
    HBITMAP m_background = nullptr;
    BOOL m_tileBackground = FALSE;
    CWindow m_tooltip;
    CDropArrows m_dropArrows;
    CTitleTip m_titleTip;
    CListEdit m_listEdit;
    CListCombo m_listCombo;
    CListDate m_listDate;
    std::vector<CListColumn> m_columns;
    std::set<int> m_selection;
};

#include "ui/listctrl/ListEditing.h"
#include "ui/listctrl/ListInput.h"
#include "ui/listctrl/ListSort.h"
#include "ui/listctrl/ListDragDrop.h"
