#include "engine/storage/SerialDevice.h"

#include <wrl/client.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "engine/EngineIo.h"
#include "engine/XmlElements.h"
#include "engine/images/AttrExpression.h"
#include "engine/images/ImageCache.h"
#include "engine/images/ProvisionFile.h"
#include "engine/protocols/Hdlc.h"
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
const wchar_t kSetBootableCommand[] = L"<?xml version=\"1.0\" ?><data><setbootablestoragedrive value=\"1\" /></data>";
const wchar_t kPowerCommand[] = L"<?xml version=\"1.0\" ?><data><power value=\"reset_to_edl\"/></data>";

const HRESULT kAttemptRetry = static_cast<HRESULT>(0x800704D5);
const HRESULT kAttemptRestart = static_cast<HRESULT>(0x800705BB);

constexpr DWORD kResponseBufferSize = 4096;
// A programmer that keeps asking to retry gets this many resends.
constexpr int kMaxResends = 10;

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

// Waits for the first byte to come, at most waitMs: S_OK when one came (it is
// in `first`), S_FALSE when none did. The port returns at once again after.
HRESULT AwaitByte(HANDLE port, DWORD waitMs, char& first)
{
    HRESULT hr = SetReadWait(port, waitMs);
    DWORD read = 0;
    if (SUCCEEDED(hr))
        hr = ReadSomeRobust(port, &first, 1, read);
    const HRESULT restored = SetReadWait(port, 0);
    if (FAILED(hr))
        return hr;
    return FAILED(restored) ? restored : read == 1 ? S_OK : S_FALSE;
}

// Text put into a command's attribute value, with the characters that would
// end the value or begin markup written as references.
std::wstring Escaped(const wchar_t* text)
{
    std::wstring escaped;
    for (; text && *text; ++text)
    {
        switch (*text)
        {
        case L'&':
            escaped += L"&amp;";
            break;
        case L'<':
            escaped += L"&lt;";
            break;
        case L'>':
            escaped += L"&gt;";
            break;
        case L'"':
            escaped += L"&quot;";
            break;
        case L'\'':
            escaped += L"&apos;";
            break;
        default:
            escaped += *text;
            break;
        }
    }
    return escaped;
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
    // What came while no command waited for it answers none of those to come.
    HRESULT hr = GetResponse(0);
    RETURN_IF_FAILED(hr, L"CSerialDevice::SendCommand", __LINE__);
    ReportStatus(m_sink.Get(), L"cmd %s", text.c_str());
    std::string bytes;
    hr = ToNarrowExact(text, bytes);
    RETURN_IF_FAILED(hr, L"CSerialDevice::SendCommand", __LINE__);
    hr = WriteRobust(m_port.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), kNoPosition);
    // A command cut short may yet be answered, or take what follows.
    if (FAILED(hr))
        m_outOfStep = true;
    RETURN_IF_FAILED(hr, L"CSerialDevice::SendCommand", __LINE__);
    ++m_awaited;
    return LogError(GetResponse(responseFlag), L"CSerialDevice::SendCommand", __LINE__);
}

HRESULT CSerialDevice::GetResponse(int responseFlag)
{
    if (m_outOfStep)
        return LogError(kOutOfStepResult, L"CSerialDevice::GetResponse", __LINE__);
    char buffer[kResponseBufferSize];
    DWORD read = 0;
    HRESULT hr = ReadSomeRobust(m_port.Get(), buffer, sizeof(buffer), read);
    RETURN_IF_FAILED(hr, L"CSerialDevice::GetResponse", __LINE__);
    m_answers.Append(buffer, read);

    bool acknowledged = false;
    HRESULT status = S_OK;
    std::string document;
    while ((hr = m_answers.Next(document)) == S_OK)
    {
        hr = ReadAnswer(document, acknowledged, status);
        // A document that cannot be read may have held an answer.
        if (SUCCEEDED(hr) && FAILED(status))
            hr = status;
        if (FAILED(hr) && hr != kAttemptRetry && hr != kAttemptRestart)
            m_outOfStep = true;
        if (FAILED(hr))
            return LogError(hr, L"CSerialDevice::GetResponse", __LINE__);
    }
    if (FAILED(hr))
        m_outOfStep = true;
    RETURN_IF_FAILED(hr, L"CSerialDevice::GetResponse", __LINE__);
    if (m_outOfStep)
        return LogError(kOutOfStepResult, L"CSerialDevice::GetResponse", __LINE__);
    if (responseFlag && !acknowledged)
        return LogError(E_UNEXPECTED, L"CSerialDevice::GetResponse", __LINE__);
    return S_OK;
}

HRESULT CSerialDevice::ReadAnswer(const std::string& document, bool& acknowledged, HRESULT& status)
{
    ComPtr<IXmlReader> reader;
    status = OpenXmlReader(document.c_str(), &reader);
    if (status == static_cast<HRESULT>(MX_E_INPUTEND))
    {
        status = S_OK;
        return S_OK; // no document in it: a declaration alone holds no answer
    }
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
        // after it decides the command. A final answer that no command
        // waits for puts the device out of step.
        if (!rawMode && m_awaited == 0)
        {
            m_outOfStep = true;
        }
        else if (!rawMode)
        {
            --m_awaited;
            if (StrCmpIW(value.c_str(), L"ACK") == 0)
                acknowledged = true;
            else
                m_refused = true;
        }
        if (FAILED(hr))
            return hr;
    }
    if (status == S_FALSE)
        status = S_OK;
    return S_OK;
}

HRESULT CSerialDevice::WaitForAnswers()
{
    const ULONGLONG deadline = GetTickCount64() + PhoneTimeMs(kAnswerWaitMs);
    HRESULT hr = S_OK;
    while (m_awaited > 0 && SUCCEEDED(hr))
    {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        // Sleep in a read of one byte until the answer starts to come, then
        // take what has come with it.
        char first = 0;
        hr = AwaitByte(m_port.Get(), static_cast<DWORD>(deadline - now), first);
        if (hr == S_OK)
        {
            m_answers.Append(&first, 1);
            hr = GetResponse(0);
        }
    }
    const bool refused = m_refused;
    m_refused = false;
    RETURN_IF_FAILED(hr, L"CSerialDevice::WaitForAnswers", __LINE__);
    if (m_awaited > 0)
    {
        // No final answer in time: the command failed, and an answer that
        // comes later could be taken for another command's.
        m_outOfStep = true;
        hr = m_answers.Holding() ? static_cast<HRESULT>(MX_E_INPUTEND) : HResultFromWin32(ERROR_TIMEOUT);
        m_answers.Clear();
        return LogError(hr, L"CSerialDevice::WaitForAnswers", __LINE__);
    }
    if (refused)
        return LogError(E_UNEXPECTED, L"CSerialDevice::WaitForAnswers", __LINE__);
    return S_OK;
}

HRESULT CSerialDevice::DropUntilQuiet()
{
    const ULONGLONG limit = GetTickCount64() + PhoneTimeMs(kQuietWaitLimitMs);
    for (;;)
    {
        const ULONGLONG now = GetTickCount64();
        if (now >= limit)
            return LogError(HResultFromWin32(ERROR_TIMEOUT), L"CSerialDevice::Reset", __LINE__);
        const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(PhoneTimeMs(kQuietPortMs), limit - now));
        char first = 0;
        HRESULT hr = AwaitByte(m_port.Get(), wait, first);
        RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
        if (hr == S_FALSE)
            return S_OK;
        char rest[kResponseBufferSize];
        DWORD read = 0;
        hr = ReadSomeRobust(m_port.Get(), rest, sizeof(rest), read);
        RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
    }
}

HRESULT CSerialDevice::Reset()
{
    ReportStatus(m_sink.Get(), L"Open serial port \"%s\"", m_portName.c_str());
    // An open port is reset after an exchange that failed: answers to its
    // commands may still be on their way, and must not answer the next ones.
    if (m_port)
    {
        HRESULT hr = DropUntilQuiet();
        RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
    }
    ClosePort();
    m_answers.Clear();
    m_awaited = 0;
    m_refused = false;
    m_outOfStep = false;
    HRESULT hr = OpenSerialPort(m_portName.c_str(), 0, m_port.Receive());
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
    // What an earlier session left in the port answers none of ours.
    if (!PurgeComm(m_port.Get(), PURGE_RXABORT | PURGE_RXCLEAR))
        return LogError(LastErrorHResult(), L"CSerialDevice::Reset", __LINE__);

    ReportStatus(m_sink.Get(), L"Send nop command");
    hr = SendCommand(0, kNopCommand);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);

    ReportStatus(m_sink.Get(), L"Send configure command");
    hr = SendCommand(0, kConfigureCommand, m_ufs ? 1048576 : 131072, m_ufs ? L"ufs" : L"eMMC", m_provision ? 1 : 0);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);

    for (int attempt = 0; attempt < 10 && m_maxSectors == 0; ++attempt)
    {
        Sleep(100);
        hr = GetResponse(0);
        RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
    }
    // The configure answer never came, or never came whole.
    if (m_maxSectors == 0)
        return LogError(m_answers.Holding() ? static_cast<HRESULT>(MX_E_INPUTEND) : E_UNEXPECTED,
                        L"CSerialDevice::Reset", __LINE__);
    ReportStatus(m_sink.Get(), L"Max buffer sector is %d", static_cast<int>(m_maxSectors));
    return hr;
}

HRESULT CSerialDevice::WriteFile(const wchar_t* startSector, const wchar_t* numPartitionSectors, const wchar_t* path,
                                 const wchar_t* fileSectorOffset, const wchar_t* byteOffset, const wchar_t* sectorSize,
                                 const wchar_t* physicalPartition)
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
        hr = SendCommand(0, kProgramCommand, size, sectors, Escaped(startSector).c_str(), partition);
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
        // The final answer to a program comes once all of its data is in:
        // one that came before answers something else, or the programmer
        // will not take the rest as data.
        if (m_awaited == 0)
        {
            m_outOfStep = true;
            return m_refused ? E_UNEXPECTED : kOutOfStepResult;
        }
        const ULONGLONG count = std::min(pieceLimit, end - piece);
        const DWORD bytes = static_cast<DWORD>(count * sectorSize);
        ReportStatus(m_sink.Get(), L"WriteFile position %#016llx, size %lu", piece * sectorSize, bytes);
        // The last sector of a file whose size is no multiple of the sector
        // size is completed with zero bytes, never read past the mapping.
        const ULONGLONG position = piece * sectorSize + byteOffset;
        const DWORD fromFile =
            position >= fileSize ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(bytes, fileSize - position));
        HRESULT hr = S_OK;
        if (fromFile > 0)
            hr = WriteRobust(m_port.Get(), view + position, fromFile, kNoPosition);
        if (SUCCEEDED(hr) && fromFile < bytes)
        {
            zeros.resize(bytes - fromFile);
            hr = WriteRobust(m_port.Get(), zeros.data(), bytes - fromFile, kNoPosition);
        }
        // Data cut short leaves the programmer waiting for the rest.
        if (FAILED(hr))
            m_outOfStep = true;
        // What the programmer has sent meanwhile, short of the last piece.
        if (SUCCEEDED(hr) && end - piece > pieceLimit)
            hr = GetResponse(0);
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
        hr = SendCommand(0, kPatchCommand, Escaped(sectorSize).c_str(), Escaped(byteOffset).c_str(),
                         Escaped(physicalPartition).c_str(), Escaped(sizeInBytes).c_str(),
                         Escaped(startSector).c_str(), Escaped(value).c_str());
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
    // The whole file is read and checked before its first command goes out.
    std::vector<std::wstring> elements;
    HRESULT hr = ReadProvisionFile(provisionPath, elements);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Provision", __LINE__);

    for (const std::wstring& element : elements)
    {
        ReportStatus(m_sink.Get(), L"Provision cmd: %s", element.c_str());
        hr = SendText(1, L"<?xml version=\"1.0\" ?>\n<data>\n" + element + L"\n</data>");
        for (int attempt = 0; FAILED(hr) && attempt < 10; ++attempt)
        {
            Sleep(200);
            hr = GetResponse(1);
        }
        RETURN_IF_FAILED(hr, L"CSerialDevice::Provision", __LINE__);
    }

    ReportStatus(m_sink.Get(), L"Provision done, reboot now");
    hr = SendCommand(0, kPowerCommand);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Provision", __LINE__);
    ClosePort();
    m_provision = FALSE;
    return hr;
}
