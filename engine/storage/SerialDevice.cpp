#include "engine/storage/SerialDevice.h"

#include <wrl/client.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "engine/EngineIo.h"
#include "engine/XmlElements.h"
#include "engine/images/AttrExpression.h"
#include "engine/images/ImageCache.h"
#include "engine/protocols/Hdlc.h"
#include "services/Dump.h"
#include "services/Log.h"
#include "services/Text.h"

using Microsoft::WRL::ComPtr;

namespace
{

const wchar_t kNopCommand[] = L"<?xml version=\"1.0\" ?><data><nop value=\"ping\"/></data>";
const wchar_t kConfigureCommand[] =
    L"<?xml version=\"1.0\" ?><data><configure ZlpAwareHost=\"1\" MaxPayloadSizeToTargetInBytes=\"%d\" "
    L"MemoryName=\"%s\" SkipStorageInit=\"%d\"/></data>";
const wchar_t kProgramCommand[] =
    L"<?xml version=\"1.0\" ?><data><program SECTOR_SIZE_IN_BYTES=\"%llu\" num_partition_sectors=\"%llu\" "
    L"start_sector=\"%s\" physical_partition_number=\"%llu\"/></data>";
const wchar_t kPatchCommand[] =
    L"<?xml version=\"1.0\" ?><data><patch SECTOR_SIZE_IN_BYTES=\"%s\" byte_offset=\"%s\" filename=\"DISK\" "
    L"physical_partition_number=\"%s\" size_in_bytes=\"%s\" start_sector=\"%s\" value=\"%s\" "
    L"what=\"Update\"/></data>";
const wchar_t kSetBootableCommand[] =
    L"<?xml version=\"1.0\" ?><data><setbootablestoragedrive value=\"1\" /></data>";
const wchar_t kPowerCommand[] = L"<?xml version=\"1.0\" ?><data><power value=\"reset_to_edl\"/></data>";

const HRESULT kAttemptRetry = static_cast<HRESULT>(0x800704D5);
const HRESULT kAttemptRestart = static_cast<HRESULT>(0x800705BB);

constexpr DWORD kResponseBufferSize = 4096;
// The most bytes of one answer held while its rest is on its way: far more
// than any programmer's answer or log line.
constexpr size_t kMaxPendingAnswer = 64 * 1024;
// A programmer that keeps asking to retry gets this many resends.
constexpr int kMaxResends = 10;
// How long a write or patch waits for the programmer's final answer.
constexpr DWORD kAnswerWaitMs = 5000;

// Reads that wait up to waitMs for all the bytes asked for, or (0) return at
// once with what has come. Under Wine, MAXDWORD/MAXDWORD/N (return with the
// first bytes, on Windows) always waits the whole N, and an interval time-out
// returns late on a busy machine; a read of one byte with a total time-out
// returns as soon as that byte is in, and the thread sleeps meanwhile.
HRESULT SetReadWait(HANDLE port, DWORD waitMs)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = waitMs ? 0 : MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = waitMs;
    return SetCommTimeouts(port, &timeouts) ? S_OK : LastErrorHResult();
}

bool IsBlank(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

} // namespace

HRESULT CSerialDevice::CreateInstance(const wchar_t* portName, IQStatusReport* sink, IQDevice** device, BOOL ufs,
                                      BOOL provision)
{
    HRESULT hr = MakeComObject<CSerialDevice>(device, [&](CSerialDevice& object) {
        object.m_portName = portName ? portName : L"";
        object.m_sink = sink;
        object.m_ufs = ufs;
        object.m_provision = provision;
        return object.Reset();
    });
    return LogError(hr, L"CSerialDevice::CreateInstance", __LINE__);
}

void CSerialDevice::ClosePort()
{
    m_port.Reset();
}

HRESULT CSerialDevice::SendCommand(int responseFlag, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = FormatStringV(format, args);
    va_end(args);
    return SendText(responseFlag, text);
}

HRESULT CSerialDevice::SendText(int responseFlag, const std::wstring& text)
{
    ReportStatus(m_sink.Get(), L"cmd %s", text.c_str());
    std::string bytes = ToNarrow(text);
    HRESULT hr = WriteRobust(m_port.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), kNoPosition);
    RETURN_IF_FAILED(hr, L"CSerialDevice::SendCommand", __LINE__);
    ++m_unanswered;
    return LogError(GetResponse(responseFlag), L"CSerialDevice::SendCommand", __LINE__);
}

HRESULT CSerialDevice::GetResponse(int responseFlag)
{
    char buffer[kResponseBufferSize];
    DWORD read = 0;
    HRESULT hr = S_OK;
    for (int attempt = 0; attempt < kRobustAttempts; ++attempt)
    {
        if (attempt > 0)
            Sleep(kRobustPauseMs);
        read = 0;
        hr = ::ReadFile(m_port.Get(), buffer, sizeof(buffer), &read, nullptr) ? S_OK : LastErrorHResult();
        if (SUCCEEDED(hr))
            break;
        LogError(hr, L"ReadRobust", __LINE__);
    }
    RETURN_IF_FAILED(hr, L"CSerialDevice::GetResponse", __LINE__);
    {
        CDumpBuffer dump(L"ReadRobust");
        dump.Append(buffer, static_cast<int>(read));
    }
    m_pending.append(buffer, read);

    // A document runs from its start to the next "<?"; the last one ends
    // with its root element, and until that has come it stays pending.
    bool acknowledged = false;
    HRESULT status = S_OK;
    size_t begin = 0;
    while (begin < m_pending.size())
    {
        size_t next = m_pending.find("<?", begin + 1);
        if (next == std::string::npos)
        {
            const size_t end = XmlDocumentEnd(m_pending.data() + begin, m_pending.size() - begin);
            if (end == 0)
                break;
            next = begin + end;
        }
        const std::string document = m_pending.substr(begin, next - begin);
        begin = next;
        if (IsBlank(document))
            continue;
        hr = ReadAnswer(document, acknowledged, status);
        if (FAILED(hr))
        {
            m_pending.erase(0, begin);
            return LogError(hr, L"CSerialDevice::GetResponse", __LINE__);
        }
    }
    m_pending.erase(0, begin);
    if (m_pending.size() > kMaxPendingAnswer)
    {
        m_pending.clear();
        return LogError(HResultFromWin32(ERROR_INSUFFICIENT_BUFFER), L"CSerialDevice::GetResponse", __LINE__);
    }
    if (responseFlag && !acknowledged)
        return LogError(E_UNEXPECTED, L"CSerialDevice::GetResponse", __LINE__);
    return LogError(status, L"CSerialDevice::GetResponse", __LINE__);
}

HRESULT CSerialDevice::ReadAnswer(const std::string& document, bool& acknowledged, HRESULT& status)
{
    ComPtr<IXmlReader> reader;
    status = OpenXmlReader(document.c_str(), &reader);
    if (status == static_cast<HRESULT>(MX_E_INPUTEND))
        return S_OK; // no document in it: like one that does not parse
    if (FAILED(status))
        return status;
    while ((status = MoveToNextElement(reader.Get(), L"response")) == S_OK)
    {
        std::wstring value;
        bool rawMode = false;
        HRESULT hr = VisitAttributes(reader.Get(), [&](const wchar_t* name, const wchar_t* text) {
            if (StrCmpIW(name, L"value") == 0)
            {
                value = text;
                if (StrCmpIW(text, L"ACK") == 0)
                    acknowledged = true;
            }
            else if (StrCmpIW(name, L"rawmode") == 0)
            {
                rawMode = StrCmpIW(text, L"true") == 0;
            }
            else if (StrCmpIW(name, L"MaxPayloadSizeToTargetInBytes") == 0)
            {
                // A payload under one sector would stall every write:
                // such a report is ignored and the known size kept.
                int payload = StrToIntW(text);
                if (payload >= static_cast<int>(DeviceSectorSize()))
                    m_maxSectors = static_cast<DWORD>(payload) / DeviceSectorSize();
            }
            else if (StrCmpIW(name, L"AttemptRetry") == 0)
            {
                return kAttemptRetry;
            }
            else if (StrCmpIW(name, L"AttemptRestart") == 0)
            {
                return kAttemptRestart;
            }
            return S_OK;
        });
        // An answer in raw mode only says that the data may come; the one
        // after it decides the command.
        if (!rawMode && m_unanswered > 0 && --m_unanswered == 0)
            m_lastValue = value;
        if (FAILED(hr))
            return hr;
    }
    if (status == S_FALSE)
        status = S_OK;
    return S_OK;
}

bool CSerialDevice::AnswerIncomplete() const
{
    return !IsBlank(m_pending);
}

HRESULT CSerialDevice::WaitForAnswers()
{
    const ULONGLONG deadline = GetTickCount64() + kAnswerWaitMs;
    HRESULT hr = S_OK;
    // Whether the port may still wait in its reads; each change of the
    // time-outs is a round trip to the system, so none is made twice.
    bool waiting = false;
    while (m_unanswered > 0 && SUCCEEDED(hr))
    {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        // Sleep in a read of one byte until the answer starts to come,
        // then take what has come with it.
        waiting = true;
        hr = SetReadWait(m_port.Get(), static_cast<DWORD>(deadline - now));
        char first = 0;
        DWORD read = 0;
        if (SUCCEEDED(hr))
            hr = ::ReadFile(m_port.Get(), &first, 1, &read, nullptr) ? S_OK : LastErrorHResult();
        if (SUCCEEDED(hr) && read == 1)
        {
            {
                CDumpBuffer dump(L"ReadRobust");
                dump.Append(&first, 1);
            }
            m_pending.push_back(first);
            hr = SetReadWait(m_port.Get(), 0);
            waiting = FAILED(hr);
            if (SUCCEEDED(hr))
                hr = GetResponse(0);
        }
    }
    const HRESULT restored = waiting ? SetReadWait(m_port.Get(), 0) : S_OK;
    RETURN_IF_FAILED(hr, L"CSerialDevice::WaitForAnswers", __LINE__);
    RETURN_IF_FAILED(restored, L"CSerialDevice::WaitForAnswers", __LINE__);
    if (m_unanswered > 0)
    {
        // No final answer in time: the command failed. Answers that come
        // later are no longer counted on, and a half answer is dropped.
        m_unanswered = 0;
        hr = AnswerIncomplete() ? static_cast<HRESULT>(MX_E_INPUTEND) : HResultFromWin32(ERROR_TIMEOUT);
        m_pending.clear();
        return LogError(hr, L"CSerialDevice::WaitForAnswers", __LINE__);
    }
    if (StrCmpIW(m_lastValue.c_str(), L"ACK") != 0)
        return LogError(E_UNEXPECTED, L"CSerialDevice::WaitForAnswers", __LINE__);
    return S_OK;
}

HRESULT CSerialDevice::Reset()
{
    ReportStatus(m_sink.Get(), L"Open serial port \"%s\"", m_portName.c_str());
    ClosePort();
    m_unanswered = 0;
    m_pending.clear();
    HRESULT hr = OpenSerialPort(m_portName.c_str(), 0, m_port.Receive());
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);

    ReportStatus(m_sink.Get(), L"Send nop command");
    hr = SendCommand(0, kNopCommand);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);

    ReportStatus(m_sink.Get(), L"Send configure command");
    hr = SendCommand(0, kConfigureCommand, m_ufs ? 1048576 : 131072, m_ufs ? L"ufs" : L"eMMC",
                     m_provision ? 1 : 0);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);

    for (int attempt = 0; attempt < 10 && m_maxSectors == 0; ++attempt)
    {
        Sleep(100);
        hr = GetResponse(0);
        RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
    }
    // The configure answer never came, or never came whole.
    if (m_maxSectors == 0)
        return LogError(AnswerIncomplete() ? static_cast<HRESULT>(MX_E_INPUTEND) : E_UNEXPECTED,
                        L"CSerialDevice::Reset", __LINE__);
    ReportStatus(m_sink.Get(), L"Max buffer sector is %d", static_cast<int>(m_maxSectors));
    return hr;
}

HRESULT CSerialDevice::WriteFile(const wchar_t* startSector, const wchar_t* numPartitionSectors,
                                 const wchar_t* path, const wchar_t* fileSectorOffset, const wchar_t* byteOffset,
                                 const wchar_t* sectorSize, const wchar_t* physicalPartition)
{
    ReportStatus(m_sink.Get(), L"Writing file \"%s\" to partition at %s", path, startSector);

    ULONGLONG limit = 0, firstSector = 0, offset = 0, size = 0, partition = 0;
    HRESULT hr = ParseXmlAttrValues({{numPartitionSectors, &limit},
                                     {fileSectorOffset, &firstSector},
                                     {byteOffset, &offset},
                                     {sectorSize, &size},
                                     {physicalPartition, &partition}});
    RETURN_IF_FAILED(hr, L"CSerialDevice::WriteFile", __LINE__);
    if (size == 0 || size > 0xFFFFFFFFull)
        return LogError(kBadFormatResult, L"CSerialDevice::WriteFile", __LINE__);

    std::shared_ptr<CSharedFileMapping> mapping;
    hr = OpenSharedFileMapping(path, mapping);
    RETURN_IF_FAILED(hr, L"CSerialDevice::WriteFile", __LINE__);

    const ULONGLONG fileSize = mapping->Size();
    const ULONGLONG fileSectors = fileSize / size + (fileSize % size ? 1 : 0);
    if (firstSector > fileSectors)
        return LogError(kEndOfFileResult, L"CSerialDevice::WriteFile", __LINE__);
    ULONGLONG sectors = fileSectors - firstSector;
    if (limit != 0 && limit < sectors)
        sectors = limit;
    // An empty file, or one read from its end: nothing to program.
    if (sectors == 0)
        return S_OK;
    // Data that would begin past the end of the file is refused; data that
    // only runs past it is completed with zeros.
    if (offset >= fileSize || firstSector * size >= fileSize - offset)
        return LogError(kEndOfFileResult, L"CSerialDevice::WriteFile", __LINE__);

    for (int resend = 0;; ++resend)
    {
        hr = SendCommand(0, kProgramCommand, size, sectors, startSector, partition);
        RETURN_IF_FAILED(hr, L"CSerialDevice::WriteFile", __LINE__);
        hr = SendRange(mapping->View(), fileSize, firstSector, sectors, size, offset);
        RETURN_IF_FAILED(hr, L"CSerialDevice::WriteFile", __LINE__);
        hr = WaitForAnswers();
        if (hr != kAttemptRetry || resend == kMaxResends)
            return LogError(hr, L"CSerialDevice::WriteFile", __LINE__);
    }
}

HRESULT CSerialDevice::SendRange(const BYTE* view, ULONGLONG fileSize, ULONGLONG firstSector, ULONGLONG sectors,
                                 ULONGLONG sectorSize, ULONGLONG byteOffset)
{
    // Pieces of the programmer's payload, each one write of at most 4 GiB.
    ULONGLONG pieceLimit = std::min<ULONGLONG>(m_maxSectors, 0xFFFFFFFFull / sectorSize);
    if (pieceLimit == 0)
        return kBadFormatResult;
    std::vector<BYTE> zeros;
    const ULONGLONG end = firstSector + sectors;
    for (ULONGLONG piece = firstSector; piece < end; piece += pieceLimit)
    {
        const ULONGLONG count = std::min(pieceLimit, end - piece);
        const DWORD bytes = static_cast<DWORD>(count * sectorSize);
        ReportStatus(m_sink.Get(), L"WriteFile position %#016llx, size %lu", piece * sectorSize, bytes);
        // The last sector of a file whose size is no multiple of the sector
        // size is completed with zero bytes, never read past the mapping.
        const ULONGLONG position = piece * sectorSize + byteOffset;
        const DWORD fromFile = position >= fileSize ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(bytes, fileSize - position));
        HRESULT hr = S_OK;
        if (fromFile > 0)
            hr = WriteRobust(m_port.Get(), view + position, fromFile, kNoPosition);
        if (SUCCEEDED(hr) && fromFile < bytes)
        {
            zeros.resize(bytes - fromFile);
            hr = WriteRobust(m_port.Get(), zeros.data(), bytes - fromFile, kNoPosition);
        }
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CSerialDevice::ApplyPatch(const wchar_t* startSector, const wchar_t* byteOffset, const wchar_t* value,
                                  const wchar_t* sizeInBytes, const wchar_t* sectorSize,
                                  const wchar_t* physicalPartition)
{
    ReportStatus(m_sink.Get(), L"ApplyPatch sector %s, offset %s, value %s, size %s", startSector, byteOffset, value,
                 sizeInBytes);
    HRESULT hr = S_OK;
    for (int resend = 0;; ++resend)
    {
        hr = SendCommand(0, kPatchCommand, sectorSize, byteOffset, physicalPartition, sizeInBytes, startSector,
                         value);
        if (SUCCEEDED(hr))
            hr = WaitForAnswers();
        if (hr != kAttemptRetry || resend == kMaxResends)
            return LogError(hr, L"CSerialDevice::ApplyPatch", __LINE__);
    }
}

HRESULT CSerialDevice::SetBootableStorageDrive()
{
    ReportStatus(m_sink.Get(), L"Set boot partition 1");
    return SendCommand(0, kSetBootableCommand);
}

HRESULT CSerialDevice::Provision(const wchar_t* provisionPath)
{
    ReportStatus(m_sink.Get(), L"Open provision file \"%s\"", provisionPath);
    ComPtr<IXmlReader> reader;
    HRESULT hr = OpenXmlReader(provisionPath, &reader);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Provision", __LINE__);

    // Reading ends at the end of the file or at the first node that cannot
    // be read (a file cut short among them); that is logged, not returned.
    while ((hr = MoveToNextElement(reader.Get(), L"ufs")) == S_OK)
    {
        std::wstring element = L"<ufs ";
        hr = VisitAttributes(reader.Get(), [&element](const wchar_t* name, const wchar_t* value) {
            if (StrCmpIW(name, L"desc") != 0)
                element.append(name).append(L"=\"").append(value).append(L"\" ");
            return S_OK;
        });
        if (FAILED(hr))
            break;
        element += L" />";
        ReportStatus(m_sink.Get(), L"Provision cmd: %s", element.c_str());
        hr = SendText(1, L"<?xml version=\"1.0\" ?>\n<data>\n" + element + L"\n</data>");
        for (int attempt = 0; FAILED(hr) && attempt < 10; ++attempt)
        {
            Sleep(200);
            hr = GetResponse(1);
        }
        RETURN_IF_FAILED(hr, L"CSerialDevice::Provision", __LINE__);
    }
    LogError(hr, L"CSerialDevice::Provision", __LINE__);

    ReportStatus(m_sink.Get(), L"Provision done, reboot now");
    hr = SendCommand(0, kPowerCommand);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Provision", __LINE__);
    ClosePort();
    m_provision = FALSE;
    return hr;
}
