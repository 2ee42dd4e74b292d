#include "engine/images/EntryReader.h"

#include <set>

namespace
{

const HRESULT kInputEnd = static_cast<HRESULT>(MX_E_INPUTEND);
const HRESULT kControlCharacter = static_cast<HRESULT>(WC_E_XMLCHARACTER);
const HRESULT kNamedTwice = static_cast<HRESULT>(WC_E_UNIQUEATTRIBUTE);

// The characters below 0x20 that XML takes are tab, line feed and carriage
// return.
bool HasControlCharacter(const wchar_t* text, UINT length)
{
    for (UINT i = 0; i < length; ++i)
    {
        if (text[i] < 0x20 && text[i] != L'\t' && text[i] != L'\n' && text[i] != L'\r')
            return true;
    }
    return false;
}

// The current node's value, refused when it holds a control character.
HRESULT CheckValue(IXmlReader* reader)
{
    const wchar_t* value = nullptr;
    UINT length = 0;
    HRESULT hr = reader->GetValue(&value, &length);
    if (FAILED(hr))
        return hr;
    return HasControlCharacter(value, length) ? kControlCharacter : S_OK;
}

} // namespace

HRESULT CEntryReader::Next(const wchar_t* element)
{
    m_reader->MoveToElement(); // from an attribute back to its element
    XmlReaderPlace last(m_reader);
    XmlNodeType type;
    HRESULT hr;
    while ((hr = m_reader->Read(&type)) == S_OK)
    {
        // A reader that no longer moves on through its input.
        const XmlReaderPlace place(m_reader);
        if (place == last)
            return kInputEnd;
        last = place;
        if (type == XmlNodeType_EndElement)
        {
            // One made up by the reader stands where its start tag stands.
            if (m_open.empty() || (m_open.back().line == place.line && m_open.back().position == place.position))
                return kInputEnd;
            m_open.pop_back();
            continue;
        }
        if (type != XmlNodeType_Element)
        {
            hr = CheckValue(m_reader);
            if (FAILED(hr))
                return hr;
            continue;
        }
        m_elements = true;
        if (!m_reader->IsEmptyElement())
            m_open.push_back(place);
        hr = CheckAttributes();
        if (FAILED(hr))
            return hr;
        const wchar_t* local = nullptr;
        hr = m_reader->GetLocalName(&local, nullptr);
        if (FAILED(hr))
            return hr;
        if (StrCmpIW(local, element) == 0)
            return S_OK;
    }
    if (hr == S_FALSE && (!m_elements || !m_open.empty()))
        return kInputEnd;
    return hr;
}

// Leaves the reader on the element again.
HRESULT CEntryReader::CheckAttributes()
{
    std::set<std::wstring, CaseInsensitiveLess> names;
    HRESULT hr;
    for (hr = m_reader->MoveToFirstAttribute(); hr == S_OK; hr = m_reader->MoveToNextAttribute())
    {
        const wchar_t* name = nullptr;
        hr = m_reader->GetLocalName(&name, nullptr);
        if (FAILED(hr))
            break;
        if (!names.insert(name).second)
        {
            hr = kNamedTwice;
            break;
        }
        hr = CheckValue(m_reader);
        if (FAILED(hr))
            break;
    }
    m_reader->MoveToElement();
    return FAILED(hr) ? hr : S_OK;
}
