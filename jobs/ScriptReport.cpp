#include "jobs/ScriptReport.h"

#include "services/FileSearch.h"
#include "services/Process.h"
#include "services/Text.h"
#include "platform/Handles.h"

#include <shlwapi.h>

const wchar_t* const FASTBOOT_SCRIPT_COMMAND =
    L"cmd.exe /C pushd \"%s\"&&prompt $$&&set PATH=\"%s\";%%PATH%%&&\"%s\" -s %s&&popd";

namespace
{

const wchar_t* const NVFLASH_SCRIPT_COMMAND =
    L"cmd.exe /C pushd \"%s\"&&prompt $$&&set PATH=\"%s\";%%PATH%%&&\"%s\" --instance %s&&popd";

// Longest output line; longer output continues on the next line.
constexpr size_t MAX_OUTPUT_LINE = 1023;

std::wstring FolderOf(const std::wstring& path)
{
    std::wstring folder = path;
    if (!folder.empty())
    {
        PathRemoveFileSpecW(&folder[0]);
        folder.resize(wcslen(folder.c_str()));
    }
    return folder;
}

} // namespace

bool CScriptReport::ContainsAny(const std::wstring& line, std::initializer_list<const wchar_t*> words)
{
    for (const wchar_t* word : words)
    {
        if (StrStrIW(line.c_str(), word))
            return true;
    }
    return false;
}

std::wstring CScriptReport::GetScriptPath()
{
    CLockGuard<CDeviceReport> lock(*this);
    return m_scriptPath;
}

std::wstring CScriptReport::FormatToolCommand(const wchar_t* format, const wchar_t* tool, const std::wstring& path)
{
    std::wstring toolFolder = FindFile(L"%s", tool);
    return FormatString(format, FolderOf(path).c_str(), toolFolder.c_str(), path.c_str(), GetDeviceName().c_str());
}

HRESULT CScriptReport::DoWork()
{
    std::wstring script = GetScriptPath();
    Log(L"execute %s", script.c_str());
    if (!PathFileExistsW(script.c_str()))
        return LogError(HResultFromWin32(ERROR_FILE_NOT_FOUND), L"CScriptReport::DoWork", __LINE__);
    return RunAndReadOutput(BuildCommandLine(), true, L"CScriptReport::DoWork");
}

HRESULT CScriptReport::RunAndReadOutput(const std::wstring& commandLine, bool useExitCode, const wchar_t* logName)
{
    FILE* stream = nullptr;
    CHandle process;
    HRESULT hr = LogError(ExecuteCommand(&stream, process.Receive(), L"%s", commandLine.c_str()), logName, __LINE__);
    if (SUCCEEDED(hr))
        hr = LogError(ReadOutput(stream), logName, __LINE__);
    if (SUCCEEDED(hr) && useExitCode)
    {
        // The output has ended, so the child is ending.
        DWORD code = 0;
        WaitForSingleObject(process.Get(), INFINITE);
        if (!GetExitCodeProcess(process.Get(), &code))
            hr = LastErrorHResult();
        else
            hr = HResultFromWin32(static_cast<LONG>(0u - code)); // exit code 0 is S_OK, others fail
        LogError(hr, logName, __LINE__);
    }
    // Only the interpreter itself; a tool it started goes on by itself.
    if (process)
        TerminateProcess(process.Get(), 0);
    if (stream)
        fclose(stream);
    return hr;
}

HRESULT CScriptReport::ReadOutput(FILE* stream)
{
    for (bool end = false; !end;)
    {
        std::string bytes;
        while (bytes.size() < MAX_OUTPUT_LINE)
        {
            int c = fgetc(stream);
            if (c == EOF)
            {
                end = true;
                break;
            }
            if (c == '\r' || c == '\n')
                break;
            bytes += static_cast<char>(c);
        }
        std::wstring line = ToWide(bytes);
        Log(L"%s", line.c_str());
        HRESULT hr = ParseOutputLine(line);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CFastBootFlasher::StartFlash(const wchar_t* deviceName, const wchar_t* script, IDeviceReport** out)
{
    return StartScript<CFastBootFlasher>(L"CFastBootFlasher::StartFlash", deviceName, script, out);
}

std::wstring CFastBootFlasher::BuildCommandLine()
{
    return FormatToolCommand(FASTBOOT_SCRIPT_COMMAND, L"Google\\Android", GetScriptPath());
}

HRESULT CFastBootFlasher::ParseOutputLine(const std::wstring& line)
{
    if (ContainsAny(line, {L"error", L"failed"}))
        return E_FAIL;
    if (ContainsAny(line, {L"finished"}))
        AddProgress(5.0);
    return S_OK;
}

HRESULT CNvBootFlasher::StartFlash(const wchar_t* deviceName, const wchar_t* script, IDeviceReport** out)
{
    return StartScript<CNvBootFlasher>(L"CNvBootFlasher::StartFlash", deviceName, script, out);
}

std::wstring CNvBootFlasher::BuildCommandLine()
{
    return FormatToolCommand(NVFLASH_SCRIPT_COMMAND, L"Nvidia\\NvFlash", GetScriptPath());
}

HRESULT CNvBootFlasher::ParseOutputLine(const std::wstring& line)
{
    if (ContainsAny(line, {L"error", L"failed"}))
        return E_FAIL;
    AddProgress(0.001);
    return S_OK;
}
