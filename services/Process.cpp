#include "services/Process.h"
#include "services/Log.h"
#include "services/Text.h"
#include "platform/Handles.h"

#include <fcntl.h>
#include <io.h>
#include <algorithm>
#include <cerrno>

namespace
{

const DWORD kPipeBufferSize = 0x40000;
const DWORD kPollMs = 5;

// Held from the creation of a pipe's inheritable duplicates until the parent
// has closed them, so that a child started by another thread of ours never
// inherits a pipe that is not its own.
SRWLOCK g_inheritLock = SRWLOCK_INIT;

// The start-up information that hands the child exactly `handles` (an
// attribute list where the system has one; the inherit lock covers the rest).
class CStartupInfo
{
public:
    CStartupInfo(HANDLE stdOut, HANDLE stdErr)
    {
        m_info.StartupInfo.cb = sizeof(STARTUPINFOW);
        m_info.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
        m_info.StartupInfo.wShowWindow = SW_HIDE;
        if (!stdOut)
            return;
        m_info.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
        m_info.StartupInfo.hStdInput = nullptr;
        m_info.StartupInfo.hStdOutput = stdOut;
        m_info.StartupInfo.hStdError = stdErr;
        m_handles[0] = stdOut;
        m_handles[1] = stdErr;
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        m_buffer.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_buffer.data());
        if (size && InitializeProcThreadAttributeList(list, 1, 0, &size))
        {
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_handles, sizeof(m_handles),
                                          nullptr, nullptr))
            {
                m_info.lpAttributeList = list;
                m_info.StartupInfo.cb = sizeof(STARTUPINFOEXW);
            }
            else
                DeleteProcThreadAttributeList(list);
        }
    }
    ~CStartupInfo()
    {
        if (m_info.lpAttributeList)
            DeleteProcThreadAttributeList(m_info.lpAttributeList);
    }
    CStartupInfo(const CStartupInfo&) = delete;
    CStartupInfo& operator=(const CStartupInfo&) = delete;

    STARTUPINFOW* Get() { return &m_info.StartupInfo; }
    DWORD Flags() const { return m_info.lpAttributeList ? EXTENDED_STARTUPINFO_PRESENT : 0; }

private:
    STARTUPINFOEXW m_info = {};
    HANDLE m_handles[2] = {};
    std::vector<unsigned char> m_buffer;
};

// Moves what the pipe holds now into `bytes` without waiting. Clears `open`
// at the end of the data or on a read failure (logged into `readResult`).
DWORD DrainPipe(HANDLE pipe, std::string& bytes, bool& open, HRESULT& readResult)
{
    DWORD total = 0;
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
        available = 1; // let the read report what happened
    while (available > 0)
    {
        char buffer[65536];
        DWORD want = std::min<DWORD>(available, sizeof(buffer));
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, want, &got, nullptr))
        {
            DWORD error = GetLastError();
            open = false;
            if (error != ERROR_BROKEN_PIPE)
                readResult = LogError(HResultFromWin32(static_cast<LONG>(error)), L"ExecuteCommand", 1103);
            break;
        }
        bytes.append(buffer, got);
        total += got;
        available = got < available ? available - got : 0;
    }
    return total;
}

// Exit code 0 is S_OK; any other is negated and, when that is positive,
// given the Win32 facility (so 1 becomes 0xFFFFFFFF).
HRESULT ExitCodeResult(DWORD exitCode)
{
    return HResultFromWin32(static_cast<LONG>(0u - exitCode));
}

bool IsGone(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

BOOL CALLBACK CloseWindowOfProcess(HWND window, LPARAM processId)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(processId))
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

HANDLE OpenToEnd(DWORD processId, HRESULT& hr)
{
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, processId);
    hr = process ? S_OK : LastErrorHResult();
    // The process has already gone.
    if (hr == HResultFromWin32(ERROR_INVALID_PARAMETER))
        hr = S_OK;
    return process;
}

HRESULT KillTreeOf(const CProcessList& list, HANDLE process, DWORD processId, std::vector<DWORD>& visited);

HRESULT KillTreeById(const CProcessList& list, DWORD processId, std::vector<DWORD>& visited)
{
    HRESULT hr = S_OK;
    CHandle process(OpenToEnd(processId, hr));
    if (!process.Get())
        return LogError(hr, L"KillProcessTree", 622);
    return KillTreeOf(list, process.Get(), processId, visited);
}

HRESULT KillTreeOf(const CProcessList& list, HANDLE process, DWORD processId, std::vector<DWORD>& visited)
{
    // Parent ids may have been reused, so the links can form a cycle or make
    // this very process look like a child: each process is visited once and
    // this one never.
    visited.push_back(processId);
    HRESULT kept = S_OK;
    for (const _PROCESS_INFORMATION_EX& info : list)
    {
        DWORD child = info.entry.th32ProcessID;
        if (info.entry.th32ParentProcessID != processId || child == GetCurrentProcessId() ||
            std::find(visited.begin(), visited.end(), child) != visited.end())
            continue;
        HRESULT hr = KillTreeById(list, child, visited);
        if (FAILED(hr) && SUCCEEDED(kept))
            kept = hr;
    }
    HRESULT self = KillProcess(process);
    RETURN_IF_FAILED(kept, L"KillProcessTree", 669);
    return self;
}

} // namespace

HRESULT ExecuteCommandV(FILE** stream, HANDLE* process, const wchar_t* format, va_list args)
{
    if (stream)
        *stream = nullptr;
    if (process)
        *process = nullptr;
    std::wstring command = FormatStringV(format, args);

    CHandle readEnd, writeEnd, stdOut, stdErr;
    PROCESS_INFORMATION pi = {};
    HRESULT hr = S_OK;
    AcquireSRWLockExclusive(&g_inheritLock);
    if (stream)
    {
        HANDLE self = GetCurrentProcess();
        if (!CreatePipe(readEnd.Receive(), writeEnd.Receive(), nullptr, kPipeBufferSize) ||
            !DuplicateHandle(self, writeEnd.Get(), self, stdOut.Receive(), 0, TRUE, DUPLICATE_SAME_ACCESS) ||
            !DuplicateHandle(self, writeEnd.Get(), self, stdErr.Receive(), 0, TRUE, DUPLICATE_SAME_ACCESS))
            hr = LastErrorHResult();
    }
    if (SUCCEEDED(hr))
    {
        CStartupInfo startup(stdOut.Get(), stdErr.Get());
        // Without a pipe the child needs no handle of ours at all.
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, stream != nullptr,
                            CREATE_NO_WINDOW | startup.Flags(), nullptr, nullptr, startup.Get(), &pi))
            hr = LastErrorHResult();
    }
    stdOut.Reset();
    stdErr.Reset();
    writeEnd.Reset();
    ReleaseSRWLockExclusive(&g_inheritLock);
    CHandle thread(pi.hThread), child(pi.hProcess);
    RETURN_IF_FAILED(hr, L"ExecuteCommand", 1224);

    if (stream)
    {
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(readEnd.Get()), _O_RDONLY | _O_TEXT);
        if (fd == -1)
            return LogError(HResultFromWin32(errno), L"ExecuteCommand", 1209);
        readEnd.Detach(); // the descriptor owns it now
        FILE* file = _fdopen(fd, "r");
        if (!file)
        {
            hr = HResultFromWin32(errno);
            _close(fd);
            return LogError(hr, L"ExecuteCommand", 1209);
        }
        *stream = file;
    }
    if (process)
        *process = child.Detach();
    return S_OK;
}

HRESULT ExecuteCommand(FILE** stream, HANDLE* process, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    HRESULT hr = ExecuteCommandV(stream, process, format, args);
    va_end(args);
    return hr;
}

HRESULT ExecuteCommandV(std::wstring& output, const wchar_t* format, va_list args)
{
    FILE* stream = nullptr;
    HANDLE started = nullptr;
    HRESULT hr = ExecuteCommandV(&stream, &started, format, args);
    RETURN_IF_FAILED(hr, L"ExecuteCommand", 1084);
    CHandle process(started);

    // Read the pipe's handle itself: the text-mode stream would drop the
    // carriage returns.
    HANDLE pipe = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    std::string bytes;
    HRESULT readResult = S_OK;
    bool open = true;
    for (;;)
    {
        // Once the child has ended, what the pipe holds is taken once; other
        // holders of the write end are not waited for.
        bool ended = IsGone(process.Get());
        DWORD got = open ? DrainPipe(pipe, bytes, open, readResult) : 0;
        if (ended)
            break;
        if (got == 0)
            WaitForSingleObject(process.Get(), open ? kPollMs : INFINITE);
    }

    DWORD exitCode = 0;
    if (GetExitCodeProcess(process.Get(), &exitCode))
        hr = ExitCodeResult(exitCode);
    else
        hr = LastErrorHResult();
    if (FAILED(hr))
        LogError(hr, L"ExecuteCommand", 1092);
    else if (FAILED(readResult))
        hr = readResult;

    output = ToWide(bytes);
    fclose(stream);
    return hr;
}

HRESULT ExecuteCommand(std::wstring& output, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    HRESULT hr = ExecuteCommandV(output, format, args);
    va_end(args);
    return hr;
}

HRESULT RunCommand(const wchar_t* format, ...)
{
    std::wstring discarded;
    va_list args;
    va_start(args, format);
    HRESULT hr = ExecuteCommandV(discarded, format, args);
    va_end(args);
    return hr;
}

CAutoExecutor::CAutoExecutor(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    HRESULT hr = ExecuteCommandV(nullptr, m_hProcess.Receive(), format, args);
    va_end(args);
    if (FAILED(hr))
    {
        LogError(hr, L"CAutoExecutor::CAutoExecutor", 1243);
        m_hProcess.Reset();
    }
}

CAutoExecutor::~CAutoExecutor()
{
    if (m_hProcess)
        KillProcessTree(m_hProcess.Get());
}

CProcessList::CProcessList()
{
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return;
    _PROCESS_INFORMATION_EX info = {};
    info.entry.dwSize = sizeof(info.entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &info.entry); more;
         more = Process32NextW(snapshot.Get(), &info.entry))
        push_back(info);
}

HRESULT KillProcess(HANDLE process)
{
    if (WaitForSingleObject(process, 500) == WAIT_OBJECT_0)
        return S_OK;
    EnumWindows(CloseWindowOfProcess, static_cast<LPARAM>(GetProcessId(process)));
    if (WaitForSingleObject(process, 1000) == WAIT_OBJECT_0)
        return S_OK;
    if (TerminateProcess(process, 0))
        return S_OK;
    HRESULT hr = LastErrorHResult();
    // It ended on its own between the wait and the termination.
    if (IsGone(process))
        return S_OK;
    return LogError(hr, L"KillProcess", 522);
}

HRESULT KillProcess(DWORD processId)
{
    HRESULT hr = S_OK;
    CHandle process(OpenToEnd(processId, hr));
    if (!process.Get())
        return LogError(hr, L"KillProcess", 471);
    return KillProcess(process.Get());
}

HRESULT KillProcess(const CProcessList& list, const wchar_t* exeName)
{
    HRESULT first = S_OK;
    for (const _PROCESS_INFORMATION_EX& info : list)
    {
        if (lstrcmpiW(info.entry.szExeFile, exeName) != 0)
            continue;
        HRESULT hr = KillProcess(info.entry.th32ProcessID);
        if (FAILED(hr) && SUCCEEDED(first))
            first = hr;
    }
    return first;
}

HRESULT KillProcess(const wchar_t* exeName)
{
    return KillProcess(CProcessList(), exeName);
}

HRESULT KillProcessTree(const CProcessList& list, HANDLE process)
{
    std::vector<DWORD> visited;
    return KillTreeOf(list, process, GetProcessId(process), visited);
}

HRESULT KillProcessTree(const CProcessList& list, DWORD processId)
{
    std::vector<DWORD> visited;
    return KillTreeById(list, processId, visited);
}

HRESULT KillProcessTree(HANDLE process)
{
    return KillProcessTree(CProcessList(), process);
}

HRESULT RebootWindows(HWND parent, UINT textId, DWORD reason)
{
    HINSTANCE module = GetModuleHandleW(nullptr);
    wchar_t text[1024] = {};
    wchar_t caption[256] = {};
    LoadStringW(module, textId, text, ARRAYSIZE(text));
    LoadStringW(module, IDS_REBOOT_CAPTION, caption, ARRAYSIZE(caption));
    if (MessageBoxW(parent, text, caption, MB_YESNO | MB_ICONHAND) != IDYES)
        return S_FALSE;

    LUID shutdown = {};
    if (!LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &shutdown))
        return LogError(LastErrorHResult(), L"RebootWindows", 447);
    CHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Receive()))
        return LogError(LastErrorHResult(), L"RebootWindows", 450);
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = shutdown;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Succeeds with ERROR_NOT_ALL_ASSIGNED when the privilege is not held.
    if (!AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr) ||
        GetLastError() == ERROR_NOT_ALL_ASSIGNED)
        return LogError(LastErrorHResult(), L"RebootWindows", 453);
    if (!ExitWindowsEx(EWX_REBOOT, reason))
        return LogError(LastErrorHResult(), L"RebootWindows", 456);
    return S_OK;
}
