// The engine's classes published as a local server in another process and
// used from this one the way a flash job uses them: by name through the
// server's dispatch interface, early bound through the port, download and
// settings interfaces, with a status sink in the client.
#include <gtest/gtest.h>

#include "engine/Automation.h"
#include "platform/Handles.h"
#include "tests/engine/automation/TypeLibraries.h"
#include "tests/fixtures/AutomationCalls.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/DeviceTable.h"
#include "tests/fixtures/StatusRecorder.h"

#include <string>
#include <thread>

namespace
{
const wchar_t kReadyEvent[] = L"KestrupAutomationServerReady";
const wchar_t kStopEvent[] = L"KestrupAutomationServerStop";

// The server: publishes the class objects until told to stop (or 60 s
// pass), then ends with 0 when no object of it is left alive.
KESTRUP_CHILD(AutomationServer)
{
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kReadyEvent);
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, kStopEvent);
    if (!ready || !stop)
        return 10;
    const CComInitializer apartment(COINIT_MULTITHREADED);
    HRESULT hr = RegisterEngineClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE);
    SetEvent(ready);
    int code = FAILED(hr) ? 11 : 0;
    if (SUCCEEDED(hr) && WaitForSingleObject(stop, 60000) != WAIT_OBJECT_0)
        code = 12;
    RevokeEngineClassObjects();
    if (code == 0 && g_Module.GetLockCount() != 0)
        code = 13;
    CloseHandle(ready);
    CloseHandle(stop);
    return code;
}

void UseServer(const std::wstring& folder, CFreeThreadedRecorder& sink)
{
    ComPtr<IDispatch> server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_AtmnServer, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server)));
    CTextVariant port(L"COM41");
    CVariant result, status;
    ASSERT_EQ(S_OK, CallByName(server.Get(), L"GetPort", DISPATCH_METHOD, {&port}, &result));
    ASSERT_EQ(VT_UNKNOWN, V_VT(&result));
    ComPtr<IQPortProxy> proxy;
    ASSERT_EQ(S_OK, V_UNKNOWN(&result)->QueryInterface(IID_PPV_ARGS(&proxy)));
    ASSERT_EQ(S_OK, proxy->get_PhoneStatus(&status));
    EXPECT_EQ(VT_I4, V_VT(&status));
    EXPECT_EQ(5, V_I4(&status));
    EXPECT_EQ(E_NOTIMPL, proxy->Offline());

    ComPtr<IDownloadSettings> settings;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_DownloadSettings, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&settings)));
    EXPECT_EQ(E_NOTIMPL, settings->get_IsKnownConfiguration(&status));
    const std::wstring programmer = folder + L"\\missing_programmer.mbn";
    SetParams(settings.Get(), {{L"flashprogrammer", programmer},
                               {L"emmcfilepathboot", L""},
                               {L"provision", L""},
                               {L"filepathxml", L""},
                               {L"filepathpatch", L""},
                               {L"searchpaths", folder}});

    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, proxy->get_SoftwareDownload(&object));
    ComPtr<IQSoftwareDownload> download;
    ASSERT_EQ(S_OK, object.As(&download));
    ASSERT_EQ(S_OK, download->put_StatusReport(static_cast<IQStatusReport*>(&sink)));
    // The programmer is missing: both loads fail, after their first texts
    // came back to this process.
    EXPECT_TRUE(FAILED(download->DownloadBySettings(settings.Get())));
    EXPECT_EQ(1u, sink.Count(L"Load programmer \"" + programmer + L"\""));
    EXPECT_EQ(1u, sink.Count(L"Open programmer \"" + programmer + L"\""));
}

TEST(LocalServer, JobsRoadThroughAnotherProcess)
{
    CTempDir folder(L"server");
    CDeviceTable table(folder / L"devices.txt");
    ASSERT_TRUE(table.Set({4, 1, L"COM41"}));
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kReadyEvent);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, kStopEvent);
    ASSERT_TRUE(ready && stop);
    {
        const CComInitializer apartment(COINIT_MULTITHREADED);
        CRegisteredTypeLibraries libraries;
        ChildResult child;
        std::thread server([&] { child = RunChild(L"AutomationServer", {}, L"", {}, 90000); });
        if (WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0)
        {
            CFreeThreadedRecorder sink;
            UseServer(folder.Path(), sink);
        }
        else
        {
            ADD_FAILURE() << "the server did not start";
        }
        SetEvent(stop);
        server.join();
        EXPECT_FALSE(child.timedOut);
        EXPECT_EQ(0u, child.exitCode);
    }
    CloseHandle(ready);
    CloseHandle(stop);
}
} // namespace
