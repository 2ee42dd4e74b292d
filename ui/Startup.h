// The program's start-up: the command-line switches, server mode, the main
// window's loop and the orderly shutdown around them.
#pragma once
#include "services/Process.h"

#include <windows.h>
#include <memory>

enum class StartMode
{
    Normal,     // the main window
    Register,   // "RegServer": install the back end and end
    Unregister, // "UnregServer": remove the back end and end
    Server,     // "Automation" or "Embedding": a windowless COM server
};

// The mode the command line asks for. Each "-" or "/" is tried in turn; the
// switch is the whole rest of the line after it, compared without regard to
// case, and the first that matches decides.
StartMode ReadCommandLine(const wchar_t* commandLine);

// What start-up runs besides itself; the program passes the real steps,
// tests their stand-ins.
struct StartupSteps
{
    void (*runInstaller)(bool install);
    std::unique_ptr<CAutoExecutor> (*startDeviceMonitor)();
    // The main window's loop (Run); its exit code.
    int (*run)(const wchar_t* commandLine, int show);
};

StartupSteps ProgramSteps();

// Everything wWinMain does after the C runtime's start-up; the exit code.
int StartProgram(const wchar_t* commandLine, int show, const StartupSteps& steps);

// Creates the main window and runs its loop; the loop's exit code, or 0 when
// the window cannot be created.
int Run(const wchar_t* commandLine, int show);
