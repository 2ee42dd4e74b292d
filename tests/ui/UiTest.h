// What the user-interface tests share.
//
// Windows of other test programs running at the same time take the
// activation, and with it the keyboard focus, from windows on the same
// desktop. A test program that includes this header makes its windows on a
// desktop of its own, and leaves the others alone.
#pragma once
#include "platform/WindowImpl.h"

#include <gtest/gtest.h>
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
