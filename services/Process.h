// Child processes with captured output, and ending processes one by one, by
// executable name or as a whole tree.
#pragma once
#include "services/ProcessStrings.h"
#include "platform/Handles.h"

#include <windows.h>
#include <tlhelp32.h>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

// Starts the formatted command line as a hidden child. When `stream` is not
// null the child's standard output and error go to a pipe whose read end is
// handed out as a text-mode stream; when `process` is not null the process
// handle is handed out. The caller owns and closes both. The child inherits
// only its two pipe handles (none without a stream).
HRESULT ExecuteCommandV(FILE** stream, HANDLE* process, const wchar_t* format, va_list args);
HRESULT ExecuteCommand(FILE** stream, HANDLE* process, const wchar_t* format, ...);

// Runs the formatted command line to its end and replaces `output` with what
// it wrote (carriage returns kept). The result comes from the exit code:
// 0 gives S_OK, other codes are negated and given the Win32 facility when
// positive (1 gives 0xFFFFFFFF). The output is kept on failure too.
HRESULT ExecuteCommandV(std::wstring& output, const wchar_t* format, va_list args);
HRESULT ExecuteCommand(std::wstring& output, const wchar_t* format, ...);

// Runs the formatted command line to its end, discarding its output.
HRESULT RunCommand(const wchar_t* format, ...);

// Owns a child started at construction; its destruction ends the child's
// whole process tree.
class CAutoExecutor
{
public:
    explicit CAutoExecutor(const wchar_t* format, ...);
    ~CAutoExecutor();
    CAutoExecutor(const CAutoExecutor&) = delete;
    CAutoExecutor& operator=(const CAutoExecutor&) = delete;

    HANDLE Process() const { return m_hProcess.Get(); }

private:
    CHandle m_hProcess;
};

struct _PROCESS_INFORMATION_EX
{
    PROCESSENTRY32W entry; // th32ProcessID, th32ParentProcessID, szExeFile
};

// A snapshot of every process of the machine in enumeration order; empty
// when no snapshot can be taken.
class CProcessList : public std::vector<_PROCESS_INFORMATION_EX>
{
public:
    CProcessList();
    // An empty list, for callers that fill it themselves.
    struct Empty
    {
    };
    explicit CProcessList(Empty) {}
    virtual ~CProcessList() = default;
};

// Ends one process: waits 500 ms, posts WM_CLOSE to its top-level windows,
// waits 1000 ms, then terminates it. A process that has gone is a success.
HRESULT KillProcess(HANDLE process);
HRESULT KillProcess(DWORD processId);
// Every process of `list` whose executable name equals `exeName` (any case).
HRESULT KillProcess(const CProcessList& list, const wchar_t* exeName);
HRESULT KillProcess(const wchar_t* exeName);

// Ends the process's children (deepest first, by the list's parent links,
// each process at most once), then the process itself.
HRESULT KillProcessTree(const CProcessList& list, HANDLE process);
HRESULT KillProcessTree(const CProcessList& list, DWORD processId);
HRESULT KillProcessTree(HANDLE process);

// Asks with string `textId` whether to restart Windows and restarts it with
// `reason`; S_FALSE when the user said No.
HRESULT RebootWindows(HWND parent, UINT textId, DWORD reason);
