// The job for an Intel-based phone in DNX mode: boots a kernelflinger image
// with fastboot, waits for the phone to come back in fastboot mode under its
// new name, then runs the fastboot script.
#pragma once
#include "jobs/ScriptReport.h"

class CIntelDNXFlasher : public CScriptReport
{
public:
    static HRESULT StartFlash(const wchar_t* deviceName, const wchar_t* kernelFlinger, const wchar_t* script,
                              IDeviceReport** out);
    using CDeviceReport::StartFlash;

    HRESULT DoWork() override;
    std::wstring BuildCommandLine() override;
    HRESULT ParseOutputLine(const std::wstring& line) override;
    // The command line that boots the kernelflinger image on the DNX device.
    virtual std::wstring BuildBootCommandLine();

protected:
    std::wstring m_kernelFlinger;
};

// How the wait for the phone in fastboot mode pauses between two queries:
// Sleep unless replaced (a test passes the wait's sixty seconds without
// waiting them out). Returns the previous pause.
using FastBootWaitPause = void(WINAPI*)(DWORD milliseconds);
FastBootWaitPause SetFastBootWaitPause(FastBootWaitPause pause);
