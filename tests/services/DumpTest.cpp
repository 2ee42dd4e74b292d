#include "services/Dump.h"
#include "services/Log.h"
#include "tests/fixtures/ChildProcess.h"

#include <gtest/gtest.h>

namespace {

// Runs the dump of `count` bytes starting at `first` in a child whose
// "DumpKestrup" is `dumpValue`, and returns the child's log text without
// the thread prefixes.
std::string DumpInChild(const std::wstring& dumpValue, const std::wstring& bytes)
{
    CTempDir dir(L"dump");
    ChildResult r = RunChild(L"DumpBytes", {bytes}, dir.Path(), {{L"DumpKestrup", dumpValue}});
    EXPECT_EQ(0u, r.exitCode);
    std::vector<std::wstring> files = ListDirectory(dir.Path(), L"Kestrup-*.log");
    if (files.empty())
        return std::string();
    std::string text = ReadWholeFile(dir / files[0]);
    std::string plain;
    size_t at = 0;
    while (at < text.size())
    {
        size_t end = text.find("\r\n", at);
        plain += text.substr(at + 10, end - at - 10) + "\n";
        at = end + 2;
    }
    return plain;
}

} // namespace

// Dumps the bytes given as hex text, then writes a closing line.
KESTRUP_CHILD(DumpBytes)
{
    {
        CDumpBuffer dump(L"Title");
        const std::wstring& hex = args.at(0);
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            dump.Append(static_cast<BYTE>(wcstoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    WriteLog(L"end");
    return 0;
}

TEST(Dump, FiveBytesLayout)
{
    std::string expected = "Title\n"
                           "41 42 00 7F 20 " + std::string(33, ' ') + "AB.. " + std::string(11, ' ') + "\n"
                           "end\n";
    EXPECT_EQ(expected, DumpInChild(L"1", L"4142007F20"));
}

TEST(Dump, SixteenAndSeventeenBytes)
{
    std::wstring sixteen;
    for (int i = 0; i < 16; ++i)
        sixteen += i < 8 ? L"61" : L"FF";
    std::string full = "61 61 61 61 61 61 61 61 FF FF FF FF FF FF FF FF aaaaaaaa........";
    EXPECT_EQ("Title\n" + full + "\nend\n", DumpInChild(L"1", sixteen));
    EXPECT_EQ("Title\n" + full + "\n80 " + std::string(45, ' ') + "." + std::string(15, ' ') + "\nend\n",
              DumpInChild(L"1", sixteen + L"80"));
}

TEST(Dump, OnlyTheExactTextOneSwitchesItOn)
{
    for (const wchar_t* value : {L"1 ", L"01", L"", L"true"})
        EXPECT_EQ("end\n", DumpInChild(value, L"4142")) << "DumpKestrup=" << std::string(value, value + lstrlenW(value));
}

TEST(Dump, NothingHeldWhileOff)
{
    // This process runs without the switch.
    ASSERT_FALSE(IsDumpEnabled());
    CDumpBuffer dump(L"Off");
    std::string big(1 << 20, 'x');
    dump.Append(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(0, dump.Count());
    EXPECT_EQ(nullptr, dump.Data());
}
