// The program as a COM server: started by COM for a client, it publishes the
// engine's classes when the machine is set up without QPST, serves outside
// clients side by side and off the window's thread, and ends by itself once
// no client holds it (or none ever came); a client whose server has nothing
// to publish or never registers gets a failure within bounds, which the
// main window shows in its error pane.
#include "engine/Automation.h"
#include "jobs/QPSTReport.h"
#include "services/Installer.h"
#include "services/Log.h"
#include "services/ServerRegistration.h"
#include "tests/engine/automation/TypeLibraries.h"
#include "tests/engine/sequence/SequencePhones.h"
#include "tests/fixtures/BuiltFiles.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/DeviceTable.h"
#include "tests/fixtures/FirehosePhone.h"
#include "tests/fixtures/StatusRecorder.h"
#include "tests/ui/UiTest.h"
#include "ui/MainDlg.h"

#include <gtest/gtest.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cwchar>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
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

// Every process of the executable but this one (with its parent, if given).
std::vector<DWORD> FindProcesses(const wchar_t* exeName, DWORD parent = 0)
{
    std::vector<DWORD> found;
    for (const PROCESSENTRY32W& p : Processes())
    {
        if (_wcsicmp(p.szExeFile, exeName) == 0 && p.th32ProcessID != GetCurrentProcessId() &&
            (!parent || p.th32ParentProcessID == parent))
            found.push_back(p.th32ProcessID);
    }
    return found;
}

DWORD FindProcess(const wchar_t* exeName, DWORD parent = 0)
{
    const std::vector<DWORD> found = FindProcesses(exeName, parent);
    return found.empty() ? 0 : found.front();
}

template <class Condition>
bool WaitUntil(Condition condition, DWORD ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition())
    {
        if (Clock::now() > end)
            return false;
        Sleep(50);
    }
    return true;
}

// The running server's process (waited for, since COM may still be starting it).
HANDLE OpenServer()
{
    DWORD id = 0;
    WaitUntil([&] { return (id = FindProcess(L"Kestrup.exe")) != 0; }, 5000);
    return id ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, id) : nullptr;
}

void EndProcesses(const std::vector<DWORD>& ids)
{
    for (DWORD id : ids)
    {
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id))
        {
            TerminateProcess(process, 99);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
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

// The engine's classes registered with `command` as their local server.
class CRegisteredClasses
{
public:
    explicit CRegisteredClasses(const std::wstring& command)
    {
        for (const std::wstring& key : Keys())
            EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + L"\\LocalServer32").c_str(), nullptr,
                                                     REG_SZ, command.c_str(),
                                                     static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))));
    }
    ~CRegisteredClasses()
    {
        for (const std::wstring& key : Keys())
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    }

private:
    static std::vector<std::wstring> Keys()
    {
        std::vector<std::wstring> keys;
        size_t count = 0;
        const ServerClassRegistration* classes = GetServerClasses(count);
        for (size_t i = 0; i < count; ++i)
            keys.push_back(L"Software\\Classes\\CLSID\\" + GuidText(*classes[i].clsid));
        return keys;
    }
};

// Stands in for a local server that starts but never registers its classes.
KESTRUP_CHILD(NeverRegisters)
{
    Sleep(60000);
    return 0;
}

class ServerMode : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, FindProcess(L"Kestrup.exe")) << "a server of an earlier run is still alive";
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, m_apartment));
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

    // Starts the program with `arguments` in `folder` (empty: here).
    bool Start(const std::wstring& arguments, const std::wstring& folder = L"")
    {
        std::wstring commandLine = Quoted(BuiltProgramPath()) + arguments;
        STARTUPINFOW startup = {sizeof(startup)};
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                            folder.empty() ? nullptr : folder.c_str(), &startup, &process))
            return false;
        CloseHandle(process.hThread);
        m_server = process.hProcess;
        return true;
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

    DWORD m_apartment = COINIT_MULTITHREADED;
    HANDLE m_server = nullptr;
};

TEST_F(ServerMode, StartedByComServesTheClientAndEndsAfterTheTimeOut)
{
    CNoQpst noQpst(1);
    CRegisteredClasses classes(Quoted(BuiltProgramPath()));

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
    EXPECT_EQ(0u, WaitForExit(30000));
    // Not before the 5000 ms time-out.
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - released).count(), 4.5);
    Sleep(200);
    EXPECT_EQ(0u, FindProcess(L"rundll32.exe", serverId)) << "the device monitor outlived the server";
}

TEST_F(ServerMode, StartedWithoutAClientEndsByItself)
{
    {
        // Set up for QPST: nothing to publish, so nothing to wait for.
        CNoQpst noQpst(0);
        ASSERT_TRUE(Start(L" -Embedding"));
        EXPECT_EQ(static_cast<DWORD>(REGDB_E_CLASSNOTREG), WaitForExit(20000));
        const DWORD id = GetProcessId(m_server);
        EXPECT_TRUE(WaitUntil([&] { return FindProcess(L"rundll32.exe", id) == 0; }, 5000));
        CloseHandle(m_server);
        m_server = nullptr;
    }
    // Published, but no client ever takes an object: the time-out ends it.
    CNoQpst noQpst(1);
    const auto start = Clock::now();
    ASSERT_TRUE(Start(L" -Embedding"));
    ComPtr<IClassFactory> factory;
    EXPECT_TRUE(WaitUntil(
        [&] {
            return SUCCEEDED(CoGetClassObject(CLSID_DownloadSettings, CLSCTX_LOCAL_SERVER, nullptr,
                                              IID_PPV_ARGS(&factory)));
        },
        20000))
        << "the classes were not published";
    factory.Reset(); // a class object holds no lock
    EXPECT_EQ(0u, WaitForExit(40000));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 4.5);
}

// ---------------------------------------------------------------------------
// Four outside programs against the program with its window shown.

// Every event of every client, in the order the clients received them.
class CTimeline
{
public:
    void Add(int client)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_order.push_back(client);
    }
    // How often the order passes from one of the two clients to the other.
    int Switches(int a, int b) const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        int switches = 0, last = -1;
        for (int client : m_order)
        {
            if (client != a && client != b)
                continue;
            if (last != -1 && client != last)
                ++switches;
            last = client;
        }
        return switches;
    }

private:
    mutable std::mutex m_lock;
    std::vector<int> m_order;
};

class CClientSink : public CStatusRecorder
{
public:
    CClientSink(CTimeline& timeline, int client) : m_timeline(timeline), m_client(client) {}
    STDMETHODIMP NewStatus(LONG id, BSTR status1, BSTR status2) override
    {
        m_timeline.Add(m_client);
        return CStatusRecorder::NewStatus(id, status1, status2);
    }

private:
    CTimeline& m_timeline;
    int m_client;
};

HRESULT SetParam(IDownloadSettings* settings, const wchar_t* name, const std::wstring& value)
{
    CVariant n, v;
    V_VT(&n) = VT_BSTR;
    V_BSTR(&n) = SysAllocString(name);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(value.c_str());
    return settings->SetParam(n, v);
}

// One outside program's whole download, through the automation interfaces
// as a flash job makes it; `step` names the call that failed.
HRESULT DownloadAsAClient(const std::wstring& port, const std::vector<std::pair<const wchar_t*, std::wstring>>& parameters,
                          IQStatusReport* sink, std::string& step)
{
    HRESULT hr = S_OK;
    auto call = [&](const char* name, auto action) {
        if (SUCCEEDED(hr))
        {
            step = name;
            hr = action();
        }
    };
    ComPtr<IDispatch> server;
    call("AtmnServer", [&] { return CoCreateInstance(CLSID_AtmnServer, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server)); });
    LPOLESTR name = const_cast<LPOLESTR>(L"GetPort");
    DISPID id = 0;
    call("GetIDsOfNames", [&] { return server->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id); });
    CVariant portId, result;
    V_VT(&portId) = VT_BSTR;
    V_BSTR(&portId) = SysAllocString(port.c_str());
    DISPPARAMS params = {&portId, nullptr, 1, 0};
    call("GetPort", [&] {
        return server->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    });
    ComPtr<IQPortProxy> proxy;
    call("IQPortProxy", [&] {
        return V_VT(&result) == VT_UNKNOWN && V_UNKNOWN(&result) ? V_UNKNOWN(&result)->QueryInterface(IID_PPV_ARGS(&proxy))
                                                               : E_POINTER;
    });
    ComPtr<IUnknown> object;
    ComPtr<IQSoftwareDownload> download;
    call("get_SoftwareDownload", [&] { return proxy->get_SoftwareDownload(&object); });
    call("IQSoftwareDownload", [&] { return object.As(&download); });
    call("put_StatusReport", [&] { return download->put_StatusReport(sink); });
    ComPtr<IDownloadSettings> settings;
    call("DownloadSettings", [&] {
        return CoCreateInstance(CLSID_DownloadSettings, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&settings));
    });
    for (const auto& parameter : parameters)
        call("SetParam", [&] { return SetParam(settings.Get(), parameter.first, parameter.second); });
    call("DownloadBySettings", [&] { return download->DownloadBySettings(settings.Get()); });
    return hr;
}

// The thread of the program's shown top-level window; 0 while it has none.
DWORD WindowThreadOf(DWORD process)
{
    struct Search
    {
        DWORD process, thread;
    } search = {process, 0};
    EnumWindows(
        [](HWND window, LPARAM lParam) -> BOOL {
            auto* s = reinterpret_cast<Search*>(lParam);
            DWORD owner = 0;
            const DWORD thread = GetWindowThreadProcessId(window, &owner);
            if (owner != s->process || !IsWindowVisible(window))
                return TRUE;
            s->thread = thread;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.thread;
}

// The thread ids of the log lines that contain `text` ("[%08X]" prefix).
std::set<DWORD> LogThreads(const std::wstring& folder, const std::string& text)
{
    std::set<DWORD> threads;
    for (const std::wstring& name : ListDirectory(folder, L"Kestrup-*.log"))
    {
        const std::string log = ReadWholeFile(folder + L"\\" + name);
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        {
            const size_t line = log.rfind('\n', at);
            const size_t start = line == std::string::npos ? 0 : line + 1;
            if (log.compare(start, 1, "[") == 0)
                threads.insert(std::stoul(log.substr(start + 1, 8), nullptr, 16));
        }
    }
    return threads;
}

// The environment variable for the life of the object (children inherit it).
class CEnvironment
{
public:
    CEnvironment(const wchar_t* name, const wchar_t* value) : m_name(name)
    {
        wchar_t old[256] = {};
        m_had = GetEnvironmentVariableW(name, old, 256) != 0;
        m_old = old;
        SetEnvironmentVariableW(name, value);
    }
    ~CEnvironment() { SetEnvironmentVariableW(m_name.c_str(), m_had ? m_old.c_str() : nullptr); }

private:
    std::wstring m_name, m_old;
    bool m_had = false;
};

TEST_F(ServerMode, FourOutsideProgramsDownloadSideBySideAndOffTheWindowThread)
{
    constexpr int kClients = 4;
    CNoQpst noQpst(1);
    // No class is registered: only the running program's published objects answer.
    CRegisteredTypeLibraries libraries(BuiltProgramPath());
    CTempDir folder(L"clients");
    CDeviceTable table(folder / L"devices.txt");

    std::string programmer(12000, '\0'), image(48 * 512, '\0');
    for (size_t i = 0; i < programmer.size(); ++i)
        programmer[i] = static_cast<char>(i * 7 + 3);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 13 + i / 512);
    const std::wstring programmerPath = folder / L"prog_emmc_firehose_8953.mbn";
    const std::wstring rawprogram = folder / L"rawprogram0.xml", patch = folder / L"patch0.xml";
    ASSERT_TRUE(WriteWholeFile(patch, "<?xml version=\"1.0\" ?>\n<data>\n</data>\n"));
    ASSERT_TRUE(WriteWholeFile(programmerPath, programmer));
    ASSERT_TRUE(WriteWholeFile(folder / L"system.img", image));
    ASSERT_TRUE(WriteWholeFile(rawprogram, "<?xml version=\"1.0\" ?>\n<data>\n<program SECTOR_SIZE_IN_BYTES=\"512\" "
                                           "filename=\"system.img\" num_partition_sectors=\"64\" "
                                           "physical_partition_number=\"0\" start_sector=\"8\"/>\n</data>\n"));
    const std::vector<std::pair<const wchar_t*, std::wstring>> parameters = {
        {L"flashprogrammer", programmerPath}, {L"emmcfilepathboot", L""}, {L"provision", L""},
        {L"filepathxml", rawprogram},         {L"filepathpatch", patch},  {L"searchpaths", folder.Path()},
        {L"downloadtarget", L"emmc"},         {L"skipreset", L"1"},       {L"usetrustedmode", L"1"},
    };

    // Small pieces: many status events per download.
    FirehoseOptions options;
    options.partitionSectors = {128};
    options.maxPayload = 1024;
    std::vector<std::unique_ptr<CSaharaThen<CFirehosePhone>>> phones;
    std::vector<std::wstring> ports;
    for (int i = 0; i < kClients; ++i)
    {
        phones.push_back(std::make_unique<CSaharaThen<CFirehosePhone>>(programmer.size(), options));
        ASSERT_TRUE(phones.back()->Start());
        ports.push_back(phones.back()->HostPort().substr(4)); // "COMn"
        ASSERT_TRUE(table.Set({static_cast<unsigned>(i + 1), 1, ports.back()}));
    }

    {
        // Raw traffic goes to the program's log with the thread that moved it.
        CEnvironment dump(L"DumpKestrup", L"1");
        ASSERT_TRUE(Start(L"", folder.Path()));
    }
    const DWORD serverId = GetProcessId(m_server);
    DWORD windowThread = 0;
    ComPtr<IClassFactory> factory;
    ASSERT_TRUE(WaitUntil(
        [&] {
            windowThread = WindowThreadOf(serverId);
            return windowThread &&
                   SUCCEEDED(CoGetClassObject(CLSID_AtmnServer, CLSCTX_LOCAL_SERVER, nullptr, IID_PPV_ARGS(&factory)));
        },
        30000))
        << "the program did not show its window and publish its classes";
    factory.Reset();

    CTimeline timeline;
    std::vector<std::unique_ptr<CClientSink>> sinks;
    for (int i = 0; i < kClients; ++i)
        sinks.push_back(std::make_unique<CClientSink>(timeline, i));
    HRESULT results[kClients];
    std::string steps[kClients];
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
    {
        results[i] = E_FAIL;
        clients.emplace_back([&, i] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            results[i] = DownloadAsAClient(ports[i], parameters, sinks[i].get(), steps[i]);
            CoUninitialize();
        });
    }
    for (std::thread& client : clients)
        client.join();

    for (int i = 0; i < kClients; ++i)
    {
        EXPECT_EQ(S_OK, results[i]) << i << " at " << steps[i];
        EXPECT_TRUE(phones[i]->Storage(0).substr(8 * 512, image.size()) == image) << i;
        EXPECT_TRUE(phones[i]->Errors().empty()) << i;
        EXPECT_LE(20u, sinks[i]->CountPrefix(L"WriteFile position ")) << i;
    }
    // Side by side, each pair's events interleave again and again. A download
    // run inside another's status callback (or after it) makes at most two
    // switches: into the inner one and back.
    for (int a = 0; a < kClients; ++a)
        for (int b = a + 1; b < kClients; ++b)
            EXPECT_LE(4, timeline.Switches(a, b)) << a << " and " << b;

    EnumWindows(
        [](HWND window, LPARAM process) -> BOOL {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == static_cast<DWORD>(process))
                PostMessageW(window, WM_CLOSE, 0, 0);
            return TRUE;
        },
        static_cast<LPARAM>(serverId));
    EXPECT_EQ(0u, WaitForExit(30000));
    const std::set<DWORD> writers = LogThreads(folder.Path(), "WriteRobust");
    EXPECT_LE(static_cast<size_t>(kClients), writers.size()) << "every download on a thread of its own";
    EXPECT_EQ(0u, writers.count(windowThread)) << "a download ran on the window's thread";
    // The sinks go before this apartment: COM lets go of them first.
    for (const auto& sink : sinks)
        CoDisconnectObject(static_cast<IQStatusReport*>(sink.get()), 0);
}

// ---------------------------------------------------------------------------
// The main window's Flash when the server cannot be reached.

class WindowFlash : public ServerMode
{
protected:
    void SetUp() override
    {
        m_apartment = COINIT_APARTMENTTHREADED; // the window's thread
        ServerMode::SetUp();
        // An earlier test's server that never answered is given up by COM
        // only after its own time (30 s under Wine); until then no new one starts.
        ASSERT_TRUE(WaitUntil([] { return CQPSTReport::PendingActivations() == 0; }, 60000));
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        m_dialog = std::make_unique<CMainDlg>();
        ASSERT_TRUE(m_dialog->Create(nullptr));
    }
    void TearDown() override
    {
        if (m_dialog && m_dialog->m_hWnd)
            m_dialog->DestroyWindow();
        m_dialog.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        ServerMode::TearDown();
    }

    void Command(WORD id) { m_dialog->SendMessage(WM_COMMAND, id, 0); }
    std::wstring Pane() { return m_dialog->StatusBar().GetPaneText(ID_DEFAULT_PANE); }
    ComPtr<IDeviceReport> Job(int row)
    {
        ComPtr<IDeviceReport> job;
        m_dialog->DeviceList().GetItemData(row, job);
        return job;
    }
    // The error pane's text for a failure.
    static std::wstring ErrorText(HRESULT hr)
    {
        wchar_t prefix[64] = {};
        LoadStringW(GetModuleHandleW(nullptr), IDS_ERROR_PREFIX, prefix, 64);
        std::wstring message = GetErrorMessage(hr);
        for (wchar_t breaks : {L'\r', L'\n'})
            message.erase(std::remove(message.begin(), message.end(), breaks), message.end());
        wchar_t code[16];
        swprintf(code, 16, L"(0x%08x)", static_cast<unsigned>(hr));
        return prefix + message + code;
    }

    CTempDir m_folder{L"flash"};
    CDeviceTable m_table{m_folder / L"devices.txt"};
    std::unique_ptr<CMainDlg> m_dialog;
};

TEST_F(WindowFlash, ServerWithNothingToPublishFailsTheFlashIntoTheErrorPaneAndEnds)
{
    CNoQpst noQpst(0);
    CRegisteredClasses classes(Quoted(BuiltProgramPath()));
    ASSERT_TRUE(m_table.Set({3, 1, L"COM93"}));
    Command(IDC_REFRESH);
    ASSERT_EQ(1, m_dialog->DeviceList().GetItemCount());

    Command(IDC_FLASH);
    ComPtr<IDeviceReport> job = Job(0);
    ASSERT_TRUE(job);
    EXPECT_TRUE(job->IsFinished()) << "the job did not fail at its start";
    EXPECT_TRUE(job->IsFailed());
    EXPECT_EQ(ErrorText(job->GetResult()), Pane());
    // The server that COM started for it does not linger.
    EXPECT_TRUE(WaitUntil([] { return FindProcess(L"Kestrup.exe") == 0; }, 15000));
}

TEST_F(WindowFlash, ServerThatNeverRegistersIsGivenUpOnceForEveryRowWhileTheWindowAnswers)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    CRegisteredClasses classes(Quoted(self) + L" --child NeverRegisters");
    const wchar_t* exeName = PathFindFileNameW(self);
    ASSERT_TRUE(FindProcesses(exeName).empty());
    ASSERT_TRUE(m_table.Set({3, 1, L"COM93"}));
    ASSERT_TRUE(m_table.Set({4, 1, L"COM94"}));
    Command(IDC_REFRESH);
    ASSERT_EQ(2, m_dialog->DeviceList().GetItemCount());

    // Another program's messages get answers while the server is awaited.
    std::atomic<bool> flashing{true};
    std::atomic<int> answered{0};
    const HWND window = m_dialog->m_hWnd;
    std::thread other([&] {
        while (flashing)
        {
            DWORD_PTR result = 0;
            if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result))
                ++answered;
            Sleep(100);
        }
    });
    Command(IDC_FLASH);
    flashing = false;
    other.join();

    for (int row = 0; row < 2; ++row)
    {
        ComPtr<IDeviceReport> job = Job(row);
        ASSERT_TRUE(job);
        EXPECT_TRUE(job->IsFinished()) << row;
        EXPECT_EQ(CO_E_SERVER_EXEC_FAILURE, job->GetResult()) << row;
    }
    EXPECT_EQ(ErrorText(CO_E_SERVER_EXEC_FAILURE), Pane());
    EXPECT_LT(0, answered.load()) << "the window did not answer while it waited";
    // The second row did not start a server of its own.
    const std::vector<DWORD> servers = FindProcesses(exeName);
    EXPECT_EQ(1u, servers.size());
    EndProcesses(servers);
}
} // namespace
