#include "ui/listctrl/ListEditors.h"
#include <gtest/gtest.h>

namespace
{

// Types text into an empty field one key at a time, the caret at the end;
// returns what the field holds afterwards.
std::wstring Type(UINT flags, const std::wstring& keys)
{
    std::wstring text;
    for (wchar_t key : keys)
    {
        DWORD start = static_cast<DWORD>(text.size()), end = start;
        std::wstring candidate = text;
        switch (CheckNumberKey(flags, key, candidate, start, end))
        {
        case NumberKey::Accept:
            text += key;
            break;
        case NumberKey::Replaced:
            text = candidate;
            break;
        case NumberKey::Refuse:
            break;
        }
    }
    return text;
}

TEST(NumberKey, IntegerAndRealCellsKeepOnlyWhatFormsANumber)
{
    const UINT integer = ITEM_FLAGS_EDIT_NUMBER, real = ITEM_FLAGS_EDIT_FLOAT;
    EXPECT_EQ(Type(integer, L"12a"), L"12");
    EXPECT_EQ(Type(integer, L"1.2"), L"12");
    EXPECT_EQ(Type(real, L"3.5"), L"3.5");
    EXPECT_EQ(Type(real, L"3.5.1"), L"3.51");
    EXPECT_EQ(Type(integer, L"-12"), L"-12") << "a leading minus without the sign flag is typed";
    EXPECT_EQ(Type(integer, L"1-2"), L"12") << "a minus after a digit";
    // Ctrl+V arrives as character 0x16: a number cell refuses it; backspace
    // passes (on to the edit, which deletes).
    EXPECT_EQ(Type(integer, L"1\x16"), L"1");
    EXPECT_EQ(Type(integer, L"12\b"), L"12\b");
    // A text cell takes anything.
    EXPECT_EQ(Type(0, L"a.b-<"), L"a.b-<");
}

TEST(NumberKey, TheSignKeyNegatesTheWholeNumberAndMovesTheSelection)
{
    const UINT integer = ITEM_FLAGS_EDIT_NUMBER | ITEM_FLAGS_EDIT_NEGATIVE;
    std::wstring text = L"12";
    DWORD start = 1, end = 2;
    ASSERT_EQ(CheckNumberKey(integer, L'-', text, start, end), NumberKey::Replaced);
    EXPECT_EQ(text, L"-12");
    EXPECT_EQ(start, 2u);
    EXPECT_EQ(end, 3u);
    ASSERT_EQ(CheckNumberKey(integer, L'-', text, start, end), NumberKey::Replaced);
    EXPECT_EQ(text, L"12");
    EXPECT_EQ(start, 1u);
    EXPECT_EQ(end, 2u);

    text = L"3.5";
    start = end = 0;
    ASSERT_EQ(CheckNumberKey(ITEM_FLAGS_EDIT_FLOAT | ITEM_FLAGS_EDIT_NEGATIVE, L'-', text, start, end),
              NumberKey::Replaced);
    EXPECT_EQ(text, L"-3.500000");
    EXPECT_EQ(start, 1u);

    // A selection past the text (a stale caret) stays inside it.
    text = L"7";
    start = end = 40;
    CheckNumberKey(integer, L'-', text, start, end);
    EXPECT_EQ(text, L"-7");
    EXPECT_LE(end, text.size());
}

TEST(NumberKey, OperatorsStandBeforeTheEqualsSignAndTheDigits)
{
    const UINT flags = ITEM_FLAGS_EDIT_NUMBER | ITEM_FLAGS_EDIT_OPERATOR;
    EXPECT_EQ(Type(flags, L">=5"), L">=5");
    EXPECT_EQ(Type(flags, L"<5"), L"<5");
    EXPECT_EQ(Type(flags, L"=>5"), L"=5");
    EXPECT_EQ(Type(flags, L"5>"), L"5");
    EXPECT_EQ(Type(ITEM_FLAGS_EDIT_NUMBER, L"<5"), L"5") << "operators need their flag";

    // A second < typed in front of "<5".
    std::wstring text = L"<5";
    DWORD start = 0, end = 0;
    EXPECT_EQ(CheckNumberKey(flags, L'<', text, start, end), NumberKey::Refuse);
    // Typing over a selection replaces it: "5" selected in ">5" becomes ">=".
    text = L">5";
    start = 1, end = 2;
    EXPECT_EQ(CheckNumberKey(flags, L'=', text, start, end), NumberKey::Accept);
}

} // namespace
