// KestrupDemo: the controller of scripts/demo. It writes three image
// folders and the program's settings, starts the simulated phones and the
// program (Kestrup.exe, with its main window), and drives the window by its
// remote-control messages: each image folder is one Flash, and the phones of
// one folder are listed to the co-installer stand-in just before it, as if
// they had just been plugged in, so the jobs of all folders run side by
// side. It prints one line per phone and ends with 0 only when every phone
// ended as expected.
//
//   KestrupDemo.exe --program KESTRUP.EXE --phones KESTRUPPHONES.EXE --work FOLDER [--shots FOLDER]
//
// With --shots it asks for pictures of the screen before, during and after
// the flash: it creates NAME.request there and waits for NAME.done.
#include "simulators/phones/DeviceTable.h"
#include "simulators/IntelHexText.h"
#include "platform/Handles.h"
#include "simulators/SimulatorSupport.h"
#include "simulators/remote/RemoteControl.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr DWORD kStartMs = 30000;      // a process or window to appear
constexpr DWORD kBatchStartMs = 60000; // the jobs of one Flash to begin
constexpr DWORD kResultsMs = 100000;   // every result after the last Flash
constexpr DWORD kShotMs = 30000;

// One image folder: a programmer, a boot and a system image placed by its
// rawprogram file, and a patch that writes the disk's last sector number.
struct Folder
{
    std::wstring name;       // "emmc", ...
    std::wstring programmer; // its file name
    bool hexProgrammer = false;
    ULONG sectorSize = 512;
    ULONGLONG diskSectors = 0;
    std::wstring path; // filled when written
    std::string boot, system;
};

const ULONGLONG kBootSector = 64, kSystemSector = 512, kPatchSector = 1, kPatchOffset = 32;

std::string Rawprogram(const Folder& f)
{
    auto program = [&](const char* file, ULONGLONG start, size_t bytes) {
        return "<program SECTOR_SIZE_IN_BYTES=\"" + std::to_string(f.sectorSize) + "\" filename=\"" + file +
               "\" label=\"" + std::string(file, static_cast<size_t>(strchr(file, '.') - file)) +
               "\" num_partition_sectors=\"" + std::to_string((bytes + f.sectorSize - 1) / f.sectorSize) +
               "\" physical_partition_number=\"0\" start_sector=\"" + std::to_string(start) + "\"/>\n";
    };
    return "<?xml version=\"1.0\" ?>\n<data>\n" + program("boot.img", kBootSector, f.boot.size()) +
           program("system.img", kSystemSector, f.system.size()) + "</data>\n";
}

std::string Patch(const Folder& f)
{
    return "<?xml version=\"1.0\" ?>\n<data>\n<patch SECTOR_SIZE_IN_BYTES=\"" + std::to_string(f.sectorSize) +
           "\" byte_offset=\"" + std::to_string(kPatchOffset) +
           "\" filename=\"DISK\" physical_partition_number=\"0\" size_in_bytes=\"8\" start_sector=\"" +
           std::to_string(kPatchSector) + "\" value=\"NUM_DISK_SECTORS-1.\" what=\"last sector\"/>\n</data>\n";
}

// The storage a phone of this folder holds after a complete flash.
std::string ExpectedStorage(const Folder& f)
{
    std::string disk(static_cast<size_t>(f.diskSectors * f.sectorSize), '\0');
    disk.replace(kBootSector * f.sectorSize, f.boot.size(), f.boot);
    disk.replace(kSystemSector * f.sectorSize, f.system.size(), f.system);
    const ULONGLONG last = f.diskSectors - 1;
    for (int i = 0; i < 8; ++i)
        disk[kPatchSector * f.sectorSize + kPatchOffset + i] = static_cast<char>((last >> (8 * i)) & 0xFF);
    return disk;
}

const char kFlashAll[] = "@echo off\r\n"
                         "rem The phone comes as \"-s SERIAL\"; fastboot is on the PATH.\r\n"
                         "fastboot %1 %2 flash boot \"%~dp0boot.img\"\r\n"
                         "if errorlevel 1 exit /b 1\r\n"
                         "fastboot %1 %2 flash system \"%~dp0system.img\"\r\n"
                         "if errorlevel 1 exit /b 1\r\n"
                         "echo flash_all: all partitions written\r\n"
                         "exit /b 0\r\n";

bool WriteFolder(const std::wstring& root, Folder& f, unsigned seed)
{
    f.path = root + L"\\" + f.name;
    CreateDirectoryW(f.path.c_str(), nullptr);
    f.boot = Pattern(96 * 1024 + 100, seed);
    f.system = Pattern(1536 * 1024 + 7, seed + 1);
    std::string programmer;
    if (f.hexProgrammer)
    {
        std::string code = Pattern(16 * 1024, seed + 2);
        programmer = IntelHexFile({{0x08000000, std::vector<BYTE>(code.begin(), code.end())}}, 0x08000000);
    }
    else
        programmer = Pattern(40 * 1024, seed + 2);
    return WriteFileBytes(f.path + L"\\" + f.programmer, programmer) &&
           WriteFileBytes(f.path + L"\\boot.img", f.boot) && WriteFileBytes(f.path + L"\\system.img", f.system) &&
           WriteFileBytes(f.path + L"\\rawprogram0.xml", Rawprogram(f)) &&
           WriteFileBytes(f.path + L"\\patch0.xml", Patch(f)) &&
           WriteFileBytes(f.path + L"\\flash_all.bat", kFlashAll);
}

// One most-recently-used list of the program's settings, holding one entry.
bool WriteSetting(const wchar_t* name, const std::wstring& value)
{
    CRegKey key;
    const std::wstring path = std::wstring(L"Software\\Olvane\\Kestrup\\") + name;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Receive(),
                        nullptr))
        return false;
    const DWORD count = 6;
    return RegSetValueExW(key.Get(), L"DocumentCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                          sizeof count) == ERROR_SUCCESS &&
           RegSetValueExW(key.Get(), L"Document1", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

struct Phone
{
    std::wstring kind;  // for KestrupPhones
    std::string title;  // what the line shows
    size_t folder;      // which image folder flashes it
    bool expectSuccess; // the outcome the demo expects
    std::wstring storage;
    std::wstring name;  // the program's device name, from KestrupPhones
    unsigned index = 0; // in the device table
    bool plugged = false;
    ULONGLONG flashTick = 0;
};

// A child process with its standard input and output on pipes.
struct Child
{
    DWORD id = 0;
    CHandle process;
    CHandle input;  // our end of its standard input
    CHandle output; // our end of its standard output
};

bool StartChild(const std::wstring& commandLine, const std::wstring& directory, bool pipes, Child& child)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    CHandle childInput, childOutput;
    STARTUPINFOW startup = {sizeof(startup)};
    if (pipes)
    {
        if (!CreatePipe(childInput.Receive(), child.input.Receive(), &inherit, 0) ||
            !CreatePipe(child.output.Receive(), childOutput.Receive(), &inherit, 0))
            return false;
        SetHandleInformation(child.input.Get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(child.output.Get(), HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput.Get();
        startup.hStdOutput = childOutput.Get();
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    std::wstring line = commandLine;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, pipes, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process))
        return false;
    const CHandle thread(process.hThread); // not needed
    child.process.Reset(process.hProcess);
    child.id = process.dwProcessId;
    return true;
}

// The next line of the child's output; false at its end.
bool ReadLine(HANDLE from, std::string& line)
{
    line.clear();
    char c = 0;
    DWORD got = 0;
    while (ReadFile(from, &c, 1, &got, nullptr) && got == 1)
    {
        if (c == '\n')
            return true;
        if (c != '\r')
            line += c;
    }
    return !line.empty();
}

// Asks for a picture of the window: NAME.request holds its rectangle on
// the screen ("x y width height").
bool Shot(const std::wstring& shots, const wchar_t* name, HWND window)
{
    if (shots.empty())
        return true;
    const std::wstring request = shots + L"\\" + name + L".request", done = shots + L"\\" + name + L".done";
    DeleteFileW(done.c_str());
    RECT r = {};
    GetWindowRect(window, &r);
    const std::string rectangle = std::to_string(r.left) + " " + std::to_string(r.top) + " " +
                                  std::to_string(r.right - r.left) + " " + std::to_string(r.bottom - r.top) + "\n";
    const std::wstring written = request + L".new";
    if (!WriteFileBytes(written, rectangle) ||
        !MoveFileExW(written.c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    const ULONGLONG end = GetTickCount64() + kShotMs;
    while (GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < end)
        Sleep(100);
    DeleteFileW(request.c_str());
    return GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int Fail(const std::string& why)
{
    std::fprintf(stderr, "KestrupDemo: %s\n", why.c_str());
    return 1;
}

int Run(const std::map<std::wstring, std::wstring>& options)
{
    auto option = [&](const wchar_t* name) {
        auto it = options.find(name);
        return it == options.end() ? std::wstring() : it->second;
    };
    const std::wstring program = option(L"--program"), phonesExe = option(L"--phones"), work = option(L"--work"),
                       shots = option(L"--shots");
    // --prepare 1: only the image folders and the settings, for a run by hand.
    const bool prepareOnly = option(L"--prepare") == L"1";
    if (work.empty() || (!prepareOnly && (program.empty() || phonesExe.empty())))
        return Fail("usage: KestrupDemo.exe --program KESTRUP.EXE --phones KESTRUPPHONES.EXE --work FOLDER "
                    "[--shots FOLDER] | KestrupDemo.exe --work FOLDER --prepare 1");

    // Image folders, one Flash each, in the order they are flashed.
    std::vector<Folder> folders(3);
    folders[0].name = L"ufs";
    folders[0].programmer = L"prog_ufs_firehose_8998.mbn";
    folders[0].sectorSize = 4096;
    folders[0].diskSectors = 1024;
    folders[1].name = L"emmc";
    folders[1].programmer = L"prog_emmc_firehose_8953.mbn";
    folders[1].diskSectors = 8192;
    folders[2].name = L"dmss";
    folders[2].programmer = L"prog_emmc_firehose_8916.hex";
    folders[2].hexProgrammer = true;
    folders[2].diskSectors = 8192;
    const std::wstring images = work + L"\\images", phonesDir = work + L"\\phones", logDir = work + L"\\log";
    for (const std::wstring& dir : {work, images, phonesDir, logDir})
        CreateDirectoryW(dir.c_str(), nullptr);
    for (const std::wstring& old : {std::wstring(L"Kestrup-*.log")})
    {
        WIN32_FIND_DATAW found;
        const CFindHandle search(FindFirstFileW((logDir + L"\\" + old).c_str(), &found));
        for (BOOL more = search.IsValid(); more; more = FindNextFileW(search.Get(), &found))
            DeleteFileW((logDir + L"\\" + found.cFileName).c_str());
    }
    for (size_t i = 0; i < folders.size(); ++i)
    {
        if (!WriteFolder(images, folders[i], 10 * static_cast<unsigned>(i) + 1))
            return Fail("cannot write the image folder " + Narrow(folders[i].name));
    }

    // The settings as the program keeps them: one most-recently-used list each.
    const std::pair<const wchar_t*, std::wstring> settings[] = {
        // By hand (--prepare) the eMMC phone's folder comes first.
        {L"SearchPath", folders[prepareOnly ? 1 : 0].path},
        {L"FtBootScript", L"flash_all.bat"},
        {L"NvBootScript", L"nvflash_all.bat"},
        {L"Programmer", L"prog_*_firehose_*.*"},
        {L"BootImage", L"*_msimage.mbn"},
        {L"KernelFlinger", L"loader.efi"},
        {L"Provision", L"provision*.xml"},
        {L"RawFile", L"rawprogram*.xml"},
        {L"PatchFile", L"patch*.xml"},
    };
    for (const auto& setting : settings)
    {
        if (!WriteSetting(setting.first, setting.second))
            return Fail("cannot write the setting " + Narrow(setting.first));
    }

    if (prepareOnly)
    {
        // Beside each folder's images, what a phone flashed from it holds.
        for (const Folder& folder : folders)
        {
            if (!WriteFileBytes(folder.path + L"\\expected-storage.bin", ExpectedStorage(folder)))
                return Fail("cannot write the expected storage of " + Narrow(folder.name));
            std::printf("%s\n", Narrow(folder.path).c_str());
        }
        return 0;
    }

    std::vector<Phone> phones = {
        {L"sahara-ufs", "Sahara + Firehose, UFS", 0, true},
        {L"sahara-emmc", "Sahara + Firehose, eMMC", 1, true},
        {L"fastboot", "fastboot, flash_all.bat", 1, true},
        {L"silent", "never answers", 1, false},
        {L"dmss-emmc", "DMSS (Intel HEX) + Firehose, eMMC", 2, true},
    };
    std::wstring phonesLine = L"\"" + phonesExe + L"\" --no-table --index 1";
    for (Phone& phone : phones)
    {
        phone.storage = phonesDir + L"\\" + phone.kind + L".bin";
        DeleteFileW(phone.storage.c_str());
        phonesLine += L" \"" + phone.kind + L"=" + phone.storage;
        if (phone.kind.compare(0, 6, L"sahara") == 0)
            phonesLine += L"," + folders[phone.folder].path + L"\\" + folders[phone.folder].programmer;
        phonesLine += L"\"";
    }
    Child simulator;
    if (!StartChild(phonesLine, L"", true, simulator))
        return Fail("cannot start " + Narrow(phonesExe));
    std::string line;
    for (size_t i = 0; i < phones.size(); ++i)
    {
        if (!ReadLine(simulator.output.Get(), line) || line.find('\t') == std::string::npos)
            return Fail("the simulated phones did not start: " + line);
        phones[i].name = Wide(line.substr(0, line.find('\t')));
        phones[i].index = static_cast<unsigned>(i + 1);
    }
    if (!ReadLine(simulator.output.Get(), line) || line != "ready")
        return Fail("the simulated phones are not ready: " + line);

    // The co-installer stand-in's table, beside it in the system folder.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    CDeviceTable table(std::wstring(system) + L"\\qcCoInstaller.txt");

    Child kestrup;
    if (!StartChild(L"\"" + program + L"\"", logDir, false, kestrup))
        return Fail("cannot start " + Narrow(program));
    const HWND main = Remote::FindMainWindow(kestrup.id, kStartMs);
    if (!main)
        return Fail("the main window did not appear");
    Remote::CController controller;
    if (!controller.Window())
        return Fail("cannot make the controller's window");
    if (!Shot(shots, L"before", main))
        return Fail("no picture before the flash");

    auto resultsOf = [&](const Phone& phone) {
        std::vector<Remote::Result> found;
        unsigned port = 0;
        if (swscanf(phone.name.c_str(), L"COM%u", &port) == 1)
            for (const Remote::Result& result : controller.Results())
                if (result.port == port)
                    found.push_back(result);
        return found;
    };
    const std::string doneMarker = "flash_all: all partitions written";
    auto fastbootDone = [&](const Phone& phone) {
        const Remote::JobLog job = Remote::ReadJobLog(Remote::ReadLog(logDir), phone.name, "CScriptReport::DoWork");
        for (const std::string& text : job.texts)
            if (text == doneMarker)
                return true;
        return job.error;
    };
    // A phone whose flash has ended is unplugged at once, as an operator
    // would, so that the next folder's Refresh does not list it again.
    auto unplugFinished = [&] {
        for (Phone& phone : phones)
        {
            if (phone.plugged && (phone.kind == L"fastboot" ? fastbootDone(phone) : !resultsOf(phone).empty()))
            {
                table.Remove(phone.index);
                phone.plugged = false;
            }
        }
    };

    // Whether every phone of the folders before `end` has its result, each
    // unplugged once it has.
    auto allDone = [&](size_t end) {
        unplugFinished();
        for (const Phone& phone : phones)
        {
            if (phone.folder < end && (phone.kind == L"fastboot" ? !fastbootDone(phone) : resultsOf(phone).empty()))
                return false;
        }
        return true;
    };

    // One Flash per folder; its phones are plugged in just before. A phone
    // that ends while the next folder's Refresh runs would be listed again
    // before the operator could unplug it, and flashed a second time: the
    // next folder waits for this one's results.
    for (size_t f = 0; f < folders.size(); ++f)
    {
        for (Phone& phone : phones)
        {
            if (phone.folder != f)
                continue;
            if (!table.Set({phone.index, phone.kind == L"fastboot" ? 3u : 1u, phone.name, {}}))
                return Fail("cannot write the device table");
            phone.plugged = true;
        }
        if (!controller.SetImageFolder(main, folders[f].path) || !controller.Refresh(main) || !controller.Flash(main))
            return Fail("the main window did not take the remote commands");
        const ULONGLONG flashed = GetTickCount64();
        for (Phone& phone : phones)
            if (phone.folder == f)
                phone.flashTick = flashed;
        // The next folder's text may be sent once this Flash has run: every
        // phone of it has a job that logs.
        const bool started = controller.Pump(kBatchStartMs, [&] {
            unplugFinished();
            const std::string log = Remote::ReadLog(logDir);
            for (const Phone& phone : phones)
            {
                if (phone.folder == f && Remote::ReadJobLog(log, phone.name, "").texts.empty())
                    return false;
            }
            return true;
        });
        if (!started)
            return Fail("the jobs of the folder " + Narrow(folders[f].name) + " did not start");
        // The picture with the most rows at work: the eMMC folder's three.
        if (f == 1 && !Shot(shots, L"during", main))
            return Fail("no picture during the flash");
        if (f + 1 < folders.size() && !controller.Pump(kResultsMs, [&] { return allDone(f + 1); }))
            return Fail("the phones of the folder " + Narrow(folders[f].name) + " did not all end");
    }

    controller.Pump(kResultsMs, [&] { return allDone(folders.size()); });
    // Anything posted twice would have come by now.
    controller.Pump(1000, [] { return false; });
    if (!Shot(shots, L"after", main))
        return Fail("no picture after the flash");

    // Close the window as the operator would, and let the phones go.
    PostMessageW(main, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(kestrup.process.Get(), kStartMs) != WAIT_OBJECT_0)
    {
        TerminateProcess(kestrup.process.Get(), 1);
        return Fail("the program did not end after its window was closed");
    }
    simulator.input.Reset();
    if (WaitForSingleObject(simulator.process.Get(), kStartMs) != WAIT_OBJECT_0)
    {
        TerminateProcess(simulator.process.Get(), 1);
        return Fail("the simulated phones did not end");
    }

    const std::string log = Remote::ReadLog(logDir);
    bool allAsExpected = true;
    std::printf("%-7s %-34s %-8s %7s  %s\n", "port", "device", "result", "seconds", "storage = expected image");
    for (const Phone& phone : phones)
    {
        bool success = false, answered = false;
        double seconds = 0;
        std::string note;
        if (phone.kind == L"fastboot")
        {
            const Remote::JobLog job = Remote::ReadJobLog(log, phone.name, "CScriptReport::DoWork");
            answered = !job.texts.empty();
            success = !job.error && std::find(job.texts.begin(), job.texts.end(), doneMarker) != job.texts.end();
            seconds = job.seconds;
        }
        else
        {
            const std::vector<Remote::Result> results = resultsOf(phone);
            answered = results.size() == 1;
            if (!results.empty())
            {
                success = results[0].success;
                seconds = (results[0].tick - phone.flashTick) / 1000.0;
            }
            if (results.size() > 1)
                note = "  (" + std::to_string(results.size()) + " results for one phone)";
            else if (results.empty())
                note = "  (no result from the program)";
        }
        if (!success && answered)
        {
            const Remote::JobLog job = Remote::ReadJobLog(log, phone.name, "");
            if (!job.texts.empty())
                note += "  last status: \"" + job.texts.back() + "\"";
        }
        std::string storage;
        bool storageOk = false;
        if (ReadFileBytes(phone.storage, storage))
        {
            const Folder& folder = folders[phone.folder];
            std::string expected;
            if (phone.kind == L"fastboot")
                expected = folder.boot + folder.system;
            else if (phone.expectSuccess)
                expected = ExpectedStorage(folder);
            else
                expected.assign(static_cast<size_t>(folder.diskSectors * folder.sectorSize), '\0'); // untouched
            storageOk = storage == expected;
        }
        const bool asExpected = answered && success == phone.expectSuccess && storageOk;
        allAsExpected = allAsExpected && asExpected;
        std::printf("%-7s %-34s %-8s %6.1fs  %s%s%s\n", Narrow(phone.name).c_str(), phone.title.c_str(),
                    !answered ? "none"
                    : success ? "success"
                              : "failure",
                    seconds, storageOk ? "yes" : "no", asExpected ? "" : "  <- not as expected", note.c_str());
    }
    return allAsExpected ? 0 : 1;
}
} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::map<std::wstring, std::wstring> options;
    for (int i = 1; argv && i + 1 < argc; i += 2)
        options[argv[i]] = argv[i + 1];
    const int code = Run(options);
    std::fflush(stdout);
    return code;
}
