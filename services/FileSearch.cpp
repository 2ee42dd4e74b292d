#include "services/FileSearch.h"
#include "services/Log.h"
#include "platform/Handles.h"
#include "services/Text.h"

#include <windows.h>
#include <shlwapi.h>

namespace
{

bool IsBlank(const std::wstring& s, const wchar_t* blanks)
{
    return s.find_first_not_of(blanks) == std::wstring::npos;
}

std::wstring AskString(DWORD(WINAPI* ask)(DWORD, LPWSTR))
{
    wchar_t buffer[MAX_PATH];
    DWORD n = ask(MAX_PATH, buffer);
    return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

std::wstring AskWindowsString(UINT(WINAPI* ask)(LPWSTR, UINT))
{
    wchar_t buffer[MAX_PATH];
    UINT n = ask(buffer, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

// Runs one search; appends every entry (all) or the first one to found.
bool Search(const std::wstring& path, bool all, StringList& found)
{
    if (path.size() >= MAX_PATH)
        return false;
    WIN32_FIND_DATAW data;
    CFindHandle h(FindFirstFileW(path.c_str(), &data));
    if (!h)
        return false;
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    std::wstring base = n > 0 && n < MAX_PATH ? std::wstring(full, n) : path;
    size_t cut = base.find_last_of(L"\\/");
    base = cut == std::wstring::npos ? std::wstring() : base.substr(0, cut);
    if (base.empty() || base.back() != L'\\')
        base += L'\\';
    do
    {
        found.push_back(base + data.cFileName);
    } while (all && FindNextFileW(h.Get(), &data));
    return true;
}

std::wstring Find(const wchar_t* dirs, bool all, const wchar_t* format, va_list args)
{
    StringList names;
    SplitList(FormatStringV(format, args), names);
    if (names.empty())
        return std::wstring();
    StringList directories;
    if (dirs)
        SplitList(dirs, directories);
    if (directories.empty())
        directories = DefaultDirectories();

    StringList found;
    for (const std::wstring& name : names)
    {
        if (PathIsRelativeW(name.c_str()))
        {
            for (const std::wstring& dir : directories)
            {
                wchar_t joined[MAX_PATH];
                if (dir.size() >= MAX_PATH)
                    continue;
                lstrcpyW(joined, dir.c_str());
                if (PathAppendW(joined, name.c_str()) && Search(joined, all, found))
                    return JoinList(found);
            }
        }
        else if (Search(name, all, found))
            return JoinList(found);
    }
    return names.front();
}

} // namespace

void SplitList(const std::wstring& text, StringList& list)
{
    size_t at = 0;
    while (at <= text.size())
    {
        size_t end = text.find(L';', at);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring token = text.substr(at, end - at);
        if (!IsBlank(token, L" \t\r\n"))
            list.push_back(token);
        at = end + 1;
    }
}

std::wstring JoinList(const StringList& list)
{
    std::wstring text;
    for (const std::wstring& item : list)
    {
        if (IsBlank(item, L"; \t\r\n"))
            continue;
        if (!text.empty())
            text += L';';
        text += item;
    }
    return text;
}

std::wstring MergeLists(const std::wstring& a, const std::wstring& b)
{
    StringList first, second;
    SplitList(a, first);
    SplitList(b, second);
    first.insert(first.end(), second.begin(), second.end());
    return JoinList(first);
}

StringList DefaultDirectories()
{
    StringList dirs;
    std::wstring programDir = GetProgramPath();
    size_t cut = programDir.find_last_of(L"\\/");
    programDir = cut == std::wstring::npos ? std::wstring() : programDir.substr(0, cut);
    dirs.push_back(programDir);
    dirs.push_back(AskString(GetCurrentDirectoryW));

    wchar_t path[4096];
    DWORD n = GetEnvironmentVariableW(L"PATH", path, 4096);
    if (n > 0 && n < 4096)
        SplitList(std::wstring(path, n), dirs);
    dirs.push_back(AskWindowsString(GetWindowsDirectoryW));
    dirs.push_back(AskWindowsString(GetSystemDirectoryW));
    return dirs;
}

std::wstring FindFileV(const wchar_t* dirs, const wchar_t* format, va_list args)
{
    return Find(dirs, false, format, args);
}

std::wstring FindFilesV(const wchar_t* dirs, const wchar_t* format, va_list args)
{
    return Find(dirs, true, format, args);
}

std::wstring FindFile(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring found = FindFileV(static_cast<const wchar_t*>(nullptr), format, args);
    va_end(args);
    return found;
}

std::wstring FindFileV(const StringList& dirs, const wchar_t* format, va_list args)
{
    return FindFileV(JoinList(dirs).c_str(), format, args);
}

std::wstring FindFile(const StringList& dirs, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring found = FindFileV(dirs, format, args);
    va_end(args);
    return found;
}

std::wstring FindFile(const DirectoryText& dirs, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring found = FindFileV(dirs.text.c_str(), format, args);
    va_end(args);
    return found;
}

std::wstring FindFilesV(const StringList& dirs, const wchar_t* format, va_list args)
{
    return FindFilesV(JoinList(dirs).c_str(), format, args);
}

std::wstring FindFiles(const StringList& dirs, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring found = FindFilesV(dirs, format, args);
    va_end(args);
    return found;
}
