// The Firehose target: XML commands to a flash programmer already running in
// the phone, over the emergency download serial port, and the image data
// straight from the shared file mapping.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <string>

#include "engine/PhonePace.h"
#include "engine/StatusReport.h"
#include "engine/protocols/FirehoseAnswers.h"
#include "engine/storage/QDevice.h"
#include "platform/ComObject.h"
#include "platform/Handles.h"

// How long the programmer may take over the final answer to a command that
// is waited for (nop and configure in a Reset, a write once its data can
// have reached the phone, a patch, the boot drive, the nop that ends a pair)
// and over the rest of a document whose start has come; how long a port whose
// exchange failed must go without answers before a Reset drops what is still
// coming (log documents are no answers), at most six times as long in all.
// Shortened by PhoneTimeDivisor().
constexpr DWORD kAnswerWaitMs = 5000;
constexpr DWORD kQuietPortMs = kAnswerWaitMs;
constexpr DWORD kQuietWaitLimitMs = 6 * kQuietPortMs;

// The answer wait, from now.
class CAnswerWait : public CDeadline
{
public:
    CAnswerWait() : CDeadline(PhoneTimeMs(kAnswerWaitMs)) {}
};

// The wait for the answer to a program once all of its data is in the port:
// the phone may take what the link still holds at the floor's pace (a pause
// that the floor allows amid the data is allowed at its end), then answer
// within the answer wait. Begins as the last byte enters the port.
class CAnswerAfterData : public CDeadline
{
public:
    CAnswerAfterData() : CDeadline(PhoneTimeMs(kLinkDrainMs) + PhoneTimeMs(kAnswerWaitMs)) {}
};

class CSerialDevice : public IQDevice, public IQDeviceSync, public CComObjectRoot
{
public:
    // Makes the object, opens the port and configures the programmer (Reset).
    static HRESULT CreateInstance(const wchar_t* portName, IQStatusReport* sink, IQDevice** device, BOOL ufs,
                                  BOOL provision);

    BEGIN_COM_MAP(CSerialDevice)
    COM_INTERFACE_ENTRY(IQDevice)
    COM_INTERFACE_ENTRY(IQDeviceSync)
    END_COM_MAP()

    // IQDevice
    HRESULT STDMETHODCALLTYPE WriteFile(const wchar_t* startSector, const wchar_t* numPartitionSectors,
                                        const wchar_t* path, const wchar_t* fileSectorOffset,
                                        const wchar_t* byteOffset, const wchar_t* sectorSize,
                                        const wchar_t* physicalPartition) override;
    HRESULT STDMETHODCALLTYPE ApplyPatch(const wchar_t* startSector, const wchar_t* byteOffset, const wchar_t* value,
                                         const wchar_t* sizeInBytes, const wchar_t* sectorSize,
                                         const wchar_t* physicalPartition) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Provision(const wchar_t* provisionPath) override;
    HRESULT STDMETHODCALLTYPE SetBootableStorageDrive() override;

    // IQDeviceSync: a nop whose ACK must be the only final answer in its wait.
    HRESULT STDMETHODCALLTYPE Synchronize() override;

    // Formats one command (wide printf rules), sends it as 8-bit text and
    // reads what has come; only an ACK answers it well. What came before the
    // command is read first, a document whose start has come whole: nothing
    // that answers an earlier command is taken for this one's answer.
    // responseFlag 1 requires the acknowledgement to be there already.
    HRESULT SendCommand(int responseFlag, const wchar_t* format, ...);
    // Reads what the programmer has sent so far; with responseFlag 1 the
    // last command sent must have been acknowledged.
    HRESULT GetResponse(int responseFlag);

    // Sectors of the device's size that one transfer may carry; 0 until the
    // programmer has reported its payload size.
    DWORD MaxSectorsPerTransfer() const { return m_exchange.MaxSectors(); }
    DWORD DeviceSectorSize() const { return m_ufs ? 4096 : 512; }

protected:
    CSerialDevice() = default;
    ~CSerialDevice() = default;

private:
    // An unchecked command's refusal is no failure (nop, configure, power).
    HRESULT SendText(int responseFlag, const std::wstring& text, bool checked = true);
    // Reads what has come into the exchange, without waiting, read after
    // read until one finds nothing. Out of step: the cause, and no read.
    HRESULT ReadArrived();
    // While data goes out: reads only what the port says it holds, and what
    // comes out of step is read all the same and dropped, so that the phone
    // never waits on its own output. What cannot be placed is judged once the
    // data is out; its cause is logged here.
    void HearWhileSending();
    // The reads of both; portSays: only what the port says it holds, and a
    // document that cannot be placed does not end the reading.
    HRESULT ReadRounds(bool portSays);
    // Waits until the deadline for bytes, then reads what has come: S_OK
    // when some came, S_FALSE when none did.
    HRESULT AwaitArrival(const CDeadline& deadline);
    // Reads the rest of a document whose start has come, within the answer
    // wait.
    HRESULT WaitForRestOfDocument();
    // Waits until the deadline for the final answer to the command numbered
    // `command`; its result.
    HRESULT GetResponse(ULONGLONG command, const CDeadline& deadline);
    // Lets in and drops what the programmer still sends until no answer has
    // come for kQuietPortMs; never fails.
    void DropAnswersStillComing();
    // Closes the port and opens it afresh, empty, with a new exchange.
    HRESULT Reopen();
    // Sends the range's data whole, at the phone's pace, hearing it meanwhile.
    HRESULT SendRange(const BYTE* view, ULONGLONG fileSize, ULONGLONG firstSector, ULONGLONG sectors,
                      ULONGLONG sectorSize, ULONGLONG byteOffset);
    void ClosePort();

    BOOL m_ufs = FALSE;
    std::wstring m_portName;
    CFileHandle m_port;
    BOOL m_provision = FALSE;
    ComPtr<IQStatusReport> m_sink;
    // The commands sent on the open port and their answers, with the
    // maximum sectors per transfer; the number of the last command sent.
    CFirehoseExchange m_exchange{512};
    ULONGLONG m_lastCommand = 0;
};
