// A push button with a drop-down arrow at its right end: a click on the body
// is an ordinary click; a click on the arrow, or Up or Down while the button
// has the focus, drops a menu below it whose first, bold item is the button's
// own command, followed by the items of a menu resource. The button draws
// itself; its parent must reflect WM_DRAWITEM.
#pragma once
#include "platform/WindowImpl.h"
#include "ui/Controls.h"

namespace WTLEX
{

// Width of the arrow strip at the button's right end.
int MenuArrowWidth();
// A drop point (screen coordinates) off every monitor is pulled into the
// nearest monitor's work area horizontally; y stands.
POINT ClampMenuPoint(POINT screen);
// Shows the first popup of menu `menuId` with the button's command on top at
// `client` (the button's client coordinates); the command chosen goes to the
// button's parent as WM_COMMAND and is returned (0 when none). menuDown is
// set while the menu shows and the button is redrawn around it.
UINT DropButtonMenu(HWND button, UINT menuId, POINT client, bool& menuDown);
// Draws the button face, the arrow, the text and the focus rectangle.
void DrawMenuButton(HWND button, const DRAWITEMSTRUCT& item, bool isDefault, bool menuDown);

template <class T, class TBase = CButton,
          class TWinTraits = CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN>>
class CMenuButtonImpl : public CWindowImpl<T, TBase, TWinTraits>
{
public:
    DECLARE_WND_SUPERCLASS(nullptr, TBase::GetWndClassName())

    explicit CMenuButtonImpl(UINT menuId) : m_menuId(menuId) {}

    BEGIN_MSG_MAP(CMenuButtonImpl)
    MESSAGE_HANDLER(OCM_DRAWITEM, OnDrawItem)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
    MESSAGE_HANDLER(WM_LBUTTONDBLCLK, OnLButtonDown)
    MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
    MESSAGE_HANDLER(BM_SETSTYLE, OnSetStyle)
    END_MSG_MAP()

    // Takes over a button of a dialog and makes it owner drawn.
    BOOL SubclassWindow(HWND hWnd)
    {
        if (!CWindowImpl<T, TBase, TWinTraits>::SubclassWindow(hWnd))
            return FALSE;
        Init();
        return TRUE;
    }

    UINT DropMenu(POINT client) { return DropButtonMenu(this->m_hWnd, m_menuId, client, m_menuDown); }
    void DrawItem(const DRAWITEMSTRUCT& item) { DrawMenuButton(this->m_hWnd, item, m_default, m_menuDown); }

    bool IsMenuDown() const { return m_menuDown; }
    bool IsDefault() const { return m_default; }

    LRESULT OnDrawItem(UINT, WPARAM, LPARAM lParam, BOOL&)
    {
        DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    }
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL& bHandled)
    {
        Init();
        bHandled = FALSE;
        return 0;
    }
    LRESULT OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL& bHandled)
    {
        RECT client{};
        this->GetClientRect(&client);
        const int x = static_cast<short>(LOWORD(lParam));
        if (x <= client.right - MenuArrowWidth() || (this->GetState() & BST_PUSHED))
        {
            bHandled = FALSE;
            return 0;
        }
        if (!(this->GetState() & BST_FOCUS))
            this->SetFocus();
        DropMenu(BottomLeft());
        return 0;
    }
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM lParam, BOOL& bHandled)
    {
        const MSG* msg = reinterpret_cast<const MSG*>(lParam);
        if (!msg)
            return DLGC_WANTARROWS | (m_default ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
        if (msg->message == WM_KEYDOWN && (msg->wParam == VK_DOWN || msg->wParam == VK_UP) &&
            ::GetFocus() == this->m_hWnd)
        {
            DropMenu(BottomLeft());
            return DLGC_WANTARROWS;
        }
        bHandled = FALSE;
        return 0;
    }
    // The dialog manager moves the default between push buttons with
    // BM_SETSTYLE; the button keeps drawing itself and notes the change.
    LRESULT OnSetStyle(UINT, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
    {
        if (wParam != BS_PUSHBUTTON && wParam != BS_DEFPUSHBUTTON)
        {
            bHandled = FALSE;
            return 0;
        }
        m_default = wParam == BS_DEFPUSHBUTTON;
        if (lParam)
            this->RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        return 0;
    }

private:
    void Init()
    {
        m_default = (this->GetStyle() & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
        this->SetButtonStyle(BS_OWNERDRAW, TRUE);
    }
    POINT BottomLeft() const
    {
        RECT client{};
        this->GetClientRect(&client);
        return POINT{client.left, client.bottom};
    }

    bool m_menuDown = false;
    UINT m_menuId;
    bool m_default = false;
};

// The main window's Browse button, with the Options menu below it.
class CAutoMenuButton : public CMenuButtonImpl<CAutoMenuButton>
{
public:
    explicit CAutoMenuButton(UINT menuId) : CMenuButtonImpl(menuId) {}
};

} // namespace WTLEX
