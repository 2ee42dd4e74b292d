// The base of the jobs that download through a QPST-style automation server.
#pragma once
#include "engine/Automation.h"
#include "jobs/DeviceReport.h"
#include "platform/Handles.h"

class CQPSTReport : public CDeviceReport
{
public:
    // The port object of the job's device once the server reports it ready.
    HRESULT GetPortObject(IQPortProxy** port);
    // The software-download object of the job's port.
    HRESULT GetSoftwareDownload(IQSoftwareDownload** download);

    // Ends the worker, then tells the server to quit and ends every
    // "QPSTServer.exe" process.
    void FinalRelease();

    // Activations whose server has not answered yet (see CreateInGlobalTable).
    static size_t PendingActivations();

    // How long an activation waits for its server. Windows gives a local
    // server that it starts 120 s to register its class objects before it
    // fails the activation itself, and a real server's first start on a busy
    // station can take tens of seconds: the job waits as long as COM would,
    // so it never gives up a server that COM still accepts. Tests shorten it.
    static constexpr DWORD kActivationBoundMs = 120000;
    static inline DWORD activationBoundMs = kActivationBoundMs;

protected:
    // Creates the automation server (a local server) for the calling thread,
    // which waits a bounded time for it (CreateInGlobalTable).
    CQPSTReport();
    // Creates the automation server through `context`; the object is kept in
    // the global interface table, a failure leaves the job without a server
    // and its result in m_serverResult.
    void CreateServer(DWORD context);
    // Creates an object of `clsid` through `context` and registers its `iid`
    // in the global interface table (`cookie`). The activation runs on a
    // thread of the multithreaded apartment and is given activationBoundMs:
    // a server that does not answer by then fails it with
    // CO_E_SERVER_EXEC_FAILURE. A further activation of the class while that
    // one has not come back waits for it as long, then goes to its server
    // once it is up. The calling thread keeps serving its apartment's calls
    // and paints while it waits.
    static HRESULT CreateInGlobalTable(REFCLSID clsid, DWORD context, REFIID iid, CGitCookie* cookie);
    // Calls the server method `method` with positional arguments (in the
    // order given); the result, if asked for, goes to `result`.
    HRESULT InvokeServer(IDispatch* server, const wchar_t* method, VARIANT* args, UINT count, VARIANT* result);

    // Makes `variant` (empty) a VT_BSTR copy of `text` (null: empty).
    static HRESULT SetText(CVariant& variant, const wchar_t* text);

    CGitCookie m_serverCookie;             // IDispatch of the AtmnServer
    HRESULT m_serverResult = E_UNEXPECTED; // of the server's creation

    // Passes of the port wait and its pause between passes (milliseconds).
    static constexpr int kPortWaitPasses = 31;
    DWORD m_portWaitPause = 1000;
};
