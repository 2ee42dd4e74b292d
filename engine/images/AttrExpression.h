// Evaluation of the arithmetic in rawprogram and patch attribute values.
#pragma once
#include <windows.h>

#include <initializer_list>
#include <utility>

namespace mu
{
class Parser;
}

// Evaluates `expression` with `parser` (one that already knows a disk's
// names) or, when none is given, with a fresh parser that knows only the
// library's own constants and functions. The result is truncated toward zero
// into 64 bits; a negative result wraps, so "-1" gives all ones. On failure
// `value` is left as it was.
HRESULT ParseXmlAttrValue(const wchar_t* expression, ULONGLONG& value, mu::Parser* parser = nullptr);

// Evaluates each text into its value with the plain parser, in order; the
// first failure is returned and the values after it are left as they were.
HRESULT ParseXmlAttrValues(std::initializer_list<std::pair<const wchar_t*, ULONGLONG*>> expressions);
