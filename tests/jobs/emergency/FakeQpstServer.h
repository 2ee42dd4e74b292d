// A stand-in for an installed QPST server, published in the test process
// under the AtmnServer and DownloadSettings classes: it records every call a
// job makes, answers the port's phone status and runs a scripted download.
#pragma once
#include "engine/AtmnServer.h"
#include "engine/DownloadSettings.h"
#include "engine/SoftwareDownload.h"
#include "platform/Handles.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct FakeQpstScript
{
    // "GetPort" calls for a port that answer a status other than 5; -1: never ready.
    int notReadyCalls = 0;
    // Events sent through the sink during each download (a null text stays null).
    std::vector<std::pair<LONG, const wchar_t*>> events;
    HRESULT downloadResult = S_OK;
    // When set, each download waits for this event (at most 20 s) before it returns.
    HANDLE downloadGate = nullptr;
    // The settings' parameter whose SetParam fails with E_ACCESSDENIED.
    std::wstring failingParameter;
};

class CFakeQpst
{
public:
    CFakeQpst();  // publishes the two classes
    ~CFakeQpst(); // withdraws them

    FakeQpstScript script;

    // Every server call, "GetPort COM7", "AddPort COM7 COM7", "RemovePort COM7", "Quit".
    std::vector<std::wstring> Calls() { return Read(m_calls); }
    // Every parameter stored in a settings object, "name=value", in order.
    std::vector<std::wstring> Parameters() { return Read(m_parameters); }
    int MaxConcurrentDownloads() { return Read(m_maxActive); }
    int Downloads() { return Read(m_downloads); }
    // The sink last handed to a download, kept as a server may keep it.
    ComPtr<IQStatusReport> LastSink() { return Read(m_lastSink); }

    // Called by the fake objects.
    void Record(const std::wstring& call)
    {
        Locked([&] { m_calls.push_back(call); });
    }
    int CountCalls(const std::wstring& call)
    {
        return Locked([&] { return static_cast<int>(std::count(m_calls.begin(), m_calls.end(), call)); });
    }
    void RecordParameter(const std::wstring& parameter)
    {
        Locked([&] { m_parameters.push_back(parameter); });
    }
    void DownloadStarted()
    {
        Locked([&] {
            m_maxActive = std::max(m_maxActive, ++m_active);
            ++m_downloads;
        });
    }
    void DownloadEnded()
    {
        Locked([&] { --m_active; });
    }
    void KeepSink(IQStatusReport* sink)
    {
        Locked([&] { m_lastSink = sink; });
    }

private:
    // What `f` does or gives under the lock.
    template <class F> auto Locked(F f) -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return f();
    }
    template <class T> T Read(const T& field)
    {
        return Locked([&] { return field; });
    }

    std::mutex m_lock;
    std::vector<std::wstring> m_calls, m_parameters;
    int m_active = 0, m_maxActive = 0, m_downloads = 0;
    DWORD m_serverCookie = 0, m_settingsCookie = 0;
    CHandle m_withdraw;
    std::thread m_host;
    ComPtr<IQStatusReport> m_lastSink;
};
