#include "DispatchTestSupport.h"

#include "tests/fixtures/LogLines.h"

std::vector<std::string> JobTexts(const std::wstring& device)
{
    std::string marker = "]" + Narrow(device) + "\t";
    std::vector<std::string> texts;
    for (const std::string& line : LogLinesWith(marker))
    {
        // "[thread]device\tseconds\ttext"
        size_t seconds = line.find(marker) + marker.size();
        size_t tab = line.find('\t', seconds);
        if (tab != std::string::npos)
            texts.push_back(line.substr(tab + 1));
    }
    return texts;
}

size_t CountPlainLogLines(const std::string& text)
{
    size_t count = 0;
    for (const std::string& line : LogLinesWith("]" + text))
        count += line.size() == 10 + text.size() && line.compare(10, std::string::npos, text) == 0;
    return count;
}
