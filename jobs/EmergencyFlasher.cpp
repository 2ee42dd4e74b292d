#include "jobs/EmergencyFlasher.h"

#include "services/ProcessObjects.h"

HRESULT CEmergencyFlasher::StartFlash(const wchar_t* deviceName, const wchar_t* programmer, const wchar_t* bootImage,
                                      const wchar_t* provision, const wchar_t* rawFiles, const wchar_t* patchFiles,
                                      const wchar_t* searchPaths, IDeviceReport** out)
{
    return CreateJob<CEmergencyFlasher>(L"CEmergencyFlasher::StartFlash", out, [&](CEmergencyFlasher& job) {
        // Without a server the job could only fail later; and a settings
        // object would be one more activation of the same absent server.
        HRESULT hr = job.m_serverResult;
        if (SUCCEEDED(hr))
            hr = job.SetDownloadParameters(programmer, bootImage, provision, rawFiles, patchFiles, searchPaths);
        if (FAILED(hr))
            job.FailWithoutStart(deviceName, hr);
        else
            job.StartFlash(deviceName);
    });
}

HRESULT CEmergencyFlasher::SetDownloadParameters(const wchar_t* programmer, const wchar_t* bootImage,
                                                 const wchar_t* provision, const wchar_t* rawFiles,
                                                 const wchar_t* patchFiles, const wchar_t* searchPaths)
{
    const std::pair<const wchar_t*, const wchar_t*> parameters[] = {
        {L"flashprogrammer", programmer}, {L"emmcfilepathboot", bootImage},
        {L"provision", provision},        {L"filepathxml", rawFiles},
        {L"filepathpatch", patchFiles},   {L"searchpaths", searchPaths},
        {L"downloadtarget", L"emmc"},     {L"skipreset", L"1"},
        {L"usetrustedmode", L"1"},
    };
    for (const auto& parameter : parameters)
    {
        HRESULT hr = SetDownloadParameter(parameter.first, parameter.second);
        RETURN_IF_FAILED(hr, L"CEmergencyFlasher::StartFlash", __LINE__);
    }
    return S_OK;
}

void CEmergencyFlasher::FailWithoutStart(const wchar_t* deviceName, HRESULT result)
{
    SetDeviceName(deviceName ? deviceName : L"");
    {
        CLockGuard<CDeviceReport> lock(*this);
        m_startTick = m_endTick = GetTickCount();
    }
    SetResult(result);
}

HRESULT CEmergencyFlasher::SetDownloadParameter(const wchar_t* name, const wchar_t* value)
{
    const wchar_t* function = L"CEmergencyFlasher::SetDownloadParameter";
    CVariant nameVariant, valueVariant;
    HRESULT hr = SetText(nameVariant, name);
    if (SUCCEEDED(hr))
        hr = SetText(valueVariant, value);
    RETURN_IF_FAILED(hr, function, __LINE__);

    if (!m_settingsCookie.IsRegistered())
    {
        hr = CreateInGlobalTable(CLSID_DownloadSettings, CLSCTX_ALL, __uuidof(IDownloadSettings), &m_settingsCookie);
        RETURN_IF_FAILED(hr, function, __LINE__);
    }
    ComPtr<IDownloadSettings> settings;
    hr = m_settingsCookie.Get(settings.GetAddressOf());
    RETURN_IF_FAILED(hr, function, __LINE__);
    return LogError(settings->SetParam(nameVariant, valueVariant), function, __LINE__);
}

bool CEmergencyFlasher::IsQPSTServer()
{
    const wchar_t* name = L"CEmergencyFlasher::IsQPSTServer";
    if (!m_settingsCookie.IsRegistered())
        return false;
    ComPtr<IDownloadSettings> settings;
    HRESULT hr = m_settingsCookie.Get(settings.GetAddressOf());
    if (FAILED(LogError(hr, name, __LINE__)))
        return false;
    CVariant known;
    // Our own engine does not know configurations (E_NOTIMPL); a QPST server does.
    return SUCCEEDED(LogError(settings->get_IsKnownConfiguration(&known), name, __LINE__));
}

HRESULT CEmergencyFlasher::DoWork()
{
    const wchar_t* name = L"CEmergencyFlasher::DoWork";
    HANDLE semaphore = ProcessObjects().hDownloadSemaphore.Get();
    if (IsQPSTServer() && !m_holdsSemaphore)
    {
        // One download at a time through an installed QPST server, machine-wide.
        WaitForSingleObject(semaphore, INFINITE);
        m_holdsSemaphore = TRUE;
    }

    ComPtr<IQSoftwareDownload> download;
    ComPtr<CStatusReport<CEmergencyFlasher>> sink;
    ComPtr<IDownloadSettings> settings;
    HRESULT hr = LogError(GetSoftwareDownload(&download), name, __LINE__);
    if (SUCCEEDED(hr))
        hr = LogError(CStatusReport<CEmergencyFlasher>::CreateInstance(this, &sink), name, __LINE__);
    if (SUCCEEDED(hr))
        hr = LogError(download->put_StatusReport(sink.Get()), name, __LINE__);
    if (SUCCEEDED(hr))
        hr = LogError(m_settingsCookie.Get(settings.GetAddressOf()), name, __LINE__);
    if (SUCCEEDED(hr))
    {
        hr = LogError(download->DownloadBySettings(settings.Get()), name, __LINE__);
        if (FAILED(hr) && m_lastEvent)
        {
            Log(L"receive last event, but fail with 0x%08x", hr);
            hr = S_OK;
        }
    }
    // Whatever ended the download: a server that holds the sink and reports
    // later must not reach the job.
    if (sink)
        sink->Detach(); // the sink's own Detach: the pointer keeps its reference

    if (m_holdsSemaphore)
    {
        m_holdsSemaphore = FALSE;
        ReleaseSemaphore(semaphore, 1, nullptr);
    }
    return hr;
}

void CEmergencyFlasher::OnNewStatus(LONG iId, BSTR /*bstrStatus1*/, BSTR bstrStatus2)
{
    if (iId == LastStatusEventId)
        InterlockedExchange(&m_lastEvent, TRUE);
    Log(L"%s", bstrStatus2 ? bstrStatus2 : L"");
    AddProgress(0.002);
}

void CEmergencyFlasher::FinalRelease()
{
    StopThread();
    m_settingsCookie.Revoke();
    CQPSTReport::FinalRelease();
}
