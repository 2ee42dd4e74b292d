// The whole program as a process. Started by COM it publishes the engine's
// classes when the machine is set up without QPST and ends by itself once no
// client holds it (or none ever came). With its window shown it serves
// outside programs side by side and off the window's thread, and is driven
// by the remote-control messages. A main window whose server has nothing to
// publish or never registers fails its Flash within bounds, into the error
// pane.
#include "engine/Automation.h"
#include "jobs/QPSTReport.h"
#include "services/Installer.h"
#include "platform/Handles.h"
#include "services/Log.h"
#include "services/Process.h"
#include "services/ServerRegistration.h"
#include "tests/engine/automation/TypeLibraries.h"
#include "simulators/phones/SequencePhones.h"
#include "tests/fixtures/AutomationCalls.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/DeviceTable.h"
#include "simulators/phones/FirehosePhone.h"
#include "tests/fixtures/StatusRecorder.h"
#include "tests/ui/UiTest.h"
#include "simulators/phones/Phones.h"
#include "simulators/remote/RemoteControl.h"
#include "tests/ui/MainDlgProbe.h"

#include <gtest/gtest.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

// Every process of the executable but this one (with its parent, if given).
std::vector<DWORD> FindProcesses(const wchar_t* exeName, DWORD parent = 0)
{
    std::vector<DWORD> found;
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W p = {sizeof(p)};
    for (BOOL more = snapshot.IsValid() && Process32FirstW(snapshot.Get(), &p); more;
         more = Process32NextW(snapshot.Get(), &p))
    {
        if (_wcsicmp(p.szExeFile, exeName) == 0 && p.th32ProcessID != GetCurrentProcessId() &&
            (!parent || p.th32ParentProcessID == parent))
            found.push_back(p.th32ProcessID);
    }
    return found;
}

bool Running(const wchar_t* exeName, DWORD parent = 0)
{
    return !FindProcesses(exeName, parent).empty();
}

// Posts WM_QUIT to every thread of the process: its message loop ends.
void PostQuitToThreads(DWORD processId)
{
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 t = {sizeof(t)};
    for (BOOL more = snapshot.IsValid() && Thread32First(snapshot.Get(), &t); more;
         more = Thread32Next(snapshot.Get(), &t))
    {
        if (t.th32OwnerProcessID == processId)
            PostThreadMessageW(t.th32ThreadID, WM_QUIT, 0, 0);
    }
}

// This test executable's path.
std::wstring SelfPath()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return self;
}

// Ends the processes of the executable that this process started (stand-in
// servers that COM started for it), each by its id.
void EndChildren(const wchar_t* exeName)
{
    for (DWORD id : FindProcesses(exeName, GetCurrentProcessId()))
    {
        CHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (process.IsValid())
        {
            TerminateProcess(process.Get(), 99);
            WaitForSingleObject(process.Get(), 10000);
        }
    }
}

template <class Condition> bool WaitUntil(Condition condition, DWORD ms)
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

// "NoQPST" under the machine key for one test, and the user's settings
// empty (the defaults stand); the earlier machine value comes back.
class CMachine
{
public:
    explicit CMachine(DWORD noQpst)
    {
        DWORD size = sizeof(m_old);
        m_had =
            SHGetValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST", nullptr, &m_old, &size) == ERROR_SUCCESS;
        SHSetValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST", REG_DWORD, &noQpst, sizeof(noQpst));
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    }
    ~CMachine()
    {
        if (m_had)
            SHSetValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST", REG_DWORD, &m_old, sizeof(m_old));
        else
            SHDeleteValueW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, L"NoQPST");
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
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
            EXPECT_EQ(ERROR_SUCCESS,
                      RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + L"\\LocalServer32").c_str(), nullptr, REG_SZ,
                                      command.c_str(), static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))));
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

// Stands in for a local server whose first start takes long: it registers
// the engine's classes only once the test lets it.
// It withdraws them when told: a server that is ended instead stays in
// Wine's table of running classes, and later activations fail at once.
constexpr wchar_t kLetServerUp[] = L"Local\\KestrupTestLetServerUp";
constexpr wchar_t kLetServerGo[] = L"Local\\KestrupTestLetServerGo";
KESTRUP_CHILD(RegistersWhenLetUp)
{
    CHandle letUp(OpenEventW(SYNCHRONIZE, FALSE, kLetServerUp)), letGo(OpenEventW(SYNCHRONIZE, FALSE, kLetServerGo));
    if (!letUp.IsValid() || !letGo.IsValid() || WaitForSingleObject(letUp.Get(), 60000) != WAIT_OBJECT_0)
        return 1;
    if (FAILED(PublishEngineClassObjects(REGCLS_MULTIPLEUSE)))
        return 2;
    WaitForSingleObject(letGo.Get(), 120000);
    WithdrawEngineClassObjects();
    return 0;
}

// Stands in for a local server that starts but never registers its classes.
KESTRUP_CHILD(NeverRegisters)
{
    Sleep(60000);
    return 0;
}

// Asks for the class object of `clsid` from a local server; a class object
// holds no lock on its server.
HRESULT GetClassObject(REFCLSID clsid)
{
    ComPtr<IClassFactory> factory;
    return CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_PPV_ARGS(&factory));
}

class Program : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(Running(L"Kestrup.exe")) << "a server of an earlier run is still alive";
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, m_apartment));
    }
    void TearDown() override
    {
        if (m_server)
        {
            // A server that a failed check left running is told to end its
            // loop, so that it withdraws its classes: one ended by force
            // stays in Wine's table of running classes, and every later
            // activation of them fails. Failing that, it goes by force with
            // its device monitor.
            if (WaitForSingleObject(m_server, 0) == WAIT_TIMEOUT)
            {
                PostQuitToThreads(GetProcessId(m_server));
                if (WaitForSingleObject(m_server, 10000) == WAIT_TIMEOUT)
                    KillProcessTree(m_server);
            }
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
    // Waits for the program's end; its exit code, or ~0 while it runs on.
    DWORD WaitForExit(DWORD ms)
    {
        DWORD code = ~0u;
        if (WaitForSingleObject(m_server, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(m_server, &code);
        return code;
    }
    bool MonitorGone()
    {
        const DWORD id = GetProcessId(m_server);
        return WaitUntil([&] { return !Running(L"rundll32.exe", id); }, 10000);
    }

    DWORD m_apartment = COINIT_MULTITHREADED;
    HANDLE m_server = nullptr;
};

TEST_F(Program, StartedByComServesTheClientAndEndsAfterTheTimeOut)
{
    CMachine machine(1);
    CRegisteredClasses classes(Quoted(BuiltProgramPath()));

    ComPtr<IDispatch> settings, server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_DownloadSettings, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&settings)));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_AtmnServer, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server)));
    // COM may still be starting it.
    std::vector<DWORD> found;
    WaitUntil([&] { return !(found = FindProcesses(L"Kestrup.exe")).empty(); }, 30000);
    const DWORD id = found.empty() ? 0 : found[0];
    m_server = id ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, id) : nullptr;
    ASSERT_TRUE(m_server);
    // The device monitor runs as the server's child while it serves.
    EXPECT_TRUE(Running(L"rundll32.exe", id));
    UINT count = 9;
    EXPECT_EQ(S_OK, settings->GetTypeInfoCount(&count));

    // A client that holds an object keeps the server alive.
    settings.Reset();
    EXPECT_EQ(~0u, WaitForExit(6500));
    server.Reset();
    const auto released = Clock::now();
    EXPECT_EQ(0u, WaitForExit(60000));
    EXPECT_GE(SecondsSince(released), 4.5) << "ended before the 5000 ms time-out";
    EXPECT_TRUE(MonitorGone()) << "the device monitor outlived the server";
}

TEST_F(Program, StartedWithoutAClientEndsByItself)
{
    {
        // Set up for QPST: nothing to publish, so nothing to wait for.
        CMachine machine(0);
        ASSERT_TRUE(Start(L" -Embedding"));
        EXPECT_EQ(static_cast<DWORD>(REGDB_E_CLASSNOTREG), WaitForExit(60000));
        EXPECT_TRUE(MonitorGone());
        CloseHandle(m_server);
        m_server = nullptr;
    }
    // Published, but no client ever takes an object: the time-out ends it.
    // The request for a class object that shows the classes published is
    // made before the program starts. COM starts the stand-in registered for
    // the classes, which never registers them, and answers the request from
    // the program as soon as it has published them: the request waits for
    // them instead of having to catch the seconds in which they stand.
    const std::wstring self = SelfPath();
    const wchar_t* exeName = PathFindFileNameW(self.c_str());
    ASSERT_FALSE(Running(exeName));
    CMachine machine(1);
    CRegisteredClasses classes(Quoted(self) + L" --child NeverRegisters");
    const CScopeGuard standIn([&] { EndChildren(exeName); });
    std::future<HRESULT> request = std::async(std::launch::async, [] {
        const CComInitializer apartment(COINIT_MULTITHREADED);
        return GetClassObject(CLSID_DownloadSettings);
    });
    ASSERT_TRUE(WaitUntil([&] { return Running(exeName); }, 60000)) << "COM started no server for the request";
    const auto start = Clock::now();
    ASSERT_TRUE(Start(L" -Embedding"));
    EXPECT_EQ(S_OK, request.get()) << "the classes were not published";
    EXPECT_EQ(0u, WaitForExit(60000));
    // The time-out from the start, then the closing pause.
    EXPECT_GE(SecondsSince(start), 5.5);
    EXPECT_TRUE(MonitorGone());
}

// ---------------------------------------------------------------------------
// The program with its window shown, as outside programs use it.

// Every status event of every client, in the order the clients received them.
struct Timeline
{
    std::mutex lock;
    std::vector<int> order;

    // How often the order passes from one of the two clients to the other.
    int Switches(int a, int b)
    {
        std::lock_guard<std::mutex> hold(lock);
        int switches = 0, last = -1;
        for (int client : order)
        {
            if (client != a && client != b)
                continue;
            switches += last != -1 && client != last;
            last = client;
        }
        return switches;
    }
};

class CClientSink : public CStatusRecorder
{
public:
    CClientSink(Timeline& timeline, int client) : m_timeline(timeline), m_client(client) {}
    STDMETHODIMP NewStatus(LONG id, BSTR status1, BSTR status2) override
    {
        {
            std::lock_guard<std::mutex> hold(m_timeline.lock);
            m_timeline.order.push_back(m_client);
        }
        return CStatusRecorder::NewStatus(id, status1, status2);
    }

private:
    Timeline& m_timeline;
    int m_client;
};

// One outside program's whole download, through the automation interfaces
// as a flash job makes it.
HRESULT DownloadAsAClient(const std::wstring& port, const Parameters& parameters, IQStatusReport* sink)
{
    ComPtr<IDispatch> server;
    ComPtr<IDownloadSettings> settings;
    HRESULT hr = CoCreateInstance(CLSID_AtmnServer, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server));
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(CLSID_DownloadSettings, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&settings));
    const ComPtr<IQSoftwareDownload> download = SUCCEEDED(hr) ? PortSoftwareDownload(server.Get(), port) : nullptr;
    if (!download)
        return FAILED(hr) ? hr : E_NOINTERFACE;
    SetParams(settings.Get(), parameters);
    hr = download->put_StatusReport(sink);
    return SUCCEEDED(hr) ? download->DownloadBySettings(settings.Get()) : hr;
}

// The threads that wrote log lines containing `text` ("[%08X]" prefix).
std::set<DWORD> LogThreads(const std::string& log, const std::string& text)
{
    std::set<DWORD> threads;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
    {
        const size_t line = log.rfind('\n', at);
        const size_t start = line == std::string::npos ? 0 : line + 1;
        if (log.compare(start, 1, "[") == 0)
            threads.insert(std::stoul(log.substr(start + 1, 8), nullptr, 16));
    }
    return threads;
}

std::string Rawprogram(const char* file, int sectors, int start)
{
    return "<?xml version=\"1.0\" ?>\n<data>\n<program SECTOR_SIZE_IN_BYTES=\"512\" filename=\"" + std::string(file) +
           "\" num_partition_sectors=\"" + std::to_string(sectors) +
           "\" physical_partition_number=\"0\" start_sector=\"" + std::to_string(start) + "\"/>\n</data>\n";
}

TEST_F(Program, WithItsWindowServesFourOutsideProgramsSideBySideAndReportsEachRemoteFlashOnce)
{
    constexpr int kClients = 4;
    CMachine machine(1);
    // No class is registered: only the running program's published objects answer.
    CRegisteredTypeLibraries libraries(BuiltProgramPath());
    CTempDir work(L"program");
    CDeviceTable table(work / L"devices.txt"); // inherited by the program and its queries

    // An image folder the default settings find: a Firehose programmer, one
    // image and a patch that writes the last sector's number. The outside
    // programs name files of their own, in a folder the search list skips.
    const std::string programmer = Pattern(6000, 1), boot = Pattern(70000, 2), image = Pattern(48 * 512, 3);
    const std::wstring programmerPath = work / L"prog_emmc_firehose_8953.mbn", clients = work / L"clients";
    ASSERT_TRUE(WriteFileBytes(programmerPath, programmer));
    ASSERT_TRUE(WriteFileBytes(work / L"boot.img", boot));
    ASSERT_TRUE(WriteFileBytes(work / L"rawprogram0.xml", Rawprogram("boot.img", 137, 40)));
    ASSERT_TRUE(WriteFileBytes(work / L"patch0.xml",
                               "<?xml version=\"1.0\" ?>\n<data>\n<patch SECTOR_SIZE_IN_BYTES=\"512\" "
                               "byte_offset=\"16\" filename=\"DISK\" physical_partition_number=\"0\" "
                               "size_in_bytes=\"8\" start_sector=\"2\" value=\"NUM_DISK_SECTORS-1.\"/>\n</data>\n"));
    ASSERT_TRUE(CreateDirectoryW(clients.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(clients + L"\\system.img", image));
    ASSERT_TRUE(WriteFileBytes(clients + L"\\raw.xml", Rawprogram("system.img", 64, 8)));
    ASSERT_TRUE(WriteFileBytes(clients + L"\\none.xml", "<?xml version=\"1.0\" ?>\n<data>\n</data>\n"));
    const Parameters parameters = {
        {L"flashprogrammer", programmerPath},
        {L"emmcfilepathboot", L""},
        {L"provision", L""},
        {L"filepathxml", clients + L"\\raw.xml"},
        {L"filepathpatch", clients + L"\\none.xml"},
        {L"searchpaths", clients},
        {L"downloadtarget", L"emmc"},
        {L"skipreset", L"1"},
        {L"usetrustedmode", L"1"},
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
        ports.push_back(phones.back()->HostPort().substr(4)); // "COMn"
        ASSERT_TRUE(table.Set({static_cast<unsigned>(i + 1), 1, ports.back()}));
    }

    // Raw traffic goes to the program's log with the thread that moved it.
    SetEnvironmentVariableW(L"DumpKestrup", L"1");
    const bool started = Start(L"", work.Path());
    SetEnvironmentVariableW(L"DumpKestrup", nullptr);
    ASSERT_TRUE(started);
    const HWND main = Remote::FindMainWindow(GetProcessId(m_server), 60000);
    ASSERT_TRUE(main) << "the main window did not appear";
    const DWORD windowThread = GetWindowThreadProcessId(main, nullptr);
    ASSERT_TRUE(WaitUntil([] { return SUCCEEDED(GetClassObject(CLSID_AtmnServer)); }, 30000))
        << "the classes were not published";
    // Only now do the phones say hello, as phones plugged in for the
    // download: each waits for the answer to its hello for a while, and the
    // program's start on a loaded machine may take longer than that.
    for (const auto& phone : phones)
        ASSERT_TRUE(phone->Start());

    Timeline timeline;
    std::vector<std::unique_ptr<CClientSink>> sinks;
    HRESULT results[kClients];
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
    {
        sinks.push_back(std::make_unique<CClientSink>(timeline, i));
        threads.emplace_back([&, i] {
            const CComInitializer apartment(COINIT_MULTITHREADED);
            results[i] = DownloadAsAClient(ports[i], parameters, sinks[i].get());
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < kClients; ++i)
    {
        EXPECT_EQ(S_OK, results[i]) << i;
        EXPECT_TRUE(phones[i]->Storage(0).substr(8 * 512, image.size()) == image) << i;
        EXPECT_TRUE(phones[i]->Errors().empty()) << i;
        EXPECT_LE(20u, sinks[i]->CountPrefix(L"WriteFile position ")) << i;
    }
    // Side by side, each pair's events interleave. A download run inside
    // another's status callback (or after it) makes at most two switches:
    // into the inner one and back; a third shows them side by side, however
    // a loaded machine deals out the time.
    for (int a = 0; a < kClients; ++a)
        for (int b = a + 1; b < kClients; ++b)
            EXPECT_LE(3, timeline.Switches(a, b)) << a << " and " << b;
    // The sinks go before this apartment: COM lets go of them first.
    for (const auto& sink : sinks)
        CoDisconnectObject(static_cast<IQStatusReport*>(sink.get()), 0);
    phones.clear();
    for (int i = 0; i < kClients; ++i)
        ASSERT_TRUE(table.Remove(i + 1));

    // Then a controller of this process: one phone that takes its images,
    // one that never answers.
    std::string why;
    std::unique_ptr<CPhone> flashed = MakePhone({L"sahara-emmc", L"", programmerPath}, 1, why);
    std::unique_ptr<CPhone> silent = MakePhone({L"silent", L"", L""}, 2, why);
    ASSERT_TRUE(flashed && silent) << why;
    ASSERT_TRUE(flashed->Begin() && silent->Begin());
    ASSERT_TRUE(table.Set({1, 1, flashed->Name(), {}}) && table.Set({2, 1, silent->Name(), {}}));
    // Three rows whose job cannot even be made (a device type that has no
    // job): they all hold the one never-started job, and each is reported.
    const unsigned neverStarted[] = {95, 96, 97};
    for (unsigned port : neverStarted)
        ASSERT_TRUE(table.Set({port, 99, L"COM" + std::to_wstring(port), {}}));
    Remote::CController controller;
    ASSERT_TRUE(controller.SetImageFolder(main, work.Path()));
    ASSERT_TRUE(controller.Refresh(main));
    ASSERT_TRUE(controller.Flash(main));
    auto supervise = [&] {
        flashed->Supervise();
        return controller.Results().size() >= 5;
    };
    EXPECT_TRUE(controller.Pump(240000, supervise)) << "results: " << controller.Results().size();
    controller.Pump(1500, [&] { return supervise() && false; }); // anything sent twice comes by now
    std::map<unsigned, std::vector<bool>> reported;
    for (const Remote::Result& result : controller.Results())
        reported[result.port].push_back(result.success);

    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitForExit(60000));

    // One result per serial port, with the port's number and outcome.
    auto port = [](const CPhone& phone) { return static_cast<unsigned>(_wtoi(phone.Name().c_str() + 3)); };
    std::map<unsigned, std::vector<bool>> expectedResults{{port(*flashed), {true}}, {port(*silent), {false}}};
    for (unsigned port : neverStarted)
        expectedResults[port] = {false};
    EXPECT_EQ(expectedResults, reported);
    flashed->End();
    std::string expected(8192 * 512, '\0');
    expected.replace(40 * 512, boot.size(), boot);
    expected[2 * 512 + 16] = static_cast<char>(8191 & 0xFF);
    expected[2 * 512 + 17] = static_cast<char>(8191 >> 8);
    EXPECT_TRUE(flashed->Storage() == expected);
    EXPECT_TRUE(flashed->Errors().empty()) << flashed->Errors().front();

    const std::string log = Remote::ReadLog(work.Path());
    // The failed row's job left its reason in the log, under its port's name.
    const Remote::JobLog job = Remote::ReadJobLog(log, silent->Name(), "");
    ASSERT_FALSE(job.texts.empty());
    EXPECT_NE(std::string::npos, job.texts.back().find("hello")) << job.texts.back();
    const std::set<DWORD> writers = LogThreads(log, "WriteRobust");
    EXPECT_LE(static_cast<size_t>(kClients), writers.size()) << "every download on a thread of its own";
    EXPECT_EQ(0u, writers.count(windowThread)) << "a download ran on the window's thread";
}

// ---------------------------------------------------------------------------
// The main window's Flash when the server cannot be reached.

class WindowFlash : public Program
{
protected:
    void SetUp() override
    {
        m_apartment = COINIT_APARTMENTTHREADED; // the window's thread
        Program::SetUp();
        // An earlier test's server that never answered is given up by COM
        // only after its own time (30 s under Wine); until then no new one starts.
        ASSERT_TRUE(WaitUntil([] { return CQPSTReport::PendingActivations() == 0; }, 60000));
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        // The program gives a slow server as long as Windows does; the tests do not.
        CQPSTReport::activationBoundMs = kBoundMs;
        ASSERT_TRUE(m_dialog.Create(nullptr));
    }
    void TearDown() override
    {
        if (m_dialog.m_hWnd)
            m_dialog.DestroyWindow();
        CQPSTReport::activationBoundMs = CQPSTReport::kActivationBoundMs;
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        Program::TearDown();
    }

    static constexpr DWORD kBoundMs = 8000;
    static constexpr DWORD kShortBoundMs = 3000;
    static constexpr DWORD kLongBoundMs = 60000;

    CMainDlg::CDeviceList& List() { return CMainDlgProbe(m_dialog).DeviceList(); }
    ComPtr<IDeviceReport> RowJob(int row)
    {
        ComPtr<IDeviceReport> job;
        List().GetItemData(row, job);
        return job;
    }

    // Refresh lists the rows, Flash gives each its job; the jobs of the
    // rows that are to fail at their start ("failing" rows from the first).
    std::vector<ComPtr<IDeviceReport>> RefreshAndFlash(int rows, int failing)
    {
        std::vector<ComPtr<IDeviceReport>> jobs;
        m_dialog.SendMessage(WM_COMMAND, IDC_REFRESH);
        EXPECT_EQ(rows, List().GetItemCount());
        m_dialog.SendMessage(WM_COMMAND, IDC_FLASH);
        for (int row = 0; row < List().GetItemCount(); ++row)
        {
            ComPtr<IDeviceReport> job = RowJob(row);
            EXPECT_TRUE(job) << row;
            if (!job)
                continue;
            if (row < failing)
            {
                EXPECT_TRUE(job->IsFinished()) << row << ": the job did not fail at its start";
                EXPECT_TRUE(job->IsFailed()) << row;
            }
            m_results.push_back(job->GetResult());
            jobs.push_back(job);
        }
        return jobs;
    }
    // The error pane shows the failure as the prefix, the system's text and the code.
    void ExpectErrorPane(HRESULT hr)
    {
        wchar_t prefix[64] = {};
        LoadStringW(GetModuleHandleW(nullptr), IDS_ERROR_PREFIX, prefix, 64);
        std::wstring message = GetErrorMessage(hr);
        for (wchar_t breaks : {L'\r', L'\n'})
            message.erase(std::remove(message.begin(), message.end(), breaks), message.end());
        wchar_t code[16];
        swprintf(code, 16, L"(0x%08x)", static_cast<unsigned>(hr));
        EXPECT_EQ(prefix + message + code, CMainDlgProbe(m_dialog).StatusBar().GetPaneText(ID_DEFAULT_PANE));
    }

    CTempDir m_folder{L"flash"};
    CDeviceTable m_table{m_folder / L"devices.txt"};
    CMainDlg m_dialog;
    std::vector<HRESULT> m_results;
};

TEST_F(WindowFlash, ServerWithNothingToPublishFailsTheFlashIntoTheErrorPaneAndEnds)
{
    CMachine machine(0);
    CRegisteredClasses classes(Quoted(BuiltProgramPath()));
    ASSERT_TRUE(m_table.Set({3, 1, L"COM93"}));
    RefreshAndFlash(1, 1);
    ASSERT_EQ(1u, m_results.size());
    ExpectErrorPane(m_results[0]);
    // The server that COM started for it does not linger.
    EXPECT_TRUE(WaitUntil([] { return !Running(L"Kestrup.exe"); }, 30000));
}

TEST_F(WindowFlash, ServerThatComesUpLateServesTheRowThatWaitedForIt)
{
    const std::wstring self = SelfPath();
    CRegisteredClasses classes(Quoted(self) + L" --child RegistersWhenLetUp");
    CRegisteredTypeLibraries libraries(BuiltProgramPath()); // the server's interfaces cross processes
    const wchar_t* exeName = PathFindFileNameW(self.c_str());
    ASSERT_FALSE(Running(exeName));
    CHandle letUp(CreateEventW(nullptr, TRUE, FALSE, kLetServerUp)),
        letGo(CreateEventW(nullptr, TRUE, FALSE, kLetServerGo));
    ASSERT_TRUE(letUp.IsValid() && letGo.IsValid());
    CScopeGuard serverGoes([&] { SetEvent(letGo.Get()); });
    ASSERT_TRUE(m_table.Set({3, 1, L"COM93"}) && m_table.Set({4, 1, L"COM94"}));
    m_dialog.SendMessage(WM_COMMAND, IDC_REFRESH);
    ASSERT_EQ(2, List().GetItemCount());

    // A first Flash with only the first row ticked: the row gives the server
    // up after its bound, while the activation goes on waiting for it.
    List().SetItemText(1, ColumnTick, L"0");
    CQPSTReport::activationBoundMs = kShortBoundMs;
    m_dialog.SendMessage(WM_COMMAND, IDC_FLASH);
    const ComPtr<IDeviceReport> first = RowJob(0);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->IsFinished() && first->IsFailed());
    EXPECT_EQ(CO_E_SERVER_EXEC_FAILURE, first->GetResult());
    EXPECT_EQ(1u, CQPSTReport::PendingActivations());
    EXPECT_FALSE(RowJob(1));

    // The second row waits for that activation with a bound past COM's own
    // (30 s under Wine), so that COM alone decides. The server is let up
    // only once the row waits: the window answers another thread's message
    // only while it waits, and in this Flash the first wait is that one.
    CQPSTReport::activationBoundMs = kLongBoundMs;
    List().SetItemText(1, ColumnTick, L"1");
    bool waited = false;
    std::thread server([&, window = m_dialog.m_hWnd] {
        DWORD_PTR result = 0;
        waited = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result) != 0;
        SetEvent(letUp.Get());
    });
    m_dialog.SendMessage(WM_COMMAND, IDC_FLASH);
    server.join();
    EXPECT_TRUE(waited) << "the second row did not wait for the server";
    const ComPtr<IDeviceReport> second = RowJob(1);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->IsFinished() && second->IsFailed()) << std::hex << second->GetResult();
    EXPECT_EQ(1u, FindProcesses(exeName).size()) << "one server start for both rows";

    // The server goes; the running job ends on its own.
    SetEvent(letGo.Get());
    EXPECT_TRUE(WaitUntil([&] { return !Running(exeName); }, 30000));
    EXPECT_TRUE(WaitUntil([&] { return second->IsFinished() != FALSE; }, 60000));
}

// Last: COM under Wine gives up on its server only after 30 s, and the
// activation stays pending until then.
TEST_F(WindowFlash, ServerThatNeverRegistersIsGivenUpOnceForEveryRowWhileTheWindowAnswers)
{
    const std::wstring self = SelfPath();
    CRegisteredClasses classes(Quoted(self) + L" --child NeverRegisters");
    const wchar_t* exeName = PathFindFileNameW(self.c_str());
    ASSERT_FALSE(Running(exeName));
    ASSERT_TRUE(m_table.Set({3, 1, L"COM93"}) && m_table.Set({4, 1, L"COM94"}));
    // Both rows fail whatever the bound: a short one spares the wait.
    CQPSTReport::activationBoundMs = kShortBoundMs;

    // Another program's messages get answers while the server is awaited.
    std::atomic<bool> flashing{true};
    std::atomic<int> answered{0};
    // Its first message, a Refresh, reaches the window while the jobs start
    // (the first time the window waits); it runs once they have.
    std::thread other([&, window = m_dialog.m_hWnd] {
        DWORD_PTR refreshed = 0;
        SendMessageTimeoutW(window, WM_COMMAND, IDC_REFRESH, 0, SMTO_NORMAL, 60000, &refreshed);
        while (flashing)
        {
            DWORD_PTR result = 0;
            answered += SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) != 0;
            Sleep(100);
        }
    });
    RefreshAndFlash(2, 2);
    flashing = false;
    other.join();

    EXPECT_EQ((std::vector<HRESULT>{CO_E_SERVER_EXEC_FAILURE, CO_E_SERVER_EXEC_FAILURE}), m_results);
    ExpectErrorPane(CO_E_SERVER_EXEC_FAILURE);
    EXPECT_LT(0, answered.load()) << "the window did not answer while it waited";
    PumpPending();
    EXPECT_EQ(2, List().GetItemCount()) << "the Refresh was lost";
    EXPECT_FALSE(RowJob(0)) << "the Refresh did not run after the Flash";
    // The second row did not start a server of its own.
    EXPECT_EQ(1u, FindProcesses(exeName).size());
    EndChildren(exeName);
}
} // namespace
