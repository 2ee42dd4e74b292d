// The Firehose target: XML commands to a flash programmer already running in
// the phone, over the emergency download serial port, and the image data
// straight from the shared file mapping.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <string>

#include "engine/StatusReport.h"
#include "engine/protocols/FirehoseAnswers.h"
#include "engine/storage/QDevice.h"
#include "platform/ComObject.h"
#include "platform/Handles.h"

// Firehose answers carry no command id: an answer that no command waits
// for, or a wait for one that gave up, leaves the device unable to tell which
// command a later answer belongs to. Until the next Reset every command then
// fails with this result (ERROR_INVALID_STATE), before anything is sent.
constexpr HRESULT kOutOfStepResult = static_cast<HRESULT>(0x8007139F);

// How long the programmer may take over its final answer to a write or a
// patch, and how long the port must stay quiet before a Reset of an open port
// drops what the programmer still sends (at most six times as long, else the
// Reset fails with 0x800705B4). Shortened by PhoneTimeDivisor().
constexpr DWORD kAnswerWaitMs = 5000;
constexpr DWORD kQuietPortMs = kAnswerWaitMs;
constexpr DWORD kQuietWaitLimitMs = 6 * kQuietPortMs;

class CSerialDevice : public IQDevice, public CComObjectRoot
{
public:
    // Makes the object, opens the port and configures the programmer (Reset).
    static HRESULT CreateInstance(const wchar_t* portName, IQStatusReport* sink, IQDevice** device, BOOL ufs,
                                  BOOL provision);

    BEGIN_COM_MAP(CSerialDevice)
    COM_INTERFACE_ENTRY(IQDevice)
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

    // Formats one command (wide printf rules), sends it as 8-bit text and
    // reads the answer; responseFlag 1 requires an acknowledgement. What has
    // come before the command is read first: nothing is sent out of step.
    HRESULT SendCommand(int responseFlag, const wchar_t* format, ...);
    // Reads and interprets what the programmer has sent so far; with
    // responseFlag 1 a final ACK to a command sent must be among it.
    HRESULT GetResponse(int responseFlag);

    // Sectors of the device's size that one transfer may carry; 0 until the
    // programmer has reported its payload size.
    DWORD MaxSectorsPerTransfer() const { return m_maxSectors; }
    DWORD DeviceSectorSize() const { return m_ufs ? 4096 : 512; }

protected:
    CSerialDevice() = default;
    ~CSerialDevice() = default;

private:
    HRESULT SendText(int responseFlag, const std::wstring& text);
    // Interprets one whole answer document: S_OK, or the failure that ends
    // the read at once; `status` takes the reader's final status.
    HRESULT ReadAnswer(const std::string& document, bool& acknowledged, HRESULT& status);
    // Reads, blocking on the port, until every command sent has had its final
    // answer or the answer wait has passed; every final answer must be an ACK.
    HRESULT WaitForAnswers();
    // Lets in and drops what the programmer sends until the port is quiet.
    HRESULT DropUntilQuiet();
    HRESULT SendRange(const BYTE* view, ULONGLONG fileSize, ULONGLONG firstSector, ULONGLONG sectors,
                      ULONGLONG sectorSize, ULONGLONG byteOffset);
    void ClosePort();

    BOOL m_ufs = FALSE;
    std::wstring m_portName;
    CFileHandle m_port;
    DWORD m_maxSectors = 0;
    BOOL m_provision = FALSE;
    ComPtr<IQStatusReport> m_sink;

    // Commands sent whose final response element (any but rawmode="true")
    // has not been read yet; whether a final answer read since the last wait
    // refused its command; whether the device is out of step (see
    // kOutOfStepResult).
    int m_awaited = 0;
    bool m_refused = false;
    bool m_outOfStep = false;
    CFirehoseAnswerReader m_answers;
};
