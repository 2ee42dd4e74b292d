#include "ui/listctrl/ListEditors.h"
#include "platform/DoubleBuffer.h"
#include "ui/listctrl/ListDraw.h"
#include <vssym32.h>
#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace
{

std::wstring WindowText(HWND window)
{
    int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
    length = ::GetWindowTextW(window, &text[0], static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(std::max(length, 0)));
    return text;
}

// The scan of a candidate text: where the signs, operators and the first
// digit stand. False as soon as a character is refused.
bool ScanCandidate(UINT flags, const std::wstring& candidate)
{
    int minus = -1, firstDigit = -1, less = -1, equal = -1, greater = -1;
    int dots = 0, lessCount = 0, equalCount = 0, greaterCount = 0;
    const bool real = (flags & ITEM_FLAGS_EDIT_FLOAT) != 0;
    const bool operators = (flags & ITEM_FLAGS_EDIT_OPERATOR) != 0;
    for (size_t i = 0; i < candidate.size(); ++i)
    {
        const wchar_t c = candidate[i];
        const int at = static_cast<int>(i);
        if (c == L'-')
        {
            minus = at;
        }
        else if (c == L'.')
        {
            if (!real)
                return false;
            ++dots;
        }
        else if (c == L'<' || c == L'=' || c == L'>')
        {
            if (!operators)
                return false;
            if (c == L'<')
                ++lessCount, less = at;
            else if (c == L'=')
                ++equalCount, equal = at;
            else
                ++greaterCount, greater = at;
        }
        else if (c >= L'0' && c <= L'9')
        {
            if (firstDigit == -1)
                firstDigit = at;
        }
        else
        {
            return false;
        }
        if (dots > 1 || lessCount > 1 || equalCount > 1 || greaterCount > 1)
            return false;
    }
    if (equal != -1 && (greater > equal || less > equal))
        return false;
    if (firstDigit != -1)
        for (int mark : {greater, less, equal, minus})
            if (mark >= firstDigit)
                return false;
    return true;
}

} // namespace

NumberKey CheckNumberKey(UINT flags, wchar_t key, std::wstring& text, DWORD& start, DWORD& end)
{
    if (!(flags & (ITEM_FLAGS_EDIT_NUMBER | ITEM_FLAGS_EDIT_FLOAT)) || key == L'\b')
        return NumberKey::Accept;
    start = std::min<DWORD>(start, static_cast<DWORD>(text.size()));
    end = std::min<DWORD>(std::max(end, start), static_cast<DWORD>(text.size()));
    if ((flags & ITEM_FLAGS_EDIT_NEGATIVE) && key == L'-')
    {
        wchar_t number[64];
        bool negative;
        if (flags & ITEM_FLAGS_EDIT_FLOAT)
        {
            double value = std::wcstod(text.c_str(), nullptr);
            negative = value < 0;
            std::swprintf(number, 64, L"%lf", -value);
        }
        else
        {
            long value = std::wcstol(text.c_str(), nullptr, 10);
            negative = value < 0;
            std::swprintf(number, 64, L"%ld", -value);
        }
        text = number;
        const DWORD limit = static_cast<DWORD>(text.size());
        auto move = [negative, limit](DWORD at) { return negative ? (at ? at - 1 : 0) : std::min(at + 1, limit); };
        start = move(start);
        end = move(end);
        return NumberKey::Replaced;
    }
    std::wstring candidate = text.substr(0, start) + key + text.substr(end);
    return ScanCandidate(flags, candidate) ? NumberKey::Accept : NumberKey::Refuse;
}

// ---- What the editors share ---------------------------------------------------

CListEditorBase::~CListEditorBase()
{
    if (m_hWnd)
        DestroyWindow();
}

void CListEditorBase::Begin(int row, int column, UINT flags)
{
    m_row = row;
    m_column = column;
    m_flags = flags;
    m_exitKey = 0;
    if (m_hWnd)
        DestroyWindow();
}

BOOL CListEditorBase::CreateControl(LPCWSTR className, HWND list, const RECT& rect, DWORD style)
{
    HWND window = ::CreateWindowExW(0, className, L"", style, rect.left, rect.top, rect.right - rect.left,
                                    rect.bottom - rect.top, list, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (!window)
        return FALSE;
    CGdiObject<HFONT> font(CreateListMessageFont());
    if (!font || !SubclassWindow(window))
    {
        ::DestroyWindow(window);
        return FALSE;
    }
    SetFont(font.Get());
    m_font = std::move(font);
    return TRUE;
}

BOOL CListEditorBase::HandleExitKey(WPARAM key)
{
    if (key != VK_TAB && key != VK_RETURN && key != VK_ESCAPE)
        return FALSE;
    m_exitKey = static_cast<UINT>(key);
    ::SetFocus(GetParent());
    return TRUE;
}

BOOL CListEditorBase::PassNumberKey(WPARAM key, DWORD start, DWORD end, bool combo)
{
    std::wstring text = WindowText(m_hWnd);
    switch (CheckNumberKey(m_flags, static_cast<wchar_t>(key), text, start, end))
    {
    case NumberKey::Accept:
        return FALSE;
    case NumberKey::Replaced:
        SetWindowText(text.c_str());
        if (combo)
        {
            SendMessage(CB_SETEDITSEL, 0, MAKELPARAM(start, end));
        }
        else
        {
            SendMessage(EM_SETSEL, start, end);
            SendMessage(EM_SCROLLCARET);
        }
        break;
    case NumberKey::Refuse:
        break;
    }
    return TRUE;
}

void CListEditorBase::SendEndEdit(LPCWSTR text, SYSTEMTIME* date)
{
    HWND list = GetParent();
    if (list)
    {
        ListNotify notify{};
        notify.header.hwndFrom = m_hWnd;
        notify.header.idFrom = static_cast<UINT_PTR>(::GetDlgCtrlID(m_hWnd));
        notify.header.code = static_cast<UINT>(LCN_ENDEDIT);
        notify.row = m_row;
        notify.column = m_column;
        notify.key = static_cast<WORD>(m_exitKey);
        notify.text = text;
        notify.date = date;
        ::SendMessageW(list, WM_NOTIFY, notify.header.idFrom, reinterpret_cast<LPARAM>(&notify));
    }
    if (m_hWnd)
        ShowWindow(SW_HIDE);
}

// ---- Edit box -----------------------------------------------------------------

BOOL CListEdit::Show(HWND list, int row, int column, const RECT& cell, UINT flags, LPCWSTR text)
{
    Begin(row, column, flags);
    DWORD style = WS_CHILD | ES_AUTOHSCROLL;
    if (flags & (ITEM_FLAGS_EDIT_NUMBER | ITEM_FLAGS_EDIT_FLOAT))
        style |= ES_RIGHT;
    if (flags & ITEM_FLAGS_UPPERCASE)
        style |= ES_UPPERCASE;
    RECT rect{cell.left + 2, cell.top + 3, cell.right - 3, cell.bottom - 2};
    if (!CreateControl(L"EDIT", list, rect, style))
        return FALSE;
    SendMessage(EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELONG(5, 5));
    SetWindowText(text ? text : L"");
    ShowWindow(SW_SHOW);
    SendMessage(EM_SETSEL, 0, -1);
    SendMessage(EM_SCROLLCARET);
    SetFocus();
    return TRUE;
}

LRESULT CListEdit::OnKillFocus(UINT, WPARAM, LPARAM, BOOL& handled)
{
    handled = FALSE; // the edit box still gives up its caret
    std::wstring text = WindowText(m_hWnd);
    SendEndEdit(text.c_str(), nullptr);
    return 0;
}

LRESULT CListEdit::OnChar(UINT, WPARAM key, LPARAM, BOOL& handled)
{
    if (HandleExitKey(key))
        return 0;
    DWORD start = 0, end = 0;
    SendMessage(EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    handled = PassNumberKey(key, start, end, false);
    return 0;
}

// ---- Combo box ----------------------------------------------------------------

CListCombo::~CListCombo()
{
    if (m_hWnd)
        DestroyWindow();
}

bool CListCombo::IsDropDownList() const
{
    return (::GetWindowLongW(m_hWnd, GWL_STYLE) & 0x3) == CBS_DROPDOWNLIST;
}

BOOL CListCombo::Show(HWND list, int row, int column, const RECT& cell, UINT flags, LPCWSTR text, BOOL useThemes,
                      const CListStrings& choices)
{
    Begin(row, column, flags);
    m_useThemes = useThemes;
    m_tracking = m_hot = FALSE;
    m_swappedButtons = ::GetSystemMetrics(SM_SWAPBUTTON) != 0;
    m_background = ::GetSysColor(COLOR_HIGHLIGHT);
    m_text = ::GetSysColor(COLOR_HIGHLIGHTTEXT);
    const bool editable = (flags & ITEM_FLAGS_COMBO_EDIT) != 0;
    DWORD style = WS_CHILD | WS_VSCROLL | WS_CLIPCHILDREN | CBS_SORT | CBS_AUTOHSCROLL |
                  (editable ? CBS_DROPDOWN : CBS_DROPDOWNLIST);
    if (flags & ITEM_FLAGS_UPPERCASE)
        style |= CBS_UPPERCASE;
    const int height = cell.bottom - cell.top;
    RECT rect{cell.left + (editable ? 1 : 3), cell.top, cell.right, cell.top + 7 * height};
    if (!CreateControl(L"COMBOBOX", list, rect, style))
        return FALSE;
    if (!m_theme && ListSupportsVisualStyles())
        m_theme.Reset(::OpenThemeData(m_hWnd, L"COMBOBOX"));

    for (const std::wstring& choice : choices)
        SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice.c_str()));
    const std::wstring cellText = text ? text : L"";
    if (editable)
    {
        SetWindowText(cellText.c_str());
        SendMessage(CB_SETEDITSEL, 0, MAKELPARAM(0, -1));
    }
    else
    {
        SendMessage(CB_SETCURSEL, static_cast<WPARAM>(-1));
        const int count = static_cast<int>(SendMessage(CB_GETCOUNT));
        for (int index = 0; index < count; ++index)
        {
            LRESULT length = SendMessage(CB_GETLBTEXTLEN, index);
            if (length < 0 || static_cast<size_t>(length) != cellText.size())
                continue;
            std::wstring choice(static_cast<size_t>(length) + 1, L'\0');
            SendMessage(CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(&choice[0]));
            choice.resize(static_cast<size_t>(length));
            if (choice == cellText)
            {
                SendMessage(CB_SETCURSEL, index);
                break;
            }
        }
    }

    SendMessage(CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), std::max(height - 6, 1));
    COMBOBOXINFO info{sizeof(info)};
    if (!::GetComboBoxInfo(m_hWnd, &info))
    {
        DestroyWindow();
        return FALSE;
    }
    m_textRect = info.rcItem;
    m_buttonRect = info.rcButton;
    InflateRect(&m_buttonRect, 0, -1);
    OffsetRect(&m_buttonRect, -2, 0);
    if (info.hwndItem && info.hwndItem != m_hWnd)
        m_editField.SubclassWindow(info.hwndItem);

    ShowWindow(SW_SHOW);
    SetFocus();
    RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    return TRUE;
}

std::wstring CListCombo::EditedText() const
{
    if (!IsDropDownList())
        return WindowText(m_hWnd);
    LRESULT index = ::SendMessageW(m_hWnd, CB_GETCURSEL, 0, 0);
    LRESULT length = index < 0 ? CB_ERR : ::SendMessageW(m_hWnd, CB_GETLBTEXTLEN, index, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    ::SendMessageW(m_hWnd, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(length));
    return text;
}

LRESULT CListCombo::OnMouse(UINT message, WPARAM, LPARAM, BOOL& handled)
{
    if (message == WM_MOUSEMOVE && !m_tracking)
    {
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, m_hWnd, 0};
        m_tracking = ::_TrackMouseEvent(&track);
    }
    m_hot = TRUE;
    InvalidateRect(&m_buttonRect, FALSE);
    handled = FALSE;
    return 0;
}

LRESULT CListCombo::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&)
{
    m_tracking = FALSE;
    InvalidateRect(&m_buttonRect, FALSE);
    return 0;
}

LRESULT CListCombo::OnReflectedCommand(UINT, WPARAM wParam, LPARAM, BOOL& handled)
{
    if (HIWORD(wParam) != CBN_KILLFOCUS)
    {
        handled = FALSE;
        return 0;
    }
    std::wstring text = EditedText();
    SendEndEdit(text.c_str(), nullptr);
    return 0;
}

LRESULT CListCombo::OnChar(UINT, WPARAM key, LPARAM, BOOL& handled)
{
    if (HandleExitKey(key))
        return 0;
    LRESULT selection = SendMessage(CB_GETEDITSEL);
    handled = PassNumberKey(key, LOWORD(selection), HIWORD(selection), true);
    return 0;
}

LRESULT CListCombo::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    PAINTSTRUCT ps{};
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    if (dc)
    {
        RECT client{};
        GetClientRect(&client);
        PaintBuffered(dc, client, [this, &client](HDC memory) { Paint(memory, client); });
    }
    ::EndPaint(m_hWnd, &ps);
    return 0;
}

void CListCombo::Paint(HDC dc, const RECT& client)
{
    const bool wholeButton = EqualRect(&client, &m_buttonRect) != FALSE;
    HWND parent = GetParent();
    if (!wholeButton && parent)
    {
        // The list paints itself beneath, so that it shows around the field.
        RECT window{};
        GetWindowRect(&window);
        POINT origin{window.left, window.top};
        ::ScreenToClient(parent, &origin);
        POINT old{};
        ::OffsetWindowOrgEx(dc, origin.x, origin.y, &old);
        ::SendMessageW(parent, WM_PAINT, reinterpret_cast<WPARAM>(dc), 0);
        ::SetWindowOrgEx(dc, old.x, old.y, nullptr);
    }

    const bool dropList = IsDropDownList();
    DWORD position = ::GetMessagePos();
    POINT cursor{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
    ScreenToClient(&cursor);
    bool hot = m_hot && PtInRect(dropList ? &client : &m_buttonRect, cursor);
    bool pressed = hot && (::GetKeyState(m_swappedButtons ? VK_RBUTTON : VK_LBUTTON) & 0x8000);

    if (dropList)
    {
        if (!wholeButton)
            FillListRect(dc, m_textRect, m_background);
        std::wstring text = EditedText();
        if (!text.empty())
        {
            RECT rect = m_textRect;
            OffsetRect(&rect, 1, 1);
            CSelectObject font(dc, m_font.Get());
            ::SetTextColor(dc, m_text);
            ::SetBkMode(dc, TRANSPARENT);
            ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect,
                        DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
        }
    }

    if (m_useThemes && m_theme)
    {
        int state = pressed ? CBXS_PRESSED : hot ? CBXS_HOT : CBXS_NORMAL;
        ::DrawThemeBackground(m_theme.Get(), dc, CP_DROPDOWNBUTTON, state, &m_buttonRect, nullptr);
    }
    else
    {
        RECT button = m_buttonRect;
        ::DrawFrameControl(dc, &button, DFC_SCROLL, DFCS_SCROLLDOWN | (pressed ? DFCS_PUSHED | DFCS_FLAT : 0));
    }
}

// ---- Date picker --------------------------------------------------------------

namespace
{

std::wstring LocaleText(LCTYPE type)
{
    wchar_t text[128];
    return ::GetLocaleInfoW(LOCALE_USER_DEFAULT, type, text, 128) > 0 ? std::wstring(text) : std::wstring();
}

} // namespace

BOOL CListDate::Show(HWND list, int row, int column, const RECT& cell, UINT flags, const SYSTEMTIME& time)
{
    Begin(row, column, flags);
    DWORD style = WS_CHILD | WS_CLIPCHILDREN;
    if (flags & ITEM_FLAGS_DATE_NONE)
        style |= DTS_SHOWNONE;
    if (flags & ITEM_FLAGS_TIME_ONLY)
        style |= DTS_UPDOWN;
    RECT rect{cell.left + 3, cell.top + 2, cell.right - 3, cell.bottom - 2};
    if (!CreateControl(DATETIMEPICK_CLASSW, list, rect, style))
        return FALSE;
    ModifyStyleEx(WS_EX_CLIENTEDGE, 0, SWP_FRAMECHANGED);
    SendMessage(DTM_SETMCFONT, reinterpret_cast<WPARAM>(m_font.Get()), TRUE);

    std::wstring format = (flags & ITEM_FLAGS_DATE_ONLY) ? LocaleText(LOCALE_SSHORTDATE)
                          : (flags & ITEM_FLAGS_TIME_ONLY)
                              ? LocaleText(LOCALE_STIMEFORMAT)
                              : LocaleText(LOCALE_SSHORTDATE) + L" " + LocaleText(LOCALE_STIMEFORMAT);
    SendMessage(DTM_SETFORMATW, 0, reinterpret_cast<LPARAM>(format.c_str()));

    SYSTEMTIME value = time;
    if (flags & ITEM_FLAGS_TIME_ONLY)
    {
        SYSTEMTIME now{};
        SendMessage(DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&now));
        value.wYear = now.wYear;
        value.wMonth = now.wMonth;
        value.wDayOfWeek = now.wDayOfWeek;
        value.wDay = now.wDay;
    }
    if (value.wYear == 0 && !(flags & ITEM_FLAGS_TIME_ONLY))
        SendMessage(DTM_SETSYSTEMTIME, GDT_NONE, 0);
    else
        SendMessage(DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&value));
    ShowWindow(SW_SHOW);
    SetFocus();
    return TRUE;
}

LRESULT CListDate::OnKillFocus(UINT, WPARAM wParam, LPARAM, BOOL& handled)
{
    handled = FALSE;
    HWND calendar = reinterpret_cast<HWND>(SendMessage(DTM_GETMONTHCAL));
    HWND next = reinterpret_cast<HWND>(wParam);
    if ((calendar && next == calendar) || ::GetFocus() == m_hWnd)
        return 0;
    if (calendar)
        ::ShowWindow(calendar, SW_HIDE);
    SYSTEMTIME time{};
    LRESULT state = SendMessage(DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&time));
    const bool valid = state == GDT_VALID;
    if (!valid)
    {
        time = SYSTEMTIME{};
    }
    else if (m_flags & ITEM_FLAGS_DATE_ONLY)
    {
        time.wHour = time.wMinute = time.wSecond = time.wMilliseconds = 0;
    }
    else if (m_flags & ITEM_FLAGS_TIME_ONLY)
    {
        time.wYear = time.wMonth = time.wDayOfWeek = time.wDay = 0;
    }
    SendEndEdit(valid ? L"1" : L"0", &time);
    return 0;
}

LRESULT CListDate::OnReflectedNotify(UINT, WPARAM, LPARAM lParam, BOOL& handled)
{
    if (reinterpret_cast<NMHDR*>(lParam)->code == static_cast<UINT>(DTN_CLOSEUP))
        SetFocus();
    handled = FALSE;
    return 0;
}

LRESULT CListDate::OnChar(UINT, WPARAM key, LPARAM, BOOL& handled)
{
    if (!HandleExitKey(key))
        handled = FALSE;
    return 0;
}

// ---- Title tip ----------------------------------------------------------------

CTitleTip::~CTitleTip()
{
    if (m_hWnd)
        DestroyWindow();
}

BOOL CTitleTip::Create(HWND owner, BOOL styled)
{
    m_owner = owner;
    m_styled = styled;
    m_background = ::GetSysColor(COLOR_INFOBK);
    m_text = ::GetSysColor(Styled() ? COLOR_WINDOWTEXT : COLOR_INFOTEXT);
    m_outerBorder = RGB(0xDC, 0xDC, 0xDC);
    m_innerBorder = RGB(0xF5, 0xF5, 0xF5);
    m_gradientTop = RGB(0xFA, 0xFA, 0xFA);
    m_gradientBottom = RGB(0xEB, 0xEB, 0xEB);
    if (!m_hWnd && !CWindowImpl::Create(owner))
        return FALSE;
    if (!m_tooltip.IsWindow())
    {
        m_tooltip.Create(TOOLTIPS_CLASSW, m_hWnd, RECT{}, nullptr, 0);
        if (!m_tooltip.m_hWnd)
            return FALSE;
        m_tooltip.SendMessage(TTM_SETMAXTIPWIDTH, 0, 32767);
        TTTOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.uFlags = TTF_IDISHWND;
        tool.hwnd = m_hWnd;
        tool.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
        tool.lpszText = const_cast<LPWSTR>(L"");
        m_tooltip.SendMessage(TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    CGdiObject<HFONT> font(CreateListMessageFont());
    if (!font)
        return FALSE;
    m_font = std::move(font);
    return TRUE;
}

BOOL CTitleTip::Show(const RECT& rect, const std::wstring& text, const std::wstring& tipText)
{
    if (!m_hWnd || text.empty())
        return FALSE;
    m_tipText = tipText;
    SetWindowText(text.c_str());
    RECT measured = rect;
    {
        const CClientDC dc(m_hWnd);
        CSelectObject font(dc.Get(), m_font.Get());
        ::DrawTextW(dc.Get(), text.c_str(), static_cast<int>(text.size()), &measured,
                    DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX | DT_VCENTER);
    }
    const int width = measured.right - measured.left;
    if (width <= rect.right - rect.left - 1)
        return FALSE;

    if (m_tooltip.m_hWnd)
    {
        TTTOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.hwnd = m_hWnd;
        tool.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
        std::wstring shown = m_tipText.substr(0, 32767);
        tool.lpszText = const_cast<LPWSTR>(shown.c_str());
        m_tooltip.SendMessage(TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
        m_tooltip.SendMessage(TTM_ACTIVATE, !m_tipText.empty());
    }
    SetWindowPos(nullptr, rect.left - 4, rect.top, width + 11, rect.bottom - rect.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS | SWP_SHOWWINDOW);
    SetCapture();
    return TRUE;
}

void CTitleTip::Hide()
{
    if (m_hWnd && ::GetCapture() == m_hWnd)
        ::ReleaseCapture();
    if (m_hWnd)
        ShowWindow(SW_HIDE);
}

LRESULT CTitleTip::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
{
    if (m_tooltip.IsWindow())
        m_tooltip.DestroyWindow();
    m_tooltip.m_hWnd = nullptr;
    handled = FALSE;
    return 0;
}

LRESULT CTitleTip::OnMouse(UINT message, WPARAM wParam, LPARAM lParam, BOOL&)
{
    if (m_tooltip.m_hWnd)
    {
        MSG msg{m_hWnd, message, wParam, lParam, 0, {0, 0}};
        m_tooltip.SendMessage(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
    }
    POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    ClientToScreen(&point);
    if (message == WM_MOUSEMOVE)
    {
        RECT window{};
        GetWindowRect(&window);
        if (!PtInRect(&window, point))
            Hide();
        return 0;
    }
    if (!m_owner)
        return 0;
    LRESULT hit = ::SendMessageW(m_owner, WM_NCHITTEST, 0, MAKELPARAM(point.x, point.y));
    if (hit == HTCLIENT)
    {
        ::ScreenToClient(m_owner, &point);
        ::PostMessageW(m_owner, message, wParam, MAKELPARAM(point.x, point.y));
    }
    else if (message >= WM_LBUTTONDOWN && message <= WM_MBUTTONDBLCLK)
    {
        ::PostMessageW(m_owner, message - WM_LBUTTONDOWN + WM_NCLBUTTONDOWN, static_cast<WPARAM>(hit),
                       MAKELPARAM(point.x, point.y));
    }
    return 0;
}

LRESULT CTitleTip::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    PAINTSTRUCT ps{};
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    if (!dc)
        return 0;
    RECT rect{};
    GetClientRect(&rect);
    if (Styled())
    {
        CGdiObject<HPEN> outer(::CreatePen(PS_SOLID, 1, m_outerBorder));
        CGdiObject<HPEN> inner(::CreatePen(PS_SOLID, 1, m_innerBorder));
        {
            CSelectObject brush(dc, ::GetStockObject(NULL_BRUSH));
            CSelectObject pen(dc, outer.Get());
            ::RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, 5, 5);
            InflateRect(&rect, -1, -1);
            ::SelectObject(dc, inner.Get());
            ::RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, 2, 2);
            InflateRect(&rect, -1, -1);
        }
        DrawListGradient(dc, rect, m_gradientTop, m_gradientBottom);
        GetClientRect(&rect);
    }
    else
    {
        FillListRect(dc, rect, m_background);
        FrameListRect(dc, rect, m_text);
    }
    std::wstring text = WindowText(m_hWnd);
    rect.left += 4;
    {
        CSelectObject font(dc, m_font.Get());
        ::SetTextColor(dc, m_text);
        ::SetBkMode(dc, TRANSPARENT);
        ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    }
    ::EndPaint(m_hWnd, &ps);
    return 0;
}
