// The flash job of one device: its interface, the base class of every job,
// and the job that never starts.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstdarg>
#include <atomic>
#include <deque>
#include <string>

#include "platform/ComObject.h"
#include "platform/Handles.h"
#include "services/Log.h"

// What the main window asks of a job.
MIDL_INTERFACE("3F0C9A7E-5B21-4C8D-9E63-7A14D2B8C5F0")
IDeviceReport : public IUnknown
{
    virtual BOOL STDMETHODCALLTYPE IsFinished() = 0;
    virtual BOOL STDMETHODCALLTYPE IsFailed() = 0;
    virtual double STDMETHODCALLTYPE GetElapsedTime() = 0;
    virtual LONG STDMETHODCALLTYPE GetProgress() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResult() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStatusText(BSTR * text) = 0;
};
__CRT_UUID_DECL(IDeviceReport, 0x3f0c9a7e, 0x5b21, 0x4c8d, 0x9e, 0x63, 0x7a, 0x14, 0xd2, 0xb8, 0xc5, 0xf0)

// Job status: constructed and never started (finished and failed).
constexpr HRESULT JOB_NOT_STARTED = E_OUTOFMEMORY;
// Job status: the worker is running and has not recorded a result.
constexpr HRESULT JOB_RUNNING = 1;
// A job whose device never came back after a mode change ends with
// kDeviceNotBackResult.

// Device type codes that the co-installer reports; they decide the job class.
enum DeviceType : UINT
{
    DeviceTypeEmergency = 1,
    DeviceTypeDiskDrive = 2,
    DeviceTypeFastBoot = 3,
    DeviceTypeNvBoot = 4,
    DeviceTypeIntelDNX = 5,
};

// One job: flashes one device once on a worker thread of its own. Every
// field below is guarded by the job lock.
class CDeviceReport : public IDeviceReport, public CComObjectRootWithLock
{
public:
    BEGIN_COM_MAP(CDeviceReport)
    COM_INTERFACE_ENTRY(IDeviceReport)
    COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(m_marshaler)
    END_COM_MAP()

    // IDeviceReport
    BOOL STDMETHODCALLTYPE IsFinished() override;
    BOOL STDMETHODCALLTYPE IsFailed() override;
    double STDMETHODCALLTYPE GetElapsedTime() override;
    LONG STDMETHODCALLTYPE GetProgress() override;
    HRESULT STDMETHODCALLTYPE GetResult() override;
    HRESULT STDMETHODCALLTYPE GetStatusText(BSTR* text) override;

    virtual IUnknown* GetControllingUnknown();
    virtual ~CDeviceReport();
    // The job's work, run once on the worker thread.
    virtual HRESULT DoWork();

    HRESULT FinalConstruct();
    void FinalRelease() { StopThread(); }

    // Starts the worker once; a later call does nothing.
    void StartFlash(const wchar_t* deviceName);
    // Records the final result (passed through the factory station).
    void SetResult(HRESULT result);
    void AddProgress(double delta);
    // The job's log call: appends the text to the log lines and writes it to
    // the log file after the device name and the elapsed seconds. Texts from
    // outside the program go through "%s".
    void Log(const wchar_t* format, ...);
    void LogV(const wchar_t* format, va_list args);
    std::wstring GetDeviceName();
    // Gives the worker one second to end, then ends it by force (logged); a
    // worker that has recorded its result gets longer to leave.
    void StopThread();

protected:
    CDeviceReport() = default;
    static unsigned __stdcall ThreadProc(void* job);
    // Changes the device name (under the job lock).
    void SetDeviceName(const std::wstring& name);

    DWORD m_startTick = 0;
    DWORD m_endTick = 0;
    CHandle m_hThread;
    HRESULT m_status = JOB_NOT_STARTED;
    std::wstring m_deviceName;
    double m_progress = 0.0;
    CFreeThreadedMarshaler m_marshaler;
    std::deque<std::wstring> m_logLines; // oldest first

private:
    bool IsFinishedLocked() const { return m_status != JOB_RUNNING; }
    double ElapsedLocked() const;
    // Set by the worker once it has recorded its result and only leaves the
    // apartment and returns. Read without the job lock.
    std::atomic<bool> m_leaving{false};
};

// The job that is never started: it shows as finished and failed with
// E_OUTOFMEMORY. One static object of the process; its references are locks
// on the server module.
class COOMReport : public CDeviceReport
{
public:
    // The process's one never-started job, made on first use, with one
    // reference added for the caller.
    static void GetInstance(IDeviceReport** out);
};

// How the teardown waits for a worker thread to end: WaitForSingleObject
// unless replaced (a test passes the teardown's bounds in a time of its own
// instead of waiting them out). Returns the previous wait.
using WorkerWait = DWORD(WINAPI*)(HANDLE thread, DWORD milliseconds);
WorkerWait SetWorkerWait(WorkerWait wait);

// The common steps of a job's creator: makes the object, lets `prepare`
// store its fields and start it, and hands out its IDeviceReport. A failure
// is logged under `creatorName` and leaves nothing behind.
template <class T, class Prepare> HRESULT CreateJob(const wchar_t* creatorName, IDeviceReport** out, Prepare prepare)
{
    HRESULT hr = MakeComObject<T>(out, [&prepare](T& job) {
        prepare(job);
        return S_OK;
    });
    return LogError(hr, creatorName, __LINE__);
}
