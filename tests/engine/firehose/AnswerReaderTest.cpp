// The Firehose answer reader by itself: bytes in, whole documents out, with
// no port.
#include <gtest/gtest.h>

#include "engine/protocols/FirehoseAnswers.h"

namespace
{

const HRESULT kInsufficientBuffer = static_cast<HRESULT>(0x8007007A);

// Every document the reader hands out now, in order, without the white space
// that may follow it.
std::vector<std::string> Drain(CFirehoseAnswerReader& reader)
{
    std::vector<std::string> documents;
    std::string document;
    HRESULT hr;
    while ((hr = reader.Next(document)) == S_OK)
        documents.push_back(document.substr(0, document.find_last_not_of("\r\n") + 1));
    EXPECT_EQ(S_FALSE, hr);
    return documents;
}

// Two answers as a programmer may send them: quotes of both kinds holding
// '>', '/', '<?' and the other quote, a comment and character data holding
// what would end the document or begin the next.
const std::string kFirst = "<?xml version=\"1.0\" encoding='UTF-8' ?><data>"
                           "<log value='a>b\"/>' /><log value=\"c>'d/>\"/>"
                           "<!-- </data> <? --><![CDATA[</data> <?xml ?> ]]>"
                           "<response value=\"ACK\" rawmode='true'/></data>";
const std::string kSecond = "<?xml version=\"1.0\" ?><data><response value='NAK'/></data>";

TEST(FirehoseAnswerReader, EverySplitGivesTheSameDocumentsOnceWhole)
{
    const std::string stream = kFirst + "\r\n" + kSecond + "\n";
    const std::vector<std::string> whole = {kFirst, kSecond};
    const size_t secondStart = kFirst.size() + 2;
    for (size_t cut = 0; cut <= stream.size(); ++cut)
    {
        SCOPED_TRACE(stream.substr(0, cut));
        CFirehoseAnswerReader reader;
        reader.Append(stream.data(), cut);
        std::vector<std::string> documents = Drain(reader);
        // Nothing is handed out before its root element has ended, and the
        // start of a document is held.
        EXPECT_EQ((cut >= kFirst.size() ? 1u : 0u) + (cut >= secondStart + kSecond.size() ? 1u : 0u),
                  documents.size());
        EXPECT_EQ((cut > 0 && cut < kFirst.size()) || (cut > secondStart && cut < secondStart + kSecond.size()),
                  reader.Holding());
        reader.Append(stream.data() + cut, stream.size() - cut);
        for (const std::string& document : Drain(reader))
            documents.push_back(document);
        EXPECT_EQ(whole, documents);
        EXPECT_FALSE(reader.Holding());
    }
}

TEST(FirehoseAnswerReader, ByteByByteAndDocumentsCutShortByTheNext)
{
    // One byte at a time: the same documents.
    CFirehoseAnswerReader reader;
    std::vector<std::string> documents;
    for (char c : kFirst + "\r\n" + kSecond)
    {
        reader.Append(&c, 1);
        for (const std::string& document : Drain(reader))
            documents.push_back(document);
    }
    EXPECT_EQ((std::vector<std::string>{kFirst, kSecond}), documents);

    // A declaration in markup begins the next document: the one before it
    // is handed out as it was cut, for the XML reader to refuse.
    const std::string cutShort = "<?xml version=\"1.0\" ?><data><log value=\"x\"/>";
    reader.Append((cutShort + kSecond).data(), cutShort.size() + kSecond.size());
    EXPECT_EQ((std::vector<std::string>{cutShort, kSecond}), Drain(reader));
    // Text before a document is a document of its own.
    reader.Append(("junk" + kSecond).data(), 4 + kSecond.size());
    EXPECT_EQ((std::vector<std::string>{"junk", kSecond}), Drain(reader));
}

TEST(FirehoseAnswerReader, AnAnswerThatNeverEndsIsDroppedPastItsBound)
{
    const std::string start = "<?xml version=\"1.0\" ?><data><log value=\"";
    CFirehoseAnswerReader reader;
    reader.Append(start.data(), start.size());
    const std::string filler(kMaxHeldAnswer - start.size(), 'x');
    reader.Append(filler.data(), filler.size());
    std::string document;
    EXPECT_EQ(S_FALSE, reader.Next(document)); // exactly the bound is held
    EXPECT_TRUE(reader.Holding());
    reader.Append("x", 1);
    EXPECT_EQ(kInsufficientBuffer, reader.Next(document));
    EXPECT_FALSE(reader.Holding());
    // What comes after is read as usual; a whole answer past the bound too.
    const std::string large =
        "<?xml version=\"1.0\" ?><data><log value=\"" + std::string(kMaxHeldAnswer, 'y') + "\"/></data>";
    reader.Append(large.data(), large.size());
    reader.Append(kSecond.data(), kSecond.size());
    EXPECT_EQ((std::vector<std::string>{large, kSecond}), Drain(reader));
}

TEST(FirehoseAnswerReader, DocumentEndsWithItsRootElementOrTheNextDeclaration)
{
    const std::string whole = "<?xml version=\"1.0\" ?><data><log value=\"a>b\" /><!-- </data> -->"
                              "<![CDATA[</data>]]><response value=\"ACK\"/></data>";
    // Every cut before the root element's end leaves the document open.
    for (size_t cut = 0; cut < whole.size(); ++cut)
        EXPECT_EQ(0u, XmlDocumentEnd(whole.data(), cut)) << whole.substr(0, cut);
    EXPECT_EQ(whole.size(), XmlDocumentEnd(whole.data(), whole.size()));
    // White space after the root belongs to it; what follows does not.
    const std::string next = whole + "\r\n <?xml";
    EXPECT_EQ(whole.size() + 3, XmlDocumentEnd(next.data(), next.size()));
    EXPECT_EQ(4u, XmlDocumentEnd("<r/>tail", 8));
    EXPECT_EQ(16u, XmlDocumentEnd("<!DOCTYPE r><r/>", 16));
    // A "<?" after the start ends the document there; one cut short at its
    // '<' may still be a tag.
    EXPECT_EQ(6u, XmlDocumentEnd("<data><?xml", 11));
    EXPECT_EQ(0u, XmlDocumentEnd("<data><", 7));
}

} // namespace
