#include "engine/protocols/StreamingDownload.h"

#include "engine/ByteOrder.h"
#include "engine/images/ImageCache.h"
#include "engine/protocols/Hdlc.h"
#include "engine/protocols/LoaderSupport.h"
#include "services/Log.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

using namespace Streaming;

namespace
{
const wchar_t kName[] = L"DownloadMiniKernel";
constexpr DWORD kReadTimeoutMs = 100;
constexpr ULONG kMaxBlockSize = 0x7FFFFFFF;

HRESULT WrongAnswer(int line)
{
    return LogError(HResultFromWin32(ERROR_INVALID_STATE), kName, line);
}

// Sends a short command and receives its answer of exactly answerLength bytes.
HRESULT Exchange(HANDLE port, const BYTE* command, DWORD length, BYTE* answer, DWORD answerLength)
{
    HRESULT hr = TransmitPacket(port, command, length);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    hr = ReceivePacket(port, answer, answerLength, true);
    return FAILED(hr) ? LogError(hr, kName, __LINE__) : S_OK;
}

// Says hello until the programmer answers; gives its maximum block size.
HRESULT SayHello(HANDLE port, IQStatusReport* sink, ULONG& blockSize)
{
    BYTE hello[kHelloLength] = {kHello};
    memcpy(&hello[1], kHostMagic, kMagicLength);
    hello[33] = kProtocolVersion;
    hello[34] = kCompatibleVersion;
    hello[35] = kFeatureBits;
    std::vector<BYTE> reply(kHelloReplyCapacity);
    for (int attempt = 0;; ++attempt)
    {
        ReportStatus(sink, L"Send hello command %d", attempt);
        // The reply's length is not known: what a short reply leaves unsaid
        // reads as zeros.
        std::fill(reply.begin(), reply.end(), 0);
        HRESULT hr = TransmitPacket(port, hello, sizeof hello);
        if (SUCCEEDED(hr))
            hr = ReceivePacket(port, reply.data(), kHelloReplyCapacity, false);
        if (SUCCEEDED(hr) && reply[0] == kHelloReply)
        {
            if (memcmp(&reply[1], kTargetMagic, kMagicLength) != 0)
                return LogError(HResultFromWin32(ERROR_REVISION_MISMATCH), kName, __LINE__);
            memcpy(&blockSize, &reply[kBlockSizeOffset], sizeof blockSize);
            blockSize = ToLittleEndian32(blockSize);
            return S_OK;
        }
        if (attempt + 1 == kHelloAttempts)
            return LogError(HResultFromWin32(ERROR_NOT_READY), kName, __LINE__);
    }
}

// Reads the answer to the block sent at address.
HRESULT ReceiveBlockWritten(HANDLE port, ULONG address, bool compareAddress)
{
    BYTE answer[kBlockWrittenLength];
    HRESULT hr = ReceivePacket(port, answer, sizeof answer, true);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    ULONG confirmed;
    memcpy(&confirmed, &answer[1], sizeof confirmed);
    if (answer[0] != kBlockWritten || (compareAddress && ToLittleEndian32(confirmed) != address))
        return WrongAnswer(__LINE__);
    return S_OK;
}

// Streams the image in blocks, each answered before the next is sent.
HRESULT StreamImage(HANDLE port, const BYTE* image, ULONG size, ULONG blockSize, IQStatusReport* sink)
{
    std::vector<BYTE> packet(kStreamWriteHeaderLength + std::min(blockSize, size));
    const ULONGLONG statusStep = static_cast<ULONGLONG>(kBlocksPerStatus) * blockSize;
    bool outstanding = false;
    for (ULONGLONG offset = 0; offset < size; offset += blockSize)
    {
        const ULONG address = static_cast<ULONG>(offset);
        const DWORD chunk = static_cast<DWORD>(std::min<ULONGLONG>(blockSize, size - offset));
        if (offset % statusStep == 0)
            ReportStatus(sink, L"StreamWrite address %#08x, size %u", address,
                         static_cast<DWORD>(std::min<ULONGLONG>(statusStep, size - offset)));
        if (outstanding)
        {
            HRESULT hr = ReceiveBlockWritten(port, address - blockSize, true);
            if (FAILED(hr))
                return hr;
            outstanding = false;
        }
        packet[0] = kStreamWrite;
        const ULONG field = ToLittleEndian32(address);
        memcpy(&packet[1], &field, sizeof field);
        memcpy(&packet[kStreamWriteHeaderLength], image + offset, chunk);
        HRESULT hr = TransmitPacket(port, packet.data(), kStreamWriteHeaderLength + chunk);
        RETURN_IF_FAILED(hr, kName, __LINE__);
        outstanding = true;
    }
    return outstanding ? ReceiveBlockWritten(port, 0, false) : S_OK;
}

HRESULT LoadMiniKernel(const wchar_t* portName, const wchar_t* path, IQStatusReport* sink)
{
    ReportStatus(sink, L"Open boot file \"%s\"", path);
    std::shared_ptr<CSharedFileMapping> image;
    HRESULT hr = OpenSharedFileMapping(path, image);
    RETURN_IF_FAILED(hr, kName, __LINE__);
    // Block addresses are 32-bit offsets into the image.
    if (image->Size() > MAXDWORD)
        return LogError(HResultFromWin32(ERROR_FILE_TOO_LARGE), kName, __LINE__);

    ReportStatus(sink, L"Open serial port \"%s\"", portName);
    CFileHandle port;
    hr = OpenSerialPort(portName, kReadTimeoutMs, port.Receive());
    RETURN_IF_FAILED(hr, kName, __LINE__);

    ULONG blockSize = 0;
    hr = SayHello(port.Get(), sink, blockSize);
    if (FAILED(hr))
        return hr;
    // Blocks of no bytes, or of more than a signed 32-bit count, never end.
    if (blockSize == 0 || blockSize > kMaxBlockSize)
        return WrongAnswer(__LINE__);

    ReportStatus(sink, L"Enable trusted security mode");
    const BYTE security[] = {kSecurityMode, kTrustedMode};
    BYTE answer[2];
    hr = Exchange(port.Get(), security, sizeof security, answer, 1);
    if (FAILED(hr))
        return hr;
    if (answer[0] != kSecurityModeReply)
        return WrongAnswer(__LINE__);

    ReportStatus(sink, L"Open EMMC card USER partition");
    const BYTE open[] = {kOpenMultiImage, kEmmcUserPartition};
    hr = Exchange(port.Get(), open, sizeof open, answer, 2);
    if (FAILED(hr))
        return hr;
    if (answer[0] != kOpenMultiImageReply)
        return WrongAnswer(__LINE__);
    if (answer[1] != 0)
        return LogError(HResultFromWin32(ERROR_OPEN_FAILED), kName, __LINE__);

    hr = StreamImage(port.Get(), image->View(), static_cast<ULONG>(image->Size()), blockSize, sink);
    if (FAILED(hr))
        return hr;

    ReportStatus(sink, L"Close EMMC card USER partition");
    const BYTE close = kClose;
    hr = Exchange(port.Get(), &close, 1, answer, 1);
    if (FAILED(hr))
        return hr;
    if (answer[0] != kCloseReply)
        return WrongAnswer(__LINE__);

    ReportStatus(sink, L"Reboot to mini kernel");
    const BYTE reset = kReset;
    hr = Exchange(port.Get(), &reset, 1, answer, 1);
    if (FAILED(hr))
        return hr;
    return answer[0] == kResetReply ? S_OK : WrongAnswer(__LINE__);
}
} // namespace

HRESULT DownloadMiniKernel(const wchar_t* port, const wchar_t* bootImage, IQStatusReport* sink)
{
    return RunLoad(kName, [&] { return LoadMiniKernel(port, bootImage, sink); });
}
