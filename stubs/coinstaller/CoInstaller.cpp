// Stand-in for the device co-installer. Each entry is run by
// "rundll32.exe qcCoInstaller.dll,<entry> <arguments>", answers from the
// device table (README.md) on standard output and ends the process with
// exit code 0, or with a Win32 error code when it cannot answer.
#include <windows.h>
#include "platform/Handles.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace
{

struct Device
{
    unsigned index = 0;
    unsigned type = 0;
    std::string name;
    std::string volumes; // ";" list, may be empty
};

// A fixed answer for one entry, from a "!" line of the table.
struct Script
{
    std::string entry;
    std::string answer;
    DWORD exitCode = 0;
};

struct Table
{
    std::vector<Device> devices;
    std::vector<Script> scripts;
};

HMODULE g_module = nullptr;

void Write(HANDLE to, const std::string& text)
{
    DWORD written = 0;
    if (!text.empty())
        WriteFile(to, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

[[noreturn]] void Finish(const std::string& answer)
{
    Write(GetStdHandle(STD_OUTPUT_HANDLE), answer);
    ExitProcess(0);
}

[[noreturn]] void Fail(DWORD code, const std::string& why)
{
    Write(GetStdHandle(STD_ERROR_HANDLE), "qcCoInstaller: " + why + "\r\n");
    ExitProcess(code);
}

std::string TablePath()
{
    char value[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableA("KESTRUP_DEVICE_TABLE", value, sizeof(value));
    if (n > 0 && n < sizeof(value))
        return std::string(value, n);
    char module[MAX_PATH];
    n = GetModuleFileNameA(g_module, module, MAX_PATH);
    std::string path(module, n);
    size_t slash = path.find_last_of("\\/");
    path.resize(slash == std::string::npos ? 0 : slash + 1);
    return path + "qcCoInstaller.txt";
}

// The table's bytes; empty when there is no table. A table being replaced
// may be briefly locked: retry for a while.
std::string ReadTable(const std::string& path)
{
    CFileHandle file;
    for (int attempt = 0; attempt < 50; ++attempt)
    {
        *file.Receive() =
            CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
        if (file)
            break;
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return std::string();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
            Fail(error, "cannot open the device table " + path);
        Sleep(20);
    }
    if (!file)
        Fail(GetLastError(), "cannot open the device table " + path);
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    return bytes;
}

bool ReadNumber(const std::string& text, unsigned& value)
{
    size_t begin = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    if (begin == std::string::npos)
        return false;
    std::string digits = text.substr(begin, end - begin + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 10)
        return false;
    unsigned long long number = std::strtoull(digits.c_str(), nullptr, 10);
    value = static_cast<unsigned>(number);
    return number <= 0xFFFFFFFFull;
}

// "\\", "\r", "\n", "\t", "%args%" (the entry's arguments) and "%cmdline%"
// (the whole command line) in a scripted answer.
std::string Expand(const std::string& text, const char* args)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '\\' && i + 1 < text.size())
        {
            char next = text[++i];
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
        }
        else if (text.compare(i, 6, "%args%") == 0)
        {
            out += args ? args : "";
            i += 5;
        }
        else if (text.compare(i, 9, "%cmdline%") == 0)
        {
            out += GetCommandLineA();
            i += 8;
        }
        else
            out += text[i];
    }
    return out;
}

Table LoadTable()
{
    std::string path = TablePath();
    std::string text = ReadTable(path);
    Table table;
    std::vector<Device>& devices = table.devices;
    size_t at = 0;
    for (int lineNumber = 1; at < text.size(); ++lineNumber)
    {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line[line.find_first_not_of(" \t")] == '#')
            continue;
        std::vector<std::string> fields;
        size_t from = 0;
        for (;;)
        {
            size_t bar = line.find('|', from);
            fields.push_back(line.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
            if (bar == std::string::npos)
                break;
            from = bar + 1;
        }
        if (line[0] == '!')
        {
            Script script;
            script.entry = fields[0].substr(1);
            unsigned code = 0;
            if (fields.size() < 2 || fields.size() > 3 || script.entry.empty() ||
                (fields.size() == 3 && !ReadNumber(fields[2], code)))
                Fail(ERROR_INVALID_DATA, "bad line " + std::to_string(lineNumber) + " in " + path);
            script.answer = fields[1];
            script.exitCode = code;
            table.scripts.push_back(script);
            continue;
        }
        Device device;
        if (fields.size() < 3 || fields.size() > 4 || !ReadNumber(fields[0], device.index) ||
            !ReadNumber(fields[1], device.type) || device.index == 0 || device.type == 0 || fields[2].empty())
            Fail(ERROR_INVALID_DATA, "bad line " + std::to_string(lineNumber) + " in " + path);
        device.name = fields[2];
        if (fields.size() == 4)
            device.volumes = fields[3];
        devices.push_back(device);
    }
    return table;
}

// Reads the table; answers and ends the process here when the entry has a
// scripted answer.
std::vector<Device> LoadDevices(const char* entry, const char* args)
{
    Table table = LoadTable();
    for (const Script& script : table.scripts)
    {
        if (script.entry != entry)
            continue;
        Write(GetStdHandle(STD_OUTPUT_HANDLE), Expand(script.answer, args));
        ExitProcess(script.exitCode);
    }
    return table.devices;
}

const Device* FindByName(const std::vector<Device>& devices, const char* name)
{
    for (const Device& device : devices)
        if (lstrcmpiA(device.name.c_str(), name ? name : "") == 0)
            return &device;
    return nullptr;
}

} // namespace

extern "C"
{

    BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
    {
        if (reason == DLL_PROCESS_ATTACH)
            g_module = instance;
        return TRUE;
    }

    // The device's type code, 0 when no device has that name.
    void CALLBACK qcGetDeviceType(HWND, HINSTANCE, LPSTR args, int)
    {
        std::vector<Device> devices = LoadDevices("qcGetDeviceType", args);
        const Device* device = FindByName(devices, args);
        Finish(std::to_string(device ? device->type : 0));
    }

    // The device's index, 0 when no device has that name.
    void CALLBACK qcGetDeviceIndex(HWND, HINSTANCE, LPSTR args, int)
    {
        std::vector<Device> devices = LoadDevices("qcGetDeviceIndex", args);
        const Device* device = FindByName(devices, args);
        Finish(std::to_string(device ? device->index : 0));
    }

    // "index, type": the name of the device with that index while it shows as
    // that type; nothing when there is none.
    void CALLBACK qcGetDeviceName(HWND, HINSTANCE, LPSTR args, int)
    {
        std::vector<Device> devices = LoadDevices("qcGetDeviceName", args);
        std::string text = args ? args : "";
        size_t comma = text.find(',');
        unsigned index = 0, type = 0;
        if (comma == std::string::npos || !ReadNumber(text.substr(0, comma), index) ||
            !ReadNumber(text.substr(comma + 1), type))
            Fail(ERROR_INVALID_PARAMETER, "expected \"index, type\", got \"" + text + "\"");
        for (const Device& device : devices)
            if (device.index == index && device.type == type)
                Finish(device.name);
        Finish(std::string());
    }

    // Every device's name, each followed by ";".
    void CALLBACK qcGetDeviceList(HWND, HINSTANCE, LPSTR, int)
    {
        std::string answer;
        for (const Device& device : LoadDevices("qcGetDeviceList", nullptr))
            answer += device.name + ";";
        Finish(answer);
    }

    // The named disk's volumes, each followed by ";"; fails for an unknown name.
    void CALLBACK qcGetVolumeList(HWND, HINSTANCE, LPSTR args, int)
    {
        std::vector<Device> devices = LoadDevices("qcGetVolumeList", args);
        const Device* device = FindByName(devices, args);
        if (!device)
            Fail(ERROR_FILE_NOT_FOUND, std::string("no device named \"") + (args ? args : "") + "\"");
        std::string answer;
        size_t at = 0;
        while (at < device->volumes.size())
        {
            size_t end = device->volumes.find(';', at);
            if (end == std::string::npos)
                end = device->volumes.size();
            if (end > at)
                answer += device->volumes.substr(at, end - at) + ";";
            at = end + 1;
        }
        Finish(answer);
    }

    // Nothing to set up in the stand-in: checks that the table can be read.
    void CALLBACK qcInitializeSetting(HWND, HINSTANCE, LPSTR, int)
    {
        LoadDevices("qcInitializeSetting", nullptr);
        Finish(std::string());
    }

    // Runs until it is ended.
    void CALLBACK qcMonitorDevice(HWND, HINSTANCE, LPSTR, int)
    {
        for (;;)
            Sleep(INFINITE);
    }

} // extern "C"
