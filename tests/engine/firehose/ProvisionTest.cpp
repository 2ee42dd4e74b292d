// UFS provisioning and the texts of the files, over the Firehose serial
// device against a simulated programmer: nothing goes to the phone from a
// provision file that is not whole and well-formed, nor a text that the
// thread's code page (Western here) holds only by a look-alike.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <iterator>

#include "engine/storage/SerialDevice.h"
#include "simulators/phones/FirehosePhone.h"
#include "tests/fixtures/BoundedRun.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/LogLines.h"
#include "tests/fixtures/StatusRecorder.h"

using Microsoft::WRL::ComPtr;

namespace
{

const HRESULT kInputEnd = static_cast<HRESULT>(0xC00CEE01);
const HRESULT kControlCharacter = static_cast<HRESULT>(0xC00CEE2B);
const HRESULT kNamedTwice = static_cast<HRESULT>(0xC00CEE3C);
const HRESULT kDtdProhibited = static_cast<HRESULT>(0xC00CEE4F);
const HRESULT kNoUfsElement = static_cast<HRESULT>(0x80070490);
const HRESULT kNoMapping = static_cast<HRESULT>(0x80070459);
const HRESULT kAnyFailure = 1; // the reader's own error
// Far beyond the engine's own bounds: reaching it means a hang.
constexpr DWORD kHangLimitMs = 60000;

class FirehoseFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FirehoseOptions options;
        options.ufs = true;
        options.partitionSectors = {16};
        // Storage set up before configure is answered, at the first Reset and
        // at the one after provisioning.
        options.configureDelayMs = 2000;
        phone.reset(new CFirehosePhone(options));
        ASSERT_TRUE(phone->Start());
        ASSERT_EQ(S_OK, CSerialDevice::CreateInstance(phone->HostPort().c_str(), &sink, &device, TRUE, TRUE));
        seen = phone->Commands().size();
    }
    // The commands that came after those seen so far, once count of them
    // have come (the engine does not wait for every answer), or after 10 s.
    std::vector<std::string> NewCommands(size_t count)
    {
        std::vector<std::string> commands = phone->Commands();
        for (int wait = 0; wait < 1000 && commands.size() < seen + count; ++wait)
        {
            Sleep(10);
            commands = phone->Commands();
        }
        commands.erase(commands.begin(), commands.begin() + seen);
        seen += commands.size();
        return commands;
    }

    CTempDir dir{L"provision"};
    CStatusRecorder sink;
    std::unique_ptr<CFirehosePhone> phone;
    ComPtr<IQDevice> device;
    size_t seen = 0;
};

// Every fault of a provision file fails it, logged, before its first
// command; a file with comments, "desc", a tab and CRLF line ends is sent
// element by element as it stands, then the phone is restarted.
TEST_F(FirehoseFiles, ProvisionSendsNothingUntilTheWholeFileIsChecked)
{
    const std::string two = "<?xml version=\"1.0\" ?>\n<data>\n<ufs bNumberLU=\"1\"/>\n<ufs LUNum=\"0\"/>\n";
    const struct
    {
        const char* what;
        std::string text;
        HRESULT result;
    } faults[] = {
        {"cut inside the third element", two + "<ufs LUNum=\"1\"/>\n<ufs LUNum=", kAnyFailure},
        {"a root that never closes", two, kInputEnd},
        {"a root that never closes after an end tag", two + "<ufs LUNum=\"1\"></ufs>", kInputEnd},
        {"cut right after a start tag", two + "<ufs LUNum=\"1\">", kInputEnd},
        {"a declaration only", "<?xml version=\"1.0\" ?>", kInputEnd},
        {"a comment only", "<?xml version=\"1.0\" ?>\n<!-- no units -->\n", kInputEnd},
        {"a document type", "<?xml version=\"1.0\" ?>\n<!DOCTYPE data>\n<data><ufs bNumberLU=\"1\"/></data>\n",
         kDtdProhibited},
        {"a reference to a control character", two + "<ufs LUName=\"a&#1;\"/>\n</data>\n", kControlCharacter},
        {"a raw control character", two + "<ufs LUName=\"a\x1F\"/>\n</data>\n", kControlCharacter},
        {"a control character in a comment", two + "<!-- \x01 -->\n</data>\n", kControlCharacter},
        {"one local name under two prefixes",
         "<?xml version=\"1.0\" ?>\n<data xmlns:p=\"urn:p\" xmlns:q=\"urn:q\">\n<ufs bNumberLU=\"1\"/>\n"
         "<ufs p:LUNum=\"0\" q:LUNum=\"1\"/>\n</data>\n",
         kNamedTwice},
        {"one name in two cases", two + "<ufs LUNum=\"1\" desc=\"x\" DESC=\"y\"/>\n</data>\n", kNamedTwice},
        {"no ufs element", "<?xml version=\"1.0\" ?>\n<data><UFSX LUNum=\"0\"/></data>\n", kNoUfsElement},
        // U+221E, which a Western code page has only as its look-alike "8".
        {"a value the code page does not hold", two + "<ufs LUName=\"\xE2\x88\x9E\"/>\n</data>\n", kNoMapping},
    };
    const std::wstring path = dir / L"provision.xml";
    for (const auto& fault : faults)
    {
        SCOPED_TRACE(fault.what);
        ASSERT_TRUE(WriteWholeFile(path, fault.text));
        const size_t logged = LogLinesWith("ReadProvisionFile(").size();
        HRESULT hr = RunBounded(kHangLimitMs, [&] { return device->Provision(path.c_str()); });
        if (fault.result == kAnyFailure)
            EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        else
            EXPECT_EQ(fault.result, hr);
        EXPECT_LT(logged, LogLinesWith("ReadProvisionFile(").size());
    }
    EXPECT_EQ(0u, sink.CountPrefix(L"Provision cmd: "));
    EXPECT_EQ(std::size(faults), sink.CountPrefix(L"Open provision file \""));

    ASSERT_TRUE(WriteWholeFile(path, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<!-- units -->\r\n<data>\r\n"
                                     "  <ufs bNumberLU=\"2\" desc=\"the whole device\" bBootEnable=\"1\" "
                                     "LUName=\"a&amp;b&quot;c&lt;&gt;'\tcaf\xC3\xA9\"/>\r\n"
                                     "\t<other LUNum=\"9\"/><!-- a comment -->\r\n"
                                     "  <UFS LUNum=\"0\" DESC=\"x\" size_in_KB=\"1024\"></UFS>\r\n"
                                     "</data>\r\n"));
    ASSERT_EQ(S_OK, RunBounded(kHangLimitMs, [&] { return device->Provision(path.c_str()); }));
    // The first commands after the faults are this file's: none of theirs
    // went out.
    const std::vector<std::string> expected = {
        "<?xml version=\"1.0\" ?>\n<data>\n<ufs bNumberLU=\"2\" bBootEnable=\"1\" "
        "LUName=\"a&amp;b&quot;c&lt;&gt;&apos; caf\xE9\"  />\n</data>",
        "<?xml version=\"1.0\" ?>\n<data>\n<ufs LUNum=\"0\" size_in_KB=\"1024\"  />\n</data>",
        "<?xml version=\"1.0\" ?><data><power value=\"reset_to_edl\"/></data>"};
    EXPECT_EQ(expected, NewCommands(expected.size()));
    EXPECT_EQ(2u, sink.CountPrefix(L"Provision cmd: <ufs "));
    EXPECT_EQ(1u, sink.Count(L"Provision done, reboot now"));

    // The programmer that starts again no longer skips storage set-up.
    ASSERT_EQ(S_OK, device->Reset());
    const std::vector<std::string> reset = NewCommands(2);
    ASSERT_EQ(2u, reset.size());
    EXPECT_NE(std::string::npos, reset[1].find("SkipStorageInit=\"0\""));
}

// A start sector that the code page holds only as a look-alike goes nowhere;
// plain digits with blanks are written where they say.
TEST_F(FirehoseFiles, TextsGoToTheProgrammerOnlyAsTheyAre)
{
    const std::wstring image = dir / L"image.bin";
    ASSERT_TRUE(WriteWholeFile(image, std::string(4096, 'i')));
    EXPECT_EQ(kNoMapping, device->WriteFile(L"\x221E", L"1", image.c_str(), L"0", L"0", L"4096", L"0"));
    EXPECT_EQ(kNoMapping, device->WriteFile(L"\xFF18", L"1", image.c_str(), L"0", L"0", L"4096", L"0"));
    ASSERT_EQ(S_OK, device->WriteFile(L" 9 ", L"1", image.c_str(), L"0", L"0", L"4096", L"0"));
    const std::vector<std::string> commands = NewCommands(1);
    ASSERT_EQ(1u, commands.size());
    EXPECT_NE(std::string::npos, commands[0].find(" start_sector=\" 9 \"")) << commands[0];
    const std::string storage = phone->Storage(0);
    EXPECT_EQ(std::string(4096, 'i'), storage.substr(9 * 4096, 4096));
    EXPECT_EQ(std::string(4096, '\0'), storage.substr(8 * 4096, 4096));
}

} // namespace
