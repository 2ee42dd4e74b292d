// A list reached through its own message map, on a parent
// that records the notifications, with helpers that send real messages.
#pragma once
#include "../UiTest.h"
#include "../listctrl/ListFixture.h"

// Three columns of 90 pixels (room for a vertical bar without a horizontal
// one), rows and header 20 pixels high, a client area 150 pixels high: six
// whole rows below the header and half of a seventh.
class ListInput : public ListTest
{
protected:
    static constexpr int kRow = 20;

    void SetUp() override
    {
        ListTest::SetUp();
        list.AddColumn(L"Name", 90);
        list.AddColumn(L"Value", 90);
        list.AddColumn(L"Other", 90);
        list.SetRowHeight(kRow);
        ReleaseKeys();
    }
    void TearDown() override
    {
        ReleaseKeys();
        ListTest::TearDown();
    }

    // The centre of a cell (row index, column position) with the view at
    // the top.
    static int X(int position) { return position * 90 + 45; }
    static int Y(int row) { return kRow + row * kRow + kRow / 2; }

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

    std::vector<int> Selection() const
    {
        return std::vector<int>(list.GetSelection().begin(), list.GetSelection().end());
    }
    std::wstring Text(int row, int id = 0) const { return list.GetItemText(row, id); }
};
