#include "engine/EngineIo.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/SimulatedPhone.h"
#include "engine/XmlElements.h"
#include "engine/protocols/Hdlc.h"
#include "tests/fixtures/BoundedRun.h"
#include "tests/fixtures/LogLines.h"
#include "tests/fixtures/StatusRecorder.h"

#include <gtest/gtest.h>

#include <wrl/client.h>
#include <xmllite.h>

#include <algorithm>
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

// On a port the floor comes from the caller: without one, a write that its
// call bound ends short is a fault and is not tried again; with one, the rest
// follows at the phone's pace and every byte arrives once.
TEST(RobustIo, APortWriteGoesOnAtThePhonesPaceOnlyWithAFloor)
{
    const DWORD size = 512 * 1024; // far more than the link holds
    ByteVector bytes(size);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<BYTE>(i * 7);
    for (bool floor : {false, true})
    {
        SCOPED_TRACE(floor ? "with a floor" : "without");
        ByteVector received(size);
        size_t got = 0;
        CSimulatedPhone phone;
        // The first call ends short before the phone reads at all.
        ASSERT_TRUE(phone.Start([&](CSimulatedPhone& p) {
            p.Pause(300);
            got = floor ? p.ReadFor(received.data(), size, 30000) : p.ReadSome(received.data(), size, 30000);
        }));
        HANDLE port = INVALID_HANDLE_VALUE;
        ASSERT_EQ(S_OK, OpenSerialPort(phone.HostPort().c_str(), 0, &port));
        const size_t logged = LogLinesWith("]WriteRobust(").size();
        CPaceFloor pace;
        EXPECT_EQ(floor ? S_OK : static_cast<HRESULT>(0x8007001D), RunBounded(60000, [&] {
                      return WriteRobust(port, bytes.data(), size, kNoPosition, floor ? &pace : nullptr);
                  }));
        EXPECT_TRUE(phone.WaitDone(60000));
        CloseHandle(port);
        EXPECT_EQ(floor ? logged : logged + 1, LogLinesWith("]WriteRobust(").size());
        // What went out, once and in order: all of it, or what the first call
        // could put into the link.
        EXPECT_EQ(floor, got == size);
        EXPECT_LT(0u, got);
        EXPECT_TRUE(std::equal(received.begin(), received.begin() + got, bytes.begin()));
    }
}

// Texts that hold no document are refused before the reader sees them (it
// would end the process), malformed text fails while reading, not while
// opening, and a document cut short ends the walk instead of handing out its
// last node for ever; through text and through a file alike.
TEST(XmlReader, TextsWithoutADocumentOrCutShortEndTheWalk)
{
    const HRESULT kInputEnd = static_cast<HRESULT>(0xC00CEE01);
    struct Case
    {
        std::string text;
        HRESULT opened;
        int found; // <b> elements before the walk ends
        HRESULT end;
        std::wstring values = L""; // of their attributes, in order
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
        {"<a><b x=\"1\" y=\"2\"/>", S_OK, 1, kInputEnd, L"1;2;"},
        {"<?xml version=\"1.0\"?><a><b/><c><b></b></c></a>", S_OK, 2, S_FALSE},
        {"<?xml version=\"1.0\"?><data><b a=\"1\" c=\"x\"/><patch/></data>", S_OK, 1, S_FALSE, L"1;x;"},
        {"<data><b></data>", S_OK, 1, static_cast<HRESULT>(0xC00CEE3B)},
    };
    CTempDir dir;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        const std::wstring path = dir / L"case.xml";
        ASSERT_TRUE(WriteWholeFile(path, c.text));
        for (bool fromFile : {false, true})
        {
            SCOPED_TRACE(fromFile ? "file" : "text");
            ComPtr<IXmlReader> reader;
            int found = 0;
            HRESULT end = S_OK;
            std::wstring values;
            const HRESULT opened = RunBounded(60000, [&] {
                HRESULT hr = fromFile ? OpenXmlReader(path.c_str(), &reader) : OpenXmlReader(c.text.c_str(), &reader);
                if (SUCCEEDED(hr))
                {
                    while ((end = MoveToNextElement(reader.Get(), L"b")) == S_OK && found < 100)
                    {
                        ++found;
                        VisitAttributes(reader.Get(), [&](const wchar_t*, const wchar_t* value) {
                            values += value + std::wstring(L";");
                            return S_OK;
                        });
                    }
                }
                return hr;
            });
            EXPECT_EQ(c.opened, opened);
            EXPECT_EQ(c.found, found);
            EXPECT_EQ(c.end, end);
            EXPECT_EQ(c.values, values);
        }
    }
    ComPtr<IXmlReader> missing;
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), OpenXmlReader((dir / L"none.xml").c_str(), &missing));
    EXPECT_EQ(nullptr, missing.Get());
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
