#include "ui/StatusBar.h"
#include "tests/ui/UiTest.h"

#include <gtest/gtest.h>

namespace
{

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
        ASSERT_TRUE(bar.SetPanes(kPanes, 5));
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
        return CreateWindowExW(0, L"BUTTON", nullptr, WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON, 0, 0, 10, 10, bar,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    }
    // Whether a window covers pane `index` less a one-pixel border.
    bool OnPane(HWND window, int index)
    {
        RECT place{}, pane{};
        GetWindowRect(window, &place);
        MapWindowPoints(nullptr, bar, reinterpret_cast<POINT*>(&place), 2);
        bar.GetRect(index, &pane);
        InflateRect(&pane, -1, -1);
        return EqualRect(&place, &pane) != FALSE;
    }
    std::vector<int> Edges()
    {
        std::vector<int> edges(5);
        bar.GetParts(5, edges.data());
        return edges;
    }

    CCommandParent parent;
    CMPSBarWithAny bar;
};

} // namespace

TEST_F(StatusBar, PanesTakeTheirTextsWidthsAndTheDefaultPaneTheRest)
{
    EXPECT_EQ(L"      Flash all except storage  ", bar.GetPaneText(32781));
    EXPECT_TRUE(bar.SetPaneText(ID_DEFAULT_PANE, L"Error: x"));
    EXPECT_EQ(L"Error: x", bar.GetPaneText(ID_DEFAULT_PANE));
    EXPECT_FALSE(bar.SetPaneText(4711, L"no such pane"));

    ASSERT_TRUE(bar.SetPaneWidth(32783, 50));
    bar.UpdatePanesLayout();
    std::vector<int> edges = Edges();
    // Longer strings make wider panes; the last ends left of the gripper.
    EXPECT_LT(edges[1] - edges[0], edges[2] - edges[1]);
    EXPECT_LT(edges[2] - edges[1], edges[3] - edges[2]);
    EXPECT_EQ(50, edges[4] - edges[3]);
    const int gripper = GetSystemMetrics(SM_CXVSCROLL) + 1;
    RECT client{};
    bar.GetClientRect(&client);
    EXPECT_EQ(client.right - gripper, edges[4]);

    // A wider window widens the default pane only.
    ResizeTo(1000);
    bar.GetClientRect(&client);
    std::vector<int> wider = Edges();
    EXPECT_EQ(client.right - gripper, wider[4]);
    EXPECT_EQ(edges[4] - edges[0], wider[4] - wider[0]);
}

TEST_F(StatusBar, WindowsInPanesFollowThePanes)
{
    HWND radios[3] = {Radio(32780), Radio(32781), Radio(32782)};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(bar.AddWindow(i + 1, radios[i], TRUE));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(OnPane(radios[i], i + 1));

    ResizeTo(1100);
    EXPECT_TRUE(OnPane(radios[2], 3));

    // Minimised: no layout, the panes and their windows stay as they are.
    std::vector<int> edges = Edges();
    for (int& edge : edges)
        edge -= 100;
    bar.SetParts(5, edges.data());
    bar.SendMessage(WM_SIZE, SIZE_MINIMIZED, 0);
    EXPECT_EQ(edges, Edges());
    EXPECT_FALSE(OnPane(radios[2], 3));
    ResizeTo(700);
    EXPECT_TRUE(OnPane(radios[2], 3));

    // Simple mode hides them, leaving it shows them again.
    bar.SendMessage(SB_SIMPLE, TRUE);
    EXPECT_TRUE(bar.SendMessage(SB_ISSIMPLE));
    EXPECT_FALSE(IsWindowVisible(radios[0]));
    bar.SendMessage(SB_SIMPLE, FALSE);
    EXPECT_TRUE(IsWindowVisible(radios[0]));

    // A click on a button in a pane reaches the main window.
    SendMessageW(radios[1], BM_CLICK, 0, 0);
    EXPECT_EQ((std::vector<WORD>{32781}), parent.commands);
}

TEST_F(StatusBar, OneWindowPerPaneFifteenAtMostOwnedOnesDestroyed)
{
    HWND first = Radio(1);
    HWND loose = Radio(2);
    // Pane 5 of five panes does not exist; the window stays where it was.
    RECT before{}, after{};
    GetWindowRect(loose, &before);
    EXPECT_FALSE(bar.AddWindow(5, loose, TRUE));
    EXPECT_FALSE(bar.AddWindow(-1, loose, TRUE));
    EXPECT_FALSE(bar.AddWindow(1, nullptr, TRUE));
    GetWindowRect(loose, &after);
    EXPECT_TRUE(EqualRect(&before, &after));
    // The last pane takes one.
    ASSERT_TRUE(bar.AddWindow(4, loose, FALSE));
    EXPECT_TRUE(OnPane(loose, 4));
    EXPECT_TRUE(bar.RemoveWindow(4));

    // A second window in an owned window's pane destroys the first; a
    // window not owned is only hidden when it leaves.
    ASSERT_TRUE(bar.AddWindow(1, first, TRUE));
    ASSERT_TRUE(bar.AddWindow(1, loose, FALSE));
    EXPECT_FALSE(IsWindow(first));
    EXPECT_TRUE(bar.RemoveWindow(1));
    EXPECT_TRUE(IsWindow(loose));
    EXPECT_FALSE(IsWindowVisible(loose));
    EXPECT_EQ(nullptr, bar.GetPaneWindow(1));

    std::vector<int> ids(17, 40000);
    ids[0] = ID_DEFAULT_PANE;
    ASSERT_TRUE(bar.SetPanes(ids.data(), 17));
    for (int pane = 0; pane < 15; ++pane)
        ASSERT_TRUE(bar.AddWindow(pane, Radio(100 + pane), TRUE));
    EXPECT_FALSE(bar.AddWindow(15, loose, TRUE));
    HWND third = bar.GetPaneWindow(3);
    EXPECT_TRUE(bar.AddWindow(3, loose, TRUE));
    EXPECT_FALSE(IsWindow(third));
}
