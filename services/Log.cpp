#include "services/Log.h"
#include "services/FileSearch.h"
#include "services/ProcessObjects.h"
#include "platform/Handles.h"
#include "services/Text.h"

#include <ctime>
#include <vector>

std::wstring FormatStringV(const wchar_t* format, va_list args)
{
    va_list counting;
    va_copy(counting, args);
    int n = _vscwprintf(format, counting);
    va_end(counting);
    if (n <= 0)
        return std::wstring();
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    _vsnwprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

std::wstring FormatString(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = FormatStringV(format, args);
    va_end(args);
    return text;
}

namespace
{

// Opens the run's log file if no line has yet; called under the log mutex.
void OpenLogFile(CLogState& log)
{
    wchar_t computer[256];
    DWORD size = 256;
    if (!GetComputerNameW(computer, &size))
        lstrcpyW(computer, L"unknown");
    unsigned seconds = static_cast<unsigned>(static_cast<unsigned long long>(_time64(nullptr)) & 0xFFFFFFFFu);
    log.fileName = FindFile(L"Kestrup-%u@%s.log", seconds, computer);
    HANDLE h = CreateFileW(log.fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    log.hFile.Reset(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

} // namespace

void WriteLogV(const wchar_t* format, va_list args)
{
    wchar_t prefix[16];
    wsprintfW(prefix, L"[%08X]", GetCurrentThreadId());
    std::wstring line = prefix;
    line += FormatStringV(format, args);
    line += L"\r\n";

    CProcessObjects& objects = ProcessObjects();
    HANDLE hFile;
    {
        CMutexLock lock(objects.hLogMutex.Get());
        if (!objects.log.hFile)
            OpenLogFile(objects.log);
        hFile = objects.log.hFile.Get();
    }
    if (!hFile)
        return;

    const std::string text = ToNarrow(line);
    if (text.empty())
        return;
    DWORD written = 0;
    ::WriteFile(hFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void WriteLog(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLogV(format, args);
    va_end(args);
}

HRESULT LogError(HRESULT hr, const wchar_t* name, int line)
{
    if (SUCCEEDED(hr))
        return hr;
    WriteLog(L"%s(%d): %s(0x%08x)", name, line, GetErrorMessage(hr).c_str(), hr);
    return hr;
}

namespace
{

bool SystemMessage(DWORD code, std::wstring& text)
{
    CLocalMemory memory;
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(memory.Receive()), 0, nullptr);
    const wchar_t* buffer = static_cast<const wchar_t*>(memory.Get());
    if (!n || !buffer)
        return false;
    while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n'))
        --n;
    text.assign(buffer, n);
    return true;
}

} // namespace

std::wstring GetErrorMessage(HRESULT code)
{
    std::wstring text;
    if (!SystemMessage(static_cast<DWORD>(code), text))
        SystemMessage(static_cast<DWORD>(E_FAIL), text);
    return text;
}

std::wstring GetLogFileName()
{
    CProcessObjects& objects = ProcessObjects();
    CMutexLock lock(objects.hLogMutex.Get());
    return objects.log.fileName;
}

std::wstring GetEnvironmentVariableString(const wchar_t* name)
{
    for (;;)
    {
        DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
        if (size == 0)
            return std::wstring();
        std::wstring value(size, L'\0');
        DWORD n = GetEnvironmentVariableW(name, &value[0], size);
        if (n < size)
        {
            value.resize(n);
            return value;
        }
        // The variable grew between the two calls: ask again.
    }
}

std::wstring LoadDialogTitle(WORD id)
{
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    if (!resource)
        return std::wstring();
    HGLOBAL loaded = LoadResource(module, resource);
    const WORD* words = loaded ? static_cast<const WORD*>(LockResource(loaded)) : nullptr;
    size_t count = SizeofResource(module, resource) / sizeof(WORD);
    if (!words || count < 2)
        return std::wstring();

    size_t at = words[1] == 0xFFFF ? 26 / sizeof(WORD) : 18 / sizeof(WORD);
    // Menu and class: an ordinal (0xFFFF and one word) or a string.
    for (int field = 0; field < 2; ++field)
    {
        if (at < count && words[at] == 0xFFFF)
            at += 2;
        else
        {
            while (at < count && words[at] != 0)
                ++at;
            ++at;
        }
    }
    std::wstring title;
    while (at < count && words[at] != 0)
        title += static_cast<wchar_t>(words[at++]);
    return title;
}
