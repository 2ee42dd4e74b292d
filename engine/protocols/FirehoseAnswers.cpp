#include "engine/protocols/FirehoseAnswers.h"

#include "engine/EngineIo.h"
#include "engine/XmlElements.h"
#include "engine/images/EntryReader.h"
#include "services/Log.h"

#include <wrl/client.h>

#include <string_view>

using Microsoft::WRL::ComPtr;

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

// Answered commands whose results are kept for their senders to look up.
constexpr size_t kKeptAnswers = 8;
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

void CFirehoseAnswerReader::Append(const char* bytes, size_t count)
{
    m_held.append(bytes, count);
    if (m_seeking)
        Seek();
}

void CFirehoseAnswerReader::Seek()
{
    size_t skip = 0;
    for (; skip < m_held.size(); ++skip)
    {
        const char c = m_held[skip];
        if (c == '<')
        {
            const std::string_view rest = std::string_view(m_held).substr(skip);
            const int declaration = StartsWith(rest, "<?");
            int data = StartsWith(rest, "<data");
            if (data > 0 && rest.size() == 5)
                data = -1; // the name may go on
            else if (data > 0 && !IsXmlSpace(rest[5]) && rest[5] != '>' && rest[5] != '/')
                data = 0;
            if (declaration < 0 || data < 0)
                break;
            if (declaration > 0 || data > 0)
            {
                m_seeking = false;
                m_dropFirst = data > 0 && m_afterDeclaration;
                break;
            }
        }
        if (IsXmlSpace(c))
            continue;
        // A '>' that the open left alone may end a declaration as well.
        m_afterDeclaration = c == '>' && (m_lastSkipped == '?' || m_lastSkipped == 0);
        m_lastSkipped = c;
    }
    m_held.erase(0, skip);
}

HRESULT CFirehoseAnswerReader::Next(std::string& document)
{
    for (;;)
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
            m_dropFirst = false;
            return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
        }
        document.assign(m_held, 0, end);
        m_held.erase(0, end);
        if (!m_dropFirst)
            return S_OK;
        m_dropFirst = false;
    }
}

bool CFirehoseAnswerReader::Holding() const
{
    if (m_seeking)
        return false;
    for (char c : m_held)
    {
        if (!IsXmlSpace(c))
            return true;
    }
    return false;
}

ULONGLONG CFirehoseExchange::Sent(bool checked)
{
    m_commands.push_back({checked, CommandState::Waiting});
    ++m_waiting;
    while (m_commands.size() - m_waiting > kKeptAnswers)
    {
        m_commands.pop_front();
        ++m_first;
    }
    return m_first + m_commands.size() - 1;
}

HRESULT CFirehoseExchange::Take(const char* bytes, size_t count)
{
    if (OutOfStep())
        return kOutOfStepResult;
    m_reader.Append(bytes, count);
    std::string document;
    HRESULT hr;
    while ((hr = m_reader.Next(document)) == S_OK)
    {
        hr = Read(document);
        if (FAILED(hr))
            break;
    }
    return FAILED(hr) ? LoseStep(hr) : S_OK;
}

HRESULT CFirehoseExchange::Read(const std::string& document)
{
    ComPtr<IXmlReader> reader;
    HRESULT hr = OpenXmlReader(document.c_str(), &reader);
    if (hr == static_cast<HRESULT>(MX_E_INPUTEND))
        return S_OK; // a declaration alone holds no answer
    if (FAILED(hr))
        return hr;
    CEntryReader answers(reader.Get());
    while ((hr = answers.Next(L"response")) == S_OK)
    {
        bool acknowledged = false, rawMode = false;
        CommandState asked = CommandState::Waiting;
        hr = answers.VisitAttributes([&](const wchar_t* name, const wchar_t* text) {
            if (StrCmpIW(name, L"value") == 0)
            {
                acknowledged = StrCmpIW(text, L"ACK") == 0;
            }
            else if (StrCmpIW(name, L"rawmode") == 0)
            {
                rawMode = StrCmpIW(text, L"true") == 0;
            }
            else if (StrCmpIW(name, L"MaxPayloadSizeToTargetInBytes") == 0)
            {
                // A payload under one sector would stall every write: such a
                // report is ignored and the known size kept.
                const int payload = StrToIntW(text);
                if (payload >= static_cast<int>(m_sectorSize))
                    m_maxSectors = static_cast<DWORD>(payload) / m_sectorSize;
            }
            else if (StrCmpIW(name, L"AttemptRetry") == 0 && asked == CommandState::Waiting)
            {
                asked = CommandState::RetryAsked;
            }
            else if (StrCmpIW(name, L"AttemptRestart") == 0 && asked == CommandState::Waiting)
            {
                asked = CommandState::RestartAsked;
            }
            return S_OK;
        });
        if (FAILED(hr))
            return hr;
        // An answer in raw mode that asks for nothing only says that the
        // data may come.
        if (rawMode && asked == CommandState::Waiting)
            continue;
        if (m_waiting == 0)
            return kOutOfStepResult;
        m_commands[m_commands.size() - m_waiting--].state = asked != CommandState::Waiting ? asked
                                                            : acknowledged                 ? CommandState::Acknowledged
                                                                                           : CommandState::Refused;
    }
    return hr == S_FALSE ? S_OK : hr;
}

CommandState CFirehoseExchange::StateOf(ULONGLONG number) const
{
    if (number < m_first || number - m_first >= m_commands.size())
        return CommandState::Forgotten;
    return m_commands[static_cast<size_t>(number - m_first)].state;
}

HRESULT CFirehoseExchange::ResultOf(ULONGLONG number) const
{
    switch (StateOf(number))
    {
    case CommandState::Acknowledged:
        return S_OK;
    case CommandState::Refused:
        return m_commands[static_cast<size_t>(number - m_first)].checked ? E_UNEXPECTED : S_OK;
    case CommandState::RetryAsked:
        return kAttemptRetryResult;
    case CommandState::RestartAsked:
        return kAttemptRestartResult;
    default:
        return E_UNEXPECTED;
    }
}

HRESULT CFirehoseExchange::LoseStep(HRESULT why)
{
    if (!OutOfStep())
        m_stepLost = FAILED(why) ? why : kOutOfStepResult;
    m_reader.Clear();
    return m_stepLost;
}

void CFirehoseExchange::Restart()
{
    m_reader.SeekDocumentStart();
    m_first += m_commands.size(); // numbers of earlier commands stay unknown
    m_commands.clear();
    m_waiting = 0;
    m_stepLost = S_OK;
}

bool HoldsResponse(const std::string& document)
{
    ComPtr<IXmlReader> reader;
    HRESULT hr = OpenXmlReader(document.c_str(), &reader);
    if (hr == static_cast<HRESULT>(MX_E_INPUTEND))
        return false;
    if (SUCCEEDED(hr))
        hr = MoveToNextElement(reader.Get(), L"response");
    return hr != S_FALSE;
}
