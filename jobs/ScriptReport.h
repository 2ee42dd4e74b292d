// Jobs that run a vendor's batch script under the command interpreter and
// follow its console output: fastboot and NVIDIA recovery phones.
#pragma once
#include "jobs/DeviceReport.h"

#include <cstdio>
#include <initializer_list>

class CScriptReport : public CDeviceReport
{
public:
    // Runs the script, logging and parsing every output line; the result
    // comes from its exit code.
    HRESULT DoWork() override;
    // The command line that runs the script for this device.
    virtual std::wstring BuildCommandLine() = 0;
    // Reads one output line; a failure ends the run with it.
    virtual HRESULT ParseOutputLine(const std::wstring& line) = 0;

    std::wstring GetScriptPath();

protected:
    // Runs `commandLine` hidden with its output on a pipe and reads that
    // output line by line; with `useExitCode` the result then comes from the
    // child's exit code. The child is ended and its handles closed on every
    // exit. Failures are logged under `logName`.
    HRESULT RunAndReadOutput(const std::wstring& commandLine, bool useExitCode, const wchar_t* logName);
    // The tool command line of `format`: the folder of `path`, the tool
    // folder `tool` as found along the default directories, `path` and the
    // device name.
    std::wstring FormatToolCommand(const wchar_t* format, const wchar_t* tool, const std::wstring& path);
    // True when the line holds any of the words, in any letter case.
    static bool ContainsAny(const std::wstring& line, std::initializer_list<const wchar_t*> words);
    // The creator of a script job of class T (see CreateJob).
    template <class T>
    static HRESULT StartScript(const wchar_t* creatorName, const wchar_t* deviceName, const wchar_t* script,
                               IDeviceReport** out)
    {
        return CreateJob<T>(creatorName, out, [&](T& job) {
            job.m_scriptPath = script ? script : L"";
            job.CDeviceReport::StartFlash(deviceName);
        });
    }

    std::wstring m_scriptPath;

private:
    HRESULT ReadOutput(FILE* stream);
};

class CFastBootFlasher : public CScriptReport
{
public:
    static HRESULT StartFlash(const wchar_t* deviceName, const wchar_t* script, IDeviceReport** out);
    using CDeviceReport::StartFlash;

    std::wstring BuildCommandLine() override;
    HRESULT ParseOutputLine(const std::wstring& line) override;
};

class CNvBootFlasher : public CScriptReport
{
public:
    static HRESULT StartFlash(const wchar_t* deviceName, const wchar_t* script, IDeviceReport** out);
    using CDeviceReport::StartFlash;

    std::wstring BuildCommandLine() override;
    HRESULT ParseOutputLine(const std::wstring& line) override;
};

// The fastboot command line, shared with the Intel DNX job.
extern const wchar_t* const FASTBOOT_SCRIPT_COMMAND;
