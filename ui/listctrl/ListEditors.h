// The list's in-place cell editors (an edit box, a combo box and a date
// picker laid over the cell) and the title tip that shows a truncated
// cell text in full. Each editor reports the end of its edit to the list
// as WM_NOTIFY with a ListNotify of code LCN_ENDEDIT.
#pragma once
#include "platform/Handles.h"
#include "platform/WindowImpl.h"
#include "ui/listctrl/ListDraw.h"
#include "ui/listctrl/ListTypes.h"
#include <commctrl.h>
#include <uxtheme.h>
#include <string>

// What the number validation does with a typed character.
enum class NumberKey
{
    Accept,  // the character goes on to the control
    Refuse,  // the character is dropped
    Replaced // the sign key negated the number: text and selection changed
};

// Validates character key typed into text with selection [start, end)
// under the cell flags; for the sign key it rewrites text, start and end.
NumberKey CheckNumberKey(UINT flags, wchar_t key, std::wstring& text, DWORD& start, DWORD& end);

// A window that belongs to another object: its messages go to the owner's
// message map with the given map id (a subclassed child of a control).
class CListContainedWindow : public CWindowImplBaseT<CWindow>
{
public:
    CListContainedWindow(CMessageMap* owner, DWORD mapId) : m_owner(owner), m_mapId(mapId) {}

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, DWORD = 0) override
    {
        return m_owner->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult, m_mapId);
    }

private:
    CMessageMap* m_owner;
    DWORD m_mapId;
};

// What the three editors share: the cell they edit, the key that ended the
// edit, their font, and the record they send to the list.
class CListEditorBase : public CWindowImplBaseT<CWindow>
{
public:
    ~CListEditorBase() override;

    int GetRow() const { return m_row; }
    int GetColumn() const { return m_column; }
    UINT GetExitKey() const { return m_exitKey; }

protected:
    // Remembers the cell, clears the end key and destroys the window of the
    // previous edit.
    void Begin(int row, int column, UINT flags);
    // Creates the control window of class className over rect as a child
    // of list, takes it over and gives it a fresh message font.
    BOOL CreateControl(LPCWSTR className, HWND list, const RECT& rect, DWORD style);
    // Tab, Enter and Esc: remembered as the end key and the focus handed to
    // the list, which ends the edit. False for any other character.
    BOOL HandleExitKey(WPARAM key);
    // Number validation of a typed character against the control's text and
    // selection; the sign key rewrites the text. TRUE when the character
    // is used up here, FALSE when it goes on to the control.
    BOOL PassNumberKey(WPARAM key, DWORD start, DWORD end, bool combo);
    // Sends the end-of-edit record to the list (when there is one) and
    // hides the editor.
    void SendEndEdit(LPCWSTR text, SYSTEMTIME* date);

    int m_row = -1;
    int m_column = -1;
    UINT m_flags = 0;
    UINT m_exitKey = 0;
    CGdiObject<HFONT> m_font;
};

class CListEdit : public CListEditorBase
{
public:
    ~CListEdit() override
    {
        if (m_hWnd)
            DestroyWindow();
    }

    BEGIN_MSG_MAP(CListEdit)
    MESSAGE_HANDLER(WM_KILLFOCUS, OnKillFocus)
    MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
    MESSAGE_HANDLER(WM_CHAR, OnChar)
    END_MSG_MAP()

    BOOL Show(HWND list, int row, int column, const RECT& cell, UINT flags, LPCWSTR text);

private:
    LRESULT OnKillFocus(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&) { return DLGC_WANTALLKEYS; }
    LRESULT OnChar(UINT, WPARAM key, LPARAM, BOOL& handled);
};

class CListCombo : public CListEditorBase
{
public:
    CListCombo() : m_editField(this, 1) {}
    ~CListCombo() override;

    BEGIN_MSG_MAP(CListCombo)
    MESSAGE_RANGE_HANDLER(WM_MOUSEFIRST, WM_MOUSELAST, OnMouse)
    MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(OCM_COMMAND, OnReflectedCommand)
    MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
    MESSAGE_HANDLER(WM_CHAR, OnChar)
    DEFAULT_REFLECTION_HANDLER()
    ALT_MSG_MAP(1)
    MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
    MESSAGE_HANDLER(WM_CHAR, OnChar)
    END_MSG_MAP()

    BOOL Show(HWND list, int row, int column, const RECT& cell, UINT flags, LPCWSTR text, BOOL useThemes,
              const CListStrings& choices);

private:
    LRESULT OnMouse(UINT message, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnReflectedCommand(UINT, WPARAM wParam, LPARAM, BOOL& handled);
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&) { return DLGC_WANTALLKEYS; }
    LRESULT OnChar(UINT, WPARAM key, LPARAM, BOOL& handled);

    bool IsDropDownList() const;
    std::wstring EditedText() const;
    void Paint(HDC dc, const RECT& client);

    BOOL m_useThemes = TRUE;
    BOOL m_tracking = FALSE;
    BOOL m_hot = FALSE;
    BOOL m_swappedButtons = FALSE;
    RECT m_textRect{};
    RECT m_buttonRect{};
    COLORREF m_background = 0;
    COLORREF m_text = 0;
    CTheme m_theme;
    CListContainedWindow m_editField;
};

class CListDate : public CListEditorBase
{
public:
    ~CListDate() override
    {
        if (m_hWnd)
            DestroyWindow();
    }

    BEGIN_MSG_MAP(CListDate)
    MESSAGE_HANDLER(WM_KILLFOCUS, OnKillFocus)
    MESSAGE_HANDLER(OCM_NOTIFY, OnReflectedNotify)
    MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
    MESSAGE_HANDLER(WM_CHAR, OnChar)
    DEFAULT_REFLECTION_HANDLER()
    END_MSG_MAP()

    BOOL Show(HWND list, int row, int column, const RECT& cell, UINT flags, const SYSTEMTIME& time);

private:
    LRESULT OnKillFocus(UINT, WPARAM wParam, LPARAM, BOOL& handled);
    LRESULT OnReflectedNotify(UINT, WPARAM, LPARAM lParam, BOOL& handled);
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&) { return DLGC_WANTALLKEYS; }
    LRESULT OnChar(UINT, WPARAM key, LPARAM, BOOL& handled);
};

using CTitleTipTraits = CWinTraits<WS_POPUP, WS_EX_TOPMOST | WS_EX_TOOLWINDOW>;

class CTitleTip : public CWindowImpl<CTitleTip, CWindow, CTitleTipTraits>
{
public:
    DECLARE_WND_CLASS(L"ListTitleTip")

    ~CTitleTip() override;

    BEGIN_MSG_MAP(CTitleTip)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    MESSAGE_RANGE_HANDLER(WM_MOUSEFIRST, WM_MOUSELAST, OnMouse)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    END_MSG_MAP()

    BOOL Create(HWND owner, BOOL styled);
    // Shows text over rect (screen coordinates) when it does not fit there.
    BOOL Show(const RECT& rect, const std::wstring& text, const std::wstring& tipText);
    void Hide();

    const std::wstring& GetTipText() const { return m_tipText; }

private:
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouse(UINT message, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    bool Styled() const { return m_styled && ListSupportsVisualStyles(); }

    HWND m_owner = nullptr;
    BOOL m_styled = FALSE;
    std::wstring m_tipText;
    COLORREF m_background = 0;
    COLORREF m_text = 0;
    COLORREF m_outerBorder = 0;
    COLORREF m_innerBorder = 0;
    COLORREF m_gradientTop = 0;
    COLORREF m_gradientBottom = 0;
    CGdiObject<HFONT> m_font;
    CWindow m_tooltip;
};
