// The reader of the entry files (rawprogram, patch and provision XML): their
// elements of one name in document order, each file held to the rules that
// make it whole and read alike by the XML readers of every platform.
#pragma once
#include <windows.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <string>
#include <vector>

#include "engine/XmlElements.h"

struct CaseInsensitiveLess
{
    bool operator()(const std::wstring& a, const std::wstring& b) const { return StrCmpIW(a.c_str(), b.c_str()) < 0; }
};

// A document without any element, or one whose root element never ends, is
// not whole. XmlLite here reports the end of such an input as a success,
// after end elements of its own for the elements still open, each at the
// place of its start tag. It also takes what a Windows reader refuses as not
// well-formed: control characters in values, and an attribute named twice.
class CEntryReader
{
public:
    explicit CEntryReader(IXmlReader* reader) : m_reader(reader) {}

    // Moves to the next element named `element` (without regard to case, at
    // any depth): S_OK there, S_FALSE at the end of a whole document. Every
    // node on the way is checked, and the first fault ends the reading:
    // MX_E_INPUTEND (0xC00CEE01) for a document that is not whole,
    // WC_E_XMLCHARACTER (0xC00CEE2B) for a control character other than tab,
    // line feed and carriage return in a text or an attribute value,
    // WC_E_UNIQUEATTRIBUTE (0xC00CEE3C) for two attributes of one element
    // with the same local name (without regard to case, whatever their
    // prefixes), or the reader's own error.
    HRESULT Next(const wchar_t* element);

    // Calls visit(local name, value) for each attribute of the element that
    // Next stopped at, in document order (see VisitAttributes).
    template <class Visit> HRESULT VisitAttributes(Visit visit)
    {
        m_reader->MoveToElement();
        return ::VisitAttributes(m_reader, visit);
    }

private:
    HRESULT CheckAttributes();

    IXmlReader* m_reader;
    std::vector<XmlReaderPlace> m_open; // where each element not yet ended starts
    bool m_elements = false;
};
