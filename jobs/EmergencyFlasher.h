// The job for a phone in emergency download mode: a download through the
// automation server, driven by the nine download parameters.
#pragma once
#include "jobs/QPSTReport.h"
#include "jobs/StatusReport.h"

// Status event id that a QPST server sends when the download has reached its end.
constexpr LONG LastStatusEventId = 4425;

class CEmergencyFlasher : public CQPSTReport
{
public:
    // Makes the job, sets its download parameters and starts it; a parameter
    // that cannot be set becomes the job's result and the job does not start.
    static HRESULT StartFlash(const wchar_t* deviceName, const wchar_t* programmer, const wchar_t* bootImage,
                              const wchar_t* provision, const wchar_t* rawFiles, const wchar_t* patchFiles,
                              const wchar_t* searchPaths, IDeviceReport** out);
    using CDeviceReport::StartFlash;

    // Stores a name/value pair in the job's download-settings object (made on
    // first use, on the calling thread).
    HRESULT SetDownloadParameter(const wchar_t* name, const wchar_t* value);
    // Whether the server is an installed QPST server rather than our engine.
    bool IsQPSTServer();
    HRESULT DoWork() override;
    // One status event of the download.
    void OnNewStatus(LONG iId, BSTR bstrStatus1, BSTR bstrStatus2);

    void FinalRelease();

protected:
    // Sets the nine download parameters in order; the first failure is returned.
    HRESULT SetDownloadParameters(const wchar_t* programmer, const wchar_t* bootImage, const wchar_t* provision,
                                  const wchar_t* rawFiles, const wchar_t* patchFiles, const wchar_t* searchPaths);
    // Records a failure to prepare the job as its result without a worker.
    void FailWithoutStart(const wchar_t* deviceName, HRESULT result);

    volatile LONG m_lastEvent = FALSE;
    CGitCookie m_settingsCookie; // IDownloadSettings; not registered: not made yet
    BOOL m_holdsSemaphore = FALSE;
};
