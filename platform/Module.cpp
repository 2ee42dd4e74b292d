#include "platform/Module.h"

CServerModule g_Module;

LONG CServerModule::Lock()
{
    return InterlockedIncrement(&m_lockCount);
}

LONG CServerModule::Unlock()
{
    const LONG count = InterlockedDecrement(&m_lockCount);
    if (count == 0 && m_hEventShutdown)
    {
        InterlockedExchange(&m_activity, 1);
        SetEvent(m_hEventShutdown);
    }
    return count;
}

LONG CServerModule::GetLockCount() const
{
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&m_lockCount), 0, 0);
}
