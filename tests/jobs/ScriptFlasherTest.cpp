#include "jobs/IntelDNXFlasher.h"
#include "jobs/ScriptReport.h"
#include "services/Log.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/DeviceTable.h"
#include "tests/jobs/JobTestSupport.h"

#include <algorithm>

namespace
{

std::wstring CurrentDirectory()
{
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    return cwd;
}

// Batch file lines joined with CR LF.
std::string Script(std::initializer_list<std::string> lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

size_t IndexOf(const std::vector<std::string>& texts, const std::string& text)
{
    return static_cast<size_t>(std::find(texts.begin(), texts.end(), text) - texts.begin());
}

bool StartsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// Runs the script flashers against batch scripts in a folder whose name holds
// a blank, with the fake fastboot in "Google\Android" below the current
// directory (one of the default search directories).
class ScriptFlasher : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring fake = self;
        fake = fake.substr(0, fake.find_last_of(L'\\') + 1) + L"fake_fastboot.exe";
        CreateDirectoryW(L"Google", nullptr);
        CreateDirectoryW(L"Google\\Android", nullptr);
        const wchar_t* tool = L"Google\\Android\\fastboot.exe";
        // A copy still running from an earlier suite cannot be replaced, and need not be.
        ASSERT_TRUE(CopyFileW(fake.c_str(), tool, FALSE) || GetFileAttributesW(tool) != INVALID_FILE_ATTRIBUTES);
    }

    std::wstring WriteScript(const std::wstring& name, const std::string& text)
    {
        std::wstring path = m_dir / name;
        EXPECT_TRUE(WriteWholeFile(path, text));
        return path;
    }

    CTempDir m_dir{L"script dir"};
};

TEST_F(ScriptFlasher, FastbootProgressGrowsByFinishedLinesAndIsFullAtTheEnd)
{
    std::wstring script = WriteScript(L"flash-all.bat", Script({
                                                            "@echo off",
                                                            "echo serial %1 %2",
                                                            "echo path %PATH%",
                                                            "echo writing boot... finished",
                                                            "echo writing system... FINISHED",
                                                            "echo writing userdata... Finished",
                                                            "fastboot wait \"%~dp0go.flag\"",
                                                            "exit /b 0",
                                                        }));
    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CFastBootFlasher::StartFlash(L"FB01", script.c_str(), &job));
    ASSERT_TRUE(WaitFor([&] { return job->GetProgress() == 15; }));
    Sleep(200);
    EXPECT_FALSE(job->IsFinished());
    EXPECT_EQ(15, job->GetProgress());
    WriteWholeFile(m_dir / L"go.flag", "");
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(S_OK, job->GetResult());
    EXPECT_EQ(100, job->GetProgress());

    std::vector<std::string> texts = JobLogTexts(L"FB01");
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ("execute " + Narrow(script), texts[0]);
    EXPECT_EQ("serial -s FB01", texts[1]);
    // The tool folder, in quotes, in front of the inherited path.
    EXPECT_TRUE(StartsWith(texts[2], "path \"" + Narrow(CurrentDirectory()) + "\\Google\\Android\";")) << texts[2];
    // The script found the fake fastboot through that path.
    EXPECT_LT(IndexOf(texts, "fastboot wait " + Narrow(m_dir / L"go.flag")), texts.size());
}

TEST_F(ScriptFlasher, OutputLinesAndExitCodeDecideTheResult)
{
    struct Case
    {
        const char* name;
        bool nvflash;
        std::string body;
        HRESULT result;
        const char* lastLine; // the newest line of the finished job
    };
    const Case cases[] = {
        {"exit 0", false, "echo all done\r\nexit /b 0", S_OK, ""},
        {"exit 2", false, "echo all done\r\nexit /b 2", static_cast<HRESULT>(0xFFFFFFFE), ""},
        {"capital FAILED", false, "echo FAILED (remote: unknown partition)\r\necho after\r\nexit /b 0", E_FAIL,
         "FAILED (remote: unknown partition)"},
        {"zero errors", false, "echo flashed with 0 errors\r\nexit /b 0", E_FAIL, "flashed with 0 errors"},
        {"nvflash Failed", true, "echo bootloader Failed\r\necho after\r\nexit /b 0", E_FAIL, "bootloader Failed"},
        {"nvflash ERROR", true, "echo ERROR: no device\r\necho after\r\nexit /b 0", E_FAIL, "ERROR: no device"},
    };
    int n = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::wstring device = L"CASE" + std::to_wstring(++n);
        std::wstring script = WriteScript(device + L".cmd", "@echo off\r\n" + c.body + "\r\n");
        ComPtr<IDeviceReport> job;
        if (c.nvflash)
            ASSERT_EQ(S_OK, CNvBootFlasher::StartFlash(device.c_str(), script.c_str(), &job));
        else
            ASSERT_EQ(S_OK, CFastBootFlasher::StartFlash(device.c_str(), script.c_str(), &job));
        ASSERT_TRUE(WaitFinished(job.Get()));
        EXPECT_EQ(c.result, job->GetResult());
        std::vector<std::string> texts = JobLogTexts(device);
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(c.lastLine, texts.back());
        EXPECT_EQ(texts.size(), IndexOf(texts, "after"));
    }
}

TEST_F(ScriptFlasher, AMissingScriptFailsWithFileNotFoundAndNamesIt)
{
    std::wstring script = m_dir / L"missing.bat";
    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CFastBootFlasher::StartFlash(L"FB404", script.c_str(), &job));
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), job->GetResult());
    EXPECT_EQ(GetErrorMessage(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) + L"(0x80070002: execute " + script + L")",
              StatusText(job.Get()));
}

TEST_F(ScriptFlasher, NvflashSplitsLongLinesAndRunsWithoutItsToolFolder)
{
    std::string longLine(3000, 'A');
    std::wstring script = WriteScript(L"nvflash.bat", Script({
                                                          "@echo off",
                                                          "echo instance %1 %2",
                                                          "echo path %PATH%",
                                                          "echo " + longLine,
                                                          "exit /b 0",
                                                      }));
    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CNvBootFlasher::StartFlash(L"NV01", script.c_str(), &job));
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(S_OK, job->GetResult());

    std::vector<std::string> texts = JobLogTexts(L"NV01");
    ASSERT_EQ(7u, texts.size());
    EXPECT_EQ("instance --instance NV01", texts[1]);
    // No "Nvidia\NvFlash" anywhere: the bare name goes in front of the path.
    EXPECT_TRUE(StartsWith(texts[2], "path \"Nvidia\\NvFlash\";")) << texts[2];
    EXPECT_EQ(std::string(1023, 'A'), texts[3]);
    EXPECT_EQ(std::string(1023, 'A'), texts[4]);
    EXPECT_EQ(std::string(954, 'A'), texts[5]);
    EXPECT_EQ("", texts[6]); // the pass that meets the end of the output
}

class IntelDNX : public ScriptFlasher
{
protected:
    IntelDNX() : m_table(CurrentDirectory() + L"\\dnx-devices.txt")
    {
        // The phone keeps its index across the mode change.
        m_table.SetAnswer({"qcGetDeviceIndex", "7", 0});
        m_table.Set({7, 5, L"DNX7", {}});
        m_script = WriteScript(L"flash-all.bat", Script({"@echo off", "echo serial %1 %2", "exit /b 0"}));
        s_table = &m_table;
        s_pausedMs = 0;
        s_backAfterMs = 0;
        m_previousPause = SetFastBootWaitPause(Pause);
    }
    ~IntelDNX() override
    {
        SetFastBootWaitPause(m_previousPause);
        s_table = nullptr;
    }

    // The wait's pauses pass at once but count; once they add up to
    // s_backAfterMs (0: never) the phone is back in fastboot mode as "FB7".
    static void WINAPI Pause(DWORD milliseconds)
    {
        s_pausedMs += milliseconds;
        if (s_backAfterMs && s_pausedMs >= s_backAfterMs)
            s_table->Set({7, 3, L"FB7", {}});
    }

    CDeviceTable m_table;
    std::wstring m_script;
    FastBootWaitPause m_previousPause = nullptr;
    static inline CDeviceTable* s_table = nullptr;
    static inline DWORD s_pausedMs = 0, s_backAfterMs = 0;
};

TEST_F(IntelDNX, APhoneBackAfterFiveSecondsGetsTheScriptUnderItsNewName)
{
    std::wstring loader = WriteScript(L"loader.efi", "efi");
    s_backAfterMs = 5000;
    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CIntelDNXFlasher::StartFlash(L"DNX7", loader.c_str(), m_script.c_str(), &job));
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(S_OK, job->GetResult());
    EXPECT_EQ(100, job->GetProgress());

    std::vector<std::string> before = JobLogTexts(L"DNX7");
    std::vector<std::string> expected = {
        "GetDeviceIndex in dnx fastboot 7",
        "GetDeviceName  in dnx fastboot  DNX7",
        "Boot into kernelflinger " + Narrow(loader),
        "fastboot boot " + Narrow(loader) + " -s DNX7",
        "finished. total time: 0.010s",
        "",
    };
    for (int pass = 0; pass < 5; ++pass)
    {
        expected.push_back("GetDeviceIndex  in fastboot 7");
        expected.push_back("GetDeviceName  in fastboot ");
        expected.push_back("Wait device connect " + std::to_string(pass));
    }
    expected.push_back("GetDeviceIndex  in fastboot 7");
    expected.push_back("GetDeviceName  in fastboot FB7");
    EXPECT_EQ(expected, before);
    // From the rename on the job logs under the fastboot name.
    std::vector<std::string> after = JobLogTexts(L"FB7");
    EXPECT_EQ((std::vector<std::string>{"execute " + Narrow(m_script), "serial -s FB7", ""}), after);
}

// Sixty seconds, 61 queries: the last one is not followed by a wait.
TEST_F(IntelDNX, APhoneThatNeverComesBackEndsTheJobAfterSixtySeconds)
{
    std::wstring loader = WriteScript(L"loader.efi", "efi");
    m_table.Set({7, 5, L"DNX6", {}});
    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CIntelDNXFlasher::StartFlash(L"DNX6", loader.c_str(), m_script.c_str(), &job));
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(kDeviceNotBackResult, job->GetResult());
    EXPECT_EQ(60000u, s_pausedMs);

    std::vector<std::string> waits;
    for (int pass = 0; pass < 60; ++pass)
        waits.push_back("Wait device connect " + std::to_string(pass));
    EXPECT_EQ(waits, JobLogTexts(L"DNX6", "Wait device connect "));
    std::vector<std::string> texts = JobLogTexts(L"DNX6");
    EXPECT_EQ(61, std::count(texts.begin(), texts.end(), "GetDeviceIndex  in fastboot 7"));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ("GetDeviceName  in fastboot ", texts.back());
}

TEST_F(IntelDNX, ABootFailureOrAMissingImageEndsTheJobBeforeAnyWait)
{
    std::wstring failing = WriteScript(L"failure.efi", "efi");
    ComPtr<IDeviceReport> job;
    m_table.Set({7, 5, L"DNX9", {}});
    ASSERT_EQ(S_OK, CIntelDNXFlasher::StartFlash(L"DNX9", failing.c_str(), m_script.c_str(), &job));
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(E_FAIL, job->GetResult());
    std::vector<std::string> texts = JobLogTexts(L"DNX9");
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ("fastboot boot " + Narrow(failing) + " -s DNX9", texts[3]);

    m_table.Set({8, 5, L"DNX8", {}});
    std::wstring missing = m_dir / L"loader.efi";
    ASSERT_EQ(S_OK, CIntelDNXFlasher::StartFlash(L"DNX8", missing.c_str(), m_script.c_str(), &job));
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), job->GetResult());
    EXPECT_EQ((std::vector<std::string>{"GetDeviceIndex in dnx fastboot 7", "GetDeviceName  in dnx fastboot  DNX8"}),
              JobLogTexts(L"DNX8"));
}

} // namespace
