// A list reached through its own message map, on a parent
// that records the notifications, with helpers that send real messages.
#pragma once
#include "../UiTest.h"
#include "../listctrl/ListFixture.h"

// Three columns of 90 pixels (room for a vertical bar without a horizontal
// one), rows and header 20 pixels high, a client area 150 pixels high: six
// whole rows below the header and half of a seventh.
class ListInput : public ::testing::Test
{
protected:
    static constexpr int kListId = 1005;
    static constexpr int kRow = 20;

    void SetUp() override
    {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
        ::InitCommonControlsEx(&icc);
        ASSERT_TRUE(parent.Create(nullptr, RECT{0, 0, 600, 400}, L"list parent", WS_POPUP));
        ASSERT_TRUE(list.Create(parent, RECT{0, 0, 300, 150}, nullptr, 0, 0, kListId));
        list.ModifyStyleEx(WS_EX_STATICEDGE | WS_EX_CLIENTEDGE, 0, SWP_FRAMECHANGED);
        list.SetWindowPos(nullptr, 0, 0, 300, 150, SWP_NOZORDER | SWP_FRAMECHANGED);
        list.SetUseThemes(FALSE);
        list.AddColumn(L"Name", 90);
        list.AddColumn(L"Value", 90);
        list.AddColumn(L"Other", 90);
        list.SetRowHeight(kRow);
        ReleaseKeys();
    }
    void TearDown() override
    {
        ReleaseKeys();
        if (list.m_hWnd)
            list.DestroyWindow();
        parent.DestroyWindow();
    }

    void Resize(int height) { list.SetWindowPos(nullptr, 0, 0, 300, height, SWP_NOZORDER | SWP_NOMOVE); }

    // Rows whose first cells hold these texts.
    void AddRows(std::initializer_list<const wchar_t*> texts)
    {
        for (const wchar_t* text : texts)
            ASSERT_NE(list.AddItem(text), -1);
    }
    void AddRows(int count)
    {
        for (int i = 0; i < count; ++i)
            ASSERT_NE(list.AddItem(std::to_wstring(i).c_str()), -1);
    }

    // The centre of a cell (row index, column position) with the view at
    // the top.
    static int X(int position) { return position * 90 + 45; }
    static int Y(int row) { return kRow + row * kRow + kRow / 2; }

    void Send(UINT message, UINT keys, int x, int y) { list.SendMessage(message, keys, MAKELPARAM(x, y)); }
    void Press(int row, int position, UINT keys = 0) { Send(WM_LBUTTONDOWN, keys | MK_LBUTTON, X(position), Y(row)); }
    void Release(int row, int position, UINT keys = 0) { Send(WM_LBUTTONUP, keys, X(position), Y(row)); }
    void Click(int row, int position, UINT keys = 0)
    {
        Press(row, position, keys);
        Release(row, position, keys);
    }

    // A key with Ctrl and Shift held as asked (the list reads GetKeyState).
    void Key(UINT key, bool ctrl = false, bool shift = false)
    {
        BYTE state[256]{};
        ::GetKeyboardState(state);
        state[VK_CONTROL] = ctrl ? 0x80 : 0;
        state[VK_SHIFT] = shift ? 0x80 : 0;
        ::SetKeyboardState(state);
        list.SendMessage(WM_KEYDOWN, key);
        ReleaseKeys();
    }
    static void ReleaseKeys()
    {
        BYTE state[256]{};
        ::GetKeyboardState(state);
        state[VK_CONTROL] = state[VK_SHIFT] = 0;
        ::SetKeyboardState(state);
    }

    std::vector<int> Selection() const { return std::vector<int>(list.GetSelection().begin(), list.GetSelection().end()); }
    std::vector<int> Codes() const
    {
        std::vector<int> codes;
        for (const auto& note : parent.notes)
            codes.push_back(note.code);
        return codes;
    }
    int Count(int code) const
    {
        int n = 0;
        for (const auto& note : parent.notes)
            n += note.code == code;
        return n;
    }
    std::wstring Text(int row, int id = 0) const { return list.GetItemText(row, id); }

    CListParent parent;
    CTestList list;
};
