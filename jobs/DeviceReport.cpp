#include "jobs/DeviceReport.h"

#include "services/FactoryHook.h"
#include "services/Log.h"

#include <process.h>
#include <new>

using JobLock = CLockGuard<CDeviceReport>;

namespace
{
// How long a running worker gets to end before it is ended by force.
constexpr DWORD kWorkerWaitMs = 1000;
// How long a worker that has recorded its result may take to end.
constexpr DWORD kLeavingWaitMs = 30000;

WorkerWait s_workerWait = WaitForSingleObject;
} // namespace

WorkerWait SetWorkerWait(WorkerWait wait)
{
    WorkerWait previous = s_workerWait;
    s_workerWait = wait ? wait : WaitForSingleObject;
    return previous;
}

CDeviceReport::~CDeviceReport() = default;

HRESULT CDeviceReport::FinalConstruct()
{
    return m_marshaler.Aggregate(GetControllingUnknown());
}

IUnknown* CDeviceReport::GetControllingUnknown()
{
    return static_cast<IDeviceReport*>(this);
}

HRESULT CDeviceReport::DoWork()
{
    return S_OK;
}

BOOL CDeviceReport::IsFinished()
{
    JobLock lock(*this);
    return IsFinishedLocked();
}

BOOL CDeviceReport::IsFailed()
{
    JobLock lock(*this);
    return m_status < 0;
}

double CDeviceReport::ElapsedLocked() const
{
    // Unsigned difference: right across the wrap of the tick counter.
    DWORD now = IsFinishedLocked() ? m_endTick : GetTickCount();
    return static_cast<double>(static_cast<DWORD>(now - m_startTick)) / 1000.0;
}

double CDeviceReport::GetElapsedTime()
{
    JobLock lock(*this);
    return ElapsedLocked();
}

LONG CDeviceReport::GetProgress()
{
    JobLock lock(*this);
    if (IsFinishedLocked() && m_status >= 0)
        return 100;
    double progress = m_progress < 0.0 ? 0.0 : m_progress > 100.0 ? 100.0 : m_progress;
    return static_cast<LONG>(progress);
}

HRESULT CDeviceReport::GetResult()
{
    JobLock lock(*this);
    return m_status;
}

HRESULT CDeviceReport::GetStatusText(BSTR* text)
{
    if (!text)
        return E_POINTER;
    std::wstring status;
    {
        JobLock lock(*this);
        if (IsFinishedLocked())
        {
            status = GetErrorMessage(m_status);
            if (m_logLines.empty())
                status += FormatString(L"(0x%08x)", m_status);
            else
                status += FormatString(L"(0x%08x: %s)", m_status, m_logLines.back().c_str());
        }
        else if (m_logLines.size() == 1)
        {
            status = m_logLines.front();
        }
        else if (m_logLines.size() > 1)
        {
            // Each poll shows the next line; the newest stays until a newer one.
            status = std::move(m_logLines.front());
            m_logLines.pop_front();
        }
    }
    *text = SysAllocStringLen(status.data(), static_cast<UINT>(status.size()));
    return *text ? S_OK : E_OUTOFMEMORY;
}

void CDeviceReport::StartFlash(const wchar_t* deviceName)
{
    JobLock lock(*this);
    // A job runs once: not again after a start, nor after a recorded result.
    if (m_hThread || m_status != JOB_NOT_STARTED)
        return;
    m_startTick = m_endTick = GetTickCount();
    m_status = JOB_RUNNING;
    m_deviceName = deviceName ? deviceName : L"";
    m_progress = 0.0;
    m_logLines.clear();
    uintptr_t thread = _beginthreadex(nullptr, 0, ThreadProc, this, 0, nullptr);
    if (!thread)
    {
        HRESULT hr = LastErrorHResult();
        if (SUCCEEDED(hr))
            hr = E_UNEXPECTED; // never record a failed start as a success
        SetResult(LogError(hr, L"CDeviceReport::StartFlash", 187));
        return;
    }
    m_hThread.Reset(reinterpret_cast<HANDLE>(thread));
}

unsigned __stdcall CDeviceReport::ThreadProc(void* job)
{
    CDeviceReport* self = static_cast<CDeviceReport*>(job);
    const CComInitializer apartment(COINIT_MULTITHREADED);
    HRESULT hr = apartment.Result();
    if (SUCCEEDED(hr))
        hr = self->DoWork();
    else
        LogError(hr, L"CDeviceReport::ThreadProc", 115);
    // Recorded before leaving the apartment: the factory station is called
    // through COM. The job may be destroyed as soon as this returns.
    self->SetResult(hr);
    self->m_leaving = true;
    return static_cast<unsigned>(hr);
}

void CDeviceReport::SetResult(HRESULT result)
{
    JobLock lock(*this);
    m_status = SaveFlashResult(m_deviceName.c_str(), result);
    m_endTick = GetTickCount();
}

void CDeviceReport::AddProgress(double delta)
{
    JobLock lock(*this);
    m_progress += delta;
}

void CDeviceReport::Log(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(format, args);
    va_end(args);
}

void CDeviceReport::LogV(const wchar_t* format, va_list args)
{
    JobLock lock(*this);
    std::wstring text = format ? FormatStringV(format, args) : std::wstring();
    try
    {
        m_logLines.push_back(text);
    }
    catch (const std::bad_alloc&)
    {
        // Lost for the status column only; the log file still gets it.
    }
    std::wstring line = FormatString(L"%s\t%.2f\t", m_deviceName.c_str(), ElapsedLocked());
    line += text;
    WriteLog(L"%s", line.c_str());
}

std::wstring CDeviceReport::GetDeviceName()
{
    JobLock lock(*this);
    return m_deviceName;
}

void CDeviceReport::SetDeviceName(const std::wstring& name)
{
    JobLock lock(*this);
    m_deviceName = name;
}

void CDeviceReport::StopThread()
{
    // The handle is set and cleared only by the thread that starts and
    // destroys the job, so it is read here without the job lock: a worker
    // stuck while holding the lock must not stop the teardown.
    HANDLE thread = m_hThread.Get();
    if (!thread)
        return;
    // The lock is free while waiting, so the worker can log and record its end.
    DWORD waited = s_workerWait(thread, kWorkerWaitMs);
    // A worker that has recorded its result runs none of the job's code any
    // more, but its way out (leaving the apartment, the thread's detach
    // notifications) takes locks of the whole process, which an end by force
    // would leave held for ever. On a busy machine that way can take longer
    // than a second: it gets a bound of its own.
    if (waited != WAIT_OBJECT_0 && m_leaving)
        waited = s_workerWait(thread, kLeavingWaitMs);
    bool forced = waited != WAIT_OBJECT_0;
    if (forced)
    {
        // Logged while the worker still runs: ended by force, it may leave
        // the heap's lock held.
        LogError(HRESULT_FROM_WIN32(ERROR_TIMEOUT), L"CDeviceReport::StopThread", __LINE__);
        TerminateThread(thread, 0);
    }
    // A worker ended by force while it held the job lock leaves the lock owned
    // for ever; the job is going away, so its handle is then closed without it.
    bool locked = forced ? m_lock.TryLock() : (Lock(), true);
    m_hThread.Reset();
    if (locked)
        Unlock();
}

void COOMReport::GetInstance(IDeviceReport** out)
{
    static CComObjectGlobal<COOMReport> s_OOMReport;
    s_OOMReport.AddRef();
    *out = &s_OOMReport;
}
