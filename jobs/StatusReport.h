// The status sink through which the engine reports every step of a download
// to the job that runs it.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include "engine/StatusReport.h"
#include "platform/ComObject.h"
#include "services/Log.h"

class CEmergencyFlasher;
class CDiskDriveFlasher;

// The name under which CStatusReport<T>::CreateInstance logs its failures.
template <class T> struct StatusReportTraits;
template <> struct StatusReportTraits<CEmergencyFlasher>
{
    static constexpr const wchar_t* kCreateName = L"CStatusReport<class CEmergencyFlasher>::CreateInstance";
};
template <> struct StatusReportTraits<CDiskDriveFlasher>
{
    static constexpr const wchar_t* kCreateName = L"CStatusReport<class CDiskDriveFlasher>::CreateInstance";
};

// The sink of one download of a job of class T. Each event goes to the job's
// `OnNewStatus (iId, bstrStatus1, bstrStatus2)`. The sink aggregates the
// free-threaded marshaler, so a server calls it directly from any apartment.
// The job detaches it when its download has returned: a server that calls the
// sink later never reaches the job.
template <class T> class CStatusReport : public IQStatusReport, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CStatusReport)
    COM_INTERFACE_ENTRY(IQStatusReport)
    COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(m_marshaler)
    END_COM_MAP()

    // Makes the sink for `owner`; the caller gets a reference. The job keeps
    // the sink as its class, to detach it, and hands it out as IQStatusReport.
    static HRESULT CreateInstance(T* owner, CStatusReport** out)
    {
        const wchar_t* name = StatusReportTraits<T>::kCreateName;
        if (!out)
            return LogError(E_POINTER, name, __LINE__);
        ComPtr<CComObject<CStatusReport>> sink;
        HRESULT hr = MakeComObject<CStatusReport>(sink, [owner](CStatusReport& object) {
            object.m_owner = owner;
            return S_OK;
        });
        *out = sink.Detach();
        return LogError(hr, name, __LINE__);
    }

    HRESULT FinalConstruct()
    {
        HRESULT hr = m_ownerLock.Init();
        if (SUCCEEDED(hr))
            hr = m_marshaler.Aggregate(GetControllingUnknown());
        return hr;
    }

    // Passes the event to the owner, if the sink still has one.
    STDMETHODIMP NewStatus(LONG iId, BSTR bstrStatus1, BSTR bstrStatus2) override
    {
        CLockGuard<CComCriticalSection> guard(m_ownerLock);
        if (m_owner)
            m_owner->OnNewStatus(iId, bstrStatus1, bstrStatus2);
        return S_OK;
    }

    virtual IUnknown* GetControllingUnknown() { return static_cast<IQStatusReport*>(this); }
    virtual ~CStatusReport() = default;

    // Cuts the sink off its job; waits for an event being delivered.
    void Detach()
    {
        CLockGuard<CComCriticalSection> guard(m_ownerLock);
        m_owner = nullptr;
    }

private:
    T* m_owner = nullptr; // not a reference: the job outlives its download
    CFreeThreadedMarshaler m_marshaler;
    CComCriticalSection m_ownerLock;
};
