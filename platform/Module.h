// The COM server module: the process-wide count of locks that the program's
// COM objects and windows hold on it, and the watch that ends a local server
// once nothing holds it any more.
#pragma once
#include <windows.h>

class CServerModule
{
public:
    constexpr CServerModule() = default;
    CServerModule(const CServerModule&) = delete;
    CServerModule& operator=(const CServerModule&) = delete;

    // Both return the new count. The unlock that reaches 0 marks activity
    // and wakes the shutdown watch.
    LONG Lock();
    LONG Unlock();
    LONG GetLockCount() const;

    // How long the module must stay unused before the watch ends the
    // server, and how long the program pauses after its loop (ms).
    DWORD m_dwTimeOut = 5000;
    DWORD m_dwPause = 1000;

    // Creates the shutdown event and starts the watch thread, which posts
    // WM_QUIT to `mainThread` once the lock count has been 0 for the
    // time-out without activity. False (no watch) when either cannot be made.
    bool StartMonitor(DWORD mainThread);
    // Stops a watch that still runs and closes the event (ServerMonitor.cpp).
    void EndMonitor();
    // Starts the time-out now, as if the last lock had just gone: a server
    // started for a client that never takes an object ends by itself.
    void ArmShutdown();

private:
    static unsigned __stdcall MonitorProc(void* module);
    void MonitorShutdown();

    volatile LONG m_lockCount = 0;
    volatile LONG m_activity = 0;
    volatile LONG m_stopping = 0;
    HANDLE m_hEventShutdown = nullptr;
    HANDLE m_hMonitor = nullptr;
    DWORD m_mainThread = 0;
};

// The one module of the process (constant-initialised, so usable by static
// objects of any translation unit).
extern CServerModule g_Module;
