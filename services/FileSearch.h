// ";" lists of texts and the file search along lists of directories.
#pragma once
#include <cstdarg>
#include <string>
#include <vector>

using StringList = std::vector<std::wstring>;

// A ";" list of directories for the FindFile overload that takes one as
// text; explicit so that a format string is never taken for it.
struct DirectoryText
{
    explicit DirectoryText(std::wstring dirs) : text(std::move(dirs)) {}
    std::wstring text;
};

void SplitList(const std::wstring& text, StringList& list);
std::wstring JoinList(const StringList& list);
std::wstring MergeLists(const std::wstring& a, const std::wstring& b);

// The default directories: program, current, PATH, Windows, system.
StringList DefaultDirectories();

// The full path of the first match of the formatted ";" list of names along
// the ";" list of directories (null or empty: the defaults), or the first
// name unchanged when nothing matches.
std::wstring FindFileV(const wchar_t* dirs, const wchar_t* format, va_list args);
// Every entry of the first search that matches, joined with ";".
std::wstring FindFilesV(const wchar_t* dirs, const wchar_t* format, va_list args);

std::wstring FindFile(const wchar_t* format, ...);
std::wstring FindFileV(const StringList& dirs, const wchar_t* format, va_list args);
std::wstring FindFile(const StringList& dirs, const wchar_t* format, ...);
std::wstring FindFile(const DirectoryText& dirs, const wchar_t* format, ...);
std::wstring FindFilesV(const StringList& dirs, const wchar_t* format, va_list args);
std::wstring FindFiles(const StringList& dirs, const wchar_t* format, ...);
