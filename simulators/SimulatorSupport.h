// Small helpers shared by the simulated phones and the remote controller.
#pragma once
#include <windows.h>

#include <string>
#include "platform/Handles.h"

#include "services/Text.h"
#include "simulators/BuiltFiles.h"

// Texts in the ANSI code page, as the program's log and the phones' output.
inline std::string Narrow(const std::wstring& text)
{
    return ToNarrow(text, CP_ACP);
}

inline std::wstring Wide(const std::string& text)
{
    return ToWide(text, CP_ACP);
}

// Whole files of at most 1 GiB.
inline bool ReadFileBytes(const std::wstring& path, std::string& bytes)
{
    const CFileHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file.Get(), &size) && size.QuadPart < (1ll << 30);
    bytes.assign(ok ? static_cast<size_t>(size.QuadPart) : 0, '\0');
    DWORD got = 0;
    return ok &&
           (bytes.empty() || (::ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) &&
                              got == bytes.size()));
}

inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    const CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    return bytes.empty() ||
           (::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
}
