#include "ListFixture.h"

namespace
{

class ListPaint : public ListTest
{
protected:
    void SetUp() override
    {
        ListTest::SetUp();
        list.SetRowHeight(20);
    }
    // The area of a cell (row, display position) in the picture.
    RECT CellArea(int row, int position)
    {
        RECT rect{};
        EXPECT_TRUE(list.GetItemRect(row, position, rect));
        return rect;
    }
    // Pixels for which test holds.
    template <class Test> static int CountWhere(const CListPicture& picture, const RECT& area, Test test)
    {
        int n = 0;
        for (COLORREF pixel : picture.Area(area))
            n += test(GetRValue(pixel), GetGValue(pixel), GetBValue(pixel));
        return n;
    }
};

TEST_F(ListPaint, ProgressBarsFillTheirShareOfTheTroughTruncatedToWholePixels)
{
    list.AddColumn(L"Progress", 108, -1, FALSE, ITEM_FORMAT_PROGRESS, ITEM_FLAGS_PROGRESS_SOLID);
    // The trough: 3 pixels in from the 107-pixel cell, then 3 more for the frame.
    const int troughWidth = 107 - 12;
    const std::pair<const wchar_t*, int> rows[] = {
        {L"150", troughWidth}, {L"-5", 0}, {L"no number", 0}, {L"42.9", troughWidth * 429 / 1000}, {L"0", 0},
        {L"100", troughWidth}};
    for (const auto& row : rows)
        list.AddItem(row.first);
    CListPicture picture(list);
    for (int row = 0; row < 6; ++row)
    {
        RECT area = CellArea(row, 0);
        int y = (area.top + area.bottom) / 2;
        EXPECT_EQ(CountWhere(picture, RECT{area.left, y, area.right, y + 1},
                             [](int r, int g, int b) { return g > r + 40 && g > b + 40; }),
                  rows[row].second)
            << row;
    }
    // The empty trough still has its frame.
    RECT empty = CellArea(1, 0);
    EXPECT_GT(picture.Count(empty, list.GetColours().headerShadow), 0);
}

TEST_F(ListPaint, CheckBoxesShowTheImageOfTheirValue)
{
    MakeList(300, 300);
    list.SetRowHeight(20);
    list.AddColumn(L"Tick", 40);
    struct Case
    {
        const wchar_t* text;
        UINT format;
        int image;
    };
    const Case cases[] = {
        {L"0", ITEM_FORMAT_CHECKBOX, 2},  {L"", ITEM_FORMAT_CHECKBOX, 2},   {L"-1", ITEM_FORMAT_CHECKBOX, 2},
        {L"1", ITEM_FORMAT_CHECKBOX, 3},  {L"7", ITEM_FORMAT_CHECKBOX, 3},  {L"-1", ITEM_FORMAT_CHECKBOX3, 5},
        {L"0", ITEM_FORMAT_CHECKBOX3, 2}, {L"1", ITEM_FORMAT_CHECKBOX3, 4},
    };
    for (const Case& c : cases)
        list.AddItem(c.text, -1, c.format);
    CListPicture picture(list);
    // Each image of the list's bitmap has a colour of its own: 3 a black
    // tick, 4 a green tick, 5 a red cross, 2 none of them.
    for (size_t row = 0; row < sizeof(cases) / sizeof(cases[0]); ++row)
    {
        RECT area = CellArea(static_cast<int>(row), 0);
        int black = picture.Count(area, RGB(0, 0, 0));
        int green = picture.Count(area, RGB(0, 128, 0));
        int red = picture.Count(area, RGB(192, 0, 0));
        int frame = picture.Count(area, RGB(28, 81, 128));
        const int image = cases[row].image;
        EXPECT_GT(frame, 0) << row;
        EXPECT_EQ(black > 0, image == 3) << row;
        EXPECT_EQ(green > 0, image == 4) << row;
        EXPECT_EQ(red > 0, image == 5) << row;
    }
}

TEST_F(ListPaint, AHiddenCellHidesItselfAndTheCellsToItsRightButNotTheSelection)
{
    list.AddColumn(L"A", 60);
    list.AddColumn(L"B", 60);
    list.AddColumn(L"C", 60);
    for (int row = 0; row < 2; ++row)
    {
        list.AddItem(L"WWW");
        list.SetItemText(row, 1, L"WWW");
        list.SetItemText(row, 2, L"WWW");
    }
    list.FindCell(0, 1)->format = ITEM_FORMAT_HIDDEN;
    list.FindCell(1, 1)->format = ITEM_FORMAT_HIDDEN;
    list.Selection().rows = {1};
    list.Selection().focusRow = 1;
    CListPicture picture(list);
    const COLORREF window = list.GetColours().window, highlight = list.GetColours().highlight;
    RECT a = CellArea(0, 0), b = CellArea(0, 1), c = CellArea(0, 2);
    EXPECT_FALSE(picture.All(a, window)); // text drawn
    EXPECT_TRUE(picture.All(b, window));
    EXPECT_TRUE(picture.All(c, window));
    EXPECT_TRUE(picture.All(CellArea(1, 1), highlight));
    EXPECT_FALSE(picture.All(CellArea(1, 0), highlight));
}

TEST_F(ListPaint, CellColoursFillOnlyWhenTheyDifferFromTheWindow)
{
    list.AddColumn(L"A", 80);
    list.AddColumn(L"Status", 120);
    for (int row = 0; row < 3; ++row)
        list.AddItem(L"");
    const COLORREF window = list.GetColours().window;
    list.SetItemColours(0, 0, window, RGB(0, 0, 0));
    list.SetItemColours(1, 0, RGB(200, 100, 50), RGB(0, 0, 0));
    list.SetItemText(2, 1, L"Failed");
    list.SetItemColours(2, 1, 0xFFFFFF, 0x0000FF); // a failed job: red text
    CListPicture picture(list);

    EXPECT_TRUE(picture.All(CellArea(0, 0), window));
    RECT coloured = CellArea(1, 0);
    EXPECT_EQ(picture.At((coloured.left + coloured.right) / 2, (coloured.top + coloured.bottom) / 2),
              RGB(200, 100, 50));
    EXPECT_EQ(picture.At(coloured.right, coloured.top + 5), window); // the cell's last pixel column stays
    RECT failed = CellArea(2, 1);
    EXPECT_GT(CountWhere(picture, failed, [](int r, int g, int b) { return r > 150 && g < 100 && b < 100; }), 0);
}

TEST_F(ListPaint, WithoutThemesASelectedRowTurnsToHighlightTextExceptTheFocusCell)
{
    list.AddColumn(L"A", 80);
    list.AddColumn(L"B", 80);
    for (int row = 0; row < 2; ++row)
    {
        list.AddItem(L"WWWW");
        list.SetItemText(row, 1, L"WWWW");
    }
    const auto& colours = list.GetColours();
    ASSERT_NE(colours.cellText, colours.highlightText);
    list.Selection().rows = {0};
    list.Selection().focusRow = 0;
    {
        CListPicture picture(list);
        RECT selected = CellArea(0, 1), plain = CellArea(1, 1);
        EXPECT_GT(picture.Count(selected, colours.highlightText), 0);
        EXPECT_EQ(picture.Count(selected, colours.cellText), 0);
        EXPECT_GT(picture.Count(plain, colours.cellText), 0);
    }
    list.SetCellFocus(TRUE);
    list.Selection().focusColumn = 0;
    {
        CListPicture picture(list);
        RECT focus = CellArea(0, 0), other = CellArea(0, 1);
        EXPECT_GT(picture.Count(focus, colours.focusCellNoTheme), 0);
        EXPECT_GT(picture.Count(focus, colours.cellText), 0);
        EXPECT_EQ(picture.Count(other, colours.cellText), 0);
    }
}

TEST_F(ListPaint, DateCellsShowTheUsersDateOrTimeTextAsTheirFlagsAsk)
{
    MakeList(300, 300);
    list.SetRowHeight(20);
    list.AddColumn(L"When", 250);
    SYSTEMTIME time{2016, 4, 5, 1, 13, 7, 9, 0};
    const std::wstring date = FormatDate(time), clock = FormatTime(time);
    ASSERT_FALSE(date.empty());
    const UINT flags[] = {ITEM_FLAGS_DATE_ONLY, ITEM_FLAGS_TIME_ONLY, 0};
    const std::wstring shown[] = {date, clock, date + L" " + clock};
    for (int i = 0; i < 3; ++i)
    {
        list.AddItem(FormatItemDate(time).c_str(), -1, ITEM_FORMAT_DATETIME, flags[i]);
        list.AddItem(shown[i].c_str(), -1, ITEM_FORMAT_NONE, flags[i]);
    }
    list.AddItem(L"", -1, ITEM_FORMAT_DATETIME);
    CListPicture picture(list);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(picture.Area(CellArea(2 * i, 0)), picture.Area(CellArea(2 * i + 1, 0))) << i;
    EXPECT_TRUE(picture.All(CellArea(6, 0), list.GetColours().window));
}

TEST_F(ListPaint, AutoSizeFitsTheWidestTextAndLeavesFixedColumnsAlone)
{
    list.AddColumn(L"", 0, 9, TRUE, ITEM_FORMAT_CHECKBOX);
    list.AddColumn(L"T", 30);
    list.AddItem(L"1");
    list.SetItemText(0, 1, L"a considerably longer text");
    list.AddItem(L"1");
    list.SetItemText(1, 1, L"short");
    EXPECT_EQ(list.AutoSizeColumn(0), 0);
    EXPECT_EQ(list.GetColumnWidth(0), 21);

    HDC dc = list.GetDC();
    HGDIOBJ old = ::SelectObject(dc, list.GetListFont());
    SIZE extent{};
    ::GetTextExtentPoint32W(dc, L"a considerably longer text", 26, &extent);
    ::SelectObject(dc, old);
    list.ReleaseDC(dc);
    EXPECT_EQ(list.AutoSizeColumn(1), extent.cx + 20);
    EXPECT_EQ(list.GetColumnWidth(1), extent.cx + 20);
}

TEST_F(ListPaint, ScrollAnimationTakesFourToEightStepsAndEnds)
{
    list.AddColumn(L"A", 80);
    for (int row = 0; row < 40; ++row)
        list.AddItem(std::to_wstring(row).c_str());
    EXPECT_FALSE(list.AnimateScroll(5, 5));
    struct Case
    {
        int from, to, steps;
    };
    for (const Case& c : {Case{0, 1, 4}, Case{0, 2, 4}, Case{3, 0, 4}, Case{0, 6, 6}, Case{0, 20, 8}})
    {
        ASSERT_TRUE(list.AnimateScroll(c.from, c.to));
        EXPECT_EQ(list.GetAnimation().steps, c.steps) << c.to;
        int calls = 0;
        while (list.AnimateStep() && calls < 200)
            ++calls;
        EXPECT_LT(calls, 200);
        list.StopAnimation();
    }
}

TEST_F(ListPaint, TheRubberBandIsBlendedOverTheRowsWithAFrame)
{
    list.AddColumn(L"A", 200);
    for (int row = 0; row < 3; ++row)
        list.AddItem(L"");
    list.BeginBand(POINT{20, 30});
    list.OnBandMove(POINT{120, 75});
    CListPicture picture(list);
    // The crossed rows are selected (highlight, no theme); the band lies over them.
    const COLORREF under = list.GetColours().highlight, band = list.GetColours().focusCellNoTheme;
    COLORREF inside = picture.At(70, 50);
    auto blended = [](int own, int colour) { return (own * 180 + colour * 75) / 255; };
    EXPECT_NEAR(GetRValue(inside), blended(GetRValue(under), GetRValue(band)), 2);
    EXPECT_NEAR(GetGValue(inside), blended(GetGValue(under), GetGValue(band)), 2);
    EXPECT_NEAR(GetBValue(inside), blended(GetBValue(under), GetBValue(band)), 2);
    EXPECT_EQ(picture.At(20, 50), list.GetColours().cellText); // the frame
    EXPECT_EQ(picture.At(150, 50), under);                     // beside the band
    EXPECT_EQ(picture.At(250, 50), list.GetColours().window);  // right of the rows
    list.EndBand();
}

TEST_F(ListPaint, WithThemesASelectedRowIsFramedAndKeepsItsCellsTextColours)
{
    list.SetUseThemes(TRUE);
    if (!::IsThemeActive())
        GTEST_SKIP() << "no visual styles here";
    list.AddColumn(L"A", 100);
    list.AddColumn(L"Progress", 100, -1, FALSE, ITEM_FORMAT_PROGRESS);
    for (int row = 0; row < 3; ++row)
        list.AddItem(L"WWWW");
    list.SetItemColours(0, 0, list.GetColours().window, RGB(0, 0, 255));
    list.SetItemText(1, 1, L"100");
    list.Selection().rows = {0};
    list.Selection().focusRow = 0;
    CListPicture picture(list);
    RECT selected = CellArea(0, 0);
    EXPECT_GT(picture.Count(selected, RGB(0, 0, 255)), 0);
    // Not focused: the unfocused frame's outer line.
    EXPECT_GT(picture.Count(selected, list.GetColours().selectionFrameUnfocused[0]), 0);
    // The themed bar of 100 % differs from the empty one.
    EXPECT_NE(picture.Area(CellArea(1, 1)), picture.Area(CellArea(2, 1)));
}

TEST_F(ListPaint, ABackgroundBitmapIsCentredBelowTheHeaderOrTiled)
{
    HDC screen = ::GetDC(nullptr);
    CGdiObject<HBITMAP> red(::CreateCompatibleBitmap(screen, 10, 10));
    {
        CMemoryDc dc(::CreateCompatibleDC(screen));
        CSelectObject selected(dc.Get(), red.Get());
        FillListRect(dc.Get(), RECT{0, 0, 10, 10}, RGB(250, 0, 0));
    }
    ::ReleaseDC(nullptr, screen);
    HBITMAP bitmap = red.Get();

    const RECT client = Client();
    const int below = client.bottom - list.GetHeaderHeight();
    const COLORREF window = list.GetColours().window;
    list.SetBackgroundImage(bitmap, FALSE);
    {
        CListPicture picture(list);
        const int x = client.right / 2 - 5, y = below / 2 - 13;
        EXPECT_EQ(picture.Count(RECT{x, y, x + 10, y + 10}, RGB(250, 0, 0)), 100);
        EXPECT_EQ(picture.Count(RECT{0, 0, client.right, client.bottom}, RGB(250, 0, 0)), 100);
        EXPECT_EQ(picture.At(5, client.bottom - 5), window);
    }
    list.SetBackgroundImage(bitmap, TRUE);
    {
        CListPicture picture(list);
        EXPECT_EQ(picture.At(5, client.bottom - 5), RGB(250, 0, 0));
        EXPECT_EQ(picture.At(client.right - 1, list.GetHeaderHeight() + 1), RGB(250, 0, 0));
    }
    list.SetBackgroundImage(nullptr, FALSE);
}

} // namespace
