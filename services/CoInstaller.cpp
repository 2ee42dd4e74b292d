#include "services/CoInstaller.h"
#include "services/Log.h"

#include <cwchar>
#include <climits>

namespace
{

// A decimal number from the start of the text (white space skipped, an
// optional sign, digits up to the first other character); 0 without digits,
// clamped to the 32-bit signed range.
int ReadNumber(const std::wstring& text)
{
    long long value = wcstoll(text.c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

HRESULT ReadList(HRESULT hr, const std::wstring& text, StringList& list, const wchar_t* name, int line)
{
    RETURN_IF_FAILED(hr, name, line);
    // Only empty segments are dropped; white space alone is an item.
    StringList items;
    size_t at = 0;
    while (at < text.size())
    {
        size_t end = text.find(L';', at);
        if (end == std::wstring::npos)
            end = text.size();
        if (end > at)
            items.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    list.swap(items);
    return hr;
}

} // namespace

int GetDeviceType(const wchar_t* deviceName)
{
    std::wstring text;
    ExecuteCommand(text, L"rundll32.exe qcCoInstaller.dll,qcGetDeviceType %s", deviceName);
    return ReadNumber(text);
}

int GetDeviceIndex(const wchar_t* deviceName)
{
    std::wstring text;
    ExecuteCommand(text, L"rundll32.exe qcCoInstaller.dll,qcGetDeviceIndex %s", deviceName);
    return ReadNumber(text);
}

std::wstring GetDeviceName(UINT deviceIndex, UINT deviceType)
{
    std::wstring text;
    ExecuteCommand(text, L"rundll32.exe qcCoInstaller.dll,qcGetDeviceName %u, %u", deviceIndex, deviceType);
    return text;
}

HRESULT GetDeviceList(StringList& list)
{
    std::wstring text;
    HRESULT hr = ExecuteCommand(text, L"rundll32.exe qcCoInstaller.dll,qcGetDeviceList");
    return ReadList(hr, text, list, L"GetDeviceList", 1299);
}

HRESULT GetVolumeList(const wchar_t* deviceName, StringList& list)
{
    std::wstring text;
    HRESULT hr = ExecuteCommand(text, L"rundll32.exe qcCoInstaller.dll,qcGetVolumeList %s", deviceName);
    return ReadList(hr, text, list, L"GetVolumeList", 1324);
}

HRESULT InitializeSetting()
{
    return RunCommand(L"rundll32.exe qcCoInstaller.dll,qcInitializeSetting");
}

std::unique_ptr<CAutoExecutor> StartDeviceMonitor()
{
    return std::make_unique<CAutoExecutor>(L"rundll32.exe qcCoInstaller.dll,qcMonitorDevice");
}
