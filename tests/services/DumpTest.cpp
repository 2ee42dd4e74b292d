#include "services/Dump.h"
#include "services/Log.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/LogLines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace
{

// Dumps `bytes` (hex text) in a child whose "DumpKestrup" is `dumpValue`,
// and returns the child's log text without the thread prefixes.
std::string DumpInChild(const std::wstring& dumpValue, const std::wstring& bytes)
{
    CTempDir dir(L"dump");
    ChildResult r = RunChild(L"DumpBytes", {bytes}, dir.Path(), {{L"DumpKestrup", dumpValue}});
    EXPECT_EQ(0u, r.exitCode);
    std::vector<std::wstring> files = ListDirectory(dir.Path(), L"Kestrup-*.log");
    if (files.empty())
        return std::string();
    std::string plain;
    for (const std::string& line : SplitLines(ReadWholeFile(dir / files[0])))
        plain += line.substr(std::min<size_t>(10, line.size())) + "\n";
    return plain;
}

} // namespace

// Dumps the bytes given as hex text, the first one alone and the rest as one
// chunk, then writes a closing line.
KESTRUP_CHILD(DumpBytes)
{
    {
        CDumpBuffer dump(L"Title");
        const std::wstring& hex = args.at(0);
        std::vector<BYTE> bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes.push_back(static_cast<BYTE>(wcstoul(hex.substr(i, 2).c_str(), nullptr, 16)));
        if (!bytes.empty())
        {
            dump.Append(bytes[0]);
            dump.Append(bytes.data() + 1, static_cast<int>(bytes.size() - 1));
        }
    }
    WriteLog(L"end");
    return 0;
}

TEST(Dump, PrintableRunsFrom20To7EAndLinesHoldSixteenBytes)
{
    // Either side of both ends of the printable range (0x7E is the HDLC
    // flag), line breaks, the top bit, then letters.
    const std::wstring sixteen = L"1F20217D7E7F80FF00090A0D617A415A";
    const std::string full = "1F 20 21 7D 7E 7F 80 FF 00 09 0A 0D 61 7A 41 5A . !}~.......azAZ";
    EXPECT_EQ("Title\n" + full + "\nend\n", DumpInChild(L"1", sixteen));
    // A short line keeps the columns of a full one.
    EXPECT_EQ("Title\n41 42 00 7F 20 " + std::string(33, ' ') + "AB.. " + std::string(11, ' ') + "\nend\n",
              DumpInChild(L"1", L"4142007F20"));
    EXPECT_EQ("Title\n" + full + "\n7E " + std::string(45, ' ') + "~" + std::string(15, ' ') + "\nend\n",
              DumpInChild(L"1", sixteen + L"7E"));
    // A buffer that received nothing writes no line, not even its title.
    EXPECT_EQ("end\n", DumpInChild(L"1", L""));
}

TEST(Dump, OnlyTheExactTextOneSwitchesItOn)
{
    for (const wchar_t* value : {L"1 ", L"01", L"", L"true"})
        EXPECT_EQ("end\n", DumpInChild(value, L"4142"))
            << "DumpKestrup=" << std::string(value, value + lstrlenW(value));
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
