#include "services/Log.h"
#include "services/ProcessObjects.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/LogLines.h"

#include <gtest/gtest.h>
#include <thread>

namespace
{

std::string Narrow(const std::wstring& w)
{
    return std::string(w.begin(), w.end());
}

std::string ThreadPrefix()
{
    char prefix[16];
    wsprintfA(prefix, "[%08X]", GetCurrentThreadId());
    return prefix;
}

} // namespace

KESTRUP_CHILD(TwoThreadsFirstLine)
{
    if (!GetLogFileName().empty())
        return 2;
    const CHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto writer = [&go](int n) {
        WaitForSingleObject(go.Get(), INFINITE);
        WriteLog(L"writer %d", n);
    };
    std::thread a(writer, 1), b(writer, 2);
    SetEvent(go.Get());
    a.join();
    b.join();
    return 0;
}

TEST(Log, TwoThreadsWritingTheFirstLineMakeOneFile)
{
    CTempDir dir(L"log");
    ChildResult r = RunChild(L"TwoThreadsFirstLine", {}, dir.Path());
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(0u, r.exitCode) << "the log file had a name before the first line";
    std::vector<std::wstring> files = ListDirectory(dir.Path(), L"Kestrup-*@*.log");
    ASSERT_EQ(1u, files.size());
    std::string text = ReadWholeFile(dir / files[0]);
    EXPECT_NE(std::string::npos, text.find("]writer 1\r\n"));
    EXPECT_NE(std::string::npos, text.find("]writer 2\r\n"));
    EXPECT_EQ('[', text[0]);
}

TEST(Log, FileNameCarriesTimeAndComputer)
{
    WriteLog(L"%s", L"naming");
    std::wstring name = GetLogFileName();
    wchar_t computer[256];
    DWORD size = 256;
    ASSERT_TRUE(GetComputerNameW(computer, &size));
    size_t slash = name.find_last_of(L"\\/");
    std::wstring base = slash == std::wstring::npos ? name : name.substr(slash + 1);
    ASSERT_EQ(0u, base.find(L"Kestrup-"));
    EXPECT_EQ(base.size() - 4 - lstrlenW(computer), base.rfind(std::wstring(L"@") + computer + L".log") + 1);
}

// An argument is written as it is; in the Western code page, a character
// that it lacks becomes "?", never a look-alike (U+221E is no "8").
TEST(Log, ArgumentsAreWrittenAsTheyAre)
{
    WriteLog(L"%s", L"pct-marker 100%s %d %% \x221E caf\x00E9");
    std::vector<std::string> lines = LogLinesWith("pct-marker");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(ThreadPrefix() + "pct-marker 100%s %d %% ? caf\xE9", lines[0]);
}

// A failure is one line: the function, the line, the system's message
// without its line break and the code; success codes are never logged. A
// code the system has no text for gets the text of E_FAIL.
TEST(Log, ErrorLineFormatAndSuccessCodesAreNeverLogged)
{
    HRESULT hr = LogError(HRESULT(0x80070002), L"Marker::ErrorLine", 4711);
    EXPECT_EQ(HRESULT(0x80070002), hr);
    for (HRESULT success : {HRESULT(0), HRESULT(1), HRESULT(0x7FFFFFFF)})
        EXPECT_EQ(success, LogError(success, L"Marker::ErrorLine", 1));
    std::vector<std::string> lines = LogLinesWith("Marker::ErrorLine");
    ASSERT_EQ(1u, lines.size());
    std::wstring message = GetErrorMessage(HRESULT(0x80070002));
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(std::wstring::npos, message.find_first_of(L"\r\n"));
    EXPECT_EQ(ThreadPrefix() + "Marker::ErrorLine(4711): " + Narrow(message) + "(0x80070002)", lines[0]);
    EXPECT_FALSE(GetErrorMessage(E_FAIL).empty());
    EXPECT_EQ(GetErrorMessage(E_FAIL), GetErrorMessage(HRESULT(0x8004FE12)));
}

TEST(Log, Win32CodesBecomeHResults)
{
    EXPECT_EQ(HRESULT(0x80070005), HResultFromWin32(5));
    EXPECT_EQ(HRESULT(0x80070001), HResultFromWin32(1));
    EXPECT_EQ(HRESULT(0x8007FFFF), HResultFromWin32(0x1FFFF));
    EXPECT_EQ(HRESULT(0), HResultFromWin32(0));
    EXPECT_EQ(HRESULT(0x80004005), HResultFromWin32(static_cast<LONG>(0x80004005)));
}

TEST(Environment, WholeValueOrEmpty)
{
    std::wstring longValue(5000, L'v');
    SetEnvironmentVariableW(L"KestrupTestVar", longValue.c_str());
    EXPECT_EQ(longValue, GetEnvironmentVariableString(L"KestrupTestVar"));
    SetEnvironmentVariableW(L"KestrupTestVar", nullptr);
    EXPECT_EQ(L"", GetEnvironmentVariableString(L"KestrupTestVar"));
}

TEST(DialogTitle, WalksBothTemplateForms)
{
    EXPECT_EQ(L"Extended title", LoadDialogTitle(101)); // ordinal menu, named class
    EXPECT_EQ(L"Plain title", LoadDialogTitle(102));    // named menu, ordinal class
    EXPECT_EQ(L"", LoadDialogTitle(999));
}

TEST(ProcessObjects, DownloadSemaphoreIsSharedByName)
{
    const CHandle h(OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, KESTRUP_DOWNLOAD_SEMAPHORE_NAME));
    ASSERT_TRUE(h);
    // Test programs running beside this one download through it too: wait
    // for it as a job would, within the tests' job bound.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h.Get(), 180000));                             // count 1 ...
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ProcessObjects().hDownloadSemaphore.Get(), 0)); // ... and max 1
    ReleaseSemaphore(h.Get(), 1, nullptr);
}
