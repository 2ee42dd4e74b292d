// Walking the elements of an XmlLite reader by name, and their attributes.
#pragma once
#include <windows.h>
#include <shlwapi.h>
#include <xmllite.h>

// Moves to the next element whose local name is `name` (without regard to
// case), at any depth: S_OK there, S_FALSE at the end of the input, or the
// reader's error.
inline HRESULT MoveToNextElement(IXmlReader* reader, const wchar_t* name)
{
    XmlNodeType type;
    HRESULT hr;
    while ((hr = reader->Read(&type)) == S_OK)
    {
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
template <class Visit>
HRESULT VisitAttributes(IXmlReader* reader, Visit visit)
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
