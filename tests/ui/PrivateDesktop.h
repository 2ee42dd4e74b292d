// Windows of other test programs running at the same time take the
// activation, and with it the keyboard focus, from windows on the same
// desktop. A test program that includes this header (in one of its files)
// makes its windows on a desktop of its own, and leaves the others alone.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <string>

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
