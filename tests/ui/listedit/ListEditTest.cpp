#include "tests/ui/UiTest.h"
#include "tests/ui/listctrl/ListFixture.h"

namespace
{

// Columns: 0 plain, 1 text edit, 2 date, 3 combo; two rows. The parent is
// shown (on the test's own desktop) so that the list can hold the focus.
class ListEditing : public ListTest
{
protected:
    enum
    {
        kPlain,
        kEdit,
        kDate,
        kCombo
    };

    DWORD ParentStyle() const override { return WS_POPUP | WS_VISIBLE; }
    void SetUp() override
    {
        ListTest::SetUp();
        MakeList(400, 200);
        list.AddColumn(L"Name", 80);
        list.AddColumn(L"Text", 80, -1, FALSE, ITEM_FORMAT_EDIT);
        list.AddColumn(L"Date", 100, -1, FALSE, ITEM_FORMAT_DATETIME);
        list.AddColumn(L"Choice", 80, -1, FALSE, ITEM_FORMAT_COMBO);
        for (int row = 0; row < 2; ++row)
        {
            ASSERT_EQ(list.AddItem(L"phone"), row);
            list.SetItemText(row, kEdit, L"old");
        }
        list.SetFocus();
        ASSERT_EQ(::GetFocus(), list.m_hWnd);
    }

    void SetCell(int row, int id, UINT flags, const CListStrings& items = {})
    {
        CListCell* cell = list.FindCell(row, id);
        ASSERT_TRUE(cell);
        cell->flags = flags;
        cell->items = items;
    }
    static std::wstring Text(HWND window)
    {
        wchar_t text[256] = {};
        ::GetWindowTextW(window, text, 256);
        return text;
    }
    // Sends the record an editor sends at the end of an edit.
    void EndEdit(int row, int position, WORD key, LPCWSTR text, SYSTEMTIME* date = nullptr)
    {
        ListNotify notify{{nullptr, 0, static_cast<UINT>(LCN_ENDEDIT)}, row, position, key, text, date};
        list.SendMessage(WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify));
    }
    void Type(HWND window, const wchar_t* keys)
    {
        for (; *keys; ++keys)
            ::SendMessageW(window, WM_CHAR, *keys, 1);
    }
};

TEST_F(ListEditing, EnterStoresTheTypedTextAndEscapeLeavesTheCell)
{
    SetCell(0, kEdit, ITEM_FLAGS_EDIT_NUMBER);
    ASSERT_TRUE(list.EditItem(0, kEdit));
    HWND edit = list.GetChildren().edit.m_hWnd;
    ASSERT_TRUE(edit && ::IsWindowVisible(edit));
    EXPECT_EQ(::GetFocus(), edit);
    EXPECT_TRUE(list.GetInputState().editing);
    EXPECT_EQ(Text(edit), L"old");
    EXPECT_TRUE(::GetWindowLongW(edit, GWL_STYLE) & ES_RIGHT);
    RECT cell{}, box{};
    list.GetItemRect(0, kEdit, cell);
    ::GetWindowRect(edit, &box);
    ::MapWindowPoints(nullptr, list, reinterpret_cast<POINT*>(&box), 2);
    EXPECT_EQ(box.left, cell.left + 2);
    EXPECT_EQ(box.top, cell.top + 3);

    Type(edit, L"12a\r"); // all text was selected: the digits replace it
    EXPECT_FALSE(::IsWindowVisible(edit));
    EXPECT_FALSE(list.GetInputState().editing);
    EXPECT_EQ(list.GetChildren().edit.GetExitKey(), static_cast<UINT>(VK_RETURN));
    EXPECT_EQ(list.GetItemText(0, kEdit), L"12");
    ASSERT_EQ(Count(LCN_MODIFIED), 1);
    EXPECT_EQ(Sent().back(), std::make_tuple(LCN_MODIFIED, 0, static_cast<int>(kEdit)));
    EXPECT_EQ(Count(LCN_ENDEDIT), 0) << "the editor's record stays with the list";

    ASSERT_TRUE(list.EditItem(1, kEdit));
    EXPECT_EQ(list.GetChildren().edit.GetExitKey(), 0u) << "a new edit forgets the last end key";
    Type(list.GetChildren().edit.m_hWnd, L"new\x1b");
    EXPECT_EQ(list.GetItemText(1, kEdit), L"old");
    EXPECT_EQ(Count(LCN_MODIFIED), 1);
    EXPECT_FALSE(list.GetInputState().editing);
}

TEST_F(ListEditing, TabFocusLossAndScrollingStoreTheTextAndDestroyingTheListCleansUp)
{
    ASSERT_TRUE(list.EditItem(0, kEdit));
    Type(list.GetChildren().edit.m_hWnd, L"abc\t");
    EXPECT_EQ(list.GetItemText(0, kEdit), L"abc");
    EXPECT_EQ(Count(LCN_MODIFIED), 1);
    MSG msg{};
    ASSERT_TRUE(::PeekMessageW(&msg, list, WM_KEYDOWN, WM_KEYDOWN, PM_REMOVE));
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(VK_TAB));

    // Clicking elsewhere (the focus simply moving) ends the edit too.
    ASSERT_TRUE(list.EditItem(1, kEdit));
    Type(list.GetChildren().edit.m_hWnd, L"x");
    list.SetFocus();
    EXPECT_EQ(list.GetItemText(1, kEdit), L"x");
    EXPECT_EQ(Count(LCN_MODIFIED), 2);

    // So does scrolling; destroying the list takes the editor with it.
    ASSERT_TRUE(list.EditItem(0, kEdit));
    Type(list.GetChildren().edit.m_hWnd, L"z");
    list.SendMessage(WM_HSCROLL, SB_LINERIGHT);
    EXPECT_FALSE(list.GetInputState().editing);
    EXPECT_EQ(list.GetItemText(0, kEdit), L"z");
    ASSERT_TRUE(list.EditItem(1, kEdit));
    HWND edit = list.GetChildren().edit.m_hWnd, tip = list.GetChildren().titleTip.m_hWnd;
    list.DestroyWindow();
    EXPECT_FALSE(::IsWindow(edit));
    EXPECT_FALSE(::IsWindow(tip));
}

TEST_F(ListEditing, EndOfEditRecordsWriteDeleteAndDateValues)
{
    EndEdit(0, kEdit, VK_DELETE, L"ignored");
    EXPECT_EQ(list.GetItemText(0, kEdit), L"");
    EXPECT_EQ(Count(LCN_MODIFIED), 1);

    SYSTEMTIME time{2016, 4, 5, 1, 13, 7, 9, 0};
    EndEdit(1, kDate, VK_RETURN, L"1", &time);
    EXPECT_EQ(list.GetItemText(1, kDate), L"20160401130709");
    EndEdit(1, kDate, VK_RETURN, L"0", &time);
    EXPECT_EQ(list.GetItemText(1, kDate), L"");
    EXPECT_EQ(Count(LCN_MODIFIED), 3);

    EndEdit(1, kEdit, VK_ESCAPE, L"lost");
    EXPECT_EQ(list.GetItemText(1, kEdit), L"old");
    EXPECT_EQ(Count(LCN_MODIFIED), 3);
    // A record for a row that is not there changes nothing and does not fault.
    EndEdit(7, kEdit, VK_RETURN, L"x");
    EXPECT_EQ(list.GetItemCount(), 2);
}

TEST_F(ListEditing, ReadOnlyPlainAndChoicelessCellsOpenNoEditor)
{
    SetCell(0, kEdit, ITEM_FLAGS_READ_ONLY);
    EXPECT_TRUE(list.EditItem(0, kEdit));
    EXPECT_TRUE(list.EditItem(0, kPlain));
    EXPECT_FALSE(list.GetChildren().edit.m_hWnd);
    EXPECT_FALSE(list.EditItem(0, kCombo)) << "a combo without choices";
    EXPECT_FALSE(list.GetChildren().combo.m_hWnd);
    EXPECT_FALSE(list.GetInputState().editing);
    EXPECT_FALSE(list.EditItem(5, kEdit));
    EXPECT_FALSE(list.EditItem(0, 9));

    parent.SetFocus();
    EXPECT_FALSE(list.EditItem(1, kEdit)) << "only a focused list edits";
}

TEST_F(ListEditing, ADropDownListSelectsTheExactChoiceAndAnEditableOneValidatesItsField)
{
    SetCell(0, kCombo, 0, {L"beta", L"alpha", L"Gamma"});
    list.SetItemText(0, kCombo, L"gamma");
    ASSERT_TRUE(list.EditItem(0, kCombo));
    HWND combo = list.GetChildren().combo.m_hWnd;
    ASSERT_TRUE(combo && ::IsWindowVisible(combo));
    EXPECT_EQ(::SendMessageW(combo, CB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(::SendMessageW(combo, CB_GETCURSEL, 0, 0), CB_ERR) << "no exact match, no selection";
    list.SetFocus();
    EXPECT_EQ(list.GetItemText(0, kCombo), L"") << "nothing selected ends with an empty text";
    EXPECT_FALSE(list.GetInputState().editing);

    list.SetItemText(0, kCombo, L"beta");
    ASSERT_TRUE(list.EditItem(0, kCombo));
    combo = list.GetChildren().combo.m_hWnd;
    EXPECT_EQ(::SendMessageW(combo, CB_GETCURSEL, 0, 0), 1) << "sorted: alpha, beta, Gamma";
    ::SendMessageW(combo, CB_SETCURSEL, 2, 0);
    Type(combo, L"\r");
    EXPECT_EQ(list.GetItemText(0, kCombo), L"Gamma");
    EXPECT_EQ(Count(LCN_MODIFIED), 2);

    // An editable combo validates its edit field.
    SetCell(1, kCombo, ITEM_FLAGS_COMBO_EDIT | ITEM_FLAGS_EDIT_NUMBER, {L"1", L"2"});
    list.SetItemText(1, kCombo, L"7");
    ASSERT_TRUE(list.EditItem(1, kCombo));
    COMBOBOXINFO info{sizeof(info)};
    ASSERT_TRUE(::GetComboBoxInfo(list.GetChildren().combo.m_hWnd, &info));
    ASSERT_TRUE(info.hwndItem);
    EXPECT_EQ(Text(info.hwndItem), L"7");
    Type(info.hwndItem, L"4x5\t");
    EXPECT_EQ(list.GetItemText(1, kCombo), L"45");
    EXPECT_EQ(list.GetChildren().combo.GetExitKey(), static_cast<UINT>(VK_TAB));
}

TEST_F(ListEditing, TheDatePickerReportsOnlyThePartsItsCellKeeps)
{
    SetCell(0, kDate, ITEM_FLAGS_DATE_ONLY);
    list.SetItemText(0, kDate, L"20160401130709");
    ASSERT_TRUE(list.EditItem(0, kDate));
    HWND picker = list.GetChildren().date.m_hWnd;
    ASSERT_TRUE(picker && ::IsWindowVisible(picker));
    SYSTEMTIME shown{};
    ASSERT_EQ(::SendMessageW(picker, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&shown)), GDT_VALID);
    EXPECT_EQ(shown.wYear, 2016);
    EXPECT_EQ(shown.wDay, 1);
    SYSTEMTIME picked{2017, 2, 0, 3, 10, 11, 12, 0};
    ::SendMessageW(picker, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&picked));
    Type(picker, L"\r");
    EXPECT_EQ(list.GetItemText(0, kDate), L"20170203000000");

    // A cell that may hold no date gets the picker's check box. (The
    // emptying of a cleared check is the "0" record above: this picker
    // cannot be put to "none" by message here.)
    SetCell(1, kDate, ITEM_FLAGS_DATE_NONE);
    ASSERT_TRUE(list.EditItem(1, kDate));
    picker = list.GetChildren().date.m_hWnd;
    EXPECT_TRUE(::GetWindowLongW(picker, GWL_STYLE) & DTS_SHOWNONE);
    EXPECT_EQ(::GetFocus(), picker);
    list.SetFocus();
    EXPECT_FALSE(::IsWindowVisible(picker));
    EXPECT_EQ(Count(LCN_MODIFIED), 2);
}

// ---- Title tip ----------------------------------------------------------------

TEST_F(ListEditing, TheTitleTipShowsOnlyATextThatDoesNotFit)
{
    CTitleTip& tip = list.GetChildren().titleTip;
    ASSERT_TRUE(tip.m_hWnd);
    const std::wstring text = L"a rather long device name";
    CGdiObject<HFONT> font(CreateListMessageFont());
    HDC dc = ::GetDC(tip);
    RECT measure{0, 0, 1000, 20};
    {
        CSelectObject selected(dc, font.Get());
        ::DrawTextW(dc, text.c_str(), -1, &measure, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX | DT_VCENTER);
    }
    ::ReleaseDC(tip, dc);
    const int width = measure.right - measure.left;
    ASSERT_GT(width, 10);

    RECT fits{50, 40, 50 + width + 1, 60};
    EXPECT_FALSE(tip.Show(fits, text, L""));
    EXPECT_FALSE(tip.IsWindowVisible());
    EXPECT_FALSE(tip.Show(RECT{50, 40, 51, 60}, L"", L"")) << "an empty text";

    RECT tight{50, 40, 50 + width, 60};
    ASSERT_TRUE(tip.Show(tight, text, L"row tip"));
    EXPECT_TRUE(tip.IsWindowVisible());
    EXPECT_EQ(::GetCapture(), tip.m_hWnd);
    RECT window{};
    tip.GetWindowRect(&window);
    EXPECT_EQ(window.left, 46);
    EXPECT_EQ(window.top, 40);
    EXPECT_EQ(window.right - window.left, width + 11);
    EXPECT_EQ(window.bottom - window.top, 20);
    EXPECT_EQ(tip.GetTipText(), L"row tip");

    // A click on the tip reaches the list at the same screen point.
    POINT screen{60, 45};
    POINT client = screen;
    tip.ScreenToClient(&client);
    tip.SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(client.x, client.y));
    MSG msg{};
    ASSERT_TRUE(::PeekMessageW(&msg, list, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_REMOVE));
    POINT expected = screen;
    list.ScreenToClient(&expected);
    EXPECT_EQ(static_cast<short>(LOWORD(msg.lParam)), expected.x);
    EXPECT_EQ(static_cast<short>(HIWORD(msg.lParam)), expected.y);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(MK_LBUTTON));

    // Leaving the tip hides it and gives the mouse back.
    tip.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(-20, -20));
    EXPECT_FALSE(tip.IsWindowVisible());
    EXPECT_NE(::GetCapture(), tip.m_hWnd);

    ASSERT_TRUE(tip.Show(tight, text, L""));
    list.SendMessage(WM_VSCROLL, SB_LINEDOWN);
    EXPECT_FALSE(tip.IsWindowVisible()) << "scrolling hides the tip";
    list.SendMessage(WM_VSCROLL, SB_TOP);

    // The pointer resting on a cell's text shows the whole text when the
    // cell is too narrow for it, and nothing when it fits.
    list.SetItemText(0, kPlain, text.c_str());
    list.SetItemText(1, kPlain, L"ab");
    auto hover = [this](int row) {
        RECT cell{};
        EXPECT_TRUE(list.GetItemRect(row, kPlain, cell));
        list.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(cell.left + 20, (cell.top + cell.bottom) / 2));
    };
    hover(0);
    ASSERT_TRUE(tip.IsWindowVisible());
    EXPECT_EQ(Text(tip), text);
    RECT cell{}, shown{};
    list.GetItemRect(0, kPlain, cell);
    list.ClientToScreen(&cell);
    tip.GetWindowRect(&shown);
    EXPECT_EQ(cell.top, shown.top);
    EXPECT_GT(shown.right - shown.left, cell.right - cell.left);
    tip.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(-20, -20));
    ASSERT_FALSE(tip.IsWindowVisible());
    hover(1);
    EXPECT_FALSE(tip.IsWindowVisible());
    hover(0);
    EXPECT_TRUE(tip.IsWindowVisible()) << "back on the long text after the tip went";
    tip.Hide();

    // What the tip shows follows the cell's format: check boxes and progress
    // bars show no text, a date shows as painted, every other format its text.
    SYSTEMTIME date{2016, 4, 5, 1, 13, 7, 9, 0};
    const std::wstring dateText = FormatDate(date) + L" " + FormatTime(date);
    struct Case
    {
        UINT format;
        const wchar_t* text;
        std::wstring shown; // empty: no tip
    };
    for (const Case& c :
         {Case{ITEM_FORMAT_NONE, text.c_str(), text}, Case{ITEM_FORMAT_EDIT, text.c_str(), text},
          Case{ITEM_FORMAT_COMBO, text.c_str(), text}, Case{ITEM_FORMAT_HYPERLINK, text.c_str(), text},
          Case{ITEM_FORMAT_DATETIME, L"20160401130709", dateText}, Case{ITEM_FORMAT_CHECKBOX, text.c_str(), L""},
          Case{ITEM_FORMAT_CHECKBOX3, text.c_str(), L""}, Case{ITEM_FORMAT_PROGRESS, text.c_str(), L""}})
    {
        SCOPED_TRACE(testing::Message() << "format " << c.format);
        list.FindCell(0, kPlain)->format = c.format;
        list.SetItemText(0, kPlain, c.text);
        hover(0);
        EXPECT_EQ(tip.IsWindowVisible() != FALSE, !c.shown.empty());
        if (!c.shown.empty())
            EXPECT_EQ(Text(tip), c.shown);
        tip.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(-20, -20));
    }
}

} // namespace
