#include "FakeProgressDialog.h"
#include "services/ShellProgress.h"
#include "tests/fixtures/LogLines.h"

#include <gtest/gtest.h>

namespace
{
class ShellProgressTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(ShellProgressTest, StyleFlagsCollectedBeforeTheStartAreHandedToIt)
{
    ProgressRecord record;
    record.cancelAfter = 1;
    {
        CFakeProgressDialogClass fake(record);
        ASSERT_TRUE(fake.Registered());
        CSHProgressWnd window;
        ASSERT_TRUE(window.IsCreated());
        window.ShowTime(false);
        window.ShowTime(true); // replaces "no time" rather than adding to it
        window.ShowMinimize(false);
        window.ShowProgressBar(false);
        window.ShowProgressBar(true);
        window.SetTitle(L"title");
        window.SetRange(3, 22);
        EXPECT_EQ(0, record.starts);
        EXPECT_EQ(S_OK, window.ShowModeless());
        EXPECT_TRUE(window.IsShown());
        EXPECT_EQ(DWORD(PROGDLG_AUTOTIME | PROGDLG_NOMINIMIZE), record.startFlags);
        window.ShowTime(false);
        window.ShowMinimize(true);
        EXPECT_EQ(DWORD(PROGDLG_NOTIME), window.GetFlags());

        EXPECT_EQ(3u, record.completed);
        window.SetPos(5);
        EXPECT_EQ(5u, record.completed);
        EXPECT_EQ(22u, record.total);
        window.SetLine(2, L"C:\\some\\path", true);
        EXPECT_EQ(L"C:\\some\\path", record.lines[2]);
        EXPECT_EQ(L"title", record.title);

        EXPECT_FALSE(window.IsCancelled());
        EXPECT_TRUE(window.IsCancelled());

        window.Close();
        window.Close();
        EXPECT_EQ(1, record.stops);
        EXPECT_FALSE(window.IsShown());
    }
    EXPECT_EQ(1, record.stops); // closed already: the destructor does not stop again
    EXPECT_EQ(0, record.liveObjects);
}

// A shown dialog is stopped by the destructor; one whose start failed is
// never stopped, and the failure is logged. Either way the dialog object is
// released.
TEST_F(ShellProgressTest, DestructionStopsOnlyAShownDialogAndReleasesIt)
{
    for (HRESULT start : {S_OK, E_FAIL})
    {
        ProgressRecord record;
        record.startResult = start;
        CFakeProgressDialogClass fake(record);
        {
            CSHProgressWnd window;
            const size_t before = CountErrorLines("CSHProgressWnd::ShowModeless", 193, E_FAIL);
            EXPECT_EQ(start, window.ShowModeless());
            EXPECT_EQ(before + (FAILED(start) ? 1 : 0), CountErrorLines("CSHProgressWnd::ShowModeless", 193, E_FAIL));
            EXPECT_EQ(SUCCEEDED(start), window.IsShown());
            if (FAILED(start))
                window.Close(); // nothing to stop
        }
        EXPECT_EQ(1, record.starts);
        EXPECT_EQ(SUCCEEDED(start) ? 1 : 0, record.stops);
        EXPECT_EQ(0, record.liveObjects);
    }
}

TEST_F(ShellProgressTest, WithoutADialogObjectEveryCallIsHarmless)
{
    ProgressRecord record;
    record.createResult = E_OUTOFMEMORY;
    CFakeProgressDialogClass fake(record);
    const size_t before = CountErrorLines("CSHProgressWnd::CSHProgressWnd", 58, E_OUTOFMEMORY);
    CSHProgressWnd window;
    EXPECT_FALSE(window.IsCreated());
    EXPECT_EQ(before + 1, CountErrorLines("CSHProgressWnd::CSHProgressWnd", 58, E_OUTOFMEMORY));
    window.SetTitle(L"t");
    window.SetAnimation(201);
    window.SetRange(1, 2);
    window.SetLine(1, L"x");
    EXPECT_TRUE(FAILED(window.ShowModeless()));
    EXPECT_FALSE(window.IsShown());
    EXPECT_FALSE(window.IsCancelled());
    window.Close();
}

TEST_F(ShellProgressTest, TheShellsOwnDialogShowsAndCloses)
{
    CSHProgressWnd window;
    ASSERT_TRUE(window.IsCreated());
    window.ShowTime(true);
    window.SetTitle(L"Kestrup");
    window.SetRange(0, 22);
    ASSERT_EQ(S_OK, window.ShowModeless());
    window.SetLine(1, L"Install backend component");
    window.SetPos(11);
    EXPECT_FALSE(window.IsCancelled());
    window.Close();
    EXPECT_FALSE(window.IsShown());
}
} // namespace
