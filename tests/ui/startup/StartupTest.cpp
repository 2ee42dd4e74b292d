// The command-line switches, what each start mode runs, and the module's
// shutdown watch.
#include "platform/Module.h"
#include "ui/Startup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace
{
using Clock = std::chrono::steady_clock;

TEST(CommandLine, SwitchRunsToTheEndOfTheLine)
{
    struct Case
    {
        const wchar_t* line;
        StartMode mode;
    };
    const Case cases[] = {
        {L"C:\\Kestrup\\Kestrup.exe /regserver", StartMode::Register},
        {L"Kestrup.exe -REGSERVER", StartMode::Register},
        {L"Kestrup.exe /UnregServer", StartMode::Unregister},
        {L"Kestrup.exe -Embedding", StartMode::Server},
        {L"Kestrup.exe /automation", StartMode::Server},
        // A "-" inside the path is tried and fails; the later switch decides.
        {L"\"C:\\my-tools\\Kestrup.exe\" -Embedding", StartMode::Server},
        // Something after the switch makes it part of the switch text.
        {L"Kestrup.exe /RegServer -Embedding", StartMode::Server},
        {L"Kestrup.exe /RegServer /x", StartMode::Normal},
        {L"Kestrup.exe /RegServer ", StartMode::Normal},
        {L"Kestrup.exe RegServer", StartMode::Normal},
        {L"Kestrup.exe /Reg", StartMode::Normal},
        {L"Kestrup.exe", StartMode::Normal},
        {L"", StartMode::Normal},
        {nullptr, StartMode::Normal},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.mode, ReadCommandLine(c.line)) << (c.line ? c.line : L"(null)");
}

// What the stand-in steps were asked to do.
struct Record
{
    int installs = 0;
    int removals = 0;
    int monitors = 0;
    int runs = 0;
    int runShow = -1;
};
Record g_record;

StartupSteps FakeSteps()
{
    g_record = Record();
    return {[](bool install) { ++(install ? g_record.installs : g_record.removals); },
            [] {
                ++g_record.monitors;
                return std::unique_ptr<CAutoExecutor>();
            },
            [](const wchar_t*, int show) {
                ++g_record.runs;
                g_record.runShow = show;
                return 7;
            }};
}

TEST(StartProgram, InstallerSwitchesEndWithZeroAndNothingElse)
{
    const auto start = Clock::now();
    EXPECT_EQ(0, StartProgram(L"Kestrup.exe /regserver", SW_SHOW, FakeSteps()));
    EXPECT_EQ(1, g_record.installs);
    EXPECT_EQ(0, g_record.removals);
    EXPECT_EQ(0, g_record.monitors);
    EXPECT_EQ(0, g_record.runs);

    EXPECT_EQ(0, StartProgram(L"Kestrup.exe -UnregServer", SW_SHOW, FakeSteps()));
    EXPECT_EQ(0, g_record.installs);
    EXPECT_EQ(1, g_record.removals);
    EXPECT_EQ(0, g_record.monitors);
    EXPECT_EQ(0, g_record.runs);
    // Neither waits for the closing pause.
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
}

TEST(StartProgram, NormalModeRunsTheWindowLoopThenPauses)
{
    const auto start = Clock::now();
    EXPECT_EQ(7, StartProgram(L"Kestrup.exe /RegServer /x", SW_SHOWMINIMIZED, FakeSteps()));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 0.95);
    EXPECT_EQ(0, g_record.installs);
    EXPECT_EQ(1, g_record.monitors);
    EXPECT_EQ(1, g_record.runs);
    EXPECT_EQ(SW_SHOWMINIMIZED, g_record.runShow);

    // A window that cleared the pause while holding the last lock.
    const StartupSteps steps = FakeSteps();
    StartupSteps quick = steps;
    quick.run = [](const wchar_t*, int) {
        g_Module.m_dwTimeOut = 0;
        g_Module.m_dwPause = 0;
        return 3;
    };
    const auto again = Clock::now();
    EXPECT_EQ(3, StartProgram(L"Kestrup.exe", SW_SHOW, quick));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - again).count(), 0.5);
}

// Whether WM_QUIT reaches this thread's queue within `ms`.
bool QuitPosted(DWORD ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    MSG msg;
    do
    {
        if (PeekMessageW(&msg, reinterpret_cast<HWND>(-1), WM_QUIT, WM_QUIT, PM_REMOVE))
            return true;
        Sleep(10);
    } while (Clock::now() < end);
    return false;
}

TEST(ShutdownWatch, QuitsOnlyAfterTheLastUnlockOrAnArmedStartAndAQuietTimeOut)
{
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    const DWORD timeOut = g_Module.m_dwTimeOut;
    g_Module.m_dwTimeOut = 300;
    ASSERT_TRUE(g_Module.StartMonitor(GetCurrentThreadId()));
    EXPECT_FALSE(g_Module.StartMonitor(GetCurrentThreadId())) << "one watch per module";

    // Never unlocked to 0 yet: no end.
    EXPECT_FALSE(QuitPosted(600));

    // Held: no end, even after the count has been 0 once and the time-out passed.
    g_Module.Lock();
    g_Module.Unlock();
    g_Module.Lock();
    EXPECT_FALSE(QuitPosted(800));

    // Activity within the time-out starts the wait again.
    g_Module.Unlock();
    Sleep(200);
    g_Module.Lock();
    g_Module.Unlock();
    const auto last = Clock::now();
    EXPECT_TRUE(QuitPosted(3000));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - last).count(), 0.25);
    g_Module.EndMonitor();

    // Armed at the start of a server: a client that holds the module keeps
    // it past the time-out; without any client the time-out alone ends it.
    ASSERT_TRUE(g_Module.StartMonitor(GetCurrentThreadId()));
    g_Module.Lock();
    g_Module.ArmShutdown();
    EXPECT_FALSE(QuitPosted(800));
    g_Module.Unlock();
    EXPECT_TRUE(QuitPosted(5000));
    g_Module.EndMonitor();
    ASSERT_TRUE(g_Module.StartMonitor(GetCurrentThreadId()));
    g_Module.ArmShutdown();
    EXPECT_TRUE(QuitPosted(5000));

    g_Module.EndMonitor();
    g_Module.m_dwTimeOut = timeOut;
    EXPECT_EQ(0, g_Module.GetLockCount());
}

TEST(ShutdownWatch, EndMonitorStopsARunningWatch)
{
    g_Module.m_dwTimeOut = 10000;
    ASSERT_TRUE(g_Module.StartMonitor(GetCurrentThreadId()));
    g_Module.Lock();
    g_Module.Unlock(); // the watch now waits out its time-out
    const auto start = Clock::now();
    g_Module.EndMonitor();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
    EXPECT_FALSE(QuitPosted(100));
    // Unlocks after the end touch no event.
    g_Module.Lock();
    EXPECT_EQ(0, g_Module.Unlock());
    g_Module.m_dwTimeOut = 5000;
}
} // namespace
