// The engine's I/O helpers: reads and writes retried a fixed number of times
// (serial ports, disks, files), XmlLite readers, and status reporting.
#pragma once
#include <windows.h>
#include <objidl.h>
#include <functional>
#include <stdexcept>

#include "engine/PhonePace.h"
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

// The longest one write call to a port waits for the phone to take bytes
// before it returns with what went out: short, so that a writer may hear what
// the phone sent meanwhile. A call that ends short is no failure; the floor
// of the write decides (CPaceFloor).
constexpr DWORD kPortCallBoundMs = 20;

// Sets a port's time-outs: reads wait up to readWaitMs for all the bytes
// asked for, or (0) return at once with what has come; every write call ends
// at kPortCallBoundMs.
HRESULT SetPortTimeouts(HANDLE port, DWORD readWaitMs);

// One write call to a port: S_OK with what it wrote (perhaps less than asked,
// even nothing), or its failure.
using PortWriteCall = std::function<HRESULT(const BYTE* bytes, DWORD count, DWORD& written)>;

// Writes count bytes to a port in calls of `call`, each for what is still to
// go, for as long as the floor allows. Every byte a call wrote counts toward
// the floor, and after a call that ended short the phone is heard (when a
// hearing is given). `done` gives what went out, also on failure.
HRESULT WriteAtPhonePace(const PortWriteCall& call, const void* buffer, DWORD count, CPaceFloor& floor,
                         CHearing* hearing, DWORD& done);

// Writes count bytes, at position when one is given, in up to 10 attempts
// 100 ms apart. The bytes are dumped under "WriteRobust". On a port the
// caller gives the write's floor: a call that ends short is followed by
// others for the rest (WriteAtPhonePace), bytes already out are never sent
// again, and the write ends with 0x800705B4 when the phone falls below the
// floor. Without a floor a write that ends short is 0x8007001D.
HRESULT WriteRobust(HANDLE handle, const void* buffer, DWORD count, LONGLONG position = kNoPosition,
                    CPaceFloor* floor = nullptr, CHearing* hearing = nullptr);

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
