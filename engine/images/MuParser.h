// muParser as our build links it: the library is built with 8-bit strings,
// while our code defines _UNICODE, which would make the header declare the
// wide-string interface. Include the library through this header only.
#pragma once
#pragma push_macro("_UNICODE")
#undef _UNICODE
#include <muParser.h>
#pragma pop_macro("_UNICODE")

static_assert(sizeof(mu::char_type) == sizeof(char), "muParser must use 8-bit strings here");
