// wWinMain: start-up, the command-line switches, the windowless COM server
// and the orderly shutdown.
#include "ui/Startup.h"

#include "engine/Automation.h"
#include "platform/MessageLoop.h"
#include "platform/Module.h"
#include "services/CoInstaller.h"
#include "services/Installer.h"
#include "services/Log.h"

#include <commctrl.h>
#include <ole2.h>
#include <shlwapi.h>

namespace
{
struct SwitchName
{
    const wchar_t* text;
    StartMode mode;
};

const SwitchName kSwitches[] = {
    {L"UnregServer", StartMode::Unregister},
    {L"RegServer", StartMode::Register},
    {L"Automation", StartMode::Server},
    {L"Embedding", StartMode::Server},
};

void RunInstaller(bool install)
{
    CInstaller installer(install, true);
}

// The machine-wide choice to publish the engine's own classes (set by the
// installer when QPST is missing); the user's value does not count.
bool IsWithoutQpst()
{
    return SHRegGetBoolUSValueW(KESTRUP_MACHINE_KEY L"\\", L"NoQPST", TRUE, FALSE) != FALSE;
}

// Keeps the multithreaded apartment alive while it exists. Activations of
// the automation server run on short-lived threads of that apartment, and
// the objects they leave in the global interface table belong to it: without
// a thread that stays in it, Windows tears it down when such a thread ends
// and the job's proxies are disconnected before the job takes them. Windows
// 8 and later have the call; it is looked up so that the program still
// starts where it is missing.
class CMtaUsage
{
public:
    CMtaUsage()
    {
        using Increment = HRESULT(WINAPI*)(HANDLE*);
        const auto increment =
            reinterpret_cast<Increment>(GetProcAddress(GetModuleHandleW(L"ole32.dll"), "CoIncrementMTAUsage"));
        const HRESULT hr = increment ? increment(&m_cookie) : HResultFromWin32(ERROR_PROC_NOT_FOUND);
        if (FAILED(LogError(hr, L"StartProgram", __LINE__)))
            m_cookie = nullptr;
    }
    ~CMtaUsage()
    {
        using Decrement = HRESULT(WINAPI*)(HANDLE);
        const auto decrement =
            reinterpret_cast<Decrement>(GetProcAddress(GetModuleHandleW(L"ole32.dll"), "CoDecrementMTAUsage"));
        if (m_cookie && decrement)
            LogError(decrement(m_cookie), L"StartProgram", __LINE__);
    }
    CMtaUsage(const CMtaUsage&) = delete;
    CMtaUsage& operator=(const CMtaUsage&) = delete;

private:
    HANDLE m_cookie = nullptr; // CO_MTA_USAGE_COOKIE, declared only for Windows 8 and later
};

// The loop of server mode: no window, until WM_QUIT.
int RunServer()
{
    CMessageLoop loop;
    AddThreadMessageLoop(&loop);
    const int result = loop.Run();
    RemoveThreadMessageLoop();
    return result;
}
} // namespace

StartMode ReadCommandLine(const wchar_t* commandLine)
{
    if (!commandLine)
        return StartMode::Normal;
    for (const wchar_t* p = wcspbrk(commandLine, L"-/"); p; p = wcspbrk(p + 1, L"-/"))
    {
        for (const SwitchName& name : kSwitches)
        {
            if (_wcsicmp(p + 1, name.text) == 0)
                return name.mode;
        }
    }
    return StartMode::Normal;
}

StartupSteps ProgramSteps()
{
    return {RunInstaller, StartDeviceMonitor, Run};
}

int StartProgram(const wchar_t* commandLine, int show, const StartupSteps& steps)
{
    const HRESULT ole = OleInitialize(nullptr);
    std::unique_ptr<CMtaUsage> mta;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    g_Module.m_dwTimeOut = 5000;
    g_Module.m_dwPause = 1000;

    int exitCode = 0;
    const StartMode mode = ReadCommandLine(commandLine);
    if (mode == StartMode::Register || mode == StartMode::Unregister)
    {
        steps.runInstaller(mode == StartMode::Register);
    }
    else
    {
        mta = std::make_unique<CMtaUsage>(); // for the program's life, in every mode that runs
        std::unique_ptr<CAutoExecutor> monitor = steps.startDeviceMonitor();
        // The watch posts WM_QUIT to this thread: give it its queue first.
        MSG msg;
        PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        g_Module.StartMonitor(GetCurrentThreadId());
        // Published from the multithreaded apartment: outside clients are
        // served side by side on RPC threads, never on this thread's window.
        bool published = false;
        if (IsWithoutQpst())
        {
            HRESULT hr = PublishEngineClassObjects(REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
            if (SUCCEEDED(hr))
                hr = LogError(CoResumeClassObjects(), L"StartProgram", __LINE__);
            published = SUCCEEDED(hr);
        }
        if (mode != StartMode::Server)
        {
            exitCode = steps.run(commandLine, show);
        }
        else if (published)
        {
            // Started for a client: without one the watch ends the server
            // after the time-out, as it does after the last client.
            g_Module.ArmShutdown();
            exitCode = RunServer();
        }
        else
        {
            // Nothing to serve: the process that COM started ends at once,
            // so that the client's activation fails quickly.
            exitCode = LogError(REGDB_E_CLASSNOTREG, L"StartProgram", __LINE__);
            g_Module.m_dwPause = 0;
        }
        WithdrawEngineClassObjects();
        Sleep(g_Module.m_dwPause);
        monitor.reset();
    }
    g_Module.EndMonitor();
    mta.reset();
    if (SUCCEEDED(ole))
        OleUninitialize();
    return exitCode;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int show)
{
    return StartProgram(GetCommandLineW(), show, ProgramSteps());
}
