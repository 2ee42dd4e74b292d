// The process-wide objects made before main runs, in this order: the download
// semaphore, the log state, the log mutex, the dump switch and the factory
// mutex. They are closed in the reverse order at exit.
#pragma once
#include <windows.h>
#include <string>

#include "platform/Handles.h"

// Machine-wide name shared by every copy of the program.
#define KESTRUP_DOWNLOAD_SEMAPHORE_NAME L"{6B1E3C52-8F0A-4D7E-9C41-2A5D7E93B0F4}"

struct CLogState
{
    CHandle hFile;         // empty until the first line opened the file
    std::wstring fileName; // empty until the file was named
};

struct CProcessObjects
{
    CProcessObjects();
    // The members go in the reverse order of their making.
    ~CProcessObjects() = default;
    CProcessObjects(const CProcessObjects&) = delete;
    CProcessObjects& operator=(const CProcessObjects&) = delete;

    CHandle hDownloadSemaphore;
    CLogState log;
    CHandle hLogMutex;
    bool bDumpEnabled = false;
    CHandle hFactoryMutex;
};

CProcessObjects& ProcessObjects();
