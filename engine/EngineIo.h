// The engine's I/O helpers: reads and writes retried a fixed number of times
// (serial ports, disks, files), XmlLite readers, and status reporting.
#pragma once
#include <windows.h>
#include <objidl.h>
#include <functional>
#include <stdexcept>

#include "engine/StatusReport.h"

struct IXmlReader;

// A failure that cannot be returned as a result, thrown with its HRESULT.
class CHResultException : public std::runtime_error
{
public:
    explicit CHResultException(HRESULT hr) : std::runtime_error("HRESULT failure"), m_hr(hr) {}
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

// Attempts and pause of every retried read and write.
constexpr int kRobustAttempts = 10;
constexpr DWORD kRobustPauseMs = 100;

// No file position: use the handle's own (a serial port).
constexpr LONGLONG kNoPosition = -1;

// Tests make the bounds on a phone's pace (port writes, answer waits) pass
// this many times faster; 1 in the program.
DWORD& PhoneTimeDivisor();
// Such a bound of ms milliseconds as it applies now.
DWORD PhoneTimeMs(DWORD ms);

// The longest one write call to a port waits for the phone to take bytes
// before it returns with what went out: short, so that a writer may read
// what the phone sent meanwhile. A call that ends short is no failure; the
// write's pace decides (CWritePace).
constexpr DWORD kPortCallBoundMs = 20;

// The pace a phone must keep while it takes a write: kPaceFloorBytes in every
// kPaceWindowMs (shortened by PhoneTimeDivisor()), or the write ends with
// 0x800705B4 within one and a half windows of when the phone slowed down.
constexpr DWORD kPaceFloorBytes = 64 * 1024;
constexpr DWORD kPaceWindowMs = 10000;
// The most bytes the port and the link hold on their way to the phone (here
// about 40 KB): at the floor's pace they are taken within one window.
constexpr DWORD kPortHoldsBytes = kPaceFloorBytes;

// Sets a port's time-outs: reads wait up to readWaitMs for all the bytes
// asked for, or (0) return at once with what has come; every write call ends
// at kPortCallBoundMs.
HRESULT SetPortTimeouts(HANDLE port, DWORD readWaitMs);

// The pace of one or more writes to a port, counted in half windows: at the
// end of each, the two halves before must hold the floor unless the write
// is done.
class CWritePace
{
public:
    // whileWaiting runs between two calls of a write, after one ended short:
    // a phone that waits for its own output to be read takes nothing more.
    explicit CWritePace(std::function<void()> whileWaiting = nullptr);

    // bytes went out now, and `more` are still to go: 0x800705B4 when the
    // phone took less than the floor in the last window.
    HRESULT Moved(DWORD bytes, bool more);
    void Waiting() const
    {
        if (m_whileWaiting)
            m_whileWaiting();
    }
    // How long what the port may still hold takes to reach the phone at the
    // pace seen over the last window: at most one window.
    DWORD DrainMs() const;

private:
    std::function<void()> m_whileWaiting;
    ULONGLONG m_halfStart;
    ULONGLONG m_current = 0;  // bytes in the half window now running
    ULONGLONG m_previous = 0; // bytes in the one before
    bool m_wholeWindow = false;
};

// Writes count bytes, at position when one is given, in up to 10 attempts
// 100 ms apart. The bytes are dumped under "WriteRobust". On a port a call
// that ends short is followed by another for the rest, at the pace given (or
// one of the write's own), and bytes already out are never sent again; the
// write ends with 0x800705B4 when the phone falls below the floor. A write
// that ends short elsewhere is 0x8007001D.
HRESULT WriteRobust(HANDLE handle, const void* buffer, DWORD count, LONGLONG position = kNoPosition,
                    CWritePace* pace = nullptr);

// Reads exactly count bytes, at position when one is given, in up to 10
// attempts 100 ms apart; a short read is 0x80070026 and is retried. The bytes
// are dumped under "ReadRobust".
HRESULT ReadRobust(HANDLE handle, void* buffer, DWORD count, LONGLONG position);

// The serial form: no position, no dump; otherwise the same.
HRESULT ReadRobust(HANDLE handle, void* buffer, DWORD count);

// One read of up to capacity bytes from a port, tried again up to 10 times,
// 100 ms apart, only while the read itself fails: what has come, even
// nothing, is a success. The bytes are dumped under "ReadRobust". With
// waitingOnly the port is first asked how much it holds, and exactly that
// much (at most capacity) is read: such a read returns at once, costs the
// platform no look at the read time-outs, and makes no call when nothing
// has come.
HRESULT ReadSomeRobust(HANDLE handle, void* buffer, DWORD capacity, DWORD& read, bool waitingOnly = false);

// XmlLite readers over a stream, a file (read, deny write) and 8-bit text
// (without its terminating zero). A text that holds nothing but an XML
// declaration, or only the start of one ("<?xml" cut short), is refused with
// MX_E_INPUTEND (0xC00CEE01) before the reader sees it: XmlLite on this
// platform stops the whole process on such a text. A text in UTF-16
// big-endian (by its byte order mark) is refused with MX_E_ENCODING
// (0xC00CEE02): the reader here would see nothing in it.
HRESULT OpenXmlReader(IStream* stream, IXmlReader** reader);
HRESULT OpenXmlReader(const wchar_t* path, IXmlReader** reader);
HRESULT OpenXmlReader(const char* text, IXmlReader** reader);

// Formats a status text (wide printf rules) and delivers it to the sink as
// NewStatus(0, NULL, text). Nothing happens without a sink; the sink's result
// is ignored. Throws CHResultException(E_OUTOFMEMORY) when the text cannot be
// allocated.
void ReportStatus(IQStatusReport* sink, const wchar_t* format, ...);
