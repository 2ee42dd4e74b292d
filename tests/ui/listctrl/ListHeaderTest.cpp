#include "ListFixture.h"

namespace
{

using ListHeader = ListTest;

TEST_F(ListHeader, DividersAreFoundInTheShownStripAndDraggingOneSetsTheWidthFromWhereTheDragBegan)
{
    list.AddColumn(L"A", 100);
    list.AddColumn(L"B", 400);
    ASSERT_TRUE(list.GetGeometry().horzBarShown);
    int position = -9;
    UINT bits = 0;
    EXPECT_TRUE(list.HitTestDivider(POINT{97, 5}, position, bits));
    EXPECT_FALSE(list.HitTestDivider(POINT{50, list.GetHeaderHeight()}, position, bits));
    EXPECT_FALSE(list.HitTestDivider(POINT{50, -1}, position, bits));
    list.ShowHeader(FALSE);
    EXPECT_FALSE(list.HitTestDivider(POINT{97, 5}, position, bits));
    list.ShowHeader(TRUE);

    list.BeginResize(0, 1000);
    list.OnResizeColumn(0, 1030);
    EXPECT_EQ(list.GetColumnWidth(0), 130);
    list.OnResizeColumn(0, 990);
    EXPECT_EQ(list.GetColumnWidth(0), 90);
    list.OnResizeColumn(0, 800);
    EXPECT_EQ(list.GetColumnWidth(0), 0);
    EXPECT_FALSE(list.GetHeaderState().shrinkTimerRunning) << "not at the right end";

    // At the right end, pulling left keeps shrinking until the cursor moves right.
    list.SetColumnWidth(0, 100);
    list.SendMessage(WM_HSCROLL, SB_RIGHT);
    list.BeginResize(0, 1000);

    list.OnResizeColumn(0, 990); // narrower at the right end: the timer takes over
    EXPECT_TRUE(list.GetHeaderState().shrinkTimerRunning);
    EXPECT_EQ(list.GetColumnWidth(0), 100);
    list.OnResizeColumn(0, 980); // moves while the timer runs change nothing
    EXPECT_EQ(list.GetColumnWidth(0), 100);

    list.OnResizeColumn(1, 980); // each tick: 10 pixels left of where shrinking began
    EXPECT_EQ(list.GetColumnWidth(0), 90);
    list.OnResizeColumn(1, 980);
    EXPECT_EQ(list.GetColumnWidth(0), 80);
    list.OnResizeColumn(1, 990); // back where shrinking began: no step
    EXPECT_EQ(list.GetColumnWidth(0), 80);
    EXPECT_TRUE(list.GetHeaderState().shrinkTimerRunning);

    list.OnResizeColumn(1, 995); // right of it: shrinking stops
    EXPECT_FALSE(list.GetHeaderState().shrinkTimerRunning);
    list.OnResizeColumn(0, 1005); // the drag goes on from the stored start
    EXPECT_EQ(list.GetColumnWidth(0), 90);
}

TEST_F(ListHeader, DropArrowsShowOnlyWhereTheColumnWouldMove)
{
    MakeList(400, 150);
    list.AddColumn(L"A", 100);
    list.AddColumn(L"B", 100);
    list.AddColumn(L"C", 100);
    const int half = list.GetHeaderHeight() / 2;
    CDropArrows& arrows = list.GetChildren().dropArrows;
    ASSERT_TRUE(arrows.m_hWnd);
    EXPECT_EQ(arrows.GetLength(), list.GetHeaderHeight() + 20);

    list.Drag().draggedColumn = 0;
    list.ShowDropArrows(POINT{70, half}); // its own place
    EXPECT_EQ(list.GetDragState().dropPosition, -1);
    EXPECT_FALSE(arrows.IsWindowVisible());

    auto arrowsAt = [&](int x) {
        POINT point{x, half};
        list.ClientToScreen(&point);
        RECT rect{};
        arrows.GetWindowRect(&rect);
        EXPECT_TRUE(arrows.IsWindowVisible());
        EXPECT_EQ(rect.left, point.x - 7);
        EXPECT_EQ(rect.top, point.y - arrows.GetLength() / 2);
    };
    list.ShowDropArrows(POINT{170, half});
    arrowsAt(200);
    list.ShowDropArrows(POINT{270, half});
    arrowsAt(300);

    list.Drag().draggedColumn = 2;
    list.ShowDropArrows(POINT{30, half});
    arrowsAt(0);
    list.ShowDropArrows(POINT{350, half}); // beyond the columns
    EXPECT_EQ(list.GetDragState().dropPosition, -1);
    EXPECT_FALSE(arrows.IsWindowVisible());
}

TEST_F(ListHeader, UnthemedButtonsShowPressedStateDividersAndSortArrowsOnlyWhereTheyFit)
{
    MakeList(400, 150);
    list.AddColumn(L"", 0, 9, TRUE); // the check column: image, no title, fixed
    list.AddColumn(L"Alpha", 100);
    list.AddColumn(L"N", 15);
    list.AddColumn(L"Fixed", 60, -1, TRUE);
    const int height = list.GetHeaderHeight();
    const RECT strip{0, 0, 196, height};
    const int middle = height / 2;
    const auto& colours = list.GetColours();

    list.Header().pressedColumn = 1;
    {
        CListPicture picture(list);
        EXPECT_EQ(picture.At(60, 2), colours.headerPressed);
        EXPECT_EQ(picture.At(180, 2), colours.headerFace);
        EXPECT_EQ(picture.At(21 + 100 - 1, middle), colours.headerShadow);
        EXPECT_EQ(picture.At(21 + 100, middle), colours.headerLight);
        // The check column's image sits in the middle of its 21 pixels.
        RECT check{0, 1, 21, height - 1};
        int left = 99, right = -1;
        for (int y = check.top; y < check.bottom; ++y)
            for (int x = check.left; x < check.right; ++x)
                if (picture.At(x, y) == RGB(40, 40, 40))
                    left = std::min(left, x), right = std::max(right, x);
        ASSERT_LE(left, right);
        EXPECT_LE(std::abs((left + right) / 2 - 10), 2);
    }
    list.Header().pressedColumn = -1;

    auto header = [&](int sortColumn) {
        list.Header().sortColumn = sortColumn;
        CListPicture picture(list);
        return picture.Area(strip);
    };
    const auto unsorted = header(-1);
    EXPECT_NE(header(1), unsorted); // a wide column shows the arrow
    EXPECT_EQ(header(2), unsorted); // 15 pixels: too narrow
    EXPECT_EQ(header(3), unsorted); // fixed
    EXPECT_EQ(header(0), unsorted); // fixed check column
}

TEST_F(ListHeader, TheDragImageIsARaisedButtonWithTheColumnsTitle)
{
    list.AddColumn(L"A", 60);
    list.AddColumn(L"Wide title", 120);
    EXPECT_EQ(list.MakeHeaderDragImage(2), nullptr);
    CGdiObject<HBITMAP> image(list.MakeHeaderDragImage(1));
    ASSERT_TRUE(image);
    BITMAP info{};
    ASSERT_TRUE(::GetObjectW(image.Get(), sizeof(info), &info));
    EXPECT_EQ(info.bmWidth, 120);
    EXPECT_EQ(info.bmHeight, list.GetHeaderHeight());
    CMemoryDc memory(::CreateCompatibleDC(nullptr));
    CSelectObject selected(memory.Get(), image.Get());
    HDC dc = memory.Get();
    const auto& colours = list.GetColours();
    EXPECT_EQ(::GetPixel(dc, 0, 5), colours.headerLight);
    EXPECT_EQ(::GetPixel(dc, 119, 5), colours.headerShadow);
    EXPECT_EQ(::GetPixel(dc, 60, info.bmHeight - 1), colours.headerShadow);
    int text = 0;
    for (int y = 1; y < info.bmHeight - 1; ++y)
        for (int x = 1; x < 119; ++x)
            text += ::GetPixel(dc, x, y) == colours.headerText;
    EXPECT_GT(text, 0);
}

} // namespace
