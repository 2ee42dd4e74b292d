#include "ListFixture.h"

namespace
{

TEST(ListFlags, NormalisingKeepsOneAlignmentAndOnlyTheBitsThatFitTheEditor)
{
    struct Case
    {
        UINT in, out;
    };
    const Case cases[] = {
        {0x0013, 0x0012},          // right beats left; upper case stays on a text edit
        {0x00B0, 0x00A0},          // a number edit drops upper case, keeps negative
        {0x0200 | 0x1C00, 0x0200}, // an editable combo drops every date bit
        {0x0007, 0x0004},          // centre beats both
        {0x0C00, 0x0400},          // date only beats time only
        {0x0180, 0x0000},          // negative and operator need a number edit
        {0x0040 | 0x0100 | 0x0010, 0x0140},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NormaliseFlags(c.in), c.out) << std::hex << c.in;
}

TEST(ListDates, TheFourteenDigitTextRoundTripsAndAShortTextParsesAsFarAsItGoes)
{
    SYSTEMTIME time{2016, 4, 5, 1, 13, 7, 9, 250};
    EXPECT_EQ(FormatItemDate(time), L"20160401130709");
    SYSTEMTIME parsed{};
    ASSERT_TRUE(ParseItemDate(L"20160401130709", parsed));
    EXPECT_EQ(FormatItemDate(parsed), L"20160401130709");
    EXPECT_EQ(parsed.wDayOfWeek + parsed.wMilliseconds, 0);

    parsed.wYear = 99;
    EXPECT_FALSE(ParseItemDate(L"", parsed));
    EXPECT_EQ(parsed.wYear, 0);
    ASSERT_TRUE(ParseItemDate(L"201605", parsed));
    EXPECT_EQ(FormatItemDate(parsed), L"20160500000000");
}

using ListModel = ListTest;

TEST_F(ListModel, ColumnsKeepTheirIdsWhenMovedAndAnImageColumnWithoutTitleIsNarrowCentredAndFixed)
{
    list.AddColumn(L"", 200, 9, TRUE, ITEM_FORMAT_CHECKBOX, ITEM_FLAGS_LEFT);
    list.AddColumn(L"Index", 50);
    list.AddColumn(L"Status", 80, -1, FALSE, ITEM_FORMAT_NONE, 0x0013);
    ASSERT_EQ(list.GetColumnCount(), 3);
    CListColumn check;
    ASSERT_TRUE(list.GetColumn(0, check));
    EXPECT_EQ(check.width, 16 + 5);
    EXPECT_EQ(check.flags, static_cast<UINT>(ITEM_FLAGS_CENTRE));
    EXPECT_EQ(list.GetColumnFlags(2), 0x0012u);
    EXPECT_EQ(list.GetTotalWidth(), 21 + 50 + 80 - 1);
    EXPECT_TRUE(list.SetColumnWidth(0, 80)); // fixed: the width stays
    EXPECT_EQ(list.GetColumnWidth(0), 21);

    // Move "Status" to the front: positions change, ids and cells do not.
    ASSERT_EQ(list.AddItem(L"1"), 0);
    ASSERT_TRUE(list.SetItemText(0, 2, L"done"));
    CListColumn status;
    ASSERT_TRUE(list.GetColumn(2, status));
    ASSERT_TRUE(list.RemoveColumn(2));
    ASSERT_TRUE(list.InsertColumn(0, status));
    EXPECT_EQ(list.GetColumnId(0), 2);
    EXPECT_EQ(list.FindColumn(2), 0);
    EXPECT_EQ(list.FindColumn(0), 1);
    EXPECT_EQ(list.GetItemText(0, 2), L"done");
    // An insert beyond the end appends.
    ASSERT_TRUE(list.RemoveColumn(0));
    ASSERT_TRUE(list.InsertColumn(7, status));
    EXPECT_EQ(list.GetColumnId(2), 2);

    // Out of range.
    EXPECT_FALSE(list.GetColumn(3, check));
    EXPECT_EQ(list.GetColumnWidth(-1), 0);
    EXPECT_EQ(list.GetColumnId(3), 0);
    EXPECT_EQ(list.FindColumn(9), -1);
    EXPECT_EQ(list.GetColumnFlags(5), 0u);
    EXPECT_FALSE(list.RemoveColumn(3));
    EXPECT_FALSE(list.SetColumnWidth(3, 70));
}

TEST_F(ListModel, RowsGetOneCellPerColumnAndOutOfRangeAnswersNeverFault)
{
    EXPECT_EQ(list.AddItem(L"1"), -1); // no columns yet
    EXPECT_EQ(list.GetItemCount(), 0);

    list.AddColumn(L"A", 40, -1, FALSE, ITEM_FORMAT_EDIT, ITEM_FLAGS_RIGHT);
    list.AddColumn(L"B", 40, -1, FALSE, ITEM_FORMAT_PROGRESS, 0);
    ASSERT_EQ(list.AddItem(L"first", 3, 0, 0), 0);
    ASSERT_EQ(list.AddItem(L"second", -1, ITEM_FORMAT_CHECKBOX, 0x0013), 1);

    CListCell cell;
    ASSERT_TRUE(list.GetItem(0, 0, cell));
    EXPECT_EQ(cell.text, L"first");
    EXPECT_EQ(cell.image, 3);
    EXPECT_EQ(cell.background, ::GetSysColor(COLOR_WINDOW));
    EXPECT_EQ(cell.textColour, ::GetSysColor(COLOR_WINDOWTEXT));
    ASSERT_TRUE(list.GetItem(0, 1, cell));
    EXPECT_EQ(cell.text, L"");
    EXPECT_EQ(cell.image, -1);

    // Format and flags fall back to the column's when the cell's are 0.
    EXPECT_EQ(list.GetItemFormat(0, 0), static_cast<UINT>(ITEM_FORMAT_EDIT));
    EXPECT_EQ(list.GetItemFormat(0, 1), static_cast<UINT>(ITEM_FORMAT_PROGRESS));
    EXPECT_EQ(list.GetItemFlags(0, 0), static_cast<UINT>(ITEM_FLAGS_RIGHT));
    EXPECT_EQ(list.GetItemFormat(1, 1), static_cast<UINT>(ITEM_FORMAT_CHECKBOX));
    EXPECT_EQ(list.GetItemFlags(1, 1), 0x0012u);
    EXPECT_EQ(list.GetItemFont(0, 1), list.GetListFont());

    for (int row : {-1, 2, 100})
    {
        EXPECT_EQ(list.GetItemText(row, 0), L"");
        EXPECT_FALSE(list.SetItemText(row, 0, L"x"));
        EXPECT_FALSE(list.GetItem(row, 0, cell));
        EXPECT_EQ(list.GetItemImage(row, 0), -1);
        EXPECT_EQ(list.GetItemFormat(row, 0), 0u);
        EXPECT_EQ(list.GetItemFont(row, 0), nullptr);
        EXPECT_FALSE(list.SetItemColours(row, 0, 1, 2));
        EXPECT_EQ(list.GetItemTipText(row), L"");
    }
    EXPECT_EQ(list.GetItemText(0, 2), L""); // beyond the cells
    EXPECT_FALSE(list.SetItemText(0, -1, L"x"));
    EXPECT_FALSE(list.DeleteItem(2));
    EXPECT_EQ(list.GetItemCount(), 2);

    ASSERT_TRUE(list.SetItemDate(1, 0, SYSTEMTIME{2020, 12, 0, 31, 23, 59, 58, 0}));
    SYSTEMTIME back{};
    EXPECT_TRUE(list.GetItemDate(1, 0, back) && back.wSecond == 58 && list.GetItemText(1, 0) == L"20201231235958");

    COLORREF background = 0, text = 0;
    ASSERT_TRUE(list.SetItemColours(1, 1, 0xFFFFFF, 0x0000FF));
    ASSERT_TRUE(list.GetItemColours(1, 1, background, text));
    EXPECT_EQ(background, 0xFFFFFFu);
    EXPECT_EQ(text, 0x0000FFu);
}

TEST_F(ListModel, ItemDataIsCountedOncePerRowAndReleasedWithTheRow)
{
    list.AddColumn(L"A", 40);
    CCountedItem first, second;
    {
        ASSERT_EQ(list.AddItem(L"0"), 0);
        ASSERT_EQ(list.AddItem(L"1"), 1);
        CItem a(&first), b(&second); // count 2 each
        ASSERT_TRUE(list.SetItemData(0, a));
        ASSERT_TRUE(list.SetItemData(1, b));
        EXPECT_EQ(first.count, 3u);
        ASSERT_TRUE(list.SetItemData(0, a)); // the same value again
        EXPECT_EQ(first.count, 3u);
        EXPECT_FALSE(list.SetItemData(2, a));
        EXPECT_EQ(first.count, 3u);
    }
    EXPECT_EQ(first.count, 2u);
    EXPECT_EQ(second.count, 2u);

    CItem copy;
    ASSERT_TRUE(list.GetItemData(1, copy));
    EXPECT_EQ(second.count, 3u);
    copy.Reset();
    CItem untouched(&first);
    EXPECT_FALSE(list.GetItemData(5, untouched));
    EXPECT_EQ(untouched.Get(), &first);
    untouched.Reset();

    // Replacing releases the old value.
    ASSERT_TRUE(list.SetItemData(0, CItem(&second)));
    EXPECT_EQ(first.count, 1u);
    EXPECT_EQ(second.count, 3u);
    ASSERT_TRUE(list.SetItemData(0, CItem(&first)));

    // A copied row holds its own reference.
    CTestList::Row row;
    ASSERT_TRUE(list.GetRow(0, row));
    EXPECT_EQ(first.count, 3u);
    ASSERT_EQ(list.AddRow(row), 2);
    EXPECT_EQ(first.count, 4u);
    row = CTestList::Row();
    EXPECT_EQ(first.count, 3u);
    ASSERT_TRUE(list.DeleteItem(2));
    EXPECT_EQ(first.count, 2u);

    // Deleting row 0 moves row 1 down; its data is still held once.
    list.Selection().rows = {0, 1};
    ASSERT_TRUE(list.DeleteItem(0));
    EXPECT_EQ(first.count, 1u);
    EXPECT_EQ(list.GetItemText(0, 0), L"1");
    EXPECT_EQ(second.count, 2u);
    EXPECT_EQ(list.Selection().rows, (std::set<int>{1})); // only the deleted index leaves
    ASSERT_TRUE(list.DeleteItem(0));
    EXPECT_EQ(second.count, 1u);
}

TEST(ListLifetime, DestroyingTheListReleasesEveryRowsItemData)
{
    CCountedItem item;
    {
        CTestList windowless;
        windowless.AddColumn(L"A", 40);
        ASSERT_EQ(windowless.AddItem(L"a"), 0);
        ASSERT_EQ(windowless.AddItem(L"b"), 1);
        windowless.SetItemData(0, CItem(&item));
        windowless.SetItemData(1, CItem(&item));
        EXPECT_EQ(item.count, 3u);
    }
    EXPECT_EQ(item.count, 1u);
}

} // namespace
