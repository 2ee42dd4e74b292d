#include "engine/protocols/FirehoseAnswers.h"

#include "services/Log.h"

#include <string_view>

namespace
{
// How token stands at the start of rest: 1 whole, 0 not at all, -1 cut short
// (rest is only the start of token).
int StartsWith(std::string_view rest, std::string_view token)
{
    if (rest.size() >= token.size())
        return rest.compare(0, token.size(), token) == 0 ? 1 : 0;
    return token.compare(0, rest.size(), rest) == 0 ? -1 : 0;
}

bool IsXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
} // namespace

size_t XmlDocumentEnd(const char* text, size_t length)
{
    const std::string_view all(text, length);
    size_t depth = 0;
    size_t i = 0;
    while (i < length)
    {
        if (text[i] != '<')
        {
            ++i;
            continue;
        }
        const std::string_view rest = all.substr(i);
        // A declaration or processing instruction after the start begins the
        // next document.
        const int declaration = StartsWith(rest, "<?");
        if (declaration < 0)
            return 0;
        if (declaration > 0 && i > 0)
            return i;
        // Declarations, processing instructions, comments, character data and
        // document types hold no elements; each ends with its own token.
        static const std::string_view kOthers[][2] = {
            {"<?", "?>"}, {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<!", ">"}};
        bool other = false;
        for (const auto& kind : kOthers)
        {
            const int starts = StartsWith(rest, kind[0]);
            if (starts < 0)
                return 0;
            if (starts > 0)
            {
                const size_t end = rest.find(kind[1], kind[0].size());
                if (end == std::string_view::npos)
                    return 0;
                i += end + kind[1].size();
                other = true;
                break;
            }
        }
        if (other)
            continue;
        // A tag: its end is the first '>' outside a quoted attribute value.
        size_t j = 1;
        char quote = 0;
        for (; j < rest.size(); ++j)
        {
            const char c = rest[j];
            if (quote)
                quote = c == quote ? 0 : quote;
            else if (c == '"' || c == '\'')
                quote = c;
            else if (c == '>')
                break;
        }
        if (j == rest.size())
            return 0;
        i += j + 1;
        const bool closing = rest[1] == '/';
        const bool empty = !closing && rest[j - 1] == '/';
        if (closing)
            depth = depth > 0 ? depth - 1 : 0; // a stray end tag is left to the reader to refuse
        else if (!empty)
            ++depth;
        if (depth == 0)
        {
            while (i < length && IsXmlSpace(text[i]))
                ++i;
            return i;
        }
    }
    return 0;
}

HRESULT CFirehoseAnswerReader::Next(std::string& document)
{
    size_t begin = 0;
    while (begin < m_held.size() && IsXmlSpace(m_held[begin]))
        ++begin;
    m_held.erase(0, begin);
    const size_t end = XmlDocumentEnd(m_held.data(), m_held.size());
    if (end == 0)
    {
        if (m_held.size() <= kMaxHeldAnswer)
            return S_FALSE;
        m_held.clear();
        return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
    }
    document.assign(m_held, 0, end);
    m_held.erase(0, end);
    return S_OK;
}

bool CFirehoseAnswerReader::Holding() const
{
    for (char c : m_held)
    {
        if (!IsXmlSpace(c))
            return true;
    }
    return false;
}
