#include "jobs/IntelDNXFlasher.h"

#include "services/CoInstaller.h"

#include <shlwapi.h>

namespace
{

const wchar_t* const BOOT_COMMAND =
    L"cmd.exe /C pushd \"%s\"&&prompt $$&&set PATH=\"%s\";%%PATH%%&&fastboot boot \"%s\" -s %s&&popd";

// Queries for the phone in fastboot mode, one a second.
constexpr int FASTBOOT_WAIT_PASSES = 61;
constexpr DWORD FASTBOOT_WAIT_PAUSE_MS = 1000;

FastBootWaitPause s_pause = Sleep;

} // namespace

FastBootWaitPause SetFastBootWaitPause(FastBootWaitPause pause)
{
    FastBootWaitPause previous = s_pause;
    s_pause = pause ? pause : Sleep;
    return previous;
}

HRESULT CIntelDNXFlasher::StartFlash(const wchar_t* deviceName, const wchar_t* kernelFlinger, const wchar_t* script,
                                     IDeviceReport** out)
{
    return CreateJob<CIntelDNXFlasher>(L"CIntelDNXFlasher::StartFlash", out, [&](CIntelDNXFlasher& job) {
        job.m_kernelFlinger = kernelFlinger ? kernelFlinger : L"";
        job.m_scriptPath = script ? script : L"";
        job.StartFlash(deviceName);
    });
}

std::wstring CIntelDNXFlasher::BuildCommandLine()
{
    return FormatToolCommand(FASTBOOT_SCRIPT_COMMAND, L"Google\\Android", GetScriptPath());
}

std::wstring CIntelDNXFlasher::BuildBootCommandLine()
{
    return FormatToolCommand(BOOT_COMMAND, L"Google\\Android", m_kernelFlinger);
}

HRESULT CIntelDNXFlasher::ParseOutputLine(const std::wstring& line)
{
    if (ContainsAny(line, {L"error", L"failed", L"failure"}))
        return E_FAIL;
    if (ContainsAny(line, {L"finished"}))
        AddProgress(5.0);
    return S_OK;
}

HRESULT CIntelDNXFlasher::DoWork()
{
    const wchar_t* name = L"CIntelDNXFlasher::DoWork";
    std::wstring dnxName = GetDeviceName();
    Log(L"GetDeviceIndex in dnx fastboot %d", GetDeviceIndex(dnxName.c_str()));
    Log(L"GetDeviceName  in dnx fastboot  %s", dnxName.c_str());
    if (!PathFileExistsW(m_kernelFlinger.c_str()) || !PathFileExistsW(GetScriptPath().c_str()))
        return LogError(HResultFromWin32(ERROR_FILE_NOT_FOUND), name, __LINE__);

    Log(L"Boot into kernelflinger %s", m_kernelFlinger.c_str());
    // Only the boot command's output decides; its exit code is not read.
    HRESULT hr = RunAndReadOutput(BuildBootCommandLine(), false, name);
    if (FAILED(hr))
        return hr;

    for (int pass = 0;; ++pass)
    {
        int index = GetDeviceIndex(dnxName.c_str());
        std::wstring fastBootName = ::GetDeviceName(static_cast<UINT>(index), DeviceTypeFastBoot);
        Log(L"GetDeviceIndex  in fastboot %d", index);
        Log(L"GetDeviceName  in fastboot %s", fastBootName.c_str());
        if (!fastBootName.empty())
        {
            SetDeviceName(fastBootName);
            return CScriptReport::DoWork();
        }
        if (pass == FASTBOOT_WAIT_PASSES - 1)
            return LogError(kDeviceNotBackResult, name, __LINE__);
        Log(L"Wait device connect %d", pass);
        s_pause(FASTBOOT_WAIT_PAUSE_MS);
    }
}
