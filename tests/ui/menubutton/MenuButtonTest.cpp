#include "ui/MenuButton.h"
#include "tests/ui/UiTest.h"

#include <gtest/gtest.h>

namespace {

constexpr UINT kMenu = 202;
constexpr int kButtonId = 1001;

// What was seen of the popup menu while it was shown, and what was done.
struct MenuVisit
{
    int shown = 0;
    std::vector<UINT> ids;
    std::vector<std::wstring> texts;
    int defaultItem = -2;
    bool buttonMenuDown = false;
    int downs = 0; // Down presses before Enter; -1 dismisses with Esc
    bool clickBody = false; // a click on the button's body waits behind the menu
    const WTLEX::CAutoMenuButton* button = nullptr;
};
MenuVisit* g_visit = nullptr;

void CALLBACK OnMenuTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    HWND popup = FindWindowW(L"#32768", nullptr);
    if (!popup || !IsWindowVisible(popup)) {
        // No menu: nothing to record.
        return;
    }
    MenuVisit& visit = *g_visit;
    ++visit.shown;
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[64] = {};
        GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
        visit.ids.push_back(GetMenuItemID(menu, i));
        visit.texts.push_back(text);
    }
    visit.defaultItem = static_cast<int>(GetMenuDefaultItem(menu, TRUE, 0));
    visit.buttonMenuDown = visit.button->IsMenuDown();
    if (visit.clickBody)
        PostMessageW(visit.button->m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    if (visit.downs < 0) {
        PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        return;
    }
    for (int i = 0; i < visit.downs; ++i)
        PostMessageW(popup, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(popup, WM_KEYDOWN, VK_RETURN, 0);
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

class MenuButton : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(parent.Create(nullptr, RECT{100, 100, 500, 300}, L"main"));
        ASSERT_TRUE(button.Create(parent, RECT{10, 10, 110, 35}, L"B&rowse...", WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                                  0, kButtonId));
        other = CreateWindowExW(0, L"BUTTON", L"&Refresh", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 120, 10, 60, 25,
                                parent, reinterpret_cast<HMENU>(1003), nullptr, nullptr);
        visit.button = &button;
        g_visit = &visit;
    }
    void TearDown() override
    {
        g_visit = nullptr;
        parent.DestroyWindow();
    }

    // Runs `action` with the menu answered `downs` Down presses and Enter
    // (or Esc for -1) once it shows; a menu that never shows is not waited for.
    template <class Action>
    void WithMenu(int downs, Action action)
    {
        visit.downs = downs;
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, OnMenuTimer);
        action();
        KillTimer(nullptr, timer);
        PumpMessages();
    }
    int ClientRight()
    {
        RECT client{};
        button.GetClientRect(&client);
        return client.right;
    }

    CCommandParent parent;
    WTLEX::CAutoMenuButton button{kMenu};
    CWindow other;
    MenuVisit visit;
};

} // namespace

TEST_F(MenuButton, TheArrowDropsTheMenuWithTheButtonsCommandOnTop)
{
    EXPECT_EQ(static_cast<DWORD>(BS_OWNERDRAW), button.GetStyle() & BS_TYPEMASK);
    const int strip = ClientRight() - WTLEX::MenuArrowWidth();
    other.SetFocus();
    WithMenu(-1, [&] { button.SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(strip + 1, 5)); });
    ASSERT_EQ(1, visit.shown);
    EXPECT_EQ((std::vector<UINT>{kButtonId, 32777}), visit.ids);
    EXPECT_EQ((std::vector<std::wstring>{L"B&rowse...", L"&Advanced..."}), visit.texts);
    EXPECT_EQ(0, visit.defaultItem);
    EXPECT_TRUE(visit.buttonMenuDown);
    EXPECT_FALSE(button.IsMenuDown());
    EXPECT_EQ(button.m_hWnd, GetFocus());
    EXPECT_TRUE(parent.commands.empty()) << "a dismissed menu sends nothing";

    // One pixel left of the strip is the body: an ordinary click.
    WithMenu(-1, [&] {
        button.SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(strip, 5));
        button.SendMessage(WM_LBUTTONUP, 0, MAKELPARAM(strip, 5));
    });
    EXPECT_EQ(1, visit.shown);
    EXPECT_EQ((std::vector<WORD>{kButtonId}), parent.commands);
}

TEST_F(MenuButton, ChosenItemsReachTheParent)
{
    POINT bottomLeft{0, 20};
    UINT chosen = 0;
    WithMenu(1, [&] { chosen = button.DropMenu(bottomLeft); });
    EXPECT_EQ(static_cast<UINT>(kButtonId), chosen);
    WithMenu(2, [&] { chosen = button.DropMenu(bottomLeft); });
    EXPECT_EQ(32777u, chosen);
    WithMenu(-1, [&] { chosen = button.DropMenu(bottomLeft); });
    EXPECT_EQ(0u, chosen);
    EXPECT_EQ((std::vector<WORD>{kButtonId, 32777}), parent.commands);

    // The click that ends a menu does not press the button afterwards.
    visit.clickBody = true;
    WithMenu(-1, [&] { button.DropMenu(bottomLeft); });
    EXPECT_EQ(0u, button.GetState() & BST_PUSHED);
    EXPECT_EQ(nullptr, GetCapture());
}

TEST_F(MenuButton, AButtonWithoutTextShowsOnlyTheMenuItems)
{
    button.SetWindowText(L"");
    WithMenu(-1, [&] { button.DropMenu(POINT{0, 20}); });
    ASSERT_EQ(1, visit.shown);
    EXPECT_EQ((std::vector<UINT>{32777}), visit.ids);
    EXPECT_EQ(-1, visit.defaultItem);
}

TEST_F(MenuButton, DownOrUpDropsTheMenuOnlyWithTheFocus)
{
    MSG down{button, WM_KEYDOWN, VK_DOWN, 0};
    other.SetFocus();
    WithMenu(-1, [&] { button.SendMessage(WM_GETDLGCODE, VK_DOWN, reinterpret_cast<LPARAM>(&down)); });
    EXPECT_EQ(0, visit.shown);

    button.SetFocus();
    LRESULT code = 0;
    WithMenu(-1, [&] { code = button.SendMessage(WM_GETDLGCODE, VK_DOWN, reinterpret_cast<LPARAM>(&down)); });
    EXPECT_EQ(1, visit.shown);
    EXPECT_EQ(DLGC_WANTARROWS, code);
    MSG up{button, WM_KEYDOWN, VK_UP, 0};
    WithMenu(-1, [&] { button.SendMessage(WM_GETDLGCODE, VK_UP, reinterpret_cast<LPARAM>(&up)); });
    EXPECT_EQ(2, visit.shown);
}

TEST_F(MenuButton, TheDefaultFlagFollowsTheDialogManager)
{
    EXPECT_FALSE(button.IsDefault());
    EXPECT_EQ(DLGC_WANTARROWS | DLGC_UNDEFPUSHBUTTON, button.SendMessage(WM_GETDLGCODE));
    button.SendMessage(BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    EXPECT_TRUE(button.IsDefault());
    EXPECT_EQ(DLGC_WANTARROWS | DLGC_DEFPUSHBUTTON, button.SendMessage(WM_GETDLGCODE));
    EXPECT_EQ(static_cast<DWORD>(BS_OWNERDRAW), button.GetStyle() & BS_TYPEMASK);
    button.SendMessage(BM_SETSTYLE, BS_PUSHBUTTON, FALSE);
    EXPECT_FALSE(button.IsDefault());

    // A dialog's default push button, taken over, starts as the default.
    HWND dialogButton = CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 200, 10, 60,
                                        25, parent, reinterpret_cast<HMENU>(1), nullptr, nullptr);
    WTLEX::CAutoMenuButton taken(kMenu);
    ASSERT_TRUE(taken.SubclassWindow(dialogButton));
    EXPECT_TRUE(taken.IsDefault());
    EXPECT_EQ(static_cast<DWORD>(BS_OWNERDRAW), taken.GetStyle() & BS_TYPEMASK);
}

TEST_F(MenuButton, TheDefaultButtonIsFramed)
{
    // Drawn into a bitmap as the reflected notification would draw it.
    auto cornerAfterDraw = [&](UINT state) {
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, 100, 25);
        HGDIOBJ old = SelectObject(dc, bitmap);
        DRAWITEMSTRUCT item{ODT_BUTTON, kButtonId, 0, ODA_DRAWENTIRE, state, button, dc, RECT{0, 0, 100, 25}, 0};
        button.SendMessage(OCM_DRAWITEM, kButtonId, reinterpret_cast<LPARAM>(&item));
        const COLORREF corner = GetPixel(dc, 0, 12);
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        ReleaseDC(nullptr, screen);
        return corner;
    };
    const COLORREF frame = GetSysColor(COLOR_BTNTEXT);
    EXPECT_NE(frame, cornerAfterDraw(0));
    EXPECT_EQ(frame, cornerAfterDraw(ODS_FOCUS));
    button.SendMessage(BM_SETSTYLE, BS_DEFPUSHBUTTON, FALSE);
    EXPECT_EQ(frame, cornerAfterDraw(0));
}

TEST(MenuPoint, APointOffEveryMonitorIsPulledInHorizontally)
{
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info));
    const RECT& work = info.rcWork;
    const POINT inside{work.left + 10, work.top + 10};
    const POINT onInside = WTLEX::ClampMenuPoint(inside);
    EXPECT_EQ(inside.x, onInside.x);
    EXPECT_EQ(inside.y, onInside.y);

    const POINT left = WTLEX::ClampMenuPoint(POINT{work.left - 5000, work.top + 10});
    EXPECT_EQ(work.left, left.x);
    EXPECT_EQ(work.top + 10, left.y);
    const POINT right = WTLEX::ClampMenuPoint(POINT{work.right + 5000, work.bottom + 7000});
    EXPECT_EQ(work.right, right.x);
    EXPECT_EQ(work.bottom + 7000, right.y);
}
