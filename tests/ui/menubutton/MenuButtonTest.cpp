#include "ui/MenuButton.h"
#include "tests/ui/UiTest.h"

#include <gtest/gtest.h>

namespace
{

constexpr UINT kMenu = 202;
constexpr WORD kButtonId = 1001;

// What was seen of the popup menu while it showed. The menu is answered with
// `downs` Down presses and Enter, or with Esc when downs is -1.
struct MenuVisit
{
    int shown = 0;
    std::vector<UINT> ids;
    int defaultItem = -2;
    bool menuDown = false;
    int downs = -1;
    bool clickBody = false; // a click on the button's body waits behind the menu
    WTLEX::CAutoMenuButton* button = nullptr;
} g_visit;

// Runs inside the menu's loop until the menu shows.
void CALLBACK OnMenuTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    HWND popup = FindWindowW(L"#32768", nullptr);
    if (!popup || !IsWindowVisible(popup))
        return;
    KillTimer(nullptr, id);
    ++g_visit.shown;
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
    g_visit.ids.clear();
    for (int i = 0; i < GetMenuItemCount(menu); ++i)
        g_visit.ids.push_back(GetMenuItemID(menu, i));
    g_visit.defaultItem = static_cast<int>(GetMenuDefaultItem(menu, TRUE, 0));
    g_visit.menuDown = g_visit.button->IsMenuDown();
    if (g_visit.clickBody)
        g_visit.button->PostMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    for (int i = 0; i < g_visit.downs; ++i)
        PostMessageW(popup, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(popup, WM_KEYDOWN, g_visit.downs < 0 ? VK_ESCAPE : VK_RETURN, 0);
}

class MenuButton : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(parent.Create(nullptr, RECT{100, 100, 500, 300}, L"main"));
        ASSERT_TRUE(button.Create(parent, RECT{10, 10, 110, 35}, L"B&rowse...", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0,
                                  kButtonId));
        other = CreateWindowExW(0, L"BUTTON", L"&Refresh", WS_CHILD | WS_VISIBLE, 120, 10, 60, 25, parent,
                                reinterpret_cast<HMENU>(1003), nullptr, nullptr);
        g_visit = MenuVisit{};
        g_visit.button = &button;
    }
    void TearDown() override { parent.DestroyWindow(); }

    // Runs `action`; a menu it shows is answered as g_visit says.
    template <class Action> void WithMenu(int downs, Action action)
    {
        g_visit.downs = downs;
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, OnMenuTimer);
        action();
        KillTimer(nullptr, timer);
        PumpPending();
    }

    CCommandParent parent;
    WTLEX::CAutoMenuButton button{kMenu};
    CWindow other;
};

} // namespace

TEST_F(MenuButton, TheArrowOrDownAndUpWithTheFocusDropTheMenuAndTheBodyClicks)
{
    EXPECT_EQ(static_cast<DWORD>(BS_OWNERDRAW), button.GetStyle() & BS_TYPEMASK);
    RECT client{};
    button.GetClientRect(&client);
    const int strip = client.right - WTLEX::MenuArrowWidth();
    other.SetFocus();
    WithMenu(-1, [&] { button.SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(strip + 1, 5)); });
    ASSERT_EQ(1, g_visit.shown);
    EXPECT_EQ((std::vector<UINT>{kButtonId, 32777}), g_visit.ids);
    EXPECT_EQ(0, g_visit.defaultItem);
    EXPECT_TRUE(g_visit.menuDown);
    EXPECT_FALSE(button.IsMenuDown());
    EXPECT_EQ(button.m_hWnd, GetFocus());
    EXPECT_TRUE(parent.commands.empty()) << "a dismissed menu sends nothing";

    // One pixel left of the strip is the body: an ordinary click.
    WithMenu(-1, [&] {
        button.SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(strip, 5));
        button.SendMessage(WM_LBUTTONUP, 0, MAKELPARAM(strip, 5));
    });
    EXPECT_EQ(1, g_visit.shown);
    EXPECT_EQ((std::vector<WORD>{kButtonId}), parent.commands);

    // Down or Up drops it only while the button has the focus.
    MSG down{button, WM_KEYDOWN, VK_DOWN, 0};
    MSG up{button, WM_KEYDOWN, VK_UP, 0};
    other.SetFocus();
    WithMenu(-1, [&] { button.SendMessage(WM_GETDLGCODE, VK_DOWN, reinterpret_cast<LPARAM>(&down)); });
    EXPECT_EQ(1, g_visit.shown);
    button.SetFocus();
    LRESULT code = 0;
    WithMenu(-1, [&] { code = button.SendMessage(WM_GETDLGCODE, VK_DOWN, reinterpret_cast<LPARAM>(&down)); });
    WithMenu(-1, [&] { button.SendMessage(WM_GETDLGCODE, VK_UP, reinterpret_cast<LPARAM>(&up)); });
    EXPECT_EQ(3, g_visit.shown);
    EXPECT_EQ(DLGC_WANTARROWS, code);
}

TEST_F(MenuButton, ChosenItemsReachTheParentAndTheDefaultFlagFollowsTheDialogManager)
{
    UINT chosen[3] = {};
    WithMenu(1, [&] { chosen[0] = button.DropMenu(POINT{0, 20}); });
    WithMenu(2, [&] { chosen[1] = button.DropMenu(POINT{0, 20}); });
    // The click that ends a menu does not press the button afterwards.
    g_visit.clickBody = true;
    WithMenu(-1, [&] { chosen[2] = button.DropMenu(POINT{0, 20}); });
    EXPECT_EQ(kButtonId, chosen[0]);
    EXPECT_EQ(32777u, chosen[1]);
    EXPECT_EQ(0u, chosen[2]);
    EXPECT_EQ((std::vector<WORD>{kButtonId, 32777}), parent.commands);
    EXPECT_EQ(0u, button.GetState() & BST_PUSHED);

    // Without a text the menu holds only its own items and no default.
    button.SetWindowText(L"");
    WithMenu(-1, [&] { button.DropMenu(POINT{0, 20}); });
    EXPECT_EQ((std::vector<UINT>{32777}), g_visit.ids);
    EXPECT_EQ(-1, g_visit.defaultItem);

    // The default flag follows the dialog manager.
    EXPECT_EQ(DLGC_WANTARROWS | DLGC_UNDEFPUSHBUTTON, button.SendMessage(WM_GETDLGCODE));
    button.SendMessage(BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    EXPECT_EQ(DLGC_WANTARROWS | DLGC_DEFPUSHBUTTON, button.SendMessage(WM_GETDLGCODE));
    EXPECT_EQ(static_cast<DWORD>(BS_OWNERDRAW), button.GetStyle() & BS_TYPEMASK);

    // A dialog's default push button, taken over, starts as the default.
    WTLEX::CAutoMenuButton taken(kMenu);
    ASSERT_TRUE(taken.SubclassWindow(CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | BS_DEFPUSHBUTTON | BS_CENTER, 0,
                                                     0, 60, 25, parent, nullptr, nullptr, nullptr)));
    EXPECT_TRUE(taken.IsDefault());
}

// A drop point off every monitor is pulled into the nearest work area across,
// never up or down.
TEST(MenuPoint, OffEveryMonitorOnlyXIsPulledIntoTheWorkArea)
{
    if (GetSystemMetrics(SM_CMONITORS) != 1)
        GTEST_SKIP() << "the points are laid out for one monitor";
    MONITORINFO info{sizeof(info)};
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info));
    const RECT screen = info.rcMonitor, work = info.rcWork;
    const struct
    {
        POINT in, out;
    } cases[] = {
        {{screen.right - 1, screen.bottom - 1}, {screen.right - 1, screen.bottom - 1}},
        {{screen.left - 40, screen.top + 5}, {work.left, screen.top + 5}},
        {{screen.right + 40, screen.top + 5}, {work.right, screen.top + 5}},
        {{screen.left + 5, screen.bottom + 40}, {screen.left + 5, screen.bottom + 40}},
        {{screen.left - 40, screen.top - 40}, {work.left, screen.top - 40}},
    };
    for (const auto& c : cases)
    {
        const POINT clamped = WTLEX::ClampMenuPoint(c.in);
        EXPECT_EQ(c.out.x, clamped.x) << c.in.x << "," << c.in.y;
        EXPECT_EQ(c.out.y, clamped.y) << c.in.x << "," << c.in.y;
    }
}
