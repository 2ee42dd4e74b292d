#include <gtest/gtest.h>

#include "engine/images/AttrExpression.h"
#include "engine/images/MuParser.h"

namespace
{

ULONGLONG Eval(const wchar_t* text, HRESULT expected = S_OK)
{
    ULONGLONG value = 0x5A5A5A5A5A5A5A5Aull;
    EXPECT_EQ(expected, ParseXmlAttrValue(text, value));
    return value;
}

TEST(AttrExpression, NumbersAndArithmetic)
{
    EXPECT_EQ(0u, Eval(L"0"));
    EXPECT_EQ(131072u, Eval(L"131072"));
    EXPECT_EQ(61071360u - 33u, Eval(L"61071360-33"));
    EXPECT_EQ(4096u * 64u, Eval(L"4096*64"));
    // Values far above 32 bits stay exact while a double holds them.
    EXPECT_EQ(0x10000000000ull + 7u, Eval(L"2^40+7"));
}

TEST(AttrExpression, TruncatesTowardZero)
{
    EXPECT_EQ(2u, Eval(L"2.9"));
    EXPECT_EQ(3u, Eval(L"7/2"));
    EXPECT_EQ(0u, Eval(L"-0.75"));
    EXPECT_EQ(~0ull - 1u, Eval(L"-2.5"));
}

TEST(AttrExpression, NegativeValuesWrapAndTopBitIsKept)
{
    EXPECT_EQ(~0ull, Eval(L"-1"));
    EXPECT_EQ(0x8000000000000000ull, Eval(L"2^63"));
    EXPECT_EQ(0xC000000000000000ull, Eval(L"2^63+2^62"));
    EXPECT_EQ(0x8000000000000000ull, Eval(L"-(2^63)"));
}

TEST(AttrExpression, ParserErrorsMapToHResultsAndLeaveValue)
{
    // An unexpected operator is the parser's code 0.
    EXPECT_EQ(0x5A5A5A5A5A5A5A5Aull, Eval(L"3+*4", static_cast<HRESULT>(0x80070000u)));
    // Undefined name, unbalanced bracket, empty text: each its own code.
    ULONGLONG v = 9;
    EXPECT_EQ(static_cast<HRESULT>(0x80070000u | mu::ecUNASSIGNABLE_TOKEN),
              ParseXmlAttrValue(L"NUM_DISK_SECTORS-1", v));
    EXPECT_EQ(static_cast<HRESULT>(0x80070000u | mu::ecMISSING_PARENS), ParseXmlAttrValue(L"(1+2", v));
    EXPECT_EQ(static_cast<HRESULT>(0x80070000u | mu::ecUNEXPECTED_EOF), ParseXmlAttrValue(L"2+sin(", v));
    EXPECT_EQ(static_cast<HRESULT>(0x80070000u | mu::ecEMPTY_EXPRESSION), ParseXmlAttrValue(L"", v));
    EXPECT_EQ(9u, v);
}

TEST(AttrExpression, ValuesWithoutA64BitMeaningAreRefused)
{
    ULONGLONG v = 5;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), ParseXmlAttrValue(L"2^64", v));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), ParseXmlAttrValue(L"1/0", v));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), ParseXmlAttrValue(L"sqrt(-1)", v));
    EXPECT_EQ(5u, v);
}

double Twice(double x) { return 2 * x; }

TEST(AttrExpression, UsesTheGivenParserWithItsNames)
{
    mu::Parser parser;
    parser.DefineConst("NUM_DISK_SECTORS", 33554432.0);
    parser.DefineFun("TWICE", Twice, false);
    ULONGLONG v = 0;
    ASSERT_EQ(S_OK, ParseXmlAttrValue(L"NUM_DISK_SECTORS-33", v, &parser));
    EXPECT_EQ(33554399u, v);
    ASSERT_EQ(S_OK, ParseXmlAttrValue(L"TWICE(NUM_DISK_SECTORS)", v, &parser));
    EXPECT_EQ(67108864u, v);
    // The plain form does not know the disk's names.
    EXPECT_NE(S_OK, ParseXmlAttrValue(L"NUM_DISK_SECTORS", v));
}

} // namespace
