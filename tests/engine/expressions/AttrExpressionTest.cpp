#include <gtest/gtest.h>

#include "engine/images/AttrExpression.h"
#include "engine/images/MuParser.h"

namespace
{

const ULONGLONG kUntouched = 0x5A5A5A5A5A5A5A5Aull;
const HRESULT kOverflow = HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
const HRESULT kNoMapping = HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);

HRESULT ParserCode(int code)
{
    return static_cast<HRESULT>(0x80070000u | static_cast<unsigned>(code));
}

// Values are truncated toward zero and taken modulo 2^64, the top bit kept;
// a failure leaves the value as it was.
TEST(AttrExpression, ValuesAndFailures)
{
    const struct
    {
        const wchar_t* text;
        HRESULT result;
        ULONGLONG value;
    } cases[] = {
        {L"0", S_OK, 0},
        {L" 12 ", S_OK, 12},
        // Look-alikes of digits are no digits: U+221E has "8" as its best fit
        // in the Western code page, fullwidth digits the plain ones; a lone
        // surrogate has no 8-bit form anywhere.
        {L"\x221E", kNoMapping, kUntouched},
        {L"\xFF11\xFF12", kNoMapping, kUntouched},
        {L"1\xD800", kNoMapping, kUntouched},
        {L"61071360-33", S_OK, 61071360u - 33u},
        {L"4096*64", S_OK, 4096u * 64u},
        // Far above 32 bits, exact while a double holds the value.
        {L"2^40+7", S_OK, 0x10000000000ull + 7u},
        {L"2.9", S_OK, 2},
        {L"7/2", S_OK, 3},
        {L"-0.75", S_OK, 0},
        {L"-1", S_OK, ~0ull},
        {L"-2.5", S_OK, ~0ull - 1u},
        {L"2^63", S_OK, 0x8000000000000000ull},
        {L"2^63+2^62", S_OK, 0xC000000000000000ull},
        {L"-(2^63)", S_OK, 0x8000000000000000ull},
        // The largest double below 2^64, either sign.
        {L"2^64-2048", S_OK, 0xFFFFFFFFFFFFF800ull},
        {L"-(2^64-2048)", S_OK, 2048},
        // The parser's own error codes; an unexpected operator is code 0.
        {L"3+*4", ParserCode(0), kUntouched},
        {L"NUM_DISK_SECTORS-1", ParserCode(mu::ecUNASSIGNABLE_TOKEN), kUntouched},
        {L"(1+2", ParserCode(mu::ecMISSING_PARENS), kUntouched},
        {L"2+sin(", ParserCode(mu::ecUNEXPECTED_EOF), kUntouched},
        {L"", ParserCode(mu::ecEMPTY_EXPRESSION), kUntouched},
        // No 64-bit meaning.
        {L"2^64", kOverflow, kUntouched},
        {L"-(2^64)", kOverflow, kUntouched},
        {L"1/0", kOverflow, kUntouched},
        {L"sqrt(-1)", kOverflow, kUntouched},
    };
    for (const auto& c : cases)
    {
        ULONGLONG value = kUntouched;
        EXPECT_EQ(c.result, ParseXmlAttrValue(c.text, value)) << c.text;
        EXPECT_EQ(c.value, value) << c.text;
    }
}

double Twice(double x)
{
    return 2 * x;
}

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
}

} // namespace
