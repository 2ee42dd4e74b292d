// The Firehose answer reader and the exchange by themselves: bytes in, whole
// documents and each command's result out, with no port.
#include <gtest/gtest.h>

#include "engine/protocols/FirehoseAnswers.h"

namespace
{

const HRESULT kInsufficientBuffer = static_cast<HRESULT>(0x8007007A);
const HRESULT kInputEnd = static_cast<HRESULT>(0xC00CEE01);
const HRESULT kControlCharacter = static_cast<HRESULT>(0xC00CEE2B);
const HRESULT kNamedTwice = static_cast<HRESULT>(0xC00CEE3C);

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

// Documents as a programmer writes them.
std::string Answer(const std::string& attributes)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><response " + attributes + " /></data>";
}
std::string Log(const std::string& text)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><log value=\"" + text + "\" /></data>";
}
HRESULT Feed(CFirehoseExchange& exchange, const std::string& bytes)
{
    return exchange.Take(bytes.data(), bytes.size());
}

TEST(FirehoseExchange, EachFinalAnswerBelongsToTheOldestCommandWaiting)
{
    using State = CommandState;
    const struct
    {
        bool checked;
        std::string answer;
        State state;
        HRESULT result;
    } commands[] = {
        {true, Answer("value=\"ACK\""), State::Acknowledged, S_OK},
        {true, Answer("value=\"NAK\""), State::Refused, E_UNEXPECTED},
        // Configure refused by a programmer offered more than it takes: the
        // refusal is no failure of an unchecked command, and its size counts.
        {false, Answer("value=\"NAK\" MaxPayloadSizeToTargetInBytes=\"16384\""), State::Refused, S_OK},
        {true, Answer("VALUE=\"ack\" RawMode=\"false\""), State::Acknowledged, S_OK},
        {true, Answer("rawmode=\"false\""), State::Refused, E_UNEXPECTED},
        {false, Answer("value=\"ACK\" AttemptRetry=\"\""), State::RetryAsked, kAttemptRetryResult},
        {true, Answer("value=\"NAK\" AttemptRestart=\"1\" AttemptRetry=\"\""), State::RestartAsked,
         kAttemptRestartResult},
        {true, Answer("value=\"ACK\" AttemptRetry=\"1\" AttemptRestart=\"\""), State::RetryAsked, kAttemptRetryResult},
        // A request counts in raw mode too: it answers the command.
        {true, Answer("value=\"ACK\" rawmode=\"true\" AttemptRetry=\"\""), State::RetryAsked, kAttemptRetryResult},
        {false, Answer("rawmode=\"TRUE\" AttemptRestart=\"\""), State::RestartAsked, kAttemptRestartResult},
    };
    CFirehoseExchange exchange(512);
    std::vector<ULONGLONG> numbers;
    for (const auto& c : commands)
        numbers.push_back(exchange.Sent(c.checked));
    EXPECT_EQ(std::size(commands), exchange.Waiting());
    for (size_t i = 0; i < std::size(commands); ++i)
    {
        SCOPED_TRACE(commands[i].answer);
        // Logs and answers in raw mode come between, and belong to nothing.
        EXPECT_EQ(S_OK, Feed(exchange, Log("INFO: busy") + Answer("value=\"ACK\" rawmode=\"true\"")));
        EXPECT_EQ(State::Waiting, exchange.StateOf(numbers[i]));
        EXPECT_EQ(E_UNEXPECTED, exchange.ResultOf(numbers[i]));
        EXPECT_EQ(S_OK, Feed(exchange, commands[i].answer));
        EXPECT_EQ(commands[i].state, exchange.StateOf(numbers[i]));
        EXPECT_EQ(commands[i].result, exchange.ResultOf(numbers[i]));
        if (i + 1 < std::size(commands))
        {
            EXPECT_EQ(State::Waiting, exchange.StateOf(numbers[i + 1]));
        }
        EXPECT_EQ(std::size(commands) - i - 1, exchange.Waiting());
    }
    EXPECT_FALSE(exchange.OutOfStep());
    EXPECT_EQ(32u, exchange.MaxSectors());

    // Answers that come together are read in order, a split one once whole.
    const ULONGLONG first = exchange.Sent(true), second = exchange.Sent(true);
    const std::string both = Answer("value=\"NAK\"") + "\r\n" + Answer("value=\"ACK\"");
    EXPECT_EQ(S_OK, Feed(exchange, both.substr(0, both.size() - 9)));
    EXPECT_TRUE(exchange.Holding());
    EXPECT_EQ(E_UNEXPECTED, exchange.ResultOf(first));
    EXPECT_EQ(State::Waiting, exchange.StateOf(second));
    EXPECT_EQ(S_OK, Feed(exchange, both.substr(both.size() - 9)));
    EXPECT_FALSE(exchange.Holding());
    EXPECT_EQ(S_OK, exchange.ResultOf(second));
}

TEST(FirehoseExchange, PayloadSizeFromAnyResponseOfAtLeastOneSector)
{
    const struct
    {
        DWORD sectorSize;
        const char* payload;
        DWORD sectors;
    } cases[] = {
        {512, "131072", 256}, {4096, "1048576", 256}, {512, "512", 1},
        {512, "511", 7},      {4096, "4095", 7},      {4096, "4096", 1},
        {512, "-512", 7},     {512, "x", 7},          {512, "1073741824", 2097152},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.payload);
        CFirehoseExchange exchange(c.sectorSize);
        // An earlier size stands until a usable one replaces it; one that
        // comes in raw mode counts too.
        const std::string earlier = std::to_string(7 * c.sectorSize);
        exchange.Sent(false);
        EXPECT_EQ(S_OK, Feed(exchange, Answer("value=\"ACK\" MaxPayloadSizeToTargetInBytes=\"" + earlier + "\"")));
        exchange.Sent(false);
        EXPECT_EQ(S_OK, Feed(exchange, Answer("value=\"ACK\" rawmode=\"true\" MaxPayloadSizeToTargetInBytes=\"" +
                                              std::string(c.payload) + "\"")));
        EXPECT_EQ(c.sectors, exchange.MaxSectors());
        // A port opened afresh keeps it.
        exchange.Restart();
        EXPECT_EQ(c.sectors, exchange.MaxSectors());
    }
}

TEST(FirehoseExchange, AnAnswerItCannotPlaceLeavesItOutOfStepUntilRestart)
{
    const struct
    {
        const char* what;
        int commands;
        std::string bytes;
        HRESULT result;
    } cases[] = {
        {"a final answer nobody waits for", 0, Answer("value=\"ACK\""), kOutOfStepResult},
        {"a second answer", 1, Answer("value=\"ACK\"") + Answer("value=\"NAK\""), kOutOfStepResult},
        {"a broken document", 1, "<?xml version=\"1.0\" ?><data><response value=\"ACK\"/></oops></data>",
         static_cast<HRESULT>(0xC00CEE3B)},
        {"an answer that runs on", 1, "<?xml version=\"1.0\" ?><data><log value=\"" + std::string(kMaxHeldAnswer, 'x'),
         kInsufficientBuffer},
        // Read as strictly as an entry file.
        {"a value named twice", 1, Answer("value=\"NAK\" value=\"ACK\""), kNamedTwice},
        {"a value named twice in two cases", 1, Answer("VALUE=\"ACK\" value=\"NAK\""), kNamedTwice},
        {"a control character", 1, Log("a\x01") + Answer("value=\"ACK\""), kControlCharacter},
        {"text that is no document", 1, "tail\" /></data>" + Answer("value=\"ACK\""), kInputEnd},
        // Their honest twins.
        {"logs and raw-mode answers while nobody waits", 0,
         Log("INFO: a") + Answer("value=\"ACK\" rawmode=\"true\"") + "\n" + Log("INFO: b"), S_OK},
        {"one answer each", 2, Answer("value=\"ACK\"") + Answer("value=\"NAK\""), S_OK},
        {"attributes named once each", 1, Answer("value=\"ACK\" Value2=\"NAK\" rawmode=\"false\""), S_OK},
        {"a tab and line ends in a log", 1, Log("a\tb\r\nc") + Answer("value=\"ACK\""), S_OK},
        {"a declaration alone", 1, "<?xml version=\"1.0\" ?>" + Answer("value=\"ACK\""), S_OK},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CFirehoseExchange exchange(512);
        exchange.Sent(false);
        EXPECT_EQ(S_OK, Feed(exchange, Answer("value=\"ACK\" MaxPayloadSizeToTargetInBytes=\"4096\"")));
        for (int i = 0; i < c.commands; ++i)
            exchange.Sent(true);
        EXPECT_EQ(c.result, Feed(exchange, c.bytes));
        EXPECT_EQ(FAILED(c.result), exchange.OutOfStep());
        if (SUCCEEDED(c.result))
            continue;
        // Nothing more is read until the port is opened afresh.
        const ULONGLONG next = exchange.Sent(true);
        EXPECT_EQ(kOutOfStepResult, Feed(exchange, Answer("value=\"ACK\"")));
        EXPECT_EQ(CommandState::Waiting, exchange.StateOf(next));
        EXPECT_FALSE(exchange.Holding());
        // The first cause is kept.
        EXPECT_EQ(c.result, exchange.LoseStep(E_FAIL));
        exchange.Restart();
        EXPECT_FALSE(exchange.OutOfStep());
        EXPECT_EQ(0u, exchange.Waiting());
        EXPECT_EQ(CommandState::Forgotten, exchange.StateOf(next)); // a command of the port before
        EXPECT_EQ(8u, exchange.MaxSectors());
    }
}

// On a port opened afresh the rest of a document begun before the open, cut
// anywhere, answers nothing; a document that begins whole counts, with or
// without its declaration. Whatever was cut, the exchange stays in step and
// the answer after it answers the command (but for one that follows a
// lone '>').
TEST(FirehoseExchange, OnAPortOpenedAfreshOnlyDocumentsBegunWholeCount)
{
    const std::string declaration = "<?xml version=\"1.0\" ?>";
    const std::string body = "<data><log value=\"a?>b\"/><response value=\"ACK\"/></data>";
    const std::vector<std::string> nextAnswers = {Answer("value=\"NAK\""), "<data><response value=\"NAK\"/></data>"};
    for (const std::string& earlier : {declaration + body, body, Log("INFO: busy")})
    {
        for (size_t cut = 0; cut < earlier.size(); ++cut)
        {
            SCOPED_TRACE(earlier.substr(0, cut) + " | " + earlier.substr(cut));
            // Whole documents: the one cut at its start, and its body alone.
            const std::string rest = earlier.substr(cut);
            const bool whole = cut == 0 || rest.compare(0, 6, "<data>") == 0;
            const bool acknowledged = whole && rest.find("ACK") != std::string::npos;
            for (const std::string& next : nextAnswers)
            {
                CFirehoseExchange exchange(512);
                exchange.Restart();
                const ULONGLONG first = exchange.Sent(true), second = exchange.Sent(true);
                // One read or two: the same.
                EXPECT_EQ(S_OK, Feed(exchange, rest.substr(0, rest.size() / 2)));
                EXPECT_EQ(S_OK, Feed(exchange, rest.substr(rest.size() / 2) + next));
                EXPECT_FALSE(exchange.OutOfStep());
                // A '>' alone may end a declaration that the open cut: the
                // <data> element after it is taken for that document's rest.
                const bool nextHeard = rest != ">" || next.compare(0, 2, "<?") == 0;
                EXPECT_EQ(acknowledged ? CommandState::Acknowledged
                          : nextHeard  ? CommandState::Refused
                                       : CommandState::Waiting,
                          exchange.StateOf(first));
                EXPECT_EQ(acknowledged ? CommandState::Refused : CommandState::Waiting, exchange.StateOf(second));
            }
        }
    }
}

} // namespace
