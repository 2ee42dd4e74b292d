#include "engine/EngineIo.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/SimulatedPhone.h"
#include "engine/XmlElements.h"
#include "engine/protocols/Hdlc.h"
#include "tests/fixtures/BoundedRun.h"
#include "tests/fixtures/LogLines.h"
#include "tests/fixtures/PhoneTime.h"
#include "tests/fixtures/StatusRecorder.h"

#include <gtest/gtest.h>

#include <wrl/client.h>
#include <xmllite.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{

HANDLE OpenFile(const std::wstring& path, DWORD access)
{
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(RobustIo, FilesAtPositionsShortReadsAndFailedWrites)
{
    CTempDir dir;
    const std::wstring path = dir / L"disk.bin";
    ASSERT_TRUE(WriteWholeFile(path, std::string(32, 'x')));
    HANDLE h = OpenFile(path, GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(S_OK, WriteRobust(h, "abc", 3, 10));
    EXPECT_EQ(S_OK, WriteRobust(h, "Z", 1, 0));
    EXPECT_EQ(S_OK, WriteRobust(h, "tail", 4)); // at the handle's own position, after "Z"
    char back[48] = {};
    EXPECT_EQ(S_OK, ReadRobust(h, back, 3, 10));
    EXPECT_EQ(std::string("abc"), std::string(back, 3));
    // One byte short of the end: retried, then a short read.
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(static_cast<HRESULT>(0x80070026), ReadRobust(h, back, 23, 10));
    EXPECT_GE(GetTickCount64() - start, 800u); // nine pauses between ten attempts
    CloseHandle(h);
    const std::string written = "Ztailxxxxxabc" + std::string(19, 'x');
    EXPECT_EQ(written, ReadWholeFile(path));

    // A write the handle may not make gives the system's error.
    h = OpenFile(path, GENERIC_READ);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<HRESULT>(0x80070005), WriteRobust(h, "x", 1, 0));
    CloseHandle(h);
    EXPECT_EQ(written, ReadWholeFile(path));
}

TEST(RobustIo, SerialShortReadIsRetriedWithTheNextBytes)
{
    CSimulatedPhone phone;
    ASSERT_TRUE(phone.Start([](CSimulatedPhone& p) {
        p.Write(ByteVector(47, 0x11));
        p.Pause(350);
        ByteVector whole(48);
        for (size_t i = 0; i < whole.size(); ++i)
            whole[i] = static_cast<BYTE>(i);
        p.Write(whole);
    }));
    HANDLE port = INVALID_HANDLE_VALUE;
    ASSERT_EQ(S_OK, OpenSerialPort(phone.HostPort().c_str(), 100, &port));
    BYTE buffer[48] = {};
    EXPECT_EQ(S_OK, ReadRobust(port, buffer, 48));
    for (int i = 0; i < 48; ++i)
        EXPECT_EQ(i, buffer[i]);

    // Ten short reads of a silent phone, each one log line, the last too.
    const size_t logged = LogLinesWith("]ReadRobust(").size();
    EXPECT_EQ(static_cast<HRESULT>(0x80070026), ReadRobust(port, buffer, 48));
    EXPECT_EQ(logged + 10, LogLinesWith("]ReadRobust(").size());
    CloseHandle(port);
    EXPECT_TRUE(phone.Errors().empty());
}

// A port write goes on at the phone's pace and ends when the phone takes
// less than 64 KiB in 10 s (here ten times faster): a phone that pauses
// within that, or reads slowly for far longer but above the floor, gets
// every byte once; one that stops reading (until the write has ended), or
// trickles below the floor, ends the write with a time-out instead of
// holding it for hours.
TEST(RobustIo, PortWriteEndsWhenThePhoneFallsBelowTheFloor)
{
    constexpr DWORD kSpeed = 10;
    CFastPhoneTime fast(kSpeed);
    EXPECT_EQ(65536u, kPaceFloorBytes);
    EXPECT_EQ(10000u, kPaceWindowMs);
    const DWORD size = 512 * 1024; // far more than the ports between hold
    constexpr DWORD kUntilTheWriteEnds = MAXDWORD;
    const struct
    {
        DWORD pauseMs; // before the phone reads, and between its reads
        DWORD piece;   // what one of its reads takes
        HRESULT result;
    } cases[] = {
        {5000 / kSpeed, size, S_OK},
        {kUntilTheWriteEnds, size, static_cast<HRESULT>(0x800705B4)},
        {2000 / kSpeed, 32768, S_OK},                            // 160 KiB in 10 s
        {2000 / kSpeed, 8192, static_cast<HRESULT>(0x800705B4)}, // 40 KiB in 10 s
    };
    ByteVector bytes(size);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<BYTE>(i * 7);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pauseMs);
        ByteVector received;
        std::atomic<bool> ended{false};
        CSimulatedPhone phone;
        ASSERT_TRUE(phone.Start([&](CSimulatedPhone& p) {
            ByteVector piece(c.piece);
            for (int wait = 0; c.pauseMs == kUntilTheWriteEnds && !ended && wait < 3000; ++wait)
                p.Pause(20);
            while (received.size() < size)
            {
                if (c.pauseMs != kUntilTheWriteEnds)
                    p.Pause(c.pauseMs);
                const size_t got = p.ReadSome(piece.data(), std::min<size_t>(c.piece, size - received.size()), 500);
                if (got == 0)
                    break;
                received.insert(received.end(), piece.begin(), piece.begin() + got);
            }
        }));
        HANDLE port = INVALID_HANDLE_VALUE;
        ASSERT_EQ(S_OK, OpenSerialPort(phone.HostPort().c_str(), 0, &port));
        EXPECT_EQ(c.result, RunBounded(60000, [&] { return WriteRobust(port, bytes.data(), size); }));
        ended = true;
        CloseHandle(port);
        EXPECT_TRUE(phone.WaitDone(30000));
        // Every byte once, or what went before the bound, never sent again.
        EXPECT_EQ(SUCCEEDED(c.result), bytes == received);
        ASSERT_LE(received.size(), bytes.size());
        EXPECT_TRUE(std::equal(received.begin(), received.end(), bytes.begin()));
    }
}

// The element names and attribute values a reader walks through.
std::string Walk(IXmlReader* reader)
{
    std::string seen;
    XmlNodeType type;
    while (reader->Read(&type) == S_OK)
    {
        if (type != XmlNodeType_Element)
            continue;
        const wchar_t* name = nullptr;
        reader->GetLocalName(&name, nullptr);
        seen += std::string(name, name + wcslen(name)) + "(";
        for (HRESULT hr = reader->MoveToFirstAttribute(); hr == S_OK; hr = reader->MoveToNextAttribute())
        {
            const wchar_t* value = nullptr;
            reader->GetValue(&value, nullptr);
            seen += std::string(value, value + wcslen(value)) + ";";
        }
        seen += ")";
    }
    return seen;
}

TEST(XmlReader, TextFileAndStream)
{
    const char* xml = "<?xml version=\"1.0\"?><data><program a=\"1\" b=\"x\"/><patch/></data>";
    ComPtr<IXmlReader> fromText;
    ASSERT_EQ(S_OK, OpenXmlReader(xml, &fromText));
    EXPECT_EQ("data()program(1;x;)patch()", Walk(fromText.Get()));

    CTempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir / L"rawprogram0.xml", xml));
    ComPtr<IXmlReader> fromFile;
    ASSERT_EQ(S_OK, OpenXmlReader((dir / L"rawprogram0.xml").c_str(), &fromFile));
    EXPECT_EQ("data()program(1;x;)patch()", Walk(fromFile.Get()));
    fromFile.Reset(); // the reader held the file open

    ComPtr<IXmlReader> missing;
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), OpenXmlReader((dir / L"none.xml").c_str(), &missing));
    EXPECT_EQ(nullptr, missing.Get());

    // Malformed text fails while reading, not while opening.
    ComPtr<IXmlReader> broken;
    ASSERT_EQ(S_OK, OpenXmlReader("<data><program></data>", &broken));
    XmlNodeType type;
    HRESULT hr = S_OK;
    while ((hr = broken->Read(&type)) == S_OK)
    {
    }
    EXPECT_TRUE(FAILED(hr));
}

// Texts that hold no document are refused before the reader sees them (it
// would end the process), and a document cut short ends the walk instead of
// handing out its last node for ever; through text and through a file alike.
TEST(XmlReader, TextsWithoutADocumentOrCutShortEndTheWalk)
{
    const HRESULT kInputEnd = static_cast<HRESULT>(0xC00CEE01);
    struct Case
    {
        std::string text;
        HRESULT opened;
        int found; // <b> elements before the walk ends
        HRESULT end;
    } cases[] = {
        {"<?xml version=\"1.0\" ?>", kInputEnd, 0, S_OK},
        {"<?xml version='1.0' encoding='UTF-8'?>", kInputEnd, 0, S_OK},
        {"\xEF\xBB\xBF<?xml version=\"1.0\"?>", kInputEnd, 0, S_OK},
        {std::string("<?xml version=\"1.0\"?>\0<b/>", 26), kInputEnd, 0, S_OK},
        {"<?x", kInputEnd, 0, S_OK},
        {"<?xm", kInputEnd, 0, S_OK},
        {"<?xml", kInputEnd, 0, S_OK},
        {"<?xml version=\"1.0\" ?>\r\n", S_OK, 0, S_FALSE},
        {"<a>b", S_OK, 0, kInputEnd},
        {"<a><b/>", S_OK, 1, kInputEnd},
        // Cut right after a start tag: here handed out again one level deeper.
        {"<a><b>", S_OK, 1, kInputEnd},
        {"<a><b x=\"1\" y=\"2\"/>", S_OK, 1, kInputEnd},
        {"<?xml version=\"1.0\"?><a><b/><c><b></b></c></a>", S_OK, 2, S_FALSE},
    };
    CTempDir dir;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        const std::wstring path = dir / L"case.xml";
        ASSERT_TRUE(WriteWholeFile(path, c.text));
        for (bool fromFile : {false, true})
        {
            ComPtr<IXmlReader> reader;
            int found = 0;
            HRESULT end = S_OK;
            const HRESULT opened = RunBounded(60000, [&] {
                HRESULT hr = fromFile ? OpenXmlReader(path.c_str(), &reader) : OpenXmlReader(c.text.c_str(), &reader);
                if (SUCCEEDED(hr))
                {
                    while ((end = MoveToNextElement(reader.Get(), L"b")) == S_OK && found < 100)
                    {
                        ++found;
                        VisitAttributes(reader.Get(), [](const wchar_t*, const wchar_t*) { return S_OK; });
                    }
                }
                return hr;
            });
            EXPECT_EQ(c.opened, opened) << (fromFile ? "file" : "text");
            EXPECT_EQ(c.found, found) << (fromFile ? "file" : "text");
            EXPECT_EQ(c.end, end) << (fromFile ? "file" : "text");
        }
    }
}

TEST(Status, FormattedTextGoesToTheSecondString)
{
    CStatusRecorder sink; // checks the id 0 and the empty first string
    ReportStatus(&sink, L"Open serial port \"%s\"", L"\\\\.\\COM12");
    ReportStatus(&sink, L"Write and verify address %#08x, size %u", 0x2A000u, 40960u);
    ReportStatus(&sink, L"%s", L"100% of %s");
    ReportStatus(nullptr, L"nobody listens %s", L"x");
    EXPECT_EQ((std::vector<std::wstring>{L"Open serial port \"\\\\.\\COM12\"",
                                         L"Write and verify address 0x02a000, size 40960", L"100% of %s"}),
              sink.Texts());
}

} // namespace
