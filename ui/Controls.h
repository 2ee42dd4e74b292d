// Thin wrappers of the common controls that the settings combos, the status
// bar and the menu button are built on: only the calls they make.
#pragma once
#include "platform/Window.h"

#include <commctrl.h>
#include <string>
#include <vector>

class CComboBox : public CWindow
{
public:
    using CWindow::CWindow;
    static LPCWSTR GetWndClassName() { return WC_COMBOBOXW; }

    int GetCount() const { return static_cast<int>(SendMessage(CB_GETCOUNT)); }
    int AddString(LPCWSTR text)
    {
        return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
    }
    int DeleteString(int index) { return static_cast<int>(SendMessage(CB_DELETESTRING, static_cast<WPARAM>(index))); }
    // Item `index`'s text; false when the combo has no such item.
    bool GetLBText(int index, std::wstring& text) const
    {
        const LRESULT length = SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(index));
        if (length == CB_ERR)
            return false;
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
        const LRESULT copied =
            SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
        if (copied == CB_ERR)
            return false;
        text.assign(buffer.data(), static_cast<size_t>(copied));
        return true;
    }
    // The combo's edit field, null when it has none.
    HWND GetEditCtrl() const
    {
        COMBOBOXINFO info{};
        info.cbSize = sizeof(info);
        return SendMessage(CB_GETCOMBOBOXINFO, 0, reinterpret_cast<LPARAM>(&info)) ? info.hwndItem : nullptr;
    }
};

class CButton : public CWindow
{
public:
    using CWindow::CWindow;
    static LPCWSTR GetWndClassName() { return WC_BUTTONW; }

    UINT GetState() const { return static_cast<UINT>(SendMessage(BM_GETSTATE)); }
    void SetButtonStyle(UINT style, BOOL redraw = TRUE) { SendMessage(BM_SETSTYLE, style, redraw); }
};

class CStatusBarCtrl : public CWindow
{
public:
    using CWindow::CWindow;
    static LPCWSTR GetWndClassName() { return STATUSCLASSNAMEW; }

    int GetParts(int count, int* rightEdges) const
    {
        return static_cast<int>(
            SendMessage(SB_GETPARTS, static_cast<WPARAM>(count), reinterpret_cast<LPARAM>(rightEdges)));
    }
    BOOL SetParts(int count, const int* rightEdges)
    {
        return static_cast<BOOL>(
            SendMessage(SB_SETPARTS, static_cast<WPARAM>(count), reinterpret_cast<LPARAM>(rightEdges)));
    }
    BOOL GetRect(int part, RECT* rect) const
    {
        return static_cast<BOOL>(SendMessage(SB_GETRECT, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(rect)));
    }
    // Horizontal border, vertical border, gap between parts.
    BOOL GetBorders(int borders[3]) const
    {
        return static_cast<BOOL>(SendMessage(SB_GETBORDERS, 0, reinterpret_cast<LPARAM>(borders)));
    }
    BOOL SetText(int part, LPCWSTR text, int type = 0)
    {
        return static_cast<BOOL>(
            SendMessage(SB_SETTEXTW, static_cast<WPARAM>(part | type), reinterpret_cast<LPARAM>(text)));
    }
    std::wstring GetText(int part) const
    {
        const int length = LOWORD(SendMessage(SB_GETTEXTLENGTHW, static_cast<WPARAM>(part)));
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
        SendMessage(SB_GETTEXTW, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(buffer.data()));
        return buffer.data();
    }
};
