// What the user-interface tests share.
//
// Windows of other test programs running at the same time take the
// activation, and with it the keyboard focus, from windows on the same
// desktop. A test program that includes this header makes its windows on a
// desktop of its own, and leaves the others alone.
#pragma once
#include "platform/WindowImpl.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <string>
#include <vector>

class CPrivateDesktop : public testing::Environment
{
public:
    void SetUp() override
    {
        const std::wstring name = L"KestrupTest" + std::to_wstring(GetCurrentProcessId());
        m_desktop = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        ASSERT_TRUE(m_desktop && SetThreadDesktop(m_desktop));
    }

private:
    HDESK m_desktop = nullptr;
};

inline testing::Environment* const g_privateDesktop = testing::AddGlobalTestEnvironment(new CPrivateDesktop);

// A main window for controls under test: reflects their notifications back
// to them and records the commands that reach it.
class CCommandParent : public CWindowImpl<CCommandParent, CWindow, CWinTraits<WS_POPUP | WS_VISIBLE>>
{
public:
    std::vector<WORD> commands;

    BEGIN_MSG_MAP(CCommandParent)
    MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    REFLECT_NOTIFICATIONS()
    END_MSG_MAP()

    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM, BOOL&)
    {
        commands.push_back(LOWORD(wParam));
        return 0;
    }
};

// Dispatches this thread's messages until `done` holds (true) or the time is
// up (false); a time of 0 dispatches what is waiting once.
template <class Condition> bool PumpUntil(Condition done, DWORD timeoutMs = 60000)
{
    const DWORD start = GetTickCount();
    for (;;)
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

inline void PumpPending()
{
    PumpUntil([] { return false; }, 0);
}

// Sends `paths` to `target` as the shell drops them at `point` (client
// coordinates). A taker frees the drop; a drop left to default handling is
// freed here.
inline void DropFiles(HWND target, const std::vector<std::wstring>& paths, POINT point)
{
    std::wstring list;
    for (const std::wstring& path : paths)
        list += path + L'\0';
    list += L'\0';
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    *drop = DROPFILES{sizeof(DROPFILES), point, FALSE, TRUE};
    memcpy(drop + 1, list.data(), list.size() * sizeof(wchar_t));
    GlobalUnlock(memory);
    SendMessageW(target, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
    RECT client{};
    GetClientRect(target, &client);
    if (!PtInRect(&client, point))
        GlobalFree(memory);
}
