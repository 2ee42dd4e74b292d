// The record that the installer's stand-ins append to: one line per call,
// "<file name of the module>|<what it was asked>".
#pragma once
#include <windows.h>
#include <shlwapi.h>
#include "platform/Handles.h"

// Appends the line and tells whether this module was told to fail: its file
// name equals the value of KESTRUP_INSTALL_FAIL (any case).
inline bool RecordCall(HMODULE module, const wchar_t* what)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    const wchar_t* name = PathFindFileNameW(path);
    wchar_t record[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"KESTRUP_INSTALL_RECORD", record, MAX_PATH))
    {
        // Several stand-ins may write at once: append with one write call.
        const CFileHandle file(CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, 0, nullptr));
        if (file)
        {
            char line[2048];
            int n = wsprintfA(line, "%ls|%ls\r\n", name, what);
            DWORD written = 0;
            WriteFile(file.Get(), line, static_cast<DWORD>(n), &written, nullptr);
        }
    }
    wchar_t fail[MAX_PATH] = {};
    return GetEnvironmentVariableW(L"KESTRUP_INSTALL_FAIL", fail, MAX_PATH) && !lstrcmpiW(fail, name);
}
