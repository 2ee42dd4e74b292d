// The thread's message loop, with message filters (they see each message
// before it is translated and dispatched) and idle handlers (they run when
// the queue runs empty).
#pragma once
#include <windows.h>
#include <vector>

class CMessageFilter
{
public:
    // TRUE: the message is dealt with and is not dispatched.
    virtual BOOL PreTranslateMessage(MSG* msg) = 0;
};

class CIdleHandler
{
public:
    // TRUE: more idle work remains.
    virtual BOOL OnIdle() = 0;
};

class CMessageLoop
{
public:
    virtual ~CMessageLoop() = default;

    BOOL AddMessageFilter(CMessageFilter* filter);
    BOOL RemoveMessageFilter(CMessageFilter* filter);
    BOOL AddIdleHandler(CIdleHandler* handler);
    BOOL RemoveIdleHandler(CIdleHandler* handler);

    // Runs until WM_QUIT; its wParam is the result (-1 when the queue
    // cannot be read).
    int Run();

    // The filters, the last added first; TRUE as soon as one takes it.
    virtual BOOL PreTranslateMessage(MSG* msg);
    // Every idle handler once; TRUE when one of them has more to do.
    virtual BOOL OnIdle(int idleCount);
    // Whether a message ends an idle period (mouse moves, paints and the
    // caret blink do not).
    static BOOL IsIdleMessage(const MSG* msg);

private:
    std::vector<CMessageFilter*> m_filters;
    std::vector<CIdleHandler*> m_idleHandlers;
};

// The loop that runs on the calling thread, for windows that register
// their filters and idle handlers with it. One loop per thread.
BOOL AddThreadMessageLoop(CMessageLoop* loop);
BOOL RemoveThreadMessageLoop();
CMessageLoop* GetThreadMessageLoop();
