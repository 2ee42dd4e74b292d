// Helpers shared by the job tests.
#pragma once
#include "jobs/DeviceReport.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

// Polls `condition` every 10 ms for up to `timeoutMs`; true once it held.
template <class Condition>
bool WaitFor(Condition condition, DWORD timeoutMs = 20000)
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

inline bool WaitFinished(IDeviceReport* job, DWORD timeoutMs = 20000)
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

// The texts of this process's log-file lines that the job with `device`
// wrote: what follows "device\t<seconds>\t".
std::vector<std::string> JobLogTexts(const std::wstring& device);
