#include "DispatchTestSupport.h"

#include "tests/fixtures/LogLines.h"

size_t CountPlainLogLines(const std::string& text)
{
    size_t count = 0;
    for (const std::string& line : LogLinesWith("]" + text))
        count += line.size() == 10 + text.size() && line.compare(10, std::string::npos, text) == 0;
    return count;
}
