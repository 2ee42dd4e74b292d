// The program as a windowless COM server: started by COM for a client, it
// publishes the engine's classes when the machine is set up without QPST,
// keeps the device monitor running, and ends by itself once the client has
// let go and the shutdown time-out has passed.
#include "engine/Automation.h"
#include "services/Installer.h"
#include "services/ServerRegistration.h"

#include <gtest/gtest.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <chrono>
#include <string>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

std::wstring ProgramPath()
{
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    PathRemoveFileSpecW(exe);
    wchar_t full[MAX_PATH] = {};
    GetFullPathNameW((std::wstring(exe) + L"\\..\\ui\\Kestrup.exe").c_str(), MAX_PATH, full, nullptr);
    return full;
}

std::vector<PROCESSENTRY32W> Processes()
{
    std::vector<PROCESSENTRY32W> list;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return list;
    PROCESSENTRY32W entry = {sizeof(entry)};
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        list.push_back(entry);
    CloseHandle(snapshot);
    return list;
}

DWORD FindProcess(const wchar_t* exeName, DWORD parent = 0)
{
    for (const PROCESSENTRY32W& p : Processes())
    {
        if (_wcsicmp(p.szExeFile, exeName) == 0 && (!parent || p.th32ParentProcessID == parent))
            return p.th32ProcessID;
    }
    return 0;
}

// The running server's process (waited for, since COM may still be starting it).
HANDLE OpenServer()
{
    for (int i = 0; i < 100; ++i)
    {
        if (DWORD id = FindProcess(L"Kestrup.exe"))
            return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, id);
        Sleep(50);
    }
    return nullptr;
}

DWORD MainThreadOf(DWORD process)
{
    DWORD thread = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {sizeof(entry)};
    for (BOOL more = Thread32First(snapshot, &entry); more && !thread; more = Thread32Next(snapshot, &entry))
    {
        if (entry.th32OwnerProcessID == process)
            thread = entry.th32ThreadID;
    }
    CloseHandle(snapshot);
    return thread;
}

// "NoQPST" under the machine key for one test; the earlier state comes back.
class CNoQpst
{
public:
    explicit CNoQpst(DWORD value)
    {
        DWORD size = sizeof(m_old);
        m_had = SHGetValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST", nullptr, &m_old, &size) ==
                ERROR_SUCCESS;
        SHSetValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST", REG_DWORD, &value, sizeof(value));
    }
    ~CNoQpst()
    {
        if (m_had)
            SHSetValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST", REG_DWORD, &m_old, sizeof(m_old));
        else
            SHDeleteValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST");
    }

private:
    DWORD m_old = 0;
    bool m_had = false;
};

// The engine's classes registered with the program as their local server.
class CRegisteredClasses
{
public:
    explicit CRegisteredClasses(const std::wstring& program) : m_program(program) { Update(true); }
    ~CRegisteredClasses() { Update(false); }

private:
    void Update(bool registering)
    {
        size_t count = 0;
        const ServerClassRegistration* classes = GetServerClasses(count);
        for (size_t i = 0; i < count; ++i)
            EXPECT_EQ(S_OK, UpdateServerClassRegistry(classes[i], registering, m_program));
    }
    std::wstring m_program;
};

class ServerMode : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, FindProcess(L"Kestrup.exe")) << "a server of an earlier run is still alive";
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    }
    void TearDown() override
    {
        if (m_server)
        {
            if (WaitForSingleObject(m_server, 0) == WAIT_TIMEOUT)
                TerminateProcess(m_server, 99);
            CloseHandle(m_server);
        }
        CoUninitialize();
    }

    // Waits for the server's end; its exit code, or ~0 when it runs on.
    DWORD WaitForExit(DWORD ms)
    {
        if (WaitForSingleObject(m_server, ms) != WAIT_OBJECT_0)
            return ~0u;
        DWORD code = ~0u;
        GetExitCodeProcess(m_server, &code);
        return code;
    }

    HANDLE m_server = nullptr;
};

TEST_F(ServerMode, StartedByComServesTheClientAndEndsAfterTheTimeOut)
{
    CNoQpst noQpst(1);
    CRegisteredClasses classes(ProgramPath());

    ComPtr<IDispatch> settings, server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_DownloadSettings, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&settings)));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_AtmnServer, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server)));
    m_server = OpenServer();
    ASSERT_TRUE(m_server);
    const DWORD serverId = GetProcessId(m_server);
    // The device monitor runs as the server's child while it serves.
    EXPECT_NE(0u, FindProcess(L"rundll32.exe", serverId));
    UINT count = 9;
    EXPECT_EQ(S_OK, settings->GetTypeInfoCount(&count));

    // A client that holds an object keeps the server alive.
    settings.Reset();
    EXPECT_EQ(~0u, WaitForExit(6500));
    server.Reset();
    const auto released = Clock::now();
    EXPECT_EQ(0u, WaitForExit(20000));
    const auto seconds = std::chrono::duration<double>(Clock::now() - released).count();
    EXPECT_GE(seconds, 4.5); // the 5000 ms time-out, then the 1000 ms pause
    EXPECT_LE(seconds, 12.0);
    Sleep(200);
    EXPECT_EQ(0u, FindProcess(L"rundll32.exe", serverId)) << "the device monitor outlived the server";
}

TEST_F(ServerMode, WithQpstPublishesNothingAndEndsOnQuit)
{
    CNoQpst noQpst(0);
    std::wstring commandLine = L"\"" + ProgramPath() + L"\" -Embedding";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    CloseHandle(process.hThread);
    m_server = process.hProcess;
    Sleep(1500); // long enough to have published

    // Nothing is registered, so COM can only find a published class object.
    ComPtr<IClassFactory> factory;
    EXPECT_TRUE(FAILED(CoGetClassObject(CLSID_DownloadSettings, CLSCTX_LOCAL_SERVER, nullptr,
                                        IID_PPV_ARGS(&factory))));
    EXPECT_EQ(~0u, WaitForExit(0)) << "no client ever held it, so it does not end by itself";
    EXPECT_NE(0u, FindProcess(L"rundll32.exe", process.dwProcessId));

    const DWORD thread = MainThreadOf(process.dwProcessId);
    ASSERT_NE(0u, thread);
    ASSERT_TRUE(PostThreadMessageW(thread, WM_QUIT, 0, 0));
    EXPECT_EQ(0u, WaitForExit(10000));
    Sleep(200);
    EXPECT_EQ(0u, FindProcess(L"rundll32.exe", process.dwProcessId));
}
} // namespace
