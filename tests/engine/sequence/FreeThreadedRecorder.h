// A status recorder for tests that pass it through the global interface table.
#pragma once
#include "platform/ComObject.h"
#include "tests/fixtures/StatusRecorder.h"

// The recorder as a job's sink is: free-threaded, so the global interface
// table hands out the object itself in every apartment.
class CFreeThreadedRecorder : public CStatusRecorder
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IMarshal)
        {
            if (!m_marshaler)
                CoCreateFreeThreadedMarshaler(static_cast<IQStatusReport*>(this), &m_marshaler);
            return m_marshaler ? m_marshaler->QueryInterface(iid, object) : E_NOINTERFACE;
        }
        return CStatusRecorder::QueryInterface(iid, object);
    }

private:
    ComPtr<IUnknown> m_marshaler;
};
