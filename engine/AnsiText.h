// Wide text as 8-bit text in the calling thread's ANSI code page, the form
// of Firehose commands and of the expressions handed to the parser.
#pragma once
#include <windows.h>

#include <string>

#include "services/Text.h"

inline std::string ToThreadAnsi(const std::wstring& text)
{
    return ToNarrow(text);
}
