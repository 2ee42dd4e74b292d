// The process-wide objects made before main runs, in this order: the download
// semaphore, the log state, the log mutex, the dump switch and the factory
// mutex. They are closed in the reverse order at exit.
#pragma once
#include <windows.h>
#include <string>

// Machine-wide name shared by every copy of the program.
#define KESTRUP_DOWNLOAD_SEMAPHORE_NAME L"{6B1E3C52-8F0A-4D7E-9C41-2A5D7E93B0F4}"

struct CLogState
{
    HANDLE hFile = nullptr;    // null until the first line opened the file
    std::wstring fileName;     // empty until the file was named
};

struct CProcessObjects
{
    CProcessObjects();
    ~CProcessObjects();
    CProcessObjects(const CProcessObjects&) = delete;
    CProcessObjects& operator=(const CProcessObjects&) = delete;

    HANDLE hDownloadSemaphore = nullptr;
    CLogState log;
    HANDLE hLogMutex = nullptr;
    bool bDumpEnabled = false;
    HANDLE hFactoryMutex = nullptr;
};

CProcessObjects& ProcessObjects();
