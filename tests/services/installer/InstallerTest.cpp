// The installer runs in a child process whose classes root and current-user
// key point at scratch keys, with a recording progress dialog, a folder of
// stand-in packages as its current directory and a scratch folder as its
// system directory. Per-machine values go to the real machine key, which
// each test clears.
#include "FakeProgressDialog.h"
#include "services/Installer.h"
#include "services/ServerRegistration.h"
#include "platform/Handles.h"
#include "services/Text.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/LogLines.h"
#include "simulators/phones/DeviceTable.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <userenv.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>

namespace
{
const wchar_t kMachineKey[] = KESTRUP_MACHINE_KEY;

std::string Narrow(const std::wstring& text)
{
    return ToNarrow(text, CP_ACP);
}

std::wstring ScratchKey()
{
    return L"Software\\KestrupTests\\Installer" + std::to_wstring(GetCurrentProcessId());
}

// Child: args are the mode ("install" or "uninstall"), force ("1"), the
// system directory, the Windows major version, the report file, the number
// of Cancel queries answered "no" (-1: never cancelled), whether the current
// user's key is deleted under the installer ("1"), and the parent's scratch key.
KESTRUP_CHILD(RunInstaller)
{
    if (args.size() < 8)
        return 2;
    const CComInitializer apartment(COINIT_APARTMENTTHREADED);
    if (FAILED(apartment.Result()))
        return 2;
    CRegKey classes, user;
    const std::wstring& scratch = args[7];
    RegCreateKeyExW(HKEY_CURRENT_USER, (scratch + L"\\Classes").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    classes.Receive(), nullptr);
    RegCreateKeyExW(HKEY_CURRENT_USER, (scratch + L"\\User").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    user.Receive(), nullptr);
    if (args[6] == L"1") // nothing can be made below it any more
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, (scratch + L"\\User").c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, (scratch + L"\\User").c_str());
    }
    if (!classes || !user || RegOverridePredefKey(HKEY_CLASSES_ROOT, classes.Get()) ||
        RegOverridePredefKey(HKEY_CURRENT_USER, user.Get()))
        return 3;
    ProgressRecord record;
    record.cancelAfter = _wtoi(args[5].c_str());
    {
        CFakeProgressDialogClass fake(record);
        if (!fake.Registered())
            return 4;
        InstallerMachine machine;
        machine.systemDirectory = args[2];
        machine.windowsMajorVersion = static_cast<DWORD>(_wtoi(args[3].c_str()));
        CInstaller installer(args[0] == L"install", args[1] == L"1", machine);
    }
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    std::ostringstream report;
    report << "starts=" << record.starts << "\nstops=" << record.stops << "\nsteps=" << record.completed
           << "\ntotal=" << record.total << "\nshown=" << record.compactedLines.size()
           << "\nflags=" << record.startFlags << "\nanimation=" << record.animation
           << "\ntitle=" << Narrow(record.title) << "\nline1=" << Narrow(record.lines[1]) << "\n";
    WriteWholeFile(args[4], report.str());
    return 0;
}

struct Report
{
    std::map<std::string, std::string> values;
    std::string operator[](const std::string& key) const
    {
        auto found = values.find(key);
        return found == values.end() ? "<none>" : found->second;
    }
    int Number(const std::string& key) const { return atoi((*this)[key].c_str()); }
};

class InstallerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ClearRegistry();
        CRegKey classes;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyW(HKEY_CURRENT_USER, (ScratchKey() + L"\\Classes").c_str(), classes.Receive()));
        // A setting of the current user that installing must empty.
        ASSERT_TRUE(SetText(HKEY_CURRENT_USER, ScratchKey() + L"\\User\\Software\\Olvane\\Kestrup\\SearchPath",
                            L"Document1", L"C:\\images"));
        m_record = m_files / L"record.txt";
    }
    void TearDown() override
    {
        if (HasFailure())
            std::cout << "The installer's log:\n" << Log();
        ClearRegistry();
    }

    static void ClearRegistry()
    {
        // Driver packages that a test left installed.
        CRegKey key;
        if (!RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, KEY_READ, key.Receive()))
        {
            wchar_t name[MAX_PATH], data[MAX_PATH];
            DWORD nameLength = MAX_PATH, size = sizeof(data), type = 0;
            for (DWORD i = 0;
                 !RegEnumValueW(key.Get(), i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
                 ++i, nameLength = MAX_PATH, size = sizeof(data))
                if (type == REG_SZ && PathMatchSpecW(name, L"*.inf"))
                    DeleteFileW((InfDirectory() + data).c_str());
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, ScratchKey().c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, ScratchKey().c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMachineKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kMachineKey);
    }

    static bool SetText(HKEY root, const std::wstring& key, const wchar_t* name, const wchar_t* text)
    {
        return RegSetKeyValueW(root, key.c_str(), name, REG_SZ, text,
                               static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    static std::wstring Text(HKEY root, const std::wstring& key, const wchar_t* name)
    {
        wchar_t text[MAX_PATH] = {};
        DWORD size = sizeof(text);
        if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size))
            return L"<none>";
        return text;
    }
    static bool KeyExists(HKEY root, const std::wstring& key)
    {
        CRegKey opened;
        return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, opened.Receive()) == ERROR_SUCCESS;
    }
    static std::wstring Classes(const std::wstring& key) { return ScratchKey() + L"\\Classes\\" + key; }
    static std::wstring UserKey(const std::wstring& key) { return ScratchKey() + L"\\User\\" + key; }
    std::wstring MachineText(const wchar_t* name) const { return Text(HKEY_LOCAL_MACHINE, kMachineKey, name); }

    void Put(const std::wstring& relative, const std::string& bytes)
    {
        std::wstring path = m_files / relative;
        std::wstring dir = path.substr(0, path.rfind(L'\\'));
        SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
        ASSERT_TRUE(WriteWholeFile(path, bytes)) << Narrow(path);
    }
    void PutCopy(const std::wstring& relative, const wchar_t* standIn)
    {
        const std::wstring program = GetProgramPath(); // the stand-ins are built beside it
        Put(relative, ReadWholeFile(program.substr(0, program.rfind(L'\\') + 1) + standIn));
    }
    void PutDriver(const wchar_t* relative)
    {
        std::string name = Narrow(PathFindFileNameW(relative));
        Put(relative, "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n"
                      "ClassGuid={36FC9E60-C465-11CF-8056-444553540000}\r\nProvider=%Kestrup%\r\n"
                      "DriverVer=12/01/2026,1.0.0.0\r\n\r\n[Strings]\r\nKestrup=\"Kestrup test " +
                          name + "\"\r\n");
    }
    // Everything an install can use; the QPST folder only when asked.
    void PutPackages(bool withQpst, bool withOldWindowsParts)
    {
        Put(L"Microsoft\\xmllite.dll", "new xmllite");
        Put(L"Qualcomm\\Driver\\serial\\amd64\\qcCoInstaller.dll", "co-installer");
        PutCopy(L"Microsoft\\vcredist_x86.exe", L"KestrupFakeSetup.exe");
        PutCopy(L"Microsoft\\Driver\\umdf.exe", L"KestrupFakeSetup.exe");
        PutDriver(L"Google\\Driver\\android_winusb.inf");
        PutDriver(L"Nvidia\\Driver\\NvidiaUsb.inf");
        PutDriver(L"Microsoft\\Driver\\tetherxp.inf");
        PutDriver(L"Qualcomm\\Driver\\qcser.inf");
        if (withOldWindowsParts)
            PutCopy(L"Microsoft\\Driver\\wmfdist11.exe", L"KestrupFakeSetup.exe");
        if (!withQpst)
            return;
        for (const wchar_t* name : {L"AtmnServer.exe", L"QPSTServer.exe"})
            PutCopy(std::wstring(L"Qualcomm\\QPST\\") + name, L"KestrupFakeSetup.exe");
        for (const wchar_t* name : {L"ConfigAgentLib.dll", L"ConfigAgentMarshal.dll", L"DownloadAgentLib.dll",
                                    L"PhoneLib.dll", L"PhoneMarshal.dll", L"QpstMarshal.dll", L"QPSTools.dll",
                                    L"QPSTProxyComponents.dll", L"SerialPortLib.dll"})
            PutCopy(std::wstring(L"Qualcomm\\QPST\\") + name, L"KestrupFakeServer.dll");
    }

    Report Run(const wchar_t* mode, DWORD windowsMajor, bool force = true, int cancelAfter = -1,
               bool deletedUser = false, const std::wstring& failing = L"")
    {
        std::wstring reportFile = m_files / L"report.txt";
        DeleteFileW(reportFile.c_str());
        ChildResult result = RunChild(
            L"RunInstaller",
            {mode, force ? L"1" : L"0", m_system.Path(), std::to_wstring(windowsMajor), reportFile,
             std::to_wstring(cancelAfter), deletedUser ? L"1" : L"0", ScratchKey()},
            m_files.Path(), {{L"KESTRUP_INSTALL_RECORD", m_record}, {L"KESTRUP_INSTALL_FAIL", failing}}, 120000);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(0u, result.exitCode);
        Report report;
        std::istringstream lines(ReadWholeFile(reportFile));
        std::string line;
        while (std::getline(lines, line))
        {
            size_t eq = line.find('=');
            if (eq != std::string::npos)
                report.values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return report;
    }

    // What the stand-in packages and servers were asked, in order.
    std::vector<std::string> Recorded() const { return SplitLines(ReadWholeFile(m_record)); }
    std::string Log() const
    {
        std::string text;
        for (const std::wstring& name : ListDirectory(m_files.Path(), L"Kestrup-*.log"))
            text += ReadWholeFile(m_files / name);
        return text;
    }
    static DWORD MachineNumber(const wchar_t* name)
    {
        DWORD value = 0, size = sizeof(value);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kMachineKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size))
            return 0xFFFFFFFF;
        return value;
    }
    static std::wstring InfDirectory()
    {
        wchar_t dir[MAX_PATH] = {};
        GetWindowsDirectoryW(dir, MAX_PATH);
        return std::wstring(dir) + L"\\inf\\";
    }
    static std::wstring AndroidVendorList()
    {
        CHandle token;
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive());
        wchar_t profile[MAX_PATH] = {};
        DWORD length = MAX_PATH;
        GetUserProfileDirectoryW(token.Get(), profile, &length);
        return std::wstring(profile) + L"\\.android\\adb_usb.ini";
    }

    CTempDir m_files{L"packages"};
    CTempDir m_system{L"system"};
    std::wstring m_record;
};

TEST_F(InstallerTest, InstallsEverythingThenSkipsWhenInstalledThenRemovesIt)
{
    PutPackages(true, true);
    ASSERT_TRUE(WriteWholeFile(m_system / L"xmllite.dll", "old xmllite"));
    std::string vendorsBefore = ReadWholeFile(AndroidVendorList());

    Report report = Run(L"install", 10);
    // 2 files, the module, 1 package, 3 drivers and 11 QPST servers.
    EXPECT_EQ(18, report.Number("steps"));
    EXPECT_EQ(18, report.Number("shown"));
    EXPECT_EQ(22, report.Number("total"));
    EXPECT_EQ(1, report.Number("starts"));
    EXPECT_EQ(1, report.Number("stops"));
    EXPECT_EQ(PROGDLG_AUTOTIME | PROGDLG_NOMINIMIZE, report.Number("flags"));
    EXPECT_EQ(201, report.Number("animation"));
    EXPECT_EQ("Kestrup test station", report["title"]);
    EXPECT_EQ("Install backend component", report["line1"]);

    std::vector<std::string> calls = Recorded();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ("vcredist_x86.exe|/quiet", calls.front()) << "packages go before the QPST servers";
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "vcredist_x86.exe|/quiet"));
    EXPECT_EQ(0, std::count(calls.begin(), calls.end(), "umdf.exe|/quiet"));
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "AtmnServer.exe|/RegServer"));
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "QPSTServer.exe|/RegServer"));
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "PhoneLib.dll|register"));
    EXPECT_EQ(12u, calls.size()); // 1 package, 2 programs and 9 libraries
    EXPECT_EQ("old xmllite", ReadWholeFile(m_system / L"xmllite.dll"));
    EXPECT_EQ("co-installer", ReadWholeFile(m_system / L"qcCoInstaller.dll"));

    std::map<std::wstring, std::wstring> oemNames;
    for (const wchar_t* inf : {L"android_winusb.inf", L"NvidiaUsb.inf", L"qcser.inf"})
    {
        oemNames[inf] = MachineText(inf);
        EXPECT_TRUE(PathFileExistsW((InfDirectory() + oemNames[inf]).c_str())) << Narrow(oemNames[inf]);
    }
    EXPECT_EQ(L"<none>", MachineText(L"tetherxp.inf"));
    EXPECT_EQ(L"<none>", MachineText(L"NoQPST"));
    // The first driver's removal of a previous copy finds no machine key yet.
    EXPECT_EQ(1u, CountErrorLines(Log(), "CInstaller::InstallDriver", 400, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    EXPECT_EQ(program, MachineText(L"ExeFile"));
    std::string vendorsAfter = ReadWholeFile(AndroidVendorList());
    EXPECT_EQ(vendorsBefore + "0x05C6 \r\n", vendorsAfter);
    WriteWholeFile(AndroidVendorList(), vendorsBefore);

    // The registry script and the server's classes and type libraries.
    std::wstring appId = GuidText(kKestrupAppId);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, UserKey(L"Software\\Olvane\\Kestrup")));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UserKey(L"Software\\Olvane\\Kestrup\\SearchPath")));
    EXPECT_EQ(L"Kestrup", Text(HKEY_CURRENT_USER, Classes(L"AppID\\" + appId), nullptr));
    EXPECT_EQ(appId, Text(HKEY_CURRENT_USER, Classes(L"AppID\\Kestrup.EXE"), L"AppID"));
    size_t count = 0;
    const ServerClassRegistration* classes = GetServerClasses(count);
    ASSERT_EQ(2u, count);
    for (size_t i = 0; i < count; ++i)
    {
        std::wstring key = Classes(L"CLSID\\" + GuidText(*classes[i].clsid));
        EXPECT_EQ(program, Text(HKEY_CURRENT_USER, key + L"\\LocalServer32", nullptr));
        EXPECT_EQ(appId, Text(HKEY_CURRENT_USER, key, L"AppID"));
    }
    EXPECT_EQ(
        std::wstring(program) + L"\\2",
        Text(HKEY_CURRENT_USER, Classes(L"TypeLib\\{F6F37A12-F62A-4603-8757-6266058CF48E}\\1.0\\0\\win64"), nullptr));

    // Installed already: nothing runs without force.
    report = Run(L"install", 10, false);
    EXPECT_EQ(0, report.Number("starts"));
    EXPECT_EQ(calls.size(), Recorded().size());

    // Removal, with one stored name gone and one naming no file, and a QPST
    // server that fails to unregister: those fail, the others go.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kMachineKey, L"NvidiaUsb.inf"));
    ASSERT_TRUE(SetText(HKEY_LOCAL_MACHINE, kMachineKey, L"qcser.inf", L"oem-none.inf"));
    ASSERT_TRUE(SetText(HKEY_CURRENT_USER, UserKey(L"Software\\Olvane\\Kestrup\\RawFile"), L"Document1", L"x"));
    report = Run(L"uninstall", 10, true, -1, false, L"QPSTServer.exe");
    EXPECT_EQ(18, report.Number("steps"));
    EXPECT_EQ("Uninstall backend component", report["line1"]);
    calls = Recorded();
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "QPSTServer.exe|/UnregServer"));
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "SerialPortLib.dll|unregister"));
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "vcredist_x86.exe|/quiet")); // not run again
    EXPECT_EQ(23u, calls.size());
    EXPECT_FALSE(PathFileExistsW((m_system / L"qcCoInstaller.dll").c_str()));
    EXPECT_EQ("old xmllite", ReadWholeFile(m_system / L"xmllite.dll"));
    EXPECT_FALSE(PathFileExistsW((InfDirectory() + oemNames[L"android_winusb.inf"]).c_str()));
    DeleteFileW((InfDirectory() + oemNames[L"NvidiaUsb.inf"]).c_str());
    DeleteFileW((InfDirectory() + oemNames[L"qcser.inf"]).c_str());
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("CInstaller::InstallDriver(407)"));
    EXPECT_NE(std::string::npos, log.find("NvidiaUsb.inf(0x80070002)"));
    EXPECT_EQ(1u, CountErrorLines(log, "CInstaller::InstallDriver", 410, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    EXPECT_EQ(1u, CountErrorLines(log, "CInstaller::RegisterServer", 442, static_cast<HRESULT>(0xFFFFF9BD)));

    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UserKey(L"Software\\Olvane\\Kestrup")));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, UserKey(L"Software\\Olvane")));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Classes(L"AppID\\" + appId)));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Classes(L"AppID\\Kestrup.EXE")));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Classes(L"AppID")));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Classes(L"CLSID\\" + GuidText(*classes[0].clsid))));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Classes(L"TypeLib\\{F6F37A12-F62A-4603-8757-6266058CF48E}")));
    EXPECT_EQ(program, MachineText(L"ExeFile")); // the stamp stays
}

TEST_F(InstallerTest, OldWindowsGetsTheirPackagesAndDriversAndNoQpstSwitchesToTheOwnEngine)
{
    PutPackages(false, true);
    // The co-installer's settings cannot be made: the serial driver's step fails.
    CDeviceTable table(m_files / L"devices.txt");
    ASSERT_TRUE(table.SetAnswer({"qcInitializeSetting", "", 5}));
    Report report = Run(L"install", 5, true, -1, false, L"umdf.exe");
    // 2 files, the module, 3 packages, 5 drivers (the missing one too), no QPST server.
    EXPECT_EQ(11, report.Number("steps"));
    std::vector<std::string> calls = Recorded();
    EXPECT_EQ((std::vector<std::string>{"vcredist_x86.exe|/quiet", "umdf.exe|/quiet", "wmfdist11.exe|/quiet"}), calls);
    EXPECT_EQ(1u, MachineNumber(L"NoQPST"));
    EXPECT_NE(L"<none>", MachineText(L"tetherxp.inf"));
    EXPECT_EQ(L"<none>", MachineText(L"wpdmtphw.inf"));
    // A failed package and a missing driver package: no install stamp.
    EXPECT_EQ(L"<none>", MachineText(L"ExeFile"));
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("CInstaller::InstallPackage(267)"));
    EXPECT_NE(std::string::npos, log.find("umdf.exe(0xfffff9bd)"));
    EXPECT_NE(std::string::npos, log.find("CInstaller::InstallDriver(353)"));
    EXPECT_NE(std::string::npos, log.find("CInstaller::InstallDriver(316)"));
    EXPECT_EQ(1u, CountErrorLines(log, "CInstaller::InstallDriver", 368, static_cast<HRESULT>(0xFFFFFFFB)));

    // Removal without QPST sets the value too, and never clears it.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kMachineKey, L"NoQPST"));
    report = Run(L"uninstall", 5);
    EXPECT_EQ(1u, MachineNumber(L"NoQPST"));
    EXPECT_EQ(11, report.Number("steps"));
    EXPECT_EQ(3u, Recorded().size()); // removing runs no package
}

TEST_F(InstallerTest, CancelStopsBeforeTheNextStage)
{
    PutPackages(true, false);
    Report report = Run(L"install", 10, true, 0);
    EXPECT_EQ(0, report.Number("steps"));
    EXPECT_EQ(1, report.Number("stops"));
    EXPECT_FALSE(PathFileExistsW((m_system / L"qcCoInstaller.dll").c_str()));

    report = Run(L"install", 10, true, 1);
    EXPECT_EQ(2, report.Number("steps"));
    EXPECT_EQ("co-installer", ReadWholeFile(m_system / L"qcCoInstaller.dll"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Classes(L"AppID")));
    EXPECT_TRUE(Recorded().empty());
    EXPECT_EQ(L"<none>", MachineText(L"ExeFile"));
}

TEST_F(InstallerTest, AFailedEarlyPartOfTheModuleRegistrationFailsTheInstall)
{
    // The current user's key is gone: the registry script fails,
    // while the type libraries and classes that follow it register well.
    PutPackages(true, false);
    Report report = Run(L"install", 10, true, -1, true);
    EXPECT_EQ(18, report.Number("steps"));
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("CInstaller::RegisterModule(209)"));
    EXPECT_EQ(std::string::npos, log.find("CInstaller::RegisterModule(215)"));
    EXPECT_EQ(std::string::npos, log.find("test_services_installer.exe(0x00000000)"));
    EXPECT_EQ(L"<none>", MachineText(L"ExeFile"));

    // Removed in the same state, the registry script fails both ways; removed
    // once more, the type libraries and classes are gone too. Each part's
    // failure is logged at its own line.
    const HRESULT deleted = HRESULT_FROM_WIN32(ERROR_KEY_DELETED);
    Run(L"uninstall", 10, true, -1, true);
    log = Log();
    EXPECT_EQ(1u, CountErrorLines(log, "CInstaller::RegisterModule", 220, deleted));
    EXPECT_EQ(1u, CountErrorLines(log, "CInstaller::RegisterModule", 222, deleted));
    EXPECT_EQ(std::string::npos, log.find("CInstaller::RegisterModule(224)"));
    Run(L"uninstall", 10, true, -1, true);
    log = Log();
    const std::vector<std::string> lines = SplitLines(log);
    for (const char* part : {"]CInstaller::RegisterModule(224): ", "]CInstaller::RegisterModule(226): ",
                             "]CInstaller::RegisterModule(228): "})
        EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                                   [&](const std::string& line) { return line.find(part) == 9; }))
            << part;
}
} // namespace
