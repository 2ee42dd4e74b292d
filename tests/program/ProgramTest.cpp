// The whole program in normal mode: Kestrup.exe started as a process with
// its main window, its phones listed to the co-installer stand-in, driven by
// the remote-control messages from a controller window of this process.
#include "services/Installer.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/DeviceTable.h"
#include "tools/phones/Phones.h"
#include "tools/remote/RemoteControl.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <map>

namespace
{
// The machine set up without QPST, so the program publishes its own engine,
// and the user's settings empty (the defaults stand), for one test.
class CProgramMachine
{
public:
    CProgramMachine()
    {
        DWORD size = sizeof(m_noQpst);
        m_hadNoQpst = SHGetValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST", nullptr, &m_noQpst, &size) ==
                      ERROR_SUCCESS;
        const DWORD one = 1;
        SHSetValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST", REG_DWORD, &one, sizeof(one));
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Olvane\\Kestrup");
    }
    ~CProgramMachine()
    {
        if (m_hadNoQpst)
            SHSetValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST", REG_DWORD, &m_noQpst, sizeof(m_noQpst));
        else
            SHDeleteValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST");
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Olvane\\Kestrup");
    }

private:
    DWORD m_noQpst = 0;
    bool m_hadNoQpst = false;
};

TEST(Program, RemoteRefreshAndFlashReportEveryPhoneExactlyOnce)
{
    CProgramMachine machine;
    CTempDir work(L"program");
    // An image folder the default settings find: a Firehose programmer, one
    // image and a patch that writes the last sector's number.
    const std::string programmer = Pattern(6000, 1), boot = Pattern(70000, 2);
    ASSERT_TRUE(WriteFileBytes(work / L"prog_emmc_firehose_8953.mbn", programmer));
    ASSERT_TRUE(WriteFileBytes(work / L"boot.img", boot));
    ASSERT_TRUE(WriteFileBytes(work / L"rawprogram0.xml",
                               "<?xml version=\"1.0\" ?>\n<data>\n<program SECTOR_SIZE_IN_BYTES=\"512\" "
                               "filename=\"boot.img\" num_partition_sectors=\"137\" physical_partition_number=\"0\" "
                               "start_sector=\"40\"/>\n</data>\n"));
    ASSERT_TRUE(WriteFileBytes(work / L"patch0.xml",
                               "<?xml version=\"1.0\" ?>\n<data>\n<patch SECTOR_SIZE_IN_BYTES=\"512\" "
                               "byte_offset=\"16\" filename=\"DISK\" physical_partition_number=\"0\" "
                               "size_in_bytes=\"8\" start_sector=\"2\" value=\"NUM_DISK_SECTORS-1.\"/>\n</data>\n"));
    std::string expected(8192 * 512, '\0');
    expected.replace(40 * 512, boot.size(), boot);
    expected[2 * 512 + 16] = static_cast<char>(8191 & 0xFF);
    expected[2 * 512 + 17] = static_cast<char>(8191 >> 8);

    std::string why;
    std::unique_ptr<CPhone> flashed =
        MakePhone({L"sahara-emmc", L"", work / L"prog_emmc_firehose_8953.mbn"}, 1, why);
    std::unique_ptr<CPhone> silent = MakePhone({L"silent", L"", L""}, 2, why);
    ASSERT_TRUE(flashed && silent) << why;
    ASSERT_TRUE(flashed->Begin());
    ASSERT_TRUE(silent->Begin());
    CDeviceTable table(work / L"devices.txt"); // inherited by the program and its queries
    ASSERT_TRUE(table.Set({1, 1, flashed->Name(), {}}));
    ASSERT_TRUE(table.Set({2, 1, silent->Name(), {}}));

    std::wstring commandLine = L"\"" + BuiltProgramPath() + L"\"";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, work.Path().c_str(),
                               &startup, &process));
    CloseHandle(process.hThread);
    const HWND main = Remote::FindMainWindow(process.dwProcessId, 60000);
    Remote::CController controller;
    std::map<unsigned, std::vector<bool>> results;
    if (main)
    {
        ASSERT_TRUE(controller.SetImageFolder(main, work.Path()));
        ASSERT_TRUE(controller.Refresh(main));
        ASSERT_TRUE(controller.Flash(main));
        auto supervise = [&] {
            flashed->Supervise();
            return controller.Results().size() >= 2;
        };
        EXPECT_TRUE(controller.Pump(240000, supervise)) << "results: " << controller.Results().size();
        controller.Pump(1500, [&] { return supervise() && false; }); // anything sent twice comes by now
        for (const Remote::Result& result : controller.Results())
            results[result.port].push_back(result.success);
        PostMessageW(main, WM_CLOSE, 0, 0);
    }
    const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
    DWORD exitCode = ~0u;
    GetExitCodeProcess(process.hProcess, &exitCode);
    if (!ended)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    ASSERT_TRUE(main) << "the main window did not appear";
    EXPECT_TRUE(ended);
    EXPECT_EQ(0u, exitCode);

    // One result per serial port, with the port's number and outcome.
    auto port = [](const CPhone& phone) { return static_cast<unsigned>(_wtoi(phone.Name().c_str() + 3)); };
    EXPECT_EQ((std::map<unsigned, std::vector<bool>>{{port(*flashed), {true}}, {port(*silent), {false}}}), results);
    flashed->End();
    EXPECT_TRUE(flashed->Storage() == expected);
    EXPECT_TRUE(flashed->Errors().empty()) << flashed->Errors().front();

    // The failed row's job left its reason in the log, under its port's name.
    const Remote::JobLog log = Remote::ReadJobLog(Remote::ReadLog(work.Path()), silent->Name(), "");
    ASSERT_FALSE(log.texts.empty());
    EXPECT_NE(std::string::npos, log.texts.back().find("hello")) << log.texts.back();
}
} // namespace
