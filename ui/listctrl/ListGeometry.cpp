// The list's set-up, message map, layout and scrolling.
#include "ui/listctrl/ListChildren.h"
#include "ui/listctrl/ListResources.h"
#include <algorithm>
#include <cwchar>

CListImpl::CListImpl() : m_children(std::make_unique<CListChildren>()) {}

CListImpl::~CListImpl()
{
    // The window goes first: its messages still reach this object.
    if (m_hWnd)
        DestroyWindow();
}

BOOL CListImpl::ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                     DWORD dwMsgMapID)
{
    BOOL bHandled = TRUE;
    (void)bHandled;
    switch (dwMsgMapID)
    {
    case 0:
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
        CHAIN_MSG_MAP(CDoubleBufferImpl<CListImpl>)
        REFLECT_NOTIFICATIONS()
        END_MSG_MAP()

        // ---- Set-up ----------------------------------------------------------------

        BOOL CListImpl::RegisterListClass()
        {
            return RegisterPlainWindowClass(L"ListCtrl", CS_DBLCLKS);
        }

        BOOL CListImpl::SubclassWindow(HWND hWnd)
        {
            return WindowBase::SubclassWindow(hWnd) && LoadResources();
        }

        BOOL CListImpl::LoadResources()
        {
            HINSTANCE instance = ::GetModuleHandleW(nullptr);
            if (!m_itemImages)
                m_itemImages.Reset(::ImageList_LoadImageW(instance, MAKEINTRESOURCEW(IDB_LISTITEMS), 16, 0,
                                                          RGB(255, 0, 255), IMAGE_BITMAP, LR_CREATEDIBSECTION));
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
            ModifyStyle(WS_BORDER, WS_CLIPCHILDREN, SWP_FRAMECHANGED);
            ModifyStyleEx(WS_EX_CLIENTEDGE, WS_EX_STATICEDGE, SWP_FRAMECHANGED);
            InitialiseDragDrop();
            CWindow& tooltip = m_children->tooltip;
            if (!tooltip.IsWindow())
            {
                tooltip.Create(TOOLTIPS_CLASSW, m_hWnd, RECT{}, nullptr, WS_POPUP);
                if (!tooltip.m_hWnd)
                    return FALSE;
                tooltip.SendMessage(TTM_SETMAXTIPWIDTH, 0, 32767);
            }
            CTitleTip& titleTip = m_children->titleTip;
            if (!titleTip.IsWindow() && !titleTip.Create(m_hWnd, TRUE))
                return FALSE;
            return TRUE;
        }

        BOOL CListImpl::Initialise()
        {
            m_colours.Load();
            m_drag.clipboardFormat = ::RegisterClipboardFormatW(L"HEADERCLIPBOARDFORMAT");
            UINT lines = 3;
            if (::SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0))
                m_geometry.wheelLines = lines;

            LOGFONTW font{};
            if (!GetListMessageFont(font))
                return FALSE;
            CGdiObject<HFONT> listFont(::CreateFontIndirectW(&font));
            font.lfUnderline = TRUE;
            CGdiObject<HFONT> linkFont(::CreateFontIndirectW(&font));
            if (!listFont || !linkFont)
                return FALSE;
            m_listFont = std::move(listFont);
            m_linkFont = std::move(linkFont);

            const int rowHeight = TextHeight(L"Height") + 6;
            CDropArrows& arrows = m_children->dropArrows;
            const bool remake = rowHeight != m_geometry.rowHeight || !arrows.m_hWnd;
            m_geometry.rowHeight = m_geometry.headerHeight = rowHeight;
            if (remake && m_hWnd && !arrows.Create(m_hWnd, m_geometry.headerHeight, TRUE))
                return FALSE;

            m_headerTheme.Reset();
            m_progressTheme.Reset();
            if (m_hWnd)
            {
                m_headerTheme.Reset(::OpenThemeData(m_hWnd, L"HEADER"));
                m_progressTheme.Reset(::OpenThemeData(m_hWnd, L"PROGRESS"));
            }
            return TRUE;
        }

        int CListImpl::TextHeight(LPCWSTR text)
        {
            const CClientDC dc(m_hWnd);
            SIZE extent{};
            CSelectObject font(dc.Get(), m_listFont.Get());
            ::GetTextExtentPoint32W(dc.Get(), text, static_cast<int>(std::wcslen(text)), &extent);
            return extent.cy;
        }

        namespace
        {

        SIZE IconSize(HIMAGELIST images)
        {
            int cx = 16, cy = 16;
            if (images)
                ::ImageList_GetIconSize(images, &cx, &cy);
            return SIZE{cx, cy};
        }

        } // namespace

        SIZE CListImpl::ItemIconSize() const
        {
            return IconSize(m_itemImages.Get());
        }
        SIZE CListImpl::CellIconSize() const
        {
            return IconSize(m_options.cellImages);
        }

        // ---- Options -----------------------------------------------------------------

        void CListImpl::ShowHeader(BOOL show)
        {
            m_options.showHeader = show;
            ResetScrollBars(SB_BOTH, -1, FALSE);
        }

        void CListImpl::SetUseThemes(BOOL use)
        {
            m_options.useThemes = use;
            if (m_hWnd)
                Invalidate();
        }

        void CListImpl::SetBackgroundImage(HBITMAP bitmap, BOOL tile)
        {
            m_options.background = bitmap;
            m_options.tileBackground = tile;
            if (m_hWnd)
                Invalidate();
        }

        // ---- Geometry ------------------------------------------------------------------

        int CListImpl::GetTotalWidth(BOOL recalculate)
        {
            if (recalculate)
            {
                m_geometry.totalWidth = 0;
                for (const CListColumn& column : m_columns)
                    m_geometry.totalWidth += column.width;
            }
            return m_geometry.totalWidth - 1;
        }

        BOOL CListImpl::SetColumnWidth(int position, int width)
        {
            if (!IsColumn(position))
                return FALSE;
            if (m_columns[position].fixed)
                return TRUE;
            m_columns[position].width = width;
            ResetScrollBars(SB_BOTH, -1, TRUE);
            Invalidate();
            return TRUE;
        }

        BOOL CListImpl::GetColumnRect(int position, RECT& rect)
        {
            if (!IsColumn(position))
                return FALSE;
            RECT client{};
            GetClientRect(&client);
            int left = 0;
            for (int i = 0; i < position; ++i)
                left += m_columns[i].width;
            const int scroll = GetScrollPos(SB_HORZ);
            rect = RECT{left - scroll, client.top, left + m_columns[position].width - scroll, GetHeaderHeight()};
            return TRUE;
        }

        BOOL CListImpl::GetItemRect(int row, int position, RECT& rect)
        {
            const int rowHeight = m_geometry.rowHeight;
            const int first = FirstVisibleRow();
            if (rowHeight <= 0 || row < first || row >= GetItemCount())
                return FALSE;
            RECT client{};
            GetClientRect(&client);
            const int area = client.bottom - GetHeaderHeight();
            const int visible = std::max<int>((area + rowHeight - 1) / rowHeight, 1);
            if (row >= first + visible)
                return FALSE;
            rect.top = (row - first) * rowHeight + GetHeaderHeight();
            rect.bottom = rect.top + rowHeight;
            rect.left = client.left;
            rect.right = std::min<LONG>(client.right, GetTotalWidth());
            if (position != -1)
            {
                RECT column{};
                if (!GetColumnRect(position, column))
                    return FALSE;
                rect.left = column.left;
                rect.right = column.right;
            }
            return TRUE;
        }

        BOOL CListImpl::InvalidateItem(int row, int position)
        {
            RECT rect{};
            return GetItemRect(row, position, rect) && InvalidateRect(&rect, TRUE);
        }

        BOOL CListImpl::IsItemVisible(int row, int position, BOOL partial)
        {
            const int rowHeight = m_geometry.rowHeight;
            const int first = FirstVisibleRow();
            if (rowHeight <= 0 || row < first || row >= GetItemCount())
                return FALSE;
            RECT client{};
            GetClientRect(&client);
            const int area = client.bottom - GetHeaderHeight();
            int visible = area / rowHeight;
            if (partial && area % rowHeight)
                ++visible;
            if (row >= first + std::max(visible, 1))
                return FALSE;
            if (m_options.cellFocus && position != -1)
            {
                RECT column{};
                if (!GetColumnRect(position, column))
                    return FALSE;
                if (column.left < client.left || column.right > client.right)
                    return FALSE;
            }
            return TRUE;
        }

        BOOL CListImpl::EnsureVisible(int row, int position)
        {
            const int rowHeight = m_geometry.rowHeight;
            if (row < 0 || row >= GetItemCount() || rowHeight <= 0)
                return FALSE;
            if (IsItemVisible(row, position, FALSE))
                return TRUE;
            HideTitleTip();
            RECT client{};
            GetClientRect(&client);
            const int first = FirstVisibleRow();
            const int area = client.bottom - GetHeaderHeight();
            if (row < first)
            {
                ResetScrollBars(SB_VERT, row * rowHeight, FALSE);
            }
            else if (row >= first + std::max(area / rowHeight, 1))
            {
                const int top = row - std::max(area / rowHeight, 1) + 1;
                ResetScrollBars(SB_VERT, top * rowHeight, FALSE);
            }
            RECT column{};
            if (m_options.cellFocus && position != -1 && GetColumnRect(position, column))
            {
                const int scroll = GetScrollPos(SB_HORZ);
                if (column.right - column.left > client.right - client.left || column.left < client.left)
                    ResetScrollBars(SB_HORZ, scroll + column.left - client.left, FALSE);
                else if (column.right > client.right)
                    ResetScrollBars(SB_HORZ, scroll + column.right - client.right, FALSE);
            }
            Invalidate();
            return TRUE;
        }

        BOOL CListImpl::HitTest(POINT point, int& row, int& position)
        {
            if (m_geometry.rowHeight <= 0 || point.y < GetHeaderHeight())
                return FALSE;
            row = (point.y - GetHeaderHeight()) / m_geometry.rowHeight + FirstVisibleRow();
            if (row < 0 || row >= GetItemCount())
                return FALSE;
            return HitTestColumns(m_columns, GetScrollPos(SB_HORZ), point.x, position);
        }

        void CListImpl::ResetScrollBars(int bars, int position, BOOL recalculate)
        {
            if (recalculate)
                GetTotalWidth(TRUE);
            if (!m_hWnd)
                return;
            RECT client{};
            GetClientRect(&client);
            if ((bars == SB_VERT || bars == SB_BOTH) && m_options.allowVertBar)
            {
                const int page = client.bottom - GetHeaderHeight();
                const int content = GetItemCount() * m_geometry.rowHeight + GetHeaderHeight();
                SCROLLINFO info{sizeof(info)};
                info.fMask = SIF_RANGE | SIF_PAGE | (position >= 0 ? SIF_POS : 0);
                info.nMax = content > page + GetHeaderHeight() ? content : 0;
                info.nPage = static_cast<UINT>(std::max(page, 0));
                info.nPos = position;
                SetScrollInfo(SB_VERT, &info, TRUE);
                m_geometry.vertBarShown = info.nMax > 0;
            }
            if ((bars == SB_HORZ || bars == SB_BOTH) && m_options.allowHorzBar)
            {
                GetClientRect(&client);
                const int total = GetTotalWidth();
                SCROLLINFO info{sizeof(info)};
                info.fMask = SIF_RANGE | SIF_PAGE | (position >= 0 ? SIF_POS : 0);
                info.nMax = client.right < total ? total : 0;
                info.nPage = static_cast<UINT>(std::max<LONG>(client.right, 0));
                info.nPos = position;
                SetScrollInfo(SB_HORZ, &info, TRUE);
                m_geometry.horzBarShown = info.nMax > static_cast<int>(info.nPage);
            }
            Invalidate();
        }

        int CListImpl::FirstVisibleRow() const
        {
            return m_geometry.rowHeight > 0 ? GetScrollPos(SB_VERT) / m_geometry.rowHeight : 0;
        }

        int CListImpl::RowFromClientY(int y) const
        {
            const int rowHeight = m_geometry.rowHeight;
            const int offset = y - GetHeaderHeight();
            // Rounds toward minus infinity, so a point above the rows is row -1.
            const int rows = offset >= 0 ? offset / rowHeight : -((-offset + rowHeight - 1) / rowHeight);
            return rows + FirstVisibleRow();
        }

        int CListImpl::TrackPosition(int bar) const
        {
            SCROLLINFO info{sizeof(info), SIF_TRACKPOS};
            GetScrollInfo(bar, &info);
            return info.nTrackPos;
        }

        // ---- Messages --------------------------------------------------------------------

        LRESULT CListImpl::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
        {
            return LoadResources() ? 0 : -1;
        }

        LRESULT CListImpl::OnDestroy(UINT, WPARAM, LPARAM, BOOL & handled)
        {
            StopAnimation();
            CListChildren& children = *m_children;
            if (children.tooltip.IsWindow())
                children.tooltip.DestroyWindow();
            children.tooltip.m_hWnd = nullptr;
            if (children.dropArrows.m_hWnd)
                children.dropArrows.DestroyWindow();
            for (CWindow* window : {static_cast<CWindow*>(&children.titleTip), static_cast<CWindow*>(&children.edit),
                                    static_cast<CWindow*>(&children.combo), static_cast<CWindow*>(&children.date)})
                if (window->IsWindow())
                    window->DestroyWindow();
            children.dragDrop.Revoke();
            m_headerTheme.Reset();
            m_progressTheme.Reset();
            handled = FALSE;
            return 0;
        }

        LRESULT CListImpl::OnFocusChange(UINT, WPARAM, LPARAM, BOOL&)
        {
            Invalidate();
            return 0;
        }

        LRESULT CListImpl::OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&)
        {
            return DLGC_WANTARROWS | DLGC_WANTTAB | DLGC_WANTCHARS;
        }

        LRESULT CListImpl::OnSize(UINT, WPARAM, LPARAM, BOOL&)
        {
            StopAnimation();
            if (m_input.editing)
                SetFocus();
            ResetScrollBars(SB_BOTH, -1, FALSE);
            return 0;
        }

        LRESULT CListImpl::OnHScroll(UINT, WPARAM wParam, LPARAM, BOOL&)
        {
            StopAnimation();
            if (m_input.editing)
                SetFocus();
            ResetHotCells();
            HideTitleTip();
            RECT client{};
            GetClientRect(&client);
            const int position = GetScrollPos(SB_HORZ);
            const int last = GetTotalWidth();
            int next = position;
            switch (LOWORD(wParam))
            {
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

        LRESULT CListImpl::OnVScroll(UINT, WPARAM wParam, LPARAM, BOOL&)
        {
            if (m_input.editing)
                SetFocus();
            HideTitleTip();
            RECT client{};
            GetClientRect(&client);
            const int rowHeight = m_geometry.rowHeight;
            const int page = client.bottom - GetHeaderHeight();
            const int position = GetScrollPos(SB_VERT);
            const int oldTop = FirstVisibleRow();
            int next = position;
            bool animate = false;
            switch (LOWORD(wParam))
            {
            case SB_LINEUP:
                next = std::max(position - rowHeight, 0);
                animate = true;
                break;
            case SB_LINEDOWN:
                next = position + rowHeight;
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
                next = GetItemCount() * rowHeight;
                break;
            case SB_ENDSCROLL:
                m_animation.animating = FALSE;
                return 0;
            default:
                return 0;
            }
            if (m_options.allowVertBar)
                ResetScrollBars(SB_VERT, next, FALSE);
            if (animate && m_options.smoothScroll && !m_animation.animating)
                m_animation.animating = AnimateScroll(oldTop, FirstVisibleRow());
            else
                StopAnimation();
            return 0;
        }

        LRESULT CListImpl::OnMouseWheel(UINT, WPARAM wParam, LPARAM, BOOL&)
        {
            ResetHotCells();
            HideTitleTip();
            if (m_input.editing)
                SetFocus();
            const int delta = GET_WHEEL_DELTA_WPARAM(wParam);
            const int lines = static_cast<int>(m_geometry.wheelLines) * delta / WHEEL_DELTA;
            const int position = GetScrollPos(SB_VERT) - lines * m_geometry.rowHeight;
            ResetScrollBars(SB_VERT, std::max(position, 0), FALSE);
            return 0;
        }

        LRESULT CListImpl::OnSettingChange(UINT, WPARAM, LPARAM, BOOL&)
        {
            Initialise();
            ResetScrollBars(SB_BOTH, -1, TRUE);
            Invalidate();
            return 0;
        }

        LRESULT CListImpl::OnControlColour(UINT message, WPARAM wParam, LPARAM lParam, BOOL&)
        {
            return DefWindowProc(message, wParam, lParam);
        }
