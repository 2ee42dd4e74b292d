// The command-line switches, what each start mode runs, and the module's
// shutdown watch.
#include "platform/Module.h"
#include "tests/fixtures/BoundedRun.h"
#include "ui/Startup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(CommandLine, SwitchRunsToTheEndOfTheLine)
{
    const std::pair<const wchar_t*, StartMode> cases[] = {
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
    for (const auto& [line, mode] : cases)
        EXPECT_EQ(mode, ReadCommandLine(line)) << (line ? line : L"(null)");
}

// What the stand-in steps were asked to do, and the module's times the
// window's loop found.
struct Record
{
    int installs = 0;
    int removals = 0;
    int monitors = 0;
    int runs = 0;
    int runShow = -1;
    DWORD timeOut = 0;
    DWORD pause = 0;
    bool mtaWhileRunning = false;
} g_record;

// How often each stand-in step ran: installs, removals, monitors, runs.
std::vector<int> Calls()
{
    return {g_record.installs, g_record.removals, g_record.monitors, g_record.runs};
}

// Whether the multithreaded apartment exists, as a thread outside COM sees it.
bool MtaAlive()
{
    bool alive = false;
    std::thread([&] {
        APTTYPE type{};
        APTTYPEQUALIFIER qualifier{};
        alive = CoGetApartmentType(&type, &qualifier) == S_OK && type == APTTYPE_MTA &&
                qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA;
    }).join();
    return alive;
}

// The stand-in steps leave `pause` as the closing pause behind them.
StartupSteps FakeSteps()
{
    g_record = Record();
    return {[](bool install) {
                ++(install ? g_record.installs : g_record.removals);
                g_Module.m_dwPause = 600000; // waited for, it holds the run past its bound
            },
            [] {
                ++g_record.monitors;
                return std::unique_ptr<CAutoExecutor>();
            },
            [](const wchar_t*, int show) {
                ++g_record.runs;
                g_record.runShow = show;
                g_record.timeOut = g_Module.m_dwTimeOut;
                g_record.pause = g_Module.m_dwPause;
                g_record.mtaWhileRunning = MtaAlive();
                g_Module.m_dwPause = 2000; // a window that changed it while it ran
                return 7;
            }};
}

TEST(StartProgram, InstallerSwitchesEndAtOnceWithZeroAndTheWindowLoopIsFollowedByThePause)
{
    for (const auto& [line, install] :
         {std::make_pair(L"Kestrup.exe /regserver", true), std::make_pair(L"Kestrup.exe -UnregServer", false)})
    {
        SCOPED_TRACE(testing::Message() << line);
        int exitCode = -1;
        RunBounded(120000, [&] { return exitCode = StartProgram(line, SW_SHOW, FakeSteps()), S_OK; });
        EXPECT_EQ(0, exitCode);
        EXPECT_EQ((std::vector<int>{install ? 1 : 0, install ? 0 : 1, 0, 0}), Calls());
    }

    // The window's loop runs with the multithreaded apartment held open, and
    // only then.
    ASSERT_FALSE(MtaAlive());
    const auto start = Clock::now();
    EXPECT_EQ(7, StartProgram(L"Kestrup.exe /RegServer /x", SW_SHOWMINIMIZED, FakeSteps()));
    EXPECT_TRUE(g_record.mtaWhileRunning);
    EXPECT_FALSE(MtaAlive());
    EXPECT_EQ((std::vector<int>{0, 0, 1, 1}), Calls());
    EXPECT_EQ(SW_SHOWMINIMIZED, g_record.runShow);
    EXPECT_EQ(5000u, g_record.timeOut);
    EXPECT_EQ(1000u, g_record.pause);
    // The pause is the one the window left behind.
    EXPECT_GE(SecondsSince(start), 1.9);
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
    constexpr DWORD kEnds = 60000; // a watch that should end has this long
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    const DWORD timeOut = g_Module.m_dwTimeOut;
    // Long beside the sleeps below, so that a loaded machine cannot stretch
    // one of them past it.
    g_Module.m_dwTimeOut = 1500;
    ASSERT_TRUE(g_Module.StartMonitor(GetCurrentThreadId()));
    EXPECT_FALSE(g_Module.StartMonitor(GetCurrentThreadId())) << "one watch per module";

    // Never unlocked to 0 yet: no end.
    EXPECT_FALSE(QuitPosted(2000));

    // Held: no end, even after the count has been 0 once and the time-out passed.
    g_Module.Lock();
    g_Module.Unlock();
    g_Module.Lock();
    EXPECT_FALSE(QuitPosted(2000));

    // Activity within the time-out starts the wait again. A machine that
    // holds this thread past the time-out between the two unlocks shows
    // nothing of it: the step is then tried again, at most five times.
    double quiet = 0;
    for (int attempt = 0; attempt < 5; ++attempt)
    {
        g_Module.Unlock();
        const auto first = Clock::now();
        Sleep(500);
        g_Module.Lock();
        g_Module.Unlock();
        const bool within = SecondsSince(first) < 1.0;
        const auto last = Clock::now();
        EXPECT_TRUE(QuitPosted(kEnds));
        quiet = SecondsSince(last);
        g_Module.EndMonitor();
        if (within)
            break;
        ASSERT_TRUE(g_Module.StartMonitor(GetCurrentThreadId()));
        g_Module.Lock();
    }
    EXPECT_GE(quiet, 1.4);

    // Armed at the start of a server: a client that holds the module keeps
    // it past the time-out; without any client the time-out alone ends it.
    ASSERT_TRUE(g_Module.StartMonitor(GetCurrentThreadId()));
    g_Module.Lock();
    g_Module.ArmShutdown();
    EXPECT_FALSE(QuitPosted(2000));
    g_Module.Unlock();
    EXPECT_TRUE(QuitPosted(kEnds));
    g_Module.EndMonitor();
    ASSERT_TRUE(g_Module.StartMonitor(GetCurrentThreadId()));
    g_Module.ArmShutdown();
    EXPECT_TRUE(QuitPosted(kEnds));
    g_Module.EndMonitor();

    // A watch in the middle of a long time-out is stopped, not waited out.
    g_Module.m_dwTimeOut = 3600000;
    ASSERT_TRUE(g_Module.StartMonitor(GetCurrentThreadId()));
    g_Module.Lock();
    g_Module.Unlock();
    RunBounded(120000, [] { return g_Module.EndMonitor(), S_OK; });
    EXPECT_FALSE(QuitPosted(100));
    // Unlocks after the end touch no event.
    g_Module.Lock();
    EXPECT_EQ(0, g_Module.Unlock());
    g_Module.m_dwTimeOut = timeOut;
}
} // namespace
