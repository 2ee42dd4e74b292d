#include "engine/EngineIo.h"

#include "services/Dump.h"
#include "services/Log.h"

#include <shlwapi.h>
#include <xmllite.h>

#include <cstring>

namespace
{
// Moves the file pointer to position; kNoPosition leaves it alone.
HRESULT SeekTo(HANDLE handle, LONGLONG position)
{
    if (position == kNoPosition)
        return S_OK;
    LONG high = static_cast<LONG>(position >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(handle, static_cast<LONG>(position & 0xFFFFFFFF), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return LastErrorHResult();
    return S_OK;
}

// One read attempt: the whole count or 0x80070026.
HRESULT ReadWhole(HANDLE handle, void* buffer, DWORD count)
{
    DWORD read = 0;
    if (!ReadFile(handle, buffer, count, &read, nullptr))
        return LastErrorHResult();
    return read == count ? S_OK : HResultFromWin32(ERROR_HANDLE_EOF);
}
} // namespace

HRESULT WriteRobust(HANDLE handle, const void* buffer, DWORD count, LONGLONG position)
{
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < kRobustAttempts; ++attempt)
    {
        if (attempt > 0)
            Sleep(kRobustPauseMs);
        hr = SeekTo(handle, position);
        if (FAILED(hr))
        {
            LogError(hr, L"WriteRobust", __LINE__);
            continue;
        }
        DWORD written = 0;
        if (WriteFile(handle, buffer, count, &written, nullptr))
        {
            hr = S_OK;
            break;
        }
        hr = LogError(LastErrorHResult(), L"WriteRobust", __LINE__);
    }
    if (FAILED(hr))
        return LogError(hr, L"WriteRobust", __LINE__);
    CDumpBuffer dump(L"WriteRobust");
    dump.Append(buffer, static_cast<int>(count));
    return S_OK;
}

HRESULT ReadRobust(HANDLE handle, void* buffer, DWORD count, LONGLONG position)
{
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < kRobustAttempts; ++attempt)
    {
        if (attempt > 0)
            Sleep(kRobustPauseMs);
        hr = SeekTo(handle, position);
        if (SUCCEEDED(hr))
            hr = ReadWhole(handle, buffer, count);
        if (SUCCEEDED(hr))
            break;
        LogError(hr, L"ReadRobust", __LINE__);
    }
    if (FAILED(hr))
        return LogError(hr, L"ReadRobust", __LINE__);
    CDumpBuffer dump(L"ReadRobust");
    dump.Append(buffer, static_cast<int>(count));
    return S_OK;
}

HRESULT ReadRobust(HANDLE handle, void* buffer, DWORD count)
{
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < kRobustAttempts; ++attempt)
    {
        if (attempt > 0)
            Sleep(kRobustPauseMs);
        hr = ReadWhole(handle, buffer, count);
        if (SUCCEEDED(hr))
            return S_OK;
        LogError(hr, L"ReadRobust", __LINE__);
    }
    return LogError(hr, L"ReadRobust", __LINE__);
}

HRESULT OpenXmlReader(IStream* stream, IXmlReader** reader)
{
    if (!reader)
        return E_POINTER;
    *reader = nullptr;
    IXmlReader* created = nullptr;
    HRESULT hr = CreateXmlReader(__uuidof(IXmlReader), reinterpret_cast<void**>(&created), nullptr);
    if (FAILED(hr))
        return LogError(hr, L"OpenXmlReader", __LINE__);
    hr = created->SetInput(stream);
    if (SUCCEEDED(hr))
        hr = created->QueryInterface(__uuidof(IXmlReader), reinterpret_cast<void**>(reader));
    created->Release();
    if (FAILED(hr))
        return LogError(hr, L"OpenXmlReader", __LINE__);
    return S_OK;
}

HRESULT OpenXmlReader(const wchar_t* path, IXmlReader** reader)
{
    IStream* stream = nullptr;
    HRESULT hr = SHCreateStreamOnFileW(path, STGM_READ | STGM_SHARE_DENY_WRITE, &stream);
    if (FAILED(hr))
        return LogError(hr, L"OpenXmlReader", __LINE__);
    hr = OpenXmlReader(stream, reader);
    stream->Release();
    return hr;
}

HRESULT OpenXmlReader(const char* text, IXmlReader** reader)
{
    const size_t length = text ? strlen(text) : 0;
    IStream* stream = SHCreateMemStream(reinterpret_cast<const BYTE*>(text), static_cast<UINT>(length));
    if (!stream)
        return LogError(E_FAIL, L"OpenXmlReader", __LINE__);
    HRESULT hr = OpenXmlReader(stream, reader);
    stream->Release();
    return hr;
}

void ReportStatus(IQStatusReport* sink, const wchar_t* format, ...)
{
    if (!sink)
        return;
    va_list args;
    va_start(args, format);
    std::wstring text = FormatStringV(format, args);
    va_end(args);
    BSTR status = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!status)
        throw CHResultException(E_OUTOFMEMORY);
    sink->NewStatus(0, nullptr, status);
    SysFreeString(status);
}
