// Walking the elements of an XmlLite reader by name, and their attributes;
// texts put into attribute values.
#pragma once
#include <windows.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <string>

// Where the reader stands: a node read again at the same place means that the
// reader no longer moves on (XmlLite here keeps handing out the last node of a
// document cut short, with success, for ever; the last start tag of one cut
// right after it comes again one level deeper each time).
struct XmlReaderPlace
{
    XmlNodeType type = XmlNodeType_None;
    UINT line = 0;
    UINT position = 0;

    explicit XmlReaderPlace(IXmlReader* reader)
    {
        reader->GetNodeType(&type);
        reader->GetLineNumber(&line);
        reader->GetLinePosition(&position);
    }
    bool operator==(const XmlReaderPlace& o) const
    {
        return type == o.type && line == o.line && position == o.position;
    }
};

// Moves to the next element whose local name is `name` (without regard to
// case), at any depth: S_OK there, S_FALSE at the end of the input, the
// reader's error, or MX_E_INPUTEND (0xC00CEE01) when the reader stops moving
// on through its input.
inline HRESULT MoveToNextElement(IXmlReader* reader, const wchar_t* name)
{
    reader->MoveToElement(); // from an attribute back to its element
    XmlReaderPlace last(reader);
    XmlNodeType type;
    HRESULT hr;
    while ((hr = reader->Read(&type)) == S_OK)
    {
        const XmlReaderPlace place(reader);
        if (place == last)
            return static_cast<HRESULT>(MX_E_INPUTEND);
        last = place;
        if (type != XmlNodeType_Element)
            continue;
        const wchar_t* local = nullptr;
        hr = reader->GetLocalName(&local, nullptr);
        if (FAILED(hr))
            return hr;
        if (StrCmpIW(local, name) == 0)
            return S_OK;
    }
    return hr;
}

// Calls visit(name, value) for each attribute of the current element, in
// document order, until it returns something other than S_OK; gives that
// result, a reader error, or S_OK after the last attribute.
template <class Visit> HRESULT VisitAttributes(IXmlReader* reader, Visit visit)
{
    HRESULT hr;
    for (hr = reader->MoveToFirstAttribute(); hr == S_OK; hr = reader->MoveToNextAttribute())
    {
        const wchar_t* name = nullptr;
        const wchar_t* value = nullptr;
        hr = reader->GetLocalName(&name, nullptr);
        if (SUCCEEDED(hr))
            hr = reader->GetValue(&value, nullptr);
        if (SUCCEEDED(hr))
            hr = visit(name, value);
        if (hr != S_OK)
            return hr;
    }
    return FAILED(hr) ? hr : S_OK;
}

// Text put into an attribute value, with the characters that would end the
// value or begin markup written as references.
inline std::wstring XmlEscaped(const wchar_t* text)
{
    std::wstring escaped;
    for (; text && *text; ++text)
    {
        switch (*text)
        {
        case L'&':
            escaped += L"&amp;";
            break;
        case L'<':
            escaped += L"&lt;";
            break;
        case L'>':
            escaped += L"&gt;";
            break;
        case L'"':
            escaped += L"&quot;";
            break;
        case L'\'':
            escaped += L"&apos;";
            break;
        default:
            escaped += *text;
            break;
        }
    }
    return escaped;
}
