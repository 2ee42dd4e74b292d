#include "engine/SoftwareDownload.h"

#include "engine/images/RawProgram.h"
#include "engine/protocols/Dmss.h"
#include "engine/protocols/LoaderSupport.h"
#include "engine/protocols/Sahara.h"
#include "engine/protocols/StreamingDownload.h"
#include "engine/storage/DiskDevice.h"
#include "engine/storage/SerialDevice.h"
#include "services/CoInstaller.h"
#include "services/Log.h"

namespace
{
const wchar_t kDownloadName[] = L"CSoftwareDownload::DownloadBySettings";
const wchar_t kDeviceNameName[] = L"CSoftwareDownload::GetDeviceName";
const wchar_t kParameterName[] = L"CSoftwareDownload::GetDownloadParameter";

HRESULT GetGlobalInterfaceTable(ComPtr<IGlobalInterfaceTable>& table)
{
    return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&table));
}

// A file matches the path (a name or a pattern).
bool FileExists(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    CFindHandle search(FindFirstFileW(path.c_str(), &data));
    return search.IsValid();
}
} // namespace

DeviceWaitTimes& GetDeviceWaitTimes()
{
    static DeviceWaitTimes times;
    return times;
}

HRESULT DownloadFlashProgrammer(const wchar_t* port, const wchar_t* programmer, IQStatusReport* sink,
                                BOOL waitForHello)
{
    HRESULT hr = DownloadFlashProgrammerDMSS(port, programmer, sink);
    if (SUCCEEDED(hr))
        return hr;
    LogError(hr, L"DownloadFlashProgrammer", __LINE__);
    hr = DownloadFlashProgrammerSahara(port, programmer, sink, waitForHello);
    return LogError(hr, L"DownloadFlashProgrammer", __LINE__);
}

HRESULT CSoftwareDownload::CreateInstance(const wchar_t* portName, IQSoftwareDownload** download)
{
    HRESULT hr = MakeComObject<CSoftwareDownload>(download, [portName](CSoftwareDownload& object) {
        const int index = ::GetDeviceIndex(portName ? portName : L"");
        object.m_deviceIndex = index > 0 ? static_cast<UINT>(index) : 0;
        return object.m_deviceIndex == 0 ? E_INVALIDARG : S_OK;
    });
    return LogError(hr, L"CSoftwareDownload::CreateInstance", __LINE__);
}

HRESULT CSoftwareDownload::FinalConstruct()
{
    return m_marshaler.Aggregate(static_cast<IQSoftwareDownload*>(this));
}

STDMETHODIMP CSoftwareDownload::put_StatusReport(IUnknown* pSink)
{
    ComPtr<IQStatusReport> sink;
    if (pSink)
        pSink->QueryInterface(IID_PPV_ARGS(&sink));
    ComPtr<IGlobalInterfaceTable> table;
    HRESULT hr = GetGlobalInterfaceTable(table);
    if (FAILED(hr))
        return hr;
    if (m_sinkCookie.IsRegistered())
        hr = m_sinkCookie.Revoke();
    if (sink)
        hr = m_sinkCookie.Register(table.Get(), sink.Get(), __uuidof(IQStatusReport));
    return hr;
}

HRESULT CSoftwareDownload::GetSink(IQStatusReport** sink)
{
    *sink = nullptr;
    if (!m_sinkCookie.IsRegistered())
        return E_INVALIDARG; // no sink was set
    return m_sinkCookie.Get(sink);
}

HRESULT CSoftwareDownload::GetDownloadParameter(IUnknown* settings, const wchar_t* name, std::wstring& value)
{
    ComPtr<IDownloadSettings> parameters;
    if (!settings || FAILED(settings->QueryInterface(IID_PPV_ARGS(&parameters))))
        return E_INVALIDARG;
    CVariant key, stored;
    V_VT(&key) = VT_BSTR;
    V_BSTR(&key) = SysAllocString(name);
    if (!V_BSTR(&key))
        return LogError(E_OUTOFMEMORY, kParameterName, __LINE__);
    HRESULT hr = parameters->get_GetParam(key, &stored);
    RETURN_IF_FAILED(hr, kParameterName, __LINE__);
    HRESULT converted = VariantChangeType(&stored, &stored, 0, VT_BSTR);
    RETURN_IF_FAILED(converted, kParameterName, __LINE__);
    value.assign(V_BSTR(&stored) ? V_BSTR(&stored) : L"", SysStringLen(V_BSTR(&stored)));
    return hr;
}

HRESULT CSoftwareDownload::GetDeviceName(UINT type, bool open, std::wstring& name)
{
    ComPtr<IQStatusReport> sink;
    HRESULT hr = GetSink(&sink);
    RETURN_IF_FAILED(hr, kDeviceNameName, __LINE__);
    const DeviceWaitTimes& times = GetDeviceWaitTimes();
    for (int attempt = 0;; ++attempt)
    {
        std::wstring found = ::GetDeviceName(m_deviceIndex, type);
        if (!found.empty())
        {
            if (type == kPortDevice)
                found.insert(0, L"\\\\.\\");
            if (!open)
            {
                name = found;
                return S_OK;
            }
            CFileHandle device;
            *device.Receive() = CreateFileW(found.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (device.Get() != INVALID_HANDLE_VALUE)
            {
                // The device has only just come up.
                if (attempt != 0)
                    Sleep(times.settlePauseMs);
                name = found;
                return S_OK;
            }
            LogError(LastErrorHResult(), kDeviceNameName, __LINE__);
        }
        if (attempt == kDeviceWaitMisses)
            return LogError(kDeviceNotBackResult, kDeviceNameName, __LINE__);
        ReportStatus(sink.Get(), L"Wait device connect %d", attempt);
        Sleep(times.missPauseMs);
    }
}

STDMETHODIMP CSoftwareDownload::DownloadBySettings(IUnknown* pSettings)
{
    return RunLoad(kDownloadName, [&] { return RunDownload(pSettings); });
}

HRESULT CSoftwareDownload::RunDownload(IUnknown* settings)
{
    ComPtr<IQStatusReport> sink;
    HRESULT hr = GetSink(&sink);
    RETURN_IF_FAILED(hr, kDownloadName, __LINE__);

    std::wstring rawprogram, bootImage, patch, searchPath, programmer, provision;
    const struct
    {
        const wchar_t* name;
        std::wstring* value;
    } parameters[] = {
        {L"filepathxml", &rawprogram}, {L"emmcfilepathboot", &bootImage}, {L"filepathpatch", &patch},
        {L"searchpaths", &searchPath}, {L"flashprogrammer", &programmer}, {L"provision", &provision},
    };
    for (const auto& parameter : parameters)
    {
        hr = GetDownloadParameter(settings, parameter.name, *parameter.value);
        RETURN_IF_FAILED(hr, kDownloadName, __LINE__);
    }

    std::wstring port;
    hr = GetDeviceName(kPortDevice, false, port);
    RETURN_IF_FAILED(hr, kDownloadName, __LINE__);
    hr = DownloadFlashProgrammer(port.c_str(), programmer.c_str(), sink.Get(), FALSE);
    RETURN_IF_FAILED(hr, kDownloadName, __LINE__);

    const bool firehose = programmer.find(L"firehose") != std::wstring::npos;
    const bool ufs = programmer.find(L"ufs") != std::wstring::npos;
    const bool provisionFile = FileExists(provision);

    ComPtr<IQDevice> device;
    if (firehose)
    {
        hr = CSerialDevice::CreateInstance(port.c_str(), sink.Get(), &device, ufs, provisionFile);
    }
    else
    {
        hr = DownloadMiniKernel(port.c_str(), bootImage.c_str(), sink.Get());
        if (SUCCEEDED(hr))
        {
            std::wstring disk;
            hr = GetDeviceName(kDiskDevice, true, disk);
            RETURN_IF_FAILED(hr, kDownloadName, __LINE__);
            hr = CDiskDevice::CreateInstance(disk.c_str(), sink.Get(), &device);
        }
        else
        {
            // The programmer may speak Firehose after all.
            LogError(hr, kDownloadName, __LINE__);
            hr = CSerialDevice::CreateInstance(port.c_str(), sink.Get(), &device, ufs, provisionFile);
        }
    }
    RETURN_IF_FAILED(hr, kDownloadName, __LINE__);

    if (ufs && provisionFile)
    {
        hr = device->Provision(provision.c_str());
        RETURN_IF_FAILED(hr, kDownloadName, __LINE__);
        Sleep(GetDeviceWaitTimes().provisionPauseMs);
        hr = GetDeviceName(kPortDevice, false, port);
        RETURN_IF_FAILED(hr, kDownloadName, __LINE__);
        hr = DownloadFlashProgrammer(port.c_str(), programmer.c_str(), sink.Get(), TRUE);
        RETURN_IF_FAILED(hr, kDownloadName, __LINE__);
        hr = device->Reset();
        RETURN_IF_FAILED(hr, kDownloadName, __LINE__);
    }
    if (ufs)
    {
        hr = device->SetBootableStorageDrive();
        RETURN_IF_FAILED(hr, kDownloadName, __LINE__);
    }
    hr = DownloadImagesToDevice(device.Get(), rawprogram.c_str(), patch.c_str(), searchPath.c_str(), sink.Get());
    return LogError(hr, kDownloadName, __LINE__);
}
