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
    // thread of the multithreaded apartment and is given kActivationBoundMs:
    // a server that does not answer by then fails it with
    // CO_E_SERVER_EXEC_FAILURE, and so does every further activation of the
    // class while that one has not come back. The calling thread keeps
    // serving its apartment's calls and paints while it waits.
    static HRESULT CreateInGlobalTable(REFCLSID clsid, DWORD context, REFIID iid, CGitCookie* cookie);
    // Calls the server method `method` with positional arguments (in the
    // order given); the result, if asked for, goes to `result`.
    HRESULT InvokeServer(IDispatch* server, const wchar_t* method, VARIANT* args, UINT count, VARIANT* result);

    // Makes `variant` (empty) a VT_BSTR copy of `text` (null: empty).
    static HRESULT SetText(CVariant& variant, const wchar_t* text);

    CGitCookie m_serverCookie; // IDispatch of the AtmnServer
    HRESULT m_serverResult = E_UNEXPECTED; // of the server's creation

    // A server started for us registers within a few seconds, even on a
    // loaded machine; one that takes longer is taken as not coming.
    static constexpr DWORD kActivationBoundMs = 10000;

    // Passes of the port wait and its pause between passes (milliseconds).
    static constexpr int kPortWaitPasses = 31;
    DWORD m_portWaitPause = 1000;
};
