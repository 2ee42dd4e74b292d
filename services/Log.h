// The run's log file, the error-logging convention and small system helpers.
#pragma once
#include <windows.h>
#include <cstdarg>
#include <string>

// A Win32 error code as an HRESULT: codes above 0 get the Win32 facility,
// 0 and negative values pass unchanged.
inline HRESULT HResultFromWin32(LONG code)
{
    return code > 0 ? static_cast<HRESULT>(0x80070000u | (static_cast<ULONG>(code) & 0xFFFFu))
                    : static_cast<HRESULT>(code);
}

// Results that several parts of the program give.
// A file, a record or an answer of the wrong form (ERROR_BAD_FORMAT).
constexpr HRESULT kBadFormatResult = static_cast<HRESULT>(0x8007000B);
// Fewer bytes than asked for (ERROR_HANDLE_EOF).
constexpr HRESULT kEndOfFileResult = static_cast<HRESULT>(0x80070026);
// A device that never came back after a mode change.
constexpr HRESULT kDeviceNotBackResult = static_cast<HRESULT>(0x800F0246);

// The calling thread's last error through the rule above.
inline HRESULT LastErrorHResult()
{
    return HResultFromWin32(static_cast<LONG>(GetLastError()));
}

void WriteLogV(const wchar_t* format, va_list args);
void WriteLog(const wchar_t* format, ...);

// Writes "name(line): message(0xhr)" for a failure; returns hr unchanged.
HRESULT LogError(HRESULT hr, const wchar_t* name, int line);

// One step of an operation: a failed result is logged under the function's
// name and line, and the function returns it.
#define RETURN_IF_FAILED(hr, name, line)        \
    do                                          \
    {                                           \
        const HRESULT step_ = (hr);             \
        if (FAILED(step_))                      \
            return LogError(step_, name, line); \
    } while (0)

std::wstring GetErrorMessage(HRESULT code);
std::wstring GetLogFileName();
std::wstring GetEnvironmentVariableString(const wchar_t* name);
std::wstring LoadDialogTitle(WORD id);

// Formats a wide string with printf rules and no length limit.
std::wstring FormatStringV(const wchar_t* format, va_list args);
std::wstring FormatString(const wchar_t* format, ...);
