// The co-installer queries, run through rundll32.exe and the stand-in
// qcCoInstaller.dll answering from a device table of this test.
#include "services/CoInstaller.h"
#include "simulators/phones/DeviceTable.h"
#include "tests/services/process/TestSupport.h"

#include <gtest/gtest.h>

namespace
{

class CoInstaller : public testing::Test
{
protected:
    CTempDir dir{L"coinst"};
    CDeviceTable table{dir / L"devices.txt"};
};

} // namespace

TEST_F(CoInstaller, ListsTheAttachedDevices)
{
    StringList list = {L"stale"};
    EXPECT_EQ(S_OK, GetDeviceList(list));
    EXPECT_TRUE(list.empty());

    ASSERT_TRUE(table.Set(SimDevice{5, 1, L"COM12"}));
    ASSERT_TRUE(
        table.Set(SimDevice{6, 2, L"\\\\?\\usbstor#disk&ven_q#6", {L"\\\\?\\Volume{1}", L"\\\\?\\Volume{2}"}}));
    EXPECT_EQ(S_OK, GetDeviceList(list));
    EXPECT_EQ((StringList{L"COM12", L"\\\\?\\usbstor#disk&ven_q#6"}), list);

    StringList volumes;
    EXPECT_EQ(S_OK, GetVolumeList(L"\\\\?\\usbstor#disk&ven_q#6", volumes));
    EXPECT_EQ((StringList{L"\\\\?\\Volume{1}", L"\\\\?\\Volume{2}"}), volumes);
}

TEST_F(CoInstaller, ReadsListAnswersByTheirRules)
{
    StringList list;
    ASSERT_TRUE(table.SetAnswer({"qcGetDeviceList", "COM3;COM4;", 0}));
    EXPECT_EQ(S_OK, GetDeviceList(list));
    EXPECT_EQ((StringList{L"COM3", L"COM4"}), list);

    // Runs of ";" give nothing; blank items and untrimmed ones are kept.
    ASSERT_TRUE(table.SetAnswer({"qcGetDeviceList", ";;COM3 ;; ;COM4;\r\n", 0}));
    EXPECT_EQ(S_OK, GetDeviceList(list));
    EXPECT_EQ((StringList{L"COM3 ", L" ", L"COM4", L"\r\n"}), list);

    // A failing run leaves the caller's list as it was and is logged.
    ASSERT_TRUE(table.SetAnswer({"qcGetDeviceList", "COM9;", 1}));
    EXPECT_EQ(static_cast<HRESULT>(0xFFFFFFFF), GetDeviceList(list));
    EXPECT_EQ((StringList{L"COM3 ", L" ", L"COM4", L"\r\n"}), list);
    EXPECT_EQ(1u, LogLinesWith("GetDeviceList(1299)").size());

    StringList volumes = {L"kept"};
    EXPECT_NE(S_OK, GetVolumeList(L"no such disk", volumes));
    EXPECT_EQ((StringList{L"kept"}), volumes);
    EXPECT_EQ(1u, LogLinesWith("GetVolumeList(1324)").size());
}

TEST_F(CoInstaller, ReadsNumberAnswersByTheirRules)
{
    ASSERT_TRUE(table.Set(SimDevice{12, 1, L"COM12"}));
    ASSERT_TRUE(table.Set(SimDevice{4, 3, L"My Phone 1"}));
    EXPECT_EQ(12, GetDeviceIndex(L"COM12"));
    EXPECT_EQ(12, GetDeviceIndex(L"com12"));
    EXPECT_EQ(1, GetDeviceType(L"COM12"));
    // A name with blanks goes unquoted, as the format places it.
    EXPECT_EQ(4, GetDeviceIndex(L"My Phone 1"));
    EXPECT_EQ(3, GetDeviceType(L"My Phone 1"));
    EXPECT_EQ(0, GetDeviceIndex(L"COM99"));
    EXPECT_EQ(0, GetDeviceType(L"COM99"));

    struct Case
    {
        const char* answer;
        DWORD exitCode;
        int value;
    };
    const Case cases[] = {
        {" 3\r\n", 0, 3},
        {"letters", 0, 0},
        {"", 0, 0},
        {"-7x", 0, -7},
        {"99999999999", 0, 2147483647},
        {"-99999999999", 0, -2147483647 - 1},
        {"12", 1, 12},
        {"\t+8;", 0, 8},
    };
    for (const Case& c : cases)
    {
        ASSERT_TRUE(table.SetAnswer({"qcGetDeviceIndex", c.answer, c.exitCode}));
        EXPECT_EQ(c.value, GetDeviceIndex(L"COM12")) << c.answer;
    }
}

TEST_F(CoInstaller, NamesFollowTheDeviceAsItReenumerates)
{
    ASSERT_TRUE(table.Set(SimDevice{7, 5, L"DNX0042"}));
    EXPECT_EQ(L"DNX0042", GetDeviceName(7, 5));
    EXPECT_EQ(L"", GetDeviceName(7, 3));
    ASSERT_TRUE(table.Set(SimDevice{7, 3, L"FB 0042"}));
    EXPECT_EQ(L"FB 0042", GetDeviceName(7, 3));
    EXPECT_EQ(L"", GetDeviceName(7, 5));
    StringList list;
    EXPECT_EQ(S_OK, GetDeviceList(list));
    EXPECT_EQ((StringList{L"FB 0042"}), list);

    // The name is the answer whole, untrimmed.
    ASSERT_TRUE(table.SetAnswer({"qcGetDeviceName", " name\r\n", 0}));
    EXPECT_EQ(L" name\r\n", GetDeviceName(7, 3));
}

TEST_F(CoInstaller, RunsTheExactCommandLines)
{
    ASSERT_TRUE(table.SetAnswer({"qcGetDeviceName", "%cmdline%", 0}));
    EXPECT_EQ(L"rundll32.exe qcCoInstaller.dll,qcGetDeviceName 7, 3", GetDeviceName(7, 3));
    ASSERT_TRUE(table.SetAnswer({"qcGetDeviceType", "%cmdline%", 0}));
    ASSERT_TRUE(table.SetAnswer({"qcGetVolumeList", "%cmdline%", 0}));
    StringList list;
    EXPECT_EQ(S_OK, GetVolumeList(L"Disk 100%s", list));
    EXPECT_EQ((StringList{L"rundll32.exe qcCoInstaller.dll,qcGetVolumeList Disk 100%s"}), list);

    // A run without an answer reports its exit code.
    EXPECT_EQ(S_OK, InitializeSetting());
    ASSERT_TRUE(table.SetAnswer({"qcInitializeSetting", "", 5}));
    EXPECT_EQ(static_cast<HRESULT>(0xFFFFFFFB), InitializeSetting());
}

TEST_F(CoInstaller, MonitorRunsUntilItsOwnerGoes)
{
    CHandle monitor;
    {
        std::unique_ptr<CAutoExecutor> executor = StartDeviceMonitor();
        ASSERT_NE(nullptr, executor->Process());
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), executor->Process(), GetCurrentProcess(), monitor.Receive(),
                                    0, FALSE, DUPLICATE_SAME_ACCESS));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(monitor.Get(), 300));
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(monitor.Get(), 0));
}

TEST(DeviceTable, RefusesWhatTheFormatCannotHold)
{
    std::string text;
    EXPECT_FALSE(FormatDeviceTable({SimDevice{1, 1, L"A|B"}}, {}, text));
    EXPECT_FALSE(FormatDeviceTable({SimDevice{1, 1, L""}}, {}, text));
    EXPECT_FALSE(FormatDeviceTable({SimDevice{0, 1, L"COM1"}}, {}, text));
    EXPECT_FALSE(FormatDeviceTable({SimDevice{1, 1, L"#1"}}, {}, text));
    EXPECT_FALSE(FormatDeviceTable({SimDevice{1, 2, L"disk", {L"a;b"}}}, {}, text));
    EXPECT_FALSE(FormatDeviceTable({}, {{"qcGetDeviceList", "a|b", 0}}, text));
    ASSERT_TRUE(
        FormatDeviceTable({SimDevice{1, 2, L"disk", {L"v1", L"v2"}}}, {{"qcGetDeviceList", "x\r\n\\", 2}}, text));
    EXPECT_EQ("# index|type|name|volumes\r\n!qcGetDeviceList|x\\r\\n\\\\|2\r\n1|2|disk|v1;v2;\r\n", text);

    CTempDir dir(L"table");
    CDeviceTable table(dir / L"t.txt");
    ASSERT_TRUE(table.Set(SimDevice{1, 1, L"COM1"}));
    EXPECT_FALSE(table.Set(SimDevice{1, 1, L"bad|name"}));
    ASSERT_EQ(1u, table.Devices().size());
    EXPECT_EQ(L"COM1", table.Devices()[0].name);
}
