// The Firehose target: XML commands to a flash programmer already running in
// the phone, over the emergency download serial port, and the image data
// straight from the shared file mapping.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <string>

#include "engine/StatusReport.h"
#include "engine/storage/QDevice.h"
#include "platform/ComObject.h"
#include "platform/Handles.h"

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
    HRESULT STDMETHODCALLTYPE ApplyPatch(const wchar_t* startSector, const wchar_t* byteOffset,
                                         const wchar_t* value, const wchar_t* sizeInBytes,
                                         const wchar_t* sectorSize, const wchar_t* physicalPartition) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Provision(const wchar_t* provisionPath) override;
    HRESULT STDMETHODCALLTYPE SetBootableStorageDrive() override;

    // Formats one command (wide printf rules), sends it as 8-bit text and
    // reads the answer; responseFlag 1 requires an acknowledgement.
    HRESULT SendCommand(int responseFlag, const wchar_t* format, ...);
    // Reads and interprets what the programmer has sent so far.
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
    // answer or 5 s have passed; the last final answer must be an ACK.
    HRESULT WaitForAnswers();
    // Whether bytes of an answer that has not ended yet are held.
    bool AnswerIncomplete() const;
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
    // has not been read yet, and the "value" of the final response element
    // that answered the last of them.
    int m_unanswered = 0;
    std::wstring m_lastValue;
    // Bytes read that do not make a whole document yet: the start of an
    // answer whose rest is still on its way.
    std::string m_pending;
};
