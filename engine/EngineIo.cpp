#include "engine/EngineIo.h"

#include "services/Dump.h"
#include "services/Log.h"
#include "platform/ComObject.h"
#include "platform/Handles.h"

#include <shlwapi.h>
#include <xmllite.h>

#include <algorithm>
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

// 1 when text begins with token, 0 when it does not, -1 when it is too short
// to tell (it is the start of token).
int Begins(const char* text, size_t length, const char* token)
{
    const size_t n = strlen(token);
    if (length >= n)
        return memcmp(text, token, n) == 0 ? 1 : 0;
    return memcmp(text, token, length) == 0 ? -1 : 0;
}

// The index just past the first token at or after from, or 0 when the token
// is not there (yet).
size_t SkipPast(const char* text, size_t length, const char* token, size_t from)
{
    const size_t n = strlen(token);
    for (size_t i = from; i + n <= length; ++i)
    {
        if (memcmp(text + i, token, n) == 0)
            return i + n;
    }
    return 0;
}

// How much of a stream's start is read to look for a text without a document.
constexpr ULONG kDeclarationScan = 1024;

// True for a text that ends within "<?xml" or right after the XML declaration
// (a zero byte ends it too), after an optional UTF-8 byte order mark. `whole`
// tells whether text is the whole input or only its start.
bool EndsWithinDeclaration(const char* text, size_t length, bool whole)
{
    if (Begins(text, length, "\xEF\xBB\xBF") == 1)
    {
        text += 3;
        length -= 3;
    }
    if (const void* zero = memchr(text, 0, length))
    {
        length = static_cast<const char*>(zero) - text;
        whole = true;
    }
    const int begins = Begins(text, length, "<?xml");
    if (begins <= 0)
        return begins < 0 && whole;
    // A declaration that does not end within the text read leaves no
    // document to read either.
    const size_t end = SkipPast(text, length, "?>", 5);
    return end == 0 || (whole && end == length);
}

// Reads the stream's start and moves back to where it was.
HRESULT RefuseTextWithoutDocument(IStream* stream)
{
    LARGE_INTEGER zero = {};
    ULARGE_INTEGER start = {};
    HRESULT hr = stream->Seek(zero, STREAM_SEEK_CUR, &start);
    if (FAILED(hr))
        return hr;
    char head[kDeclarationScan];
    ULONG got = 0;
    hr = stream->Read(head, sizeof(head), &got);
    LARGE_INTEGER back;
    back.QuadPart = static_cast<LONGLONG>(start.QuadPart);
    HRESULT seek = stream->Seek(back, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr))
        return hr;
    if (FAILED(seek))
        return seek;
    // UTF-16 big-endian by its byte order mark: XmlLite here reads no node of
    // it and reports the end of a well-formed input, as for a file without
    // entries.
    if (got >= 2 && static_cast<BYTE>(head[0]) == 0xFE && static_cast<BYTE>(head[1]) == 0xFF)
        return static_cast<HRESULT>(MX_E_ENCODING);
    return EndsWithinDeclaration(head, got, got < sizeof(head)) ? static_cast<HRESULT>(MX_E_INPUTEND) : S_OK;
}

// What a retried read takes: the whole count, whatever has come within the
// read time-outs, or what a port holds now.
enum class ReadForm
{
    Whole,
    Some,
    Waiting
};

// How many bytes a port holds now, at most count.
HRESULT WaitingBytes(HANDLE port, DWORD count, DWORD& waiting)
{
    COMSTAT status = {};
    DWORD errors = 0;
    if (!ClearCommError(port, &errors, &status))
        return LastErrorHResult();
    waiting = std::min<DWORD>(status.cbInQue, count);
    return S_OK;
}

// The retried read: up to 10 attempts 100 ms apart, each at position when
// one is given. Whole succeeds only with the whole count (a shorter read is
// 0x80070026). Each failed attempt is logged under "ReadRobust".
HRESULT ReadAttempts(HANDLE handle, void* buffer, DWORD count, LONGLONG position, ReadForm form, DWORD& read)
{
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < kRobustAttempts; ++attempt)
    {
        if (attempt > 0)
            Sleep(kRobustPauseMs);
        read = 0;
        DWORD asked = count;
        hr = SeekTo(handle, position);
        if (SUCCEEDED(hr) && form == ReadForm::Waiting)
            hr = WaitingBytes(handle, count, asked);
        if (SUCCEEDED(hr) && asked > 0)
            hr = ReadFile(handle, buffer, asked, &read, nullptr) ? S_OK : LastErrorHResult();
        // Only a read of a whole count is short when it brings less: what
        // came is kept otherwise, even less than the port said it held.
        if (SUCCEEDED(hr) && form == ReadForm::Whole && read != asked)
            hr = kEndOfFileResult;
        if (SUCCEEDED(hr))
            return S_OK;
        LogError(hr, L"ReadRobust", __LINE__);
    }
    return hr;
}

} // namespace

HRESULT SetPortTimeouts(HANDLE port, DWORD readWaitMs)
{
    COMMTIMEOUTS timeouts = {};
    if (readWaitMs != 0)
        timeouts.ReadTotalTimeoutConstant = readWaitMs;
    else
        timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = kPortCallBoundMs;
    return SetCommTimeouts(port, &timeouts) ? S_OK : LastErrorHResult();
}

HRESULT WriteAtPhonePace(const PortWriteCall& call, const void* buffer, DWORD count, CPaceFloor& floor,
                         CHearing* hearing, DWORD& done)
{
    const BYTE* bytes = static_cast<const BYTE*>(buffer);
    done = 0;
    for (;;)
    {
        DWORD written = 0;
        HRESULT hr = call(bytes + done, count - done, written);
        if (FAILED(hr))
            return hr;
        done += written;
        hr = floor.Took(written, done < count);
        if (FAILED(hr) || done == count)
            return hr;
        if (hearing)
            hearing->Now();
    }
}

HRESULT WriteRobust(HANDLE handle, const void* buffer, DWORD count, LONGLONG position, CPaceFloor* floor,
                    CHearing* hearing)
{
    const PortWriteCall call = [handle](const BYTE* bytes, DWORD size, DWORD& written) {
        return ::WriteFile(handle, bytes, size, &written, nullptr) ? S_OK : LastErrorHResult();
    };
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
        DWORD done = 0;
        if (floor)
            hr = WriteAtPhonePace(call, buffer, count, *floor, hearing, done);
        else if (SUCCEEDED(hr = call(static_cast<const BYTE*>(buffer), count, done)) && done != count)
            hr = HResultFromWin32(ERROR_WRITE_FAULT);
        // Once bytes are out the write is not tried again from its start.
        if (SUCCEEDED(hr) || done > 0)
            break;
        LogError(hr, L"WriteRobust", __LINE__);
    }
    RETURN_IF_FAILED(hr, L"WriteRobust", __LINE__);
    if (IsDumpEnabled())
    {
        CDumpBuffer dump(L"WriteRobust");
        dump.Append(buffer, static_cast<int>(count));
    }
    return S_OK;
}

HRESULT ReadRobust(HANDLE handle, void* buffer, DWORD count, LONGLONG position)
{
    DWORD read = 0;
    HRESULT hr = ReadAttempts(handle, buffer, count, position, ReadForm::Whole, read);
    RETURN_IF_FAILED(hr, L"ReadRobust", __LINE__);
    CDumpBuffer dump(L"ReadRobust");
    dump.Append(buffer, static_cast<int>(count));
    return S_OK;
}

HRESULT ReadSomeRobust(HANDLE handle, void* buffer, DWORD capacity, DWORD& read, bool waitingOnly)
{
    HRESULT hr =
        ReadAttempts(handle, buffer, capacity, kNoPosition, waitingOnly ? ReadForm::Waiting : ReadForm::Some, read);
    if (FAILED(hr))
        return hr; // each failure has its line there
    if (read > 0 && IsDumpEnabled())
    {
        CDumpBuffer dump(L"ReadRobust");
        dump.Append(buffer, static_cast<int>(read));
    }
    return S_OK;
}

HRESULT ReadRobust(HANDLE handle, void* buffer, DWORD count)
{
    DWORD read = 0;
    return ReadAttempts(handle, buffer, count, kNoPosition, ReadForm::Whole, read); // each failure has its line there
}

HRESULT OpenXmlReader(IStream* stream, IXmlReader** reader)
{
    if (!reader)
        return E_POINTER;
    *reader = nullptr;
    if (!stream)
        return LogError(E_POINTER, L"OpenXmlReader", __LINE__);
    HRESULT hr = RefuseTextWithoutDocument(stream);
    RETURN_IF_FAILED(hr, L"OpenXmlReader", __LINE__);
    ComPtr<IXmlReader> created;
    hr = CreateXmlReader(__uuidof(IXmlReader), reinterpret_cast<void**>(created.GetAddressOf()), nullptr);
    RETURN_IF_FAILED(hr, L"OpenXmlReader", __LINE__);
    hr = created->SetInput(stream);
    RETURN_IF_FAILED(hr, L"OpenXmlReader", __LINE__);
    *reader = created.Detach();
    return S_OK;
}

HRESULT OpenXmlReader(const wchar_t* path, IXmlReader** reader)
{
    ComPtr<IStream> stream;
    HRESULT hr = SHCreateStreamOnFileW(path, STGM_READ | STGM_SHARE_DENY_WRITE, &stream);
    RETURN_IF_FAILED(hr, L"OpenXmlReader", __LINE__);
    return OpenXmlReader(stream.Get(), reader);
}

HRESULT OpenXmlReader(const char* text, IXmlReader** reader)
{
    const size_t length = text ? strlen(text) : 0;
    ComPtr<IStream> stream;
    *stream.GetAddressOf() = SHCreateMemStream(reinterpret_cast<const BYTE*>(text), static_cast<UINT>(length));
    if (!stream)
        return LogError(E_FAIL, L"OpenXmlReader", __LINE__);
    return OpenXmlReader(stream.Get(), reader);
}

void ReportStatus(IQStatusReport* sink, const wchar_t* format, ...)
{
    if (!sink)
        return;
    va_list args;
    va_start(args, format);
    std::wstring text = FormatStringV(format, args);
    va_end(args);
    const CBstr status(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!status)
        throw CHResultException(E_OUTOFMEMORY);
    sink->NewStatus(0, nullptr, status.Get());
}
