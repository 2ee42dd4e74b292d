#include "tests/jobs/JobTestSupport.h"

#include "services/Log.h"
#include "tests/fixtures/ChildProcess.h"

std::vector<std::string> JobLogTexts(const std::wstring& device)
{
    std::string text = ReadWholeFile(GetLogFileName());
    std::string marker = "]" + Narrow(device) + "\t";
    std::vector<std::string> texts;
    size_t at = 0;
    while (at < text.size())
    {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 2;
        size_t found = line.find(marker);
        if (found == std::string::npos)
            continue;
        size_t seconds = found + marker.size();
        size_t tab = line.find('\t', seconds);
        if (tab != std::string::npos)
            texts.push_back(line.substr(tab + 1));
    }
    return texts;
}
