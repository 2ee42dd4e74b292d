#include "services/ProcessObjects.h"

namespace
{

bool ReadDumpSwitch()
{
    // Only the exact text "1" turns dumping on; read once, here.
    wchar_t value[3] = {};
    DWORD n = GetEnvironmentVariableW(L"DumpKestrup", value, 3);
    return n == 1 && value[0] == L'1';
}

[[noreturn]] void FailStartup()
{
    ExitProcess(static_cast<UINT>(-1));
}

} // namespace

CProcessObjects::CProcessObjects()
{
    hDownloadSemaphore.Reset(CreateSemaphoreW(nullptr, 1, 1, KESTRUP_DOWNLOAD_SEMAPHORE_NAME));
    if (!hDownloadSemaphore)
        FailStartup();
    hLogMutex.Reset(CreateMutexW(nullptr, FALSE, nullptr));
    if (!hLogMutex)
        FailStartup();
    bDumpEnabled = ReadDumpSwitch();
    hFactoryMutex.Reset(CreateMutexW(nullptr, FALSE, nullptr));
    if (!hFactoryMutex)
        FailStartup();
}

// Made before every other static object of the program, closed after them.
static CProcessObjects g_processObjects __attribute__((init_priority(101)));

CProcessObjects& ProcessObjects()
{
    return g_processObjects;
}
