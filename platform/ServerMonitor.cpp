// The shutdown watch of the local server.
//
// The event stays open until EndMonitor: objects released on other threads
// may still signal it while the watch ends, so the watch never closes it.
#include "platform/Module.h"

#include <objbase.h>
#include <process.h>

bool CServerModule::StartMonitor(DWORD mainThread)
{
    if (m_hEventShutdown)
        return false;
    m_mainThread = mainThread;
    InterlockedExchange(&m_stopping, 0);
    InterlockedExchange(&m_activity, 0);
    m_hEventShutdown = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!m_hEventShutdown)
        return false;
    m_hMonitor = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, MonitorProc, this, 0, nullptr));
    return m_hMonitor != nullptr;
}

void CServerModule::EndMonitor()
{
    if (m_hMonitor)
    {
        InterlockedExchange(&m_stopping, 1);
        SetEvent(m_hEventShutdown);
        WaitForSingleObject(m_hMonitor, INFINITE);
        CloseHandle(m_hMonitor);
        m_hMonitor = nullptr;
    }
    if (m_hEventShutdown)
    {
        HANDLE event = m_hEventShutdown;
        m_hEventShutdown = nullptr;
        CloseHandle(event);
    }
}

void CServerModule::ArmShutdown()
{
    if (!m_hEventShutdown)
        return;
    InterlockedExchange(&m_activity, 1);
    SetEvent(m_hEventShutdown);
}

unsigned __stdcall CServerModule::MonitorProc(void* module)
{
    static_cast<CServerModule*>(module)->MonitorShutdown();
    return 0;
}

void CServerModule::MonitorShutdown()
{
    for (;;)
    {
        WaitForSingleObject(m_hEventShutdown, INFINITE);
        DWORD wait = WAIT_OBJECT_0;
        do
        {
            if (m_stopping)
                return;
            InterlockedExchange(&m_activity, 0);
            wait = WaitForSingleObject(m_hEventShutdown, m_dwTimeOut);
        } while (wait == WAIT_OBJECT_0);
        if (m_stopping)
            return;
        if (!m_activity && GetLockCount() == 0)
        {
            CoSuspendClassObjects();
            if (!m_activity && GetLockCount() == 0)
                break;
        }
    }
    PostThreadMessageW(m_mainThread, WM_QUIT, 0, 0);
}
