#include "engine/images/AttrExpression.h"

#include <cmath>
#include <new>

#include "engine/images/MuParser.h"
#include "services/Log.h"
#include "services/Text.h"

namespace
{

// A parser error code as an HRESULT: codes from 0 up get the Win32 facility
// (0, an unexpected operator, included), negative codes pass unchanged.
HRESULT ParserErrorHResult(int code)
{
    return code >= 0 ? static_cast<HRESULT>(0x80070000u | (static_cast<unsigned>(code) & 0xFFFFu))
                     : static_cast<HRESULT>(code);
}

// Truncates toward zero into 64 bits, keeping the top bit of values from 2^63
// up and wrapping negative values. Results outside (-2^64, 2^64) and NaN have
// no 64-bit meaning and are refused.
bool ToUnsigned64(double v, ULONGLONG& out)
{
    const double two63 = 9223372036854775808.0;
    const double two64 = 18446744073709551616.0;
    if (std::isnan(v) || v >= two64 || v <= -two64)
        return false;
    double t = std::trunc(v);
    bool negative = t < 0;
    double magnitude = negative ? -t : t;
    ULONGLONG u = magnitude >= two63 ? (static_cast<ULONGLONG>(magnitude - two63) | 0x8000000000000000ull)
                                     : static_cast<ULONGLONG>(magnitude);
    out = negative ? (0 - u) : u;
    return true;
}

} // namespace

HRESULT ParseXmlAttrValue(const wchar_t* expression, ULONGLONG& value, mu::Parser* parser)
{
    HRESULT hr = S_OK;
    try
    {
        // A look-alike of a digit or an operator is not taken for one.
        std::string text;
        hr = ToNarrowExact(expression ? expression : L"", text);
        RETURN_IF_FAILED(hr, L"ParseXmlAttrValue", __LINE__);
        mu::Parser plain;
        mu::Parser& p = parser ? *parser : plain;
        p.SetExpr(text);
        double result = p.Eval();
        ULONGLONG converted = 0;
        if (!ToUnsigned64(result, converted))
            hr = HResultFromWin32(ERROR_ARITHMETIC_OVERFLOW);
        else
            value = converted;
    }
    catch (const mu::ParserError& e)
    {
        hr = ParserErrorHResult(e.GetCode());
    }
    catch (const std::bad_alloc&)
    {
        hr = E_OUTOFMEMORY;
    }
    return LogError(hr, L"ParseXmlAttrValue", __LINE__);
}

HRESULT ParseXmlAttrValues(std::initializer_list<std::pair<const wchar_t*, ULONGLONG*>> expressions)
{
    for (const auto& expression : expressions)
    {
        HRESULT hr = ParseXmlAttrValue(expression.first, *expression.second);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}
