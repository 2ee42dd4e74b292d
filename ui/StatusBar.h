// A status bar of panes named by ids, whose panes can also carry child
// windows (the main window's script choice buttons).
#pragma once
#include "platform/WindowImpl.h"
#include "ui/Controls.h"

#include <vector>

// The pane that takes the width the others leave.
inline constexpr int ID_DEFAULT_PANE = 0;

// Pane layout for any status bar window whose panes are `ids`.
// Each pane but the default one is as wide as its id's string (loaded from
// the program's string table) plus margins, and shows that string when
// setText is true; the default pane takes the rest once laid out.
BOOL SetStatusPanes(HWND bar, const std::vector<int>& ids, bool setText);
// Moves the panes from the default one on so that the last ends at the
// right of the client area (left of the size gripper).
void LayoutStatusPanes(HWND bar, const std::vector<int>& ids);
// Gives pane `index` the width `width`; the panes between it and the default
// pane move, the default pane takes up the difference.
BOOL SetStatusPaneWidth(HWND bar, const std::vector<int>& ids, int index, int width);
// The answer to WM_CTLCOLORSTATIC of a button in a pane: paints the status
// bar beneath it, pane text included, into its DC and gives a hollow brush,
// so that the pane's text shows beside the button's mark also where the
// button has no visual style (which would paint the parent itself).
HBRUSH PaintPaneBackground(HWND window, HDC dc);

template <class T, class TBase = CStatusBarCtrl, class TWinTraits = CControlWinTraits>
class CMultiPaneStatusBarCtrlImpl : public CWindowImpl<T, TBase, TWinTraits>
{
public:
    DECLARE_WND_SUPERCLASS(nullptr, TBase::GetWndClassName())

    BEGIN_MSG_MAP(CMultiPaneStatusBarCtrlImpl)
    MESSAGE_HANDLER(WM_SIZE, OnSize)
    END_MSG_MAP()

    BOOL SetPanes(const int* ids, int count, bool setText = true)
    {
        if (count <= 0 || count > 255)
            return FALSE;
        m_panes.assign(ids, ids + count);
        if (!SetStatusPanes(this->m_hWnd, m_panes, setText))
            return FALSE;
        static_cast<T*>(this)->UpdatePanesLayout();
        return TRUE;
    }
    int GetPaneCount() const { return static_cast<int>(m_panes.size()); }
    int GetPaneIndexFromID(int id) const
    {
        for (size_t i = 0; i < m_panes.size(); ++i)
            if (m_panes[i] == id)
                return static_cast<int>(i);
        return -1;
    }
    BOOL SetPaneText(int id, LPCWSTR text, int type = 0)
    {
        const int index = GetPaneIndexFromID(id);
        return index >= 0 && this->SetText(index, text, type);
    }
    std::wstring GetPaneText(int id) const
    {
        const int index = GetPaneIndexFromID(id);
        return index >= 0 ? this->GetText(index) : std::wstring();
    }
    BOOL SetPaneWidth(int id, int width)
    {
        const int index = GetPaneIndexFromID(id);
        return index >= 0 && SetStatusPaneWidth(this->m_hWnd, m_panes, index, width);
    }
    // The layout step; a derived class that lays out more overrides it.
    void UpdatePanesLayout() { LayoutStatusPanes(this->m_hWnd, m_panes); }

    LRESULT OnSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL&)
    {
        const LRESULT result = this->DefWindowProc(uMsg, wParam, lParam);
        if (wParam != SIZE_MINIMIZED && !m_panes.empty())
            static_cast<T*>(this)->UpdatePanesLayout();
        return result;
    }

protected:
    std::vector<int> m_panes;
};

// Up to 15 windows, each in one pane of a status bar (by pane position),
// kept on their panes by UpdateLayout. An owned window is destroyed when it
// leaves its pane or the table goes.
class CPaneWindows
{
public:
    static constexpr int kSlots = 15;
    struct Slot
    {
        HWND window;
        USHORT pane;
        BYTE owned;
    };

    CPaneWindows();
    virtual ~CPaneWindows();
    CPaneWindows(const CPaneWindows&) = delete;
    CPaneWindows& operator=(const CPaneWindows&) = delete;

    BOOL AddPaneWindow(HWND bar, int paneCount, int pane, HWND window, BOOL owned);
    BOOL RemovePaneWindow(int paneCount, int pane);
    BOOL LayoutPaneWindows(HWND bar);
    void ShowPaneWindows(int command);
    // The window in pane `pane`, null when it holds none.
    HWND GetPaneWindow(int pane) const;

private:
    Slot m_slots[kSlots];
};

template <class T> class CAnyhingInPaneImpl : public CPaneWindows
{
public:
    BOOL AddWindow(int pane, HWND window, BOOL owned)
    {
        T* pT = static_cast<T*>(this);
        return AddPaneWindow(pT->m_hWnd, pT->GetPaneCount(), pane, window, owned);
    }
    BOOL RemoveWindow(int pane) { return RemovePaneWindow(static_cast<T*>(this)->GetPaneCount(), pane); }
    BOOL UpdateLayout() { return LayoutPaneWindows(static_cast<T*>(this)->m_hWnd); }
};

// The main window's status bar: panes by id, windows in panes, and the
// notifications of those windows passed on to the status bar's parent.
class CMPSBarWithAny : public CMultiPaneStatusBarCtrlImpl<CMPSBarWithAny>, public CAnyhingInPaneImpl<CMPSBarWithAny>
{
public:
    using Base = CMultiPaneStatusBarCtrlImpl<CMPSBarWithAny>;

    BEGIN_MSG_MAP(CMPSBarWithAny)
    MESSAGE_HANDLER(SB_SIMPLE, OnSimple)
    MESSAGE_HANDLER(SB_SETTEXTW, OnSetText)
    CHAIN_MSG_MAP(Base)
    MESSAGE_HANDLER(WM_COMMAND, OnForward)
    MESSAGE_HANDLER(WM_NOTIFY, OnForward)
    MESSAGE_HANDLER(WM_PARENTNOTIFY, OnForward)
    MESSAGE_HANDLER(WM_DRAWITEM, OnForward)
    MESSAGE_HANDLER(WM_MEASUREITEM, OnForward)
    MESSAGE_HANDLER(WM_COMPAREITEM, OnForward)
    MESSAGE_HANDLER(WM_DELETEITEM, OnForward)
    MESSAGE_HANDLER(WM_VKEYTOITEM, OnForward)
    MESSAGE_HANDLER(WM_CHARTOITEM, OnForward)
    MESSAGE_HANDLER(WM_HSCROLL, OnForward)
    MESSAGE_HANDLER(WM_VSCROLL, OnForward)
    MESSAGE_RANGE_HANDLER(WM_CTLCOLORMSGBOX, WM_CTLCOLORSTATIC, OnForward)
    END_MSG_MAP()

    void UpdatePanesLayout()
    {
        Base::UpdatePanesLayout();
        UpdateLayout();
    }

    // Simple mode hides the windows in panes; leaving it shows them again.
    LRESULT OnSimple(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
    {
        ShowPaneWindows(wParam ? SW_HIDE : SW_SHOW);
        bHandled = FALSE;
        return 0;
    }
    // The default pane's text is also its tip, which shows it whole when
    // the pane is too narrow for it.
    LRESULT OnSetText(UINT, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
    {
        const int pane = LOBYTE(LOWORD(wParam));
        const bool text = !(HIBYTE(LOWORD(wParam)) & HIBYTE(SBT_OWNERDRAW)); // else lParam is the owner's data
        if (text && pane == GetPaneIndexFromID(ID_DEFAULT_PANE))
            SendMessage(SB_SETTIPTEXTW, pane, lParam);
        bHandled = FALSE;
        return 0;
    }
    LRESULT OnForward(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL&)
    {
        return ::SendMessageW(GetParent(), uMsg, wParam, lParam);
    }
};
