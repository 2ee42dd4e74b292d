#include "platform/Dialog.h"
#include "platform/DoubleBuffer.h"
#include "platform/MessageLoop.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

constexpr UINT WM_PROBE = WM_APP + 1;

// Records which entries of its map saw a message.
class CProbeWindow : public CWindowImpl<CProbeWindow>
{
public:
    std::vector<std::string> calls;
    bool passOn = false;
    int finalMessages = 0;
    HWND finalHandle = nullptr;

    BEGIN_MSG_MAP(CProbeWindow)
    MESSAGE_HANDLER(WM_PROBE, OnFirst)
    MESSAGE_HANDLER(WM_PROBE, OnSecond)
    COMMAND_ID_HANDLER(7, OnCommand)
    ALT_MSG_MAP(1)
    MESSAGE_HANDLER(WM_PROBE, OnAlternate)
    END_MSG_MAP()

    LRESULT OnFirst(UINT, WPARAM, LPARAM, BOOL& handled)
    {
        calls.push_back("first");
        handled = !passOn;
        return 1;
    }
    LRESULT OnSecond(UINT, WPARAM, LPARAM, BOOL&)
    {
        calls.push_back("second");
        return 2;
    }
    LRESULT OnAlternate(UINT, WPARAM, LPARAM, BOOL&)
    {
        calls.push_back("alternate");
        return 3;
    }
    LRESULT OnCommand(WORD code, WORD id, HWND, BOOL&)
    {
        calls.push_back("command " + std::to_string(id) + "/" + std::to_string(code));
        return 0;
    }
    void OnFinalMessage(HWND hWnd) override
    {
        ++finalMessages;
        finalHandle = hWnd;
    }
};

TEST(WindowImpl, MessageMapEntriesRunInOrderAndAClearedFlagPassesOn)
{
    CProbeWindow window;
    ASSERT_TRUE(window.Create(nullptr, RECT{0, 0, 50, 50}, L"probe", WS_POPUP));
    EXPECT_EQ(CWindowImplRoot::FromHandle(window), &window);

    EXPECT_EQ(window.SendMessage(WM_PROBE), 1);
    window.passOn = true;
    EXPECT_EQ(window.SendMessage(WM_PROBE), 2);
    window.SendMessage(WM_COMMAND, MAKEWPARAM(7, 3));
    window.SendMessage(WM_COMMAND, MAKEWPARAM(8, 0)); // no entry
    EXPECT_EQ(window.calls, (std::vector<std::string>{"first", "first", "second", "command 7/3"}));

    LRESULT result = 0;
    window.calls.clear();
    EXPECT_TRUE(window.ProcessWindowMessage(window, WM_PROBE, 0, 0, result, 1));
    EXPECT_EQ(result, 3);
    EXPECT_EQ(window.calls, std::vector<std::string>{"alternate"});
    EXPECT_FALSE(window.ProcessWindowMessage(window, WM_PROBE + 1, 0, 0, result, 1));

    // Unhandled messages get the default processing.
    window.SetWindowText(L"renamed");
    EXPECT_EQ(window.GetWindowText(), L"renamed");

    HWND hWnd = window;
    EXPECT_TRUE(window.DestroyWindow());
    EXPECT_EQ(window.finalMessages, 1);
    EXPECT_EQ(window.finalHandle, hWnd);
    EXPECT_EQ(window.m_hWnd, nullptr);
    // The object can make a new window afterwards.
    ASSERT_TRUE(window.Create(nullptr, RECT{0, 0, 10, 10}, nullptr, WS_POPUP));
    EXPECT_TRUE(window.DestroyWindow());
    EXPECT_EQ(window.finalMessages, 2);
}

class CSubclasser : public CWindowImpl<CSubclasser>
{
public:
    int seen = 0;
    BEGIN_MSG_MAP(CSubclasser)
    MESSAGE_HANDLER(WM_PROBE, OnProbe)
    MESSAGE_HANDLER(WM_SETTEXT, OnSetText)
    END_MSG_MAP()
    LRESULT OnProbe(UINT, WPARAM, LPARAM, BOOL&) { return ++seen; }
    LRESULT OnSetText(UINT, WPARAM, LPARAM, BOOL& handled)
    {
        ++seen;
        handled = FALSE; // the control still stores the text
        return 0;
    }
};

TEST(WindowImpl, SubclassingTakesOverAPlainClassWindowUntilItIsDestroyed)
{
    ASSERT_TRUE(RegisterPlainWindowClass(L"KestrupPlainTest"));
    EXPECT_TRUE(RegisterPlainWindowClass(L"KestrupPlainTest")); // twice is fine
    HWND plain = ::CreateWindowExW(0, L"KestrupPlainTest", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                   ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(plain);
    CSubclasser sub;
    ASSERT_TRUE(sub.SubclassWindow(plain));
    CSubclasser other;
    EXPECT_FALSE(other.SubclassWindow(plain)); // one object per window
    EXPECT_EQ(::SendMessageW(plain, WM_PROBE, 0, 0), 1);
    ::SetWindowTextW(plain, L"kept");
    EXPECT_EQ(sub.seen, 2);
    EXPECT_EQ(CWindow(plain).GetWindowText(), L"kept");
    ::DestroyWindow(plain);
    EXPECT_EQ(sub.m_hWnd, nullptr);
}

// A parent that reflects its children's notifications, and a child that
// takes the reflected command.
class CReflectingParent : public CWindowImpl<CReflectingParent>
{
public:
    BEGIN_MSG_MAP(CReflectingParent)
    REFLECT_NOTIFICATIONS()
    END_MSG_MAP()
};

class CReflectedChild : public CWindowImpl<CReflectedChild>
{
public:
    std::vector<UINT> codes;
    BEGIN_MSG_MAP(CReflectedChild)
    MESSAGE_HANDLER(OCM_COMMAND, OnCommand)
    DEFAULT_REFLECTION_HANDLER()
    END_MSG_MAP()
    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM, BOOL&)
    {
        codes.push_back(HIWORD(wParam));
        return 42;
    }
};

TEST(WindowImpl, NotificationsAreReflectedToTheChildThatSentThem)
{
    CReflectingParent parent;
    ASSERT_TRUE(parent.Create(nullptr, RECT{0, 0, 100, 100}, nullptr, WS_POPUP));
    CReflectedChild child;
    ASSERT_TRUE(child.Create(parent, RECT{0, 0, 20, 20}, nullptr, 0, 0, 5));
    EXPECT_EQ(parent.SendMessage(WM_COMMAND, MAKEWPARAM(5, BN_CLICKED), reinterpret_cast<LPARAM>(child.m_hWnd)), 42);
    EXPECT_EQ(child.codes, std::vector<UINT>{BN_CLICKED});
    // A command from a menu names no child: default processing.
    EXPECT_EQ(parent.SendMessage(WM_COMMAND, MAKEWPARAM(5, 0), 0), 0);
    EXPECT_EQ(child.codes.size(), 1u);
    parent.DestroyWindow();
    EXPECT_EQ(child.m_hWnd, nullptr); // destroyed with its parent
}

class CBufferedWindow : public CWindowImpl<CBufferedWindow>, public CDoubleBufferImpl<CBufferedWindow>
{
public:
    BEGIN_MSG_MAP(CBufferedWindow)
    CHAIN_MSG_MAP(CDoubleBufferImpl<CBufferedWindow>)
    END_MSG_MAP()

    void DoPaint(HDC dc)
    {
        RECT clip{};
        ::GetClipBox(dc, &clip);
        clipSeen = clip;
        HBRUSH brush = ::CreateSolidBrush(RGB(10, 200, 30));
        RECT left{0, 0, 20, 40};
        ::FillRect(dc, &left, brush);
        ::DeleteObject(brush);
    }
    RECT clipSeen{};
};

TEST(DoubleBuffer, PrintClientDrawsTheWholeClientAreaEraseNothingAndPaintingValidatesTheUpdate)
{
    CBufferedWindow window;
    ASSERT_TRUE(window.Create(nullptr, RECT{0, 0, 60, 40}, nullptr, WS_POPUP | WS_VISIBLE, WS_EX_NOACTIVATE));
    RECT client{};
    window.GetClientRect(&client);

    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, client.right, client.bottom);
    ::ReleaseDC(nullptr, screen);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::FillRect(memory, &client, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    EXPECT_EQ(window.SendMessage(WM_ERASEBKGND, reinterpret_cast<WPARAM>(memory)), 1);
    EXPECT_EQ(::GetPixel(memory, 30, 5), RGB(255, 255, 255));
    EXPECT_EQ(window.SendMessage(WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory), PRF_CLIENT), 0);
    EXPECT_EQ(::GetPixel(memory, 5, 5), RGB(10, 200, 30));
    EXPECT_EQ(::GetPixel(memory, 30, 5), RGB(0, 0, 0)); // the buffer starts black: it was blitted
    EXPECT_TRUE(::EqualRect(&window.clipSeen, &client));
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);

    window.UpdateWindow(); // the first paint covers everything
    RECT part{5, 6, 25, 16};
    window.InvalidateRect(&part, FALSE);
    window.UpdateWindow();
    RECT left{};
    EXPECT_FALSE(::GetUpdateRect(window, &left, FALSE));
    // Drawn in window coordinates, clipped to the update.
    EXPECT_TRUE(::EqualRect(&window.clipSeen, &part));
    window.DestroyWindow();
}

struct RecordingFilter : CMessageFilter
{
    std::vector<std::string>* log;
    std::string name;
    BOOL swallow;
    RecordingFilter(std::vector<std::string>* l, std::string n, BOOL s) : log(l), name(std::move(n)), swallow(s) {}
    BOOL PreTranslateMessage(MSG* msg) override
    {
        if (msg->message != WM_PROBE)
            return FALSE;
        log->push_back(name);
        return swallow;
    }
};

struct CountingIdle : CIdleHandler
{
    int calls = 0;
    BOOL OnIdle() override
    {
        if (++calls == 1)
            ::PostQuitMessage(7);
        return FALSE;
    }
};

TEST(MessageLoop, FiltersRunNewestFirstAndIdleHandlersRunWhenTheQueueIsEmpty)
{
    std::vector<std::string> log;
    RecordingFilter older(&log, "older", TRUE), newer(&log, "newer", FALSE);
    CProbeWindow window;
    ASSERT_TRUE(window.Create(nullptr, RECT{0, 0, 10, 10}, nullptr, WS_POPUP));

    CMessageLoop loop;
    ASSERT_TRUE(AddThreadMessageLoop(&loop));
    EXPECT_FALSE(AddThreadMessageLoop(&loop));
    EXPECT_EQ(GetThreadMessageLoop(), &loop);
    EXPECT_TRUE(loop.AddMessageFilter(&older));
    EXPECT_TRUE(loop.AddMessageFilter(&newer));
    EXPECT_FALSE(loop.AddMessageFilter(&newer));
    CountingIdle idle;
    EXPECT_TRUE(loop.AddIdleHandler(&idle));

    window.PostMessage(WM_PROBE);
    EXPECT_EQ(loop.Run(), 7);
    EXPECT_EQ(log, (std::vector<std::string>{"newer", "older"}));
    EXPECT_TRUE(window.calls.empty()); // the older filter swallowed it

    // Without the swallowing filter the message reaches the window.
    EXPECT_TRUE(loop.RemoveMessageFilter(&older));
    EXPECT_FALSE(loop.RemoveMessageFilter(&older));
    idle.calls = 0;
    window.PostMessage(WM_PROBE);
    EXPECT_EQ(loop.Run(), 7);
    EXPECT_EQ(window.calls, std::vector<std::string>{"first"});

    EXPECT_TRUE(RemoveThreadMessageLoop());
    EXPECT_EQ(GetThreadMessageLoop(), nullptr);
    window.DestroyWindow();
}

constexpr UINT WM_END_PROBE = WM_APP + 2;

class CTestDialog : public CDialogImpl<CTestDialog>
{
public:
    enum
    {
        IDD = 100
    };
    LPARAM initParam = -1;
    int clicks = 0;
    int finalMessages = 0;

    BEGIN_MSG_MAP(CTestDialog)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_END_PROBE, OnEnd)
    COMMAND_ID_HANDLER(1001, OnGo)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM lParam, BOOL&)
    {
        initParam = lParam;
        if (lParam == 2)
            PostMessage(WM_END_PROBE);
        return TRUE;
    }
    LRESULT OnEnd(UINT, WPARAM, LPARAM, BOOL&)
    {
        EndDialog(55);
        return 0;
    }
    LRESULT OnGo(WORD, WORD, HWND, BOOL&)
    {
        ++clicks;
        return 0;
    }
    void OnFinalMessage(HWND) override { ++finalMessages; }
};

TEST(Dialog, ModelessAndModalDialogsComeFromTheTemplate)
{
    CTestDialog modeless;
    ASSERT_TRUE(modeless.Create(nullptr, 1));
    EXPECT_EQ(modeless.initParam, 1);
    ASSERT_TRUE(modeless.GetDlgItem(1001));
    ::SendMessageW(modeless.GetDlgItem(1001), BM_CLICK, 0, 0);
    EXPECT_EQ(modeless.clicks, 1);
    EXPECT_TRUE(modeless.EndDialog(0)); // modeless: destroyed
    EXPECT_EQ(modeless.m_hWnd, nullptr);
    EXPECT_EQ(modeless.finalMessages, 1);

    CTestDialog modal;
    EXPECT_EQ(modal.DoModal(nullptr, 2), 55);
    EXPECT_EQ(modal.initParam, 2);
    EXPECT_EQ(modal.m_hWnd, nullptr);
    EXPECT_EQ(modal.finalMessages, 1);
}

} // namespace
