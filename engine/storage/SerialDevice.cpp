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

constexpr DWORD kResponseBufferSize = 4096;
// Reads of what has come, one after another until one finds nothing: a
// port hands out what it holds in pieces. A programmer that floods the port
// is read in later rounds.
constexpr int kReadsAtOnce = 16;
// A programmer that keeps asking to retry gets this many resends.
constexpr int kMaxResends = 10;

// Waits for the first byte to come, at most waitMs: S_OK when one came (it is
// in `first`), S_FALSE when none did. A read of one byte with a total time-out
// returns as soon as that byte is in, and the thread sleeps meanwhile (under
// Wine an interval time-out returns late on a busy machine). The port returns
// at once again after.
HRESULT AwaitByte(HANDLE port, DWORD waitMs, char& first)
{
    HRESULT hr = SetPortTimeouts(port, waitMs);
    DWORD read = 0;
    if (SUCCEEDED(hr))
        hr = ReadSomeRobust(port, &first, 1, read);
    const HRESULT restored = SetPortTimeouts(port, 0);
    if (FAILED(hr))
        return hr;
    return FAILED(restored) ? restored : read == 1 ? S_OK : S_FALSE;
}

} // namespace

HRESULT CSerialDevice::CreateInstance(const wchar_t* portName, IQStatusReport* sink, IQDevice** device, BOOL ufs,
                                      BOOL provision)
{
    HRESULT hr = MakeComObject<CSerialDevice>(device, [&](CSerialDevice& object) {
        object.m_portName = portName ? portName : L"";
        object.m_sink = sink;
        object.m_ufs = ufs;
        object.m_exchange = CFirehoseExchange(ufs ? 4096 : 512);
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

HRESULT CSerialDevice::SendText(int responseFlag, const std::wstring& text, bool checked)
{
    // What came since the last read answers no command still to be sent.
    HRESULT hr = ReadArrived();
    if (SUCCEEDED(hr))
        hr = WaitForRestOfDocument();
    RETURN_IF_FAILED(hr, L"CSerialDevice::SendCommand", __LINE__);
    ReportStatus(m_sink.Get(), L"cmd %s", text.c_str());
    std::string bytes;
    hr = ToNarrowExact(text, bytes);
    RETURN_IF_FAILED(hr, L"CSerialDevice::SendCommand", __LINE__);
    CPaceFloor floor;
    hr = WriteRobust(m_port.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), kNoPosition, &floor);
    // A command cut short may yet be answered, or take what follows.
    if (FAILED(hr))
        m_exchange.LoseStep(hr);
    RETURN_IF_FAILED(hr, L"CSerialDevice::SendCommand", __LINE__);
    m_lastCommand = m_exchange.Sent(checked);
    return LogError(GetResponse(responseFlag), L"CSerialDevice::SendCommand", __LINE__);
}

HRESULT CSerialDevice::ReadArrived()
{
    // Nothing more is taken out of step: what is refused then fails with the
    // cause, the reason the user is to see.
    if (m_exchange.OutOfStep())
        return m_exchange.StepLost();
    return ReadRounds(false);
}

void CSerialDevice::HearWhileSending()
{
    const bool inStep = !m_exchange.OutOfStep();
    const HRESULT hr = ReadRounds(true);
    if (inStep && FAILED(hr))
        LogError(hr, L"CSerialDevice::GetResponse", __LINE__);
}

HRESULT CSerialDevice::ReadRounds(bool portSays)
{
    HRESULT taken = S_OK;
    DWORD read = 1;
    for (int round = 0; round < kReadsAtOnce && read > 0; ++round)
    {
        char buffer[kResponseBufferSize];
        // While data goes out, only what the port says it holds is read, at
        // the least cost. Otherwise each read goes to the port itself: asked
        // right after a full read, a port may say it holds nothing while the
        // rest is still on its way into it, and a read before a command must
        // find all that came.
        HRESULT hr = ReadSomeRobust(m_port.Get(), buffer, sizeof(buffer), read, portSays);
        // What the port held is lost with a read that failed.
        if (FAILED(hr))
            return m_exchange.LoseStep(hr);
        hr = read > 0 ? m_exchange.Take(buffer, read) : S_OK;
        if (FAILED(hr) && SUCCEEDED(taken))
        {
            taken = hr;
            if (!portSays)
                return hr;
        }
    }
    return taken;
}

HRESULT CSerialDevice::GetResponse(int responseFlag)
{
    HRESULT hr = ReadArrived();
    RETURN_IF_FAILED(hr, L"CSerialDevice::GetResponse", __LINE__);
    if (!responseFlag)
        return S_OK;
    return LogError(m_exchange.ResultOf(m_lastCommand), L"CSerialDevice::GetResponse", __LINE__);
}

HRESULT CSerialDevice::AwaitArrival(const CDeadline& deadline)
{
    char first = 0;
    HRESULT hr = AwaitByte(m_port.Get(), deadline.RemainingMs(), first);
    if (FAILED(hr))
        m_exchange.LoseStep(hr);
    if (hr != S_OK)
        return hr;
    hr = m_exchange.Take(&first, 1);
    return SUCCEEDED(hr) ? ReadArrived() : hr;
}

HRESULT CSerialDevice::WaitForRestOfDocument()
{
    // The start of a document that has come belongs to an answer or a log
    // that no command still to be sent can own: it is read whole first.
    const CAnswerWait deadline;
    while (m_exchange.Holding())
    {
        if (deadline.Passed())
            return LogError(m_exchange.LoseStep(MX_E_INPUTEND), L"CSerialDevice::SendCommand", __LINE__);
        HRESULT hr = AwaitArrival(deadline);
        RETURN_IF_FAILED(hr, L"CSerialDevice::SendCommand", __LINE__);
    }
    return S_OK;
}

HRESULT CSerialDevice::GetResponse(ULONGLONG command, const CDeadline& deadline)
{
    while (m_exchange.StateOf(command) == CommandState::Waiting && !m_exchange.OutOfStep())
    {
        // No final answer in time: the command failed, and an answer that
        // comes later could be taken for another command's.
        if (deadline.Passed())
            return LogError(m_exchange.LoseStep(m_exchange.Holding() ? static_cast<HRESULT>(MX_E_INPUTEND)
                                                                     : HResultFromWin32(ERROR_TIMEOUT)),
                            L"CSerialDevice::GetResponse", __LINE__);
        HRESULT hr = AwaitArrival(deadline);
        RETURN_IF_FAILED(hr, L"CSerialDevice::GetResponse", __LINE__);
    }
    // An answer that no command waits for came meanwhile (while the data
    // went out, say): the result may be another command's.
    if (m_exchange.OutOfStep())
        return LogError(m_exchange.StepLost(), L"CSerialDevice::GetResponse", __LINE__);
    return LogError(m_exchange.ResultOf(command), L"CSerialDevice::GetResponse", __LINE__);
}

void CSerialDevice::DropAnswersStillComing()
{
    CFirehoseAnswerReader documents;
    CDeadline quiet(PhoneTimeMs(kQuietPortMs));
    const CDeadline limit(PhoneTimeMs(kQuietWaitLimitMs));
    for (;;)
    {
        if (quiet.Passed())
            return;
        if (limit.Passed())
        {
            LogError(HResultFromWin32(ERROR_TIMEOUT), L"CSerialDevice::Reset", __LINE__);
            return;
        }
        char buffer[kResponseBufferSize];
        DWORD read = 0;
        HRESULT hr = AwaitByte(m_port.Get(), std::min(quiet.RemainingMs(), limit.RemainingMs()), buffer[0]);
        if (hr == S_OK)
        {
            hr = ReadSomeRobust(m_port.Get(), buffer + 1, sizeof(buffer) - 1, read);
            ++read;
        }
        // A port that went dead (the phone restarted) is opened afresh.
        if (FAILED(hr))
        {
            LogError(hr, L"CSerialDevice::Reset", __LINE__);
            return;
        }
        documents.Append(buffer, read);
        std::string document;
        while ((hr = documents.Next(document)) == S_OK)
        {
            if (HoldsResponse(document))
                quiet.Restart(PhoneTimeMs(kQuietPortMs));
        }
        if (FAILED(hr))
            quiet.Restart(PhoneTimeMs(kQuietPortMs)); // too long to tell: taken for an answer
    }
}

HRESULT CSerialDevice::Reopen()
{
    ClosePort();
    m_exchange.Restart();
    m_lastCommand = 0;
    HRESULT hr = OpenSerialPort(m_portName.c_str(), 0, m_port.Receive());
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
    // What an earlier session left in the port answers none of ours.
    if (!PurgeComm(m_port.Get(), PURGE_RXABORT | PURGE_RXCLEAR))
        return LogError(LastErrorHResult(), L"CSerialDevice::Reset", __LINE__);
    return S_OK;
}

HRESULT CSerialDevice::Reset()
{
    ReportStatus(m_sink.Get(), L"Open serial port \"%s\"", m_portName.c_str());
    // Drain: after an exchange that failed, answers to its commands may still
    // be on their way, and must not answer the commands to come.
    if (m_port && m_exchange.Unsettled())
        DropAnswersStillComing();
    // Reopen: whatever the old handle does, the port is opened afresh.
    HRESULT hr = Reopen();
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);

    // nop and configure. Neither answer is checked for an ACK: a programmer
    // offered more than it takes may refuse configure, naming its own size.
    ReportStatus(m_sink.Get(), L"Send nop command");
    hr = SendText(0, kNopCommand, false);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
    const ULONGLONG nop = m_lastCommand;
    ReportStatus(m_sink.Get(), L"Send configure command");
    hr = SendText(
        0, FormatString(kConfigureCommand, m_ufs ? 1048576 : 131072, m_ufs ? L"ufs" : L"eMMC", m_provision ? 1 : 0),
        false);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
    const ULONGLONG configure = m_lastCommand;

    // Their answers, each within the answer wait: a programmer may set up
    // its storage before it answers configure. The payload size may come
    // with either.
    hr = GetResponse(nop, CAnswerWait());
    if (SUCCEEDED(hr))
        hr = GetResponse(configure, CAnswerWait());
    RETURN_IF_FAILED(hr, L"CSerialDevice::Reset", __LINE__);
    if (MaxSectorsPerTransfer() == 0)
        return LogError(E_UNEXPECTED, L"CSerialDevice::Reset", __LINE__);
    ReportStatus(m_sink.Get(), L"Max buffer sector is %d", static_cast<int>(MaxSectorsPerTransfer()));
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
        const ULONGLONG before = m_lastCommand;
        hr = SendCommand(0, kProgramCommand, size, sectors, XmlEscaped(startSector).c_str(), partition);
        const ULONGLONG program = m_lastCommand;
        // Once the command is on the wire all of its data follows, whatever
        // was read meanwhile: the programmer takes the data, and its answer
        // is judged after it.
        HRESULT sent =
            program != before ? SendRange(mapping->View(), fileSize, firstSector, sectors, size, offset) : S_OK;
        RETURN_IF_FAILED(hr, L"CSerialDevice::WriteFile", __LINE__);
        RETURN_IF_FAILED(sent, L"CSerialDevice::WriteFile", __LINE__);
        hr = GetResponse(program, CAnswerAfterData());
        if (hr != kAttemptRetryResult || resend == kMaxResends)
            return LogError(hr, L"CSerialDevice::WriteFile", __LINE__);
    }
}

HRESULT CSerialDevice::SendRange(const BYTE* view, ULONGLONG fileSize, ULONGLONG firstSector, ULONGLONG sectors,
                                 ULONGLONG sectorSize, ULONGLONG byteOffset)
{
    // Pieces of the programmer's payload, each one write of at most 4 GiB.
    ULONGLONG pieceLimit = std::min<ULONGLONG>(MaxSectorsPerTransfer(), 0xFFFFFFFFull / sectorSize);
    if (pieceLimit == 0)
        return kBadFormatResult;
    std::vector<BYTE> zeros;
    // One floor for the whole range; the programmer is heard while it takes
    // the data.
    CPaceFloor floor;
    CHearing hearing([this] { HearWhileSending(); });
    const ULONGLONG end = firstSector + sectors;
    for (ULONGLONG piece = firstSector; piece < end; piece += pieceLimit)
    {
        const ULONGLONG count = std::min(pieceLimit, end - piece);
        const DWORD bytes = static_cast<DWORD>(count * sectorSize);
        ReportStatus(m_sink.Get(), L"WriteFile position %#016llx, size %lu", piece * sectorSize, bytes);
        // The last sector of a file whose size is no multiple of the sector
        // size is completed with zero bytes, never read past the mapping.
        const ULONGLONG position = piece * sectorSize + byteOffset;
        const DWORD fromFile =
            position >= fileSize ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(bytes, fileSize - position));
        hearing.BetweenPieces();
        HRESULT hr = S_OK;
        if (fromFile > 0)
            hr = WriteRobust(m_port.Get(), view + position, fromFile, kNoPosition, &floor, &hearing);
        if (SUCCEEDED(hr) && fromFile < bytes)
        {
            zeros.resize(bytes - fromFile);
            hr = WriteRobust(m_port.Get(), zeros.data(), bytes - fromFile, kNoPosition, &floor, &hearing);
        }
        // Data cut short leaves the programmer waiting for the rest.
        if (FAILED(hr))
            return m_exchange.LoseStep(hr);
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
        hr = SendCommand(0, kPatchCommand, XmlEscaped(sectorSize).c_str(), XmlEscaped(byteOffset).c_str(),
                         XmlEscaped(physicalPartition).c_str(), XmlEscaped(sizeInBytes).c_str(),
                         XmlEscaped(startSector).c_str(), XmlEscaped(value).c_str());
        if (SUCCEEDED(hr))
            hr = GetResponse(m_lastCommand, CAnswerWait());
        if (hr != kAttemptRetryResult || resend == kMaxResends)
            return LogError(hr, L"CSerialDevice::ApplyPatch", __LINE__);
    }
}

HRESULT CSerialDevice::SetBootableStorageDrive()
{
    ReportStatus(m_sink.Get(), L"Set boot partition 1");
    HRESULT hr = SendCommand(0, kSetBootableCommand);
    if (SUCCEEDED(hr))
        hr = GetResponse(m_lastCommand, CAnswerWait());
    return LogError(hr, L"CSerialDevice::SetBootableStorageDrive", __LINE__);
}

HRESULT CSerialDevice::Synchronize()
{
    // The programmer answers in order: an answer to an earlier command comes
    // before the nop's, and either stands beside it as a second final answer
    // or, a refusal, takes its place.
    HRESULT hr = SendText(0, kNopCommand);
    if (SUCCEEDED(hr))
        hr = GetResponse(m_lastCommand, CAnswerWait());
    // A nop is never refused: the refusal answered something else.
    if (FAILED(hr))
        m_exchange.LoseStep(hr);
    return LogError(hr, L"CSerialDevice::Synchronize", __LINE__);
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
    hr = SendText(0, kPowerCommand, false);
    RETURN_IF_FAILED(hr, L"CSerialDevice::Provision", __LINE__);
    ClosePort();
    m_provision = FALSE;
    return hr;
}
