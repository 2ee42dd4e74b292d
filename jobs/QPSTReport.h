// The base of the jobs that download through a QPST-style automation server.
#pragma once
#include "engine/Automation.h"
#include "jobs/DeviceReport.h"

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

protected:
    // Creates the automation server (a local server) on the calling thread.
    CQPSTReport();
    // Creates the automation server through `context`; the object is kept in
    // the global interface table, a failure leaves the job without a server.
    void CreateServer(DWORD context);
    // Calls the server method `method` with positional arguments (in the
    // order given); the result, if asked for, goes to `result`.
    HRESULT InvokeServer(IDispatch* server, const wchar_t* method, VARIANT* args, UINT count, VARIANT* result);

    // The process's global interface table.
    static HRESULT GlobalTable(ComPtr<IGlobalInterfaceTable>& table);
    // Makes `variant` (empty) a VT_BSTR copy of `text` (null: empty).
    static HRESULT SetText(CVariant& variant, const wchar_t* text);

    DWORD m_serverCookie = 0; // IDispatch of the AtmnServer; 0: none

    // Passes of the port wait and its pause between passes (milliseconds).
    static constexpr int kPortWaitPasses = 31;
    DWORD m_portWaitPause = 1000;
};
