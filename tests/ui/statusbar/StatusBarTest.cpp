#include "ui/StatusBar.h"

#include "tests/ui/UiTest.h"

#include <gtest/gtest.h>

// Rectangles compared and shown by the assertions (found by argument lookup).
bool operator==(const RECT& a, const RECT& b)
{
    return EqualRect(&a, &b) != FALSE;
}
bool operator!=(const RECT& a, const RECT& b)
{
    return !(a == b);
}
std::ostream& operator<<(std::ostream& out, const RECT& r)
{
    return out << "{" << r.left << "," << r.top << "," << r.right << "," << r.bottom << "}";
}

namespace {

constexpr int kPanes[] = {ID_DEFAULT_PANE, 32780, 32781, 32782, 32783};

class StatusBar : public testing::Test
{
protected:
    void SetUp() override
    {
        INITCOMMONCONTROLSEX init{sizeof(init), ICC_BAR_CLASSES};
        InitCommonControlsEx(&init);
        ASSERT_TRUE(parent.Create(nullptr, RECT{0, 0, 800, 200}, L"main"));
        ASSERT_TRUE(bar.Create(parent, RECT{0, 0, 0, 0}, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 1006));
    }
    void TearDown() override { parent.DestroyWindow(); }

    // Resizes the main window and tells the status bar, as its owner does.
    void ResizeTo(int width)
    {
        parent.SetWindowPos(nullptr, 0, 0, width, 200, SWP_NOMOVE | SWP_NOZORDER);
        RECT client{};
        parent.GetClientRect(&client);
        bar.SendMessage(WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
    }
    HWND Radio(int id)
    {
        return CreateWindowExW(0, L"BUTTON", nullptr, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTORADIOBUTTON, 0, 0,
                               10, 10, bar, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    }
    // A window's rectangle in the status bar's client coordinates.
    RECT PlaceOf(HWND window)
    {
        RECT rect{};
        GetWindowRect(window, &rect);
        MapWindowPoints(nullptr, bar, reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    }
    RECT PaneLessBorder(int index)
    {
        RECT rect{};
        bar.GetRect(index, &rect);
        InflateRect(&rect, -1, -1);
        return rect;
    }
    int PaneWidth(int index)
    {
        RECT rect{};
        bar.GetRect(index, &rect);
        return rect.right - rect.left;
    }

    CCommandParent parent;
    CMPSBarWithAny bar;
};

} // namespace

TEST_F(StatusBar, PanesTakeTheirTextsWidthsAndTheDefaultPaneTheRest)
{
    ASSERT_TRUE(bar.SetPanes(kPanes, 5));
    EXPECT_EQ(L"      Flash all except storage  ", bar.GetPaneText(32781));
    EXPECT_EQ(L"", bar.GetPaneText(ID_DEFAULT_PANE));
    EXPECT_EQ(-1, bar.GetPaneIndexFromID(4711));
    EXPECT_TRUE(bar.SetPaneText(ID_DEFAULT_PANE, L"Error: x"));
    EXPECT_EQ(L"Error: x", bar.GetPaneText(ID_DEFAULT_PANE));

    // Longer strings make wider panes.
    EXPECT_LT(PaneWidth(1), PaneWidth(2));
    EXPECT_LT(PaneWidth(2), PaneWidth(3));

    ASSERT_TRUE(bar.SetPaneWidth(32783, 50));
    bar.UpdatePanesLayout();
    int edges[5] = {};
    bar.GetParts(5, edges);
    RECT client{};
    bar.GetClientRect(&client);
    const int gripper = GetSystemMetrics(SM_CXVSCROLL) + 1;
    EXPECT_EQ(50, edges[4] - edges[3]);
    EXPECT_EQ(client.right - gripper, edges[4]);
    const int fixed = edges[4] - edges[0];

    // A wider window widens the default pane only.
    ResizeTo(1000);
    bar.GetParts(5, edges);
    bar.GetClientRect(&client);
    EXPECT_EQ(client.right - gripper, edges[4]);
    EXPECT_EQ(fixed, edges[4] - edges[0]);
    EXPECT_EQ(50, edges[4] - edges[3]);
}

TEST_F(StatusBar, WindowsInPanesFollowThePanes)
{
    ASSERT_TRUE(bar.SetPanes(kPanes, 5));
    HWND radios[3] = {Radio(32780), Radio(32781), Radio(32782)};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(bar.AddWindow(i + 1, radios[i], TRUE));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(PaneLessBorder(i + 1), PlaceOf(radios[i]));

    ResizeTo(1100);
    EXPECT_EQ(PaneLessBorder(3), PlaceOf(radios[2]));
    const RECT restored = PlaceOf(radios[2]);

    // Minimised: no layout, the panes and their windows stay as they are.
    int edges[5] = {};
    bar.GetParts(5, edges);
    for (int& edge : edges)
        edge -= 100;
    bar.SetParts(5, edges);
    bar.SendMessage(WM_SIZE, SIZE_MINIMIZED, 0);
    EXPECT_EQ(restored, PlaceOf(radios[2]));
    int after[5] = {};
    bar.GetParts(5, after);
    EXPECT_EQ(edges[4], after[4]);
    ResizeTo(700);
    EXPECT_EQ(PaneLessBorder(3), PlaceOf(radios[2]));
    EXPECT_NE(restored, PlaceOf(radios[2]));

    // Simple mode hides them, leaving it shows them again.
    bar.SetSimple(TRUE);
    EXPECT_TRUE(bar.IsSimple());
    EXPECT_FALSE(IsWindowVisible(radios[0]));
    bar.SetSimple(FALSE);
    EXPECT_TRUE(IsWindowVisible(radios[0]));
    EXPECT_TRUE(IsWindowVisible(radios[2]));

    // A click on a button in a pane reaches the main window.
    SendMessageW(radios[1], BM_CLICK, 0, 0);
    EXPECT_EQ((std::vector<WORD>{32781}), parent.commands);
    EXPECT_EQ(BST_CHECKED, SendMessageW(radios[1], BM_GETCHECK, 0, 0));
}

TEST_F(StatusBar, PaneWindowsAreAttachedOnePerPaneAndOwnedOnesDestroyed)
{
    ASSERT_TRUE(bar.SetPanes(kPanes, 5));
    HWND first = Radio(1);
    HWND outside = Radio(2);
    const RECT before = PlaceOf(outside);

    // Pane 5 of five panes does not exist; the window stays where it was.
    EXPECT_FALSE(bar.AddWindow(5, outside, TRUE));
    EXPECT_FALSE(bar.AddWindow(-1, outside, TRUE));
    EXPECT_FALSE(bar.RemoveWindow(5));
    EXPECT_EQ(before, PlaceOf(outside));
    EXPECT_FALSE(bar.AddWindow(1, nullptr, TRUE));

    // A second window in an owned window's pane destroys the first.
    ASSERT_TRUE(bar.AddWindow(1, first, TRUE));
    ASSERT_TRUE(bar.AddWindow(1, outside, FALSE));
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(outside, bar.GetPaneWindow(1));

    // A window not owned is only hidden when it leaves.
    EXPECT_TRUE(bar.RemoveWindow(1));
    EXPECT_TRUE(IsWindow(outside));
    EXPECT_FALSE(IsWindowVisible(outside));
    EXPECT_EQ(nullptr, bar.GetPaneWindow(1));
    EXPECT_TRUE(bar.RemoveWindow(1)); // nothing there: nothing to do
}

TEST_F(StatusBar, FifteenWindowsAtMost)
{
    std::vector<int> ids;
    for (int i = 0; i < 17; ++i)
        ids.push_back(i == 0 ? ID_DEFAULT_PANE : 40000 + i);
    ASSERT_TRUE(bar.SetPanes(ids.data(), static_cast<int>(ids.size())));
    std::vector<HWND> windows;
    for (int pane = 0; pane < 15; ++pane) {
        windows.push_back(Radio(100 + pane));
        ASSERT_TRUE(bar.AddWindow(pane, windows.back(), TRUE));
    }
    HWND extra = Radio(200);
    EXPECT_FALSE(bar.AddWindow(15, extra, TRUE));
    // Replacing the window of a pane that holds one still works.
    EXPECT_TRUE(bar.AddWindow(3, extra, TRUE));
    EXPECT_FALSE(IsWindow(windows[3]));
}

TEST_F(StatusBar, TheTableDestroysItsOwnedWindowsWhenItGoes)
{
    // Popups are not destroyed with the status bar window; the table
    // destroys those it owns and leaves the others.
    HWND owned = CreateWindowExW(0, L"STATIC", nullptr, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND borrowed = CreateWindowExW(0, L"STATIC", nullptr, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    {
        CMPSBarWithAny other;
        ASSERT_TRUE(other.Create(parent, RECT{0, 0, 0, 0}, nullptr, WS_CHILD | WS_VISIBLE, 0, 1007));
        ASSERT_TRUE(other.SetPanes(kPanes, 5));
        ASSERT_TRUE(other.AddWindow(1, owned, TRUE));
        ASSERT_TRUE(other.AddWindow(2, borrowed, FALSE));
        other.DestroyWindow();
    }
    EXPECT_FALSE(IsWindow(owned));
    EXPECT_TRUE(IsWindow(borrowed));
    DestroyWindow(borrowed);
}
