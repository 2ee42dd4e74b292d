// The Firehose programmer's answers as they come from the port: bytes in,
// whole XML documents out, in order. An answer may come in pieces over
// several reads, and several answers in one read.
#pragma once
#include <windows.h>

#include <deque>
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
    void Append(const char* bytes, size_t count);
    // On a port opened afresh what comes first may be the rest of a document
    // begun before the open: it answers nothing. What comes is dropped until
    // a document begins whole, at an XML declaration or at a <data> start
    // tag (a programmer may leave its declarations off); a <data> element
    // right after the end of a declaration cut by the open ("?>", or a '>'
    // alone) is the rest of that document, and is dropped as well.
    void SeekDocumentStart()
    {
        m_held.clear();
        m_seeking = true;
        m_afterDeclaration = false;
        m_lastSkipped = 0;
        m_dropFirst = false;
    }
    // The next whole document: S_OK with it, S_FALSE when none is whole yet.
    // White space between documents is skipped. An answer held here that has
    // grown past kMaxHeldAnswer without ending is dropped with 0x8007007A.
    HRESULT Next(std::string& document);
    // Whether bytes of an answer that has not ended yet are held.
    bool Holding() const;
    void Clear() { m_held.clear(); }

private:
    // Drops what cannot begin a document, up to where one begins or to a
    // start too short to tell.
    void Seek();

    std::string m_held;
    bool m_seeking = false;
    bool m_afterDeclaration = false; // what was dropped last ended a declaration
    char m_lastSkipped = 0;          // the last byte dropped that was no white space
    bool m_dropFirst = false;        // the document held first is the rest of a cut one
};

// Results of the exchange with a Firehose programmer.
// The exchange is out of step (ERROR_INVALID_STATE): see CFirehoseExchange.
constexpr HRESULT kOutOfStepResult = static_cast<HRESULT>(0x8007139F);
// The programmer asks for the command to be sent again ("AttemptRetry").
constexpr HRESULT kAttemptRetryResult = static_cast<HRESULT>(0x800704D5);
// The programmer asks for a restart ("AttemptRestart").
constexpr HRESULT kAttemptRestartResult = static_cast<HRESULT>(0x800705BB);

// What the final answer to a command said, or that it has not come.
enum class CommandState
{
    Waiting,      // no final answer yet
    Acknowledged, // ACK
    Refused,      // any other value
    RetryAsked,   // AttemptRetry
    RestartAsked, // AttemptRestart
    Forgotten     // a number never given, or answered too long ago to be kept
};

// The host's side of the exchange: the commands sent, oldest first, and what
// each one's final answer said. Answers carry no command id, and a programmer
// handles its commands in order: a final answer (any response element but one
// with rawmode="true" that asks for nothing) belongs to the oldest command
// still waiting for one. Once it cannot tell which command an answer belongs
// to, the exchange is out of step until Restart (see LoseStep).
class CFirehoseExchange
{
public:
    explicit CFirehoseExchange(DWORD sectorSize) : m_sectorSize(sectorSize) {}

    // A command has gone out; gives its number. A checked command succeeds
    // only with an ACK; for an unchecked one only a request to retry or
    // restart is a failure.
    ULONGLONG Sent(bool checked);
    // Bytes as they came from the port; every document they complete is read
    // in order, as strictly as an entry file. Dropped while out of step.
    HRESULT Take(const char* bytes, size_t count);
    CommandState StateOf(ULONGLONG number) const;
    // The result of a command's final answer: S_OK for an ACK, or a refusal
    // of an unchecked command; E_UNEXPECTED for a refusal of a checked one,
    // and for a command without a final answer; kAttemptRetryResult;
    // kAttemptRestartResult.
    HRESULT ResultOf(ULONGLONG number) const;
    // Commands still waiting for their final answer.
    size_t Waiting() const { return m_waiting; }
    // Whether bytes of a document that has not ended are held.
    bool Holding() const { return m_reader.Holding(); }
    // Whether an answer may still come that no command waits for: the
    // exchange is out of step, or a command waits, or an answer has begun.
    bool Unsettled() const { return OutOfStep() || m_waiting > 0 || Holding(); }

    // The one way out of step, with its cause: a final answer that no
    // command waits for, a document that cannot be read or outgrows
    // kMaxHeldAnswer, a command or its data cut short, a port read that
    // failed, a final answer that did not come, or did not end, in time. The
    // first cause is kept and given back.
    HRESULT LoseStep(HRESULT why);
    bool OutOfStep() const { return FAILED(m_stepLost); }
    // Why it is out of step (S_OK while in step).
    HRESULT StepLost() const { return m_stepLost; }

    // Sectors per transfer from the last MaxPayloadSizeToTargetInBytes of at
    // least one sector in any response; 0 until one came. Kept by Restart.
    DWORD MaxSectors() const { return m_maxSectors; }
    // The port was opened afresh: no command waits, nothing is held.
    void Restart();

private:
    struct Command
    {
        bool checked;
        CommandState state;
    };
    HRESULT Read(const std::string& document);

    DWORD m_sectorSize;
    DWORD m_maxSectors = 0;
    CFirehoseAnswerReader m_reader;
    std::deque<Command> m_commands; // answered ones first, then the waiting
    ULONGLONG m_first = 1;          // number of m_commands.front()
    size_t m_waiting = 0;
    HRESULT m_stepLost = S_OK;
};

// Whether a document holds a response element, final or not; one that cannot
// be read counts as one (it may have).
bool HoldsResponse(const std::string& document);
