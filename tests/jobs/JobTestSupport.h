// Helpers shared by the job tests.
#pragma once
#include "jobs/DeviceReport.h"
#include "tests/fixtures/LogLines.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

// How long a test waits for a job or a condition before it fails: long
// enough for a machine under heavy load, since a job released while it still
// runs has its worker ended by force.
constexpr DWORD kJobWaitMs = 180000;

// Polls `condition` every 10 ms for up to `timeoutMs`; true once it held.
template <class Condition> bool WaitFor(Condition condition, DWORD timeoutMs = kJobWaitMs)
{
    DWORD start = GetTickCount();
    while (!condition())
    {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

inline bool WaitFinished(IDeviceReport* job, DWORD timeoutMs = kJobWaitMs)
{
    return WaitFor([job] { return job->IsFinished() != FALSE; }, timeoutMs);
}

inline std::wstring StatusText(IDeviceReport* job)
{
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, job->GetStatusText(&text));
    std::wstring result(text ? text : L"", text ? SysStringLen(text) : 0);
    SysFreeString(text);
    return result;
}

inline std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}
