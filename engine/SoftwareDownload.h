// The software-download object of one port and the whole emergency download
// that it runs: port wait, flash programmer, storage target, UFS
// provisioning, rawprogram and patch files.
#pragma once
#include "engine/Automation.h"
#include "engine/StatusReport.h"
#include "platform/Handles.h"

#include <string>

// Pauses of the device wait and of UFS provisioning. Tests shorten them.
struct DeviceWaitTimes
{
    DWORD missPauseMs = 1000;      // after each query that found no device
    DWORD settlePauseMs = 5000;    // a device that appeared only after a miss, before it is used
    DWORD provisionPauseMs = 2000; // after provisioning, before the port is awaited again
};
DeviceWaitTimes& GetDeviceWaitTimes();

// Queries that find no device before the wait gives up (61 queries in all).
constexpr int kDeviceWaitMisses = 60;

// Co-installer device types of the name queries.
constexpr UINT kPortDevice = 1;
constexpr UINT kDiskDevice = 2;

class CSoftwareDownload : public CDualDispatch<IQSoftwareDownload, kProxyTypeLibrary>, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CSoftwareDownload)
    COM_INTERFACE_ENTRY(IQSoftwareDownload)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(m_marshaler)
    END_COM_MAP()

    // A new object for the port name, with the port's device index from the
    // co-installer; E_INVALIDARG for a port it does not know.
    static HRESULT CreateInstance(const wchar_t* portName, IQSoftwareDownload** download);

    HRESULT FinalConstruct();

    // Keeps the sink's IQStatusReport for the download's status texts; a
    // null sink or one without the interface leaves none.
    STDMETHODIMP put_StatusReport(IUnknown* pSink) override;
    // The whole download with the parameters of a download-settings object.
    STDMETHODIMP DownloadBySettings(IUnknown* pSettings) override;

    STDMETHODIMP put_SetServer(IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP put_SetPhone(IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP DownloadPhoneImage(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP DownloadBootImage(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP BackupNV(VARIANT, VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP RestoreNV(VARIANT, VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP GetCompletionStatus(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetErrorMessage(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP DownloadPhoneAndBootImage(VARIANT, VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_NANDFlash(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP MultiImageDownload(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP OTPImageDownload(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP DownloadCEFS_Image(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP GetMI_CompletedStatus(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP OTPDownloadAMSS(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP OTPDownloadOEMSBL(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_ImageDownloadTimeout(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_ImageDownloadTimeout(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP FactoryImageDownload(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP DownloadCEFS_ImageAlternate(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_RestorePrlMode(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_RestorePrlMode(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_DownloadSettings(IUnknown**) override { return E_NOTIMPL; }

    // The device's name under `type` once the co-installer reports one (with
    // "\\.\" before a port name); with `open` the name must also open. Gives
    // kDeviceNotBackResult after the full wait.
    HRESULT GetDeviceName(UINT type, bool open, std::wstring& name);

private:
    HRESULT GetDownloadParameter(IUnknown* settings, const wchar_t* name, std::wstring& value);
    HRESULT GetSink(IQStatusReport** sink);
    HRESULT RunDownload(IUnknown* settings);

    UINT m_deviceIndex = 0;
    CFreeThreadedMarshaler m_marshaler;
    CGitCookie m_sinkCookie; // the sink's IQStatusReport
};

// Loads the flash programmer over DMSS and, when that fails, over Sahara.
HRESULT DownloadFlashProgrammer(const wchar_t* port, const wchar_t* programmer, IQStatusReport* sink,
                                BOOL waitForHello);
