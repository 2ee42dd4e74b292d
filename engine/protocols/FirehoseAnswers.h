// The Firehose programmer's answers as they come from the port: bytes in,
// whole XML documents out, in order. An answer may come in pieces over
// several reads, and several answers in one read.
#pragma once
#include <windows.h>

#include <string>

// The most bytes of one answer held while its rest is on its way: far more
// than any programmer's answer or log line.
constexpr size_t kMaxHeldAnswer = 64 * 1024;

// Where the XML document at the start of text ends: just past the end of its
// root element and the white space after it, or where the next document
// begins (a "<?" in markup, after the start). 0 while neither has come within
// length bytes (the rest of the document is still to come). Quoted attribute
// values, comments, character data and processing instructions are skipped
// whole.
size_t XmlDocumentEnd(const char* text, size_t length);

class CFirehoseAnswerReader
{
public:
    // Takes bytes as read from the port.
    void Append(const char* bytes, size_t count) { m_held.append(bytes, count); }
    // The next whole document: S_OK with it, S_FALSE when none is whole yet.
    // White space between documents is skipped. An answer held here that has
    // grown past kMaxHeldAnswer without ending is dropped with 0x8007007A.
    HRESULT Next(std::string& document);
    // Whether bytes of an answer that has not ended yet are held.
    bool Holding() const;
    void Clear() { m_held.clear(); }

private:
    std::string m_held;
};
