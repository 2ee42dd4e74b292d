#include "platform/Module.h"

CServerModule g_Module;

LONG CServerModule::Lock()
{
    return InterlockedIncrement(&m_lockCount);
}

LONG CServerModule::Unlock()
{
    return InterlockedDecrement(&m_lockCount);
}

LONG CServerModule::GetLockCount() const
{
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&m_lockCount), 0, 0);
}
