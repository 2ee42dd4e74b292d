// KestrupPhones: simulated phones to run by hand against the program, built
// from the same phone personalities as the tests.
//
//   KestrupPhones.exe [--table FILE | --no-table] [--index N] [--seconds N] PHONE...
//   PHONE = KIND=STORAGE[,PROGRAMMER]
//
// KIND is one of
//   sahara-emmc  Sahara boot code, then a Firehose programmer on eMMC (512-byte sectors)
//   sahara-ufs   Sahara boot code, then a Firehose programmer on UFS (4096-byte sectors)
//   dmss-emmc    DMSS boot code (Intel HEX programmer), then Firehose on eMMC
//   silent       a port on which nothing ever answers
//   fastboot     a phone in fastboot mode, reached through the fastboot tool
// Each emergency phone takes the first free serial port pair of the prefix
// (scripts/ports up): the program opens COM(10+n), the phone COM(110+n). A
// Sahara phone needs its PROGRAMMER file to know how much to ask for, and
// says hello again every few seconds until a host answers. STORAGE receives
// the phone's storage when the program ends.
//
// The phones are listed in the co-installer stand-in's device table (by
// default qcCoInstaller.txt in the system folder, beside the stand-in) while
// the program runs, so the main window's Refresh finds them; --no-table
// leaves the table to the caller. One line per phone goes to standard output
// ("COM10<tab>sahara-emmc<tab>STORAGE"), then "ready". The phones stop when
// standard input ends or a line arrives (Enter), or after --seconds
// (default 3600).
//
// A copy of this program named fastboot.exe, in the program's
// "Google\Android" folder, is the fastboot tool for fastboot phones: it
// reaches the phone named by "-s" through a named pipe and flashes
// partitions into its storage (the partitions one after another, in the
// order they were first flashed).
#include "simulators/phones/Phones.h"
#include "simulators/phones/DeviceTable.h"
#include "platform/Handles.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstdio>
#include <thread>

namespace
{
constexpr DWORD kSupervisePollMs = 100;

void Print(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Set when standard input ends or brings a line.
HANDLE g_stop = nullptr;

void WatchInput()
{
    char c = 0;
    DWORD got = 0;
    while (::ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1 && c != '\n')
    {
    }
    SetEvent(g_stop);
}

int Usage(const std::string& why)
{
    std::fprintf(stderr,
                 "KestrupPhones: %s\n"
                 "usage: KestrupPhones.exe [--table FILE | --no-table] [--index N] [--seconds N] "
                 "KIND=STORAGE[,PROGRAMMER]...\n"
                 "kinds: sahara-emmc sahara-ufs dmss-emmc silent fastboot\n",
                 why.c_str());
    return 2;
}

int RunPhones(const std::vector<std::wstring>& args)
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring table = std::wstring(system) + L"\\qcCoInstaller.txt";
    bool listPhones = true;
    unsigned firstIndex = 1;
    DWORD seconds = 3600;
    std::vector<PhoneRequest> requests;
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == L"--table" && hasValue)
            table = args[++i];
        else if (arg == L"--no-table")
            listPhones = false;
        else if (arg == L"--index" && hasValue)
            firstIndex = static_cast<unsigned>(std::wcstoul(args[++i].c_str(), nullptr, 10));
        else if (arg == L"--seconds" && hasValue)
            seconds = static_cast<DWORD>(std::wcstoul(args[++i].c_str(), nullptr, 10));
        else if (arg.find(L'=') != std::wstring::npos && arg.compare(0, 2, L"--") != 0)
        {
            PhoneRequest request;
            const size_t equals = arg.find(L'='), comma = arg.find(L',', equals);
            request.kind = arg.substr(0, equals);
            request.storage =
                arg.substr(equals + 1, comma == std::wstring::npos ? std::wstring::npos : comma - equals - 1);
            if (comma != std::wstring::npos)
                request.programmer = arg.substr(comma + 1);
            if (request.storage.empty())
                return Usage("no storage file for " + Narrow(request.kind));
            requests.push_back(request);
        }
        else
            return Usage("unknown argument " + Narrow(arg));
    }
    if (requests.empty())
        return Usage("no phones");
    if (firstIndex == 0 || seconds == 0)
        return Usage("--index and --seconds take numbers above 0");

    std::vector<std::unique_ptr<CPhone>> phones;
    for (size_t i = 0; i < requests.size(); ++i)
    {
        std::string why;
        std::unique_ptr<CPhone> phone = MakePhone(requests[i], firstIndex + static_cast<unsigned>(i), why);
        if (!phone)
            return Usage(why);
        if (!phone->Begin())
        {
            std::fprintf(stderr, "KestrupPhones: %s cannot start (no free port pair? run scripts/ports up)\n",
                         Narrow(requests[i].kind).c_str());
            return 1;
        }
        phones.push_back(std::move(phone));
    }

    std::unique_ptr<CDeviceTable> devices;
    if (listPhones)
        devices = std::make_unique<CDeviceTable>(table);
    for (size_t i = 0; i < phones.size(); ++i)
    {
        const unsigned index = firstIndex + static_cast<unsigned>(i);
        if (devices && !devices->Set({index, phones[i]->Type(), phones[i]->Name(), {}}))
        {
            std::fprintf(stderr, "KestrupPhones: cannot write the device table %s\n", Narrow(table).c_str());
            return 1;
        }
        Print(Narrow(phones[i]->Name()) + "\t" + Narrow(requests[i].kind) + "\t" + Narrow(requests[i].storage));
    }
    Print("ready");

    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread(WatchInput).detach();
    const ULONGLONG end = GetTickCount64() + seconds * 1000ull;
    while (WaitForSingleObject(g_stop, kSupervisePollMs) == WAIT_TIMEOUT && GetTickCount64() < end)
    {
        for (auto& phone : phones)
            phone->Supervise();
    }

    devices.reset(); // unplugged
    int exitCode = 0;
    for (size_t i = 0; i < phones.size(); ++i)
    {
        phones[i]->End();
        for (const std::string& error : phones[i]->Errors())
            std::fprintf(stderr, "KestrupPhones: %s: %s\n", Narrow(phones[i]->Name()).c_str(), error.c_str());
        if (!WriteFileBytes(requests[i].storage, phones[i]->Storage()))
        {
            std::fprintf(stderr, "KestrupPhones: cannot write %s\n", Narrow(requests[i].storage).c_str());
            exitCode = 1;
        }
    }
    return exitCode;
}

// The fastboot tool: "fastboot -s SERIAL flash PARTITION FILE", "fastboot
// -s SERIAL reboot".
int RunFastbootTool(const std::vector<std::wstring>& args)
{
    std::wstring serial;
    std::vector<std::wstring> command;
    for (size_t i = 0; i < args.size(); ++i)
    {
        if (args[i] == L"-s" && i + 1 < args.size())
            serial = args[++i];
        else
            command.push_back(args[i]);
    }
    std::string request;
    if (command.size() == 3 && command[0] == L"flash")
    {
        wchar_t full[MAX_PATH] = {};
        GetFullPathNameW(command[2].c_str(), MAX_PATH, full, nullptr);
        request = "flash " + Narrow(command[1]) + " " + Narrow(full);
        Print("Sending '" + Narrow(command[1]) + "' (" + Narrow(PathFindFileNameW(full)) + ")");
    }
    else if (command.size() == 1 && command[0] == L"reboot")
    {
        request = "reboot";
        Print("Rebooting");
    }
    else
    {
        Print("fastboot: usage: fastboot -s SERIAL flash PARTITION FILE | reboot");
        return 1;
    }
    const ULONGLONG start = GetTickCount64();
    if (serial.empty() || !WaitNamedPipeW(FastbootPipeName(serial).c_str(), kFastbootPipeWaitMs))
    {
        Print("FAILED (no device " + Narrow(serial) + ")");
        return 1;
    }
    CFileHandle pipe(CreateFileW(FastbootPipeName(serial).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    if (!pipe)
    {
        Print("FAILED (device " + Narrow(serial) + " is busy)");
        return 1;
    }
    request += "\n";
    DWORD done = 0;
    std::string reply;
    if (::WriteFile(pipe.Get(), request.data(), static_cast<DWORD>(request.size()), &done, nullptr))
    {
        char c = 0;
        while (reply.size() < 4096 && ::ReadFile(pipe.Get(), &c, 1, &done, nullptr) && done == 1 && c != '\n')
            reply += c;
    }
    pipe.Reset();
    if (reply != "OKAY")
    {
        Print("FAILED (remote: " + (reply.empty() ? std::string("no answer") : reply) + ")");
        return 1;
    }
    char total[64];
    std::snprintf(total, sizeof total, "Finished. Total time: %.3fs", (GetTickCount64() - start) / 1000.0);
    Print("OKAY");
    Print(total);
    return 0;
}
} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args;
    for (int i = 1; argv && i < argc; ++i)
        args.push_back(argv[i]);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (lstrcmpiW(PathFindFileNameW(self), L"fastboot.exe") == 0)
        return RunFastbootTool(args);
    return RunPhones(args);
}
