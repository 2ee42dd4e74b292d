// The COM server module: the process-wide count of locks that the program's
// COM objects and windows hold on it.
#pragma once
#include <windows.h>

class CServerModule
{
public:
    constexpr CServerModule() = default;
    CServerModule(const CServerModule&) = delete;
    CServerModule& operator=(const CServerModule&) = delete;

    // Both return the new count.
    LONG Lock();
    LONG Unlock();
    LONG GetLockCount() const;

private:
    volatile LONG m_lockCount = 0;
};

// The one module of the process (constant-initialised, so usable by static
// objects of any translation unit).
extern CServerModule g_Module;
