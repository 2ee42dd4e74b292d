// The phone side of the benchmark, a process of its own, so that the
// controller's CPU and memory are the engine's alone. Each phone port gets a
// thread that takes the host's bytes in large blocks and checks them with a
// fast CRC-32.
//
//   kestrup_bench_phone.exe <ready event> <stop event> raw <bytes> <log every> <port>
//   kestrup_bench_phone.exe <ready event> <stop event> firehose <payload> <answer delay ms> <log every> <port>...
//
// raw: reads <bytes> bytes, then answers the single byte 'D'.
// firehose: a lean flash programmer. It answers configure with
// MaxPayloadSizeToTargetInBytes = <payload>, acknowledges a program command
// once all of its data has come (after <answer delay ms>, a programmer
// committing its data), and acknowledges every other command. With <log
// every> not 0 it writes a log document each time another <log every> bytes
// of data came, and takes no more data while that write waits; so does raw.
//
// The ready event is set once every port is open; the stop event ends the
// process, which then prints one line per port:
//   <port> <data bytes> <CRC-32 of the data, hex> <program commands> <ok | what went wrong>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/FastCrc32.h"
#include "platform/Handles.h"

namespace
{

// One blocking read waits at most this long, so that a stop is seen soon.
constexpr DWORD kReadSliceMs = 200;
// Data of a started transfer must keep coming within this time.
constexpr DWORD kDataWaitMs = 30000;
// The longest the process lives, whatever the controller does.
constexpr DWORD kLifetimeMs = 30 * 60 * 1000;
constexpr size_t kBlock = 1u << 20;
// The shortest command document the host sends (nop): this many bytes can
// always be waited for without reading past the end of a command.
constexpr size_t kShortestCommand = 54;
// A log document of about 100 bytes, as a programmer's progress line.
const char kLog[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><log value=\"INFO: data taken, going on\" /></data>";

std::atomic<bool> g_stop{false};

double Elapsed(ULONGLONG since)
{
    return static_cast<double>(GetTickCount64() - since);
}

class CPhonePort
{
public:
    explicit CPhonePort(const std::wstring& name) : m_name(name), m_block(kBlock)
    {
        m_handle.Reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    CPhonePort(const CPhonePort&) = delete;
    CPhonePort& operator=(const CPhonePort&) = delete;

    bool Open() const { return static_cast<bool>(m_handle); }
    const std::wstring& Name() const { return m_name; }

    // Up to count bytes: those that arrive within one slice.
    size_t ReadSlice(void* buffer, size_t count)
    {
        if (!SetMode(true))
            return 0;
        DWORD got = 0;
        return ReadFile(m_handle.Get(), buffer, static_cast<DWORD>(count), &got, nullptr) ? got : 0;
    }

    // What has arrived already, at most count bytes; never waits.
    size_t ReadArrived(void* buffer, size_t count)
    {
        if (!SetMode(false))
            return 0;
        DWORD got = 0;
        return ReadFile(m_handle.Get(), buffer, static_cast<DWORD>(count), &got, nullptr) ? got : 0;
    }

    // Exactly `bytes` bytes in blocks of up to 1 MiB, each handed to `take`;
    // false when the data stops for longer than the data wait, or on a stop.
    template <typename Take> bool ReadExact(ULONGLONG bytes, Take take)
    {
        ULONGLONG lastData = GetTickCount64();
        while (bytes > 0 && !g_stop)
        {
            size_t got = ReadSlice(m_block.data(), static_cast<size_t>(std::min<ULONGLONG>(bytes, m_block.size())));
            if (got == 0)
            {
                if (Elapsed(lastData) > kDataWaitMs)
                    return false;
                continue;
            }
            lastData = GetTickCount64();
            take(m_block.data(), got);
            bytes -= got;
        }
        return bytes == 0;
    }

    bool Write(const void* data, size_t count)
    {
        DWORD written = 0;
        return WriteFile(m_handle.Get(), data, static_cast<DWORD>(count), &written, nullptr) && written == count;
    }

private:
    // Blocking reads (one slice at most) or reads of what has arrived; the
    // port keeps its time-outs until they change.
    bool SetMode(bool blocking)
    {
        if (m_modeSet && m_blocking == blocking)
            return true;
        COMMTIMEOUTS timeouts = {};
        if (blocking)
            timeouts.ReadTotalTimeoutConstant = kReadSliceMs;
        else
            timeouts.ReadIntervalTimeout = MAXDWORD;
        m_modeSet = SetCommTimeouts(m_handle.Get(), &timeouts) != FALSE;
        m_blocking = blocking;
        return m_modeSet;
    }

    std::wstring m_name;
    CFileHandle m_handle;
    std::vector<char> m_block;
    bool m_modeSet = false;
    bool m_blocking = false;
};

struct PhoneResult
{
    ULONGLONG bytes = 0;
    ULONG crc = 0;
    int programs = 0;
    std::string error;
};

// Takes n bytes of data into the result, with a log per logEvery bytes: the
// logs of what one read took go out in one write.
void Take(CPhonePort& port, const char* data, size_t n, ULONGLONG logEvery, PhoneResult& result)
{
    result.crc = bench::UpdateFastCrc32(result.crc, data, n);
    const ULONGLONG before = result.bytes;
    result.bytes += n;
    std::string logs;
    for (ULONGLONG mark = logEvery ? (before / logEvery + 1) * logEvery : ~0ull; mark <= result.bytes;
         mark += logEvery)
        logs += kLog;
    if (!logs.empty() && !port.Write(logs.data(), logs.size()) && result.error.empty())
        result.error = "write-failed";
}

void RunRaw(CPhonePort& port, ULONGLONG bytes, ULONGLONG logEvery, PhoneResult& result)
{
    if (!port.ReadExact(bytes, [&](const char* data, size_t n) { Take(port, data, n, logEvery, result); }))
    {
        result.error = "data-stopped";
        return;
    }
    if (!port.Write("D", 1))
        result.error = "write-failed";
}

// The number in attribute `name="..."` of a command; 0 when missing.
ULONGLONG Attribute(const std::string& command, const char* name)
{
    const std::string key = std::string(" ") + name + "=\"";
    size_t at = command.find(key);
    return at == std::string::npos ? 0 : strtoull(command.c_str() + at + key.size(), nullptr, 10);
}

class CLeanProgrammer
{
public:
    CLeanProgrammer(CPhonePort& port, int payload, DWORD answerDelayMs, ULONGLONG logEvery, PhoneResult& result)
        : m_port(port), m_payload(payload), m_answerDelayMs(answerDelayMs), m_logEvery(logEvery), m_result(result)
    {
    }

    void Run()
    {
        std::string command;
        while (ReadCommand(command))
        {
            if (command.find("<program ") != std::string::npos)
            {
                if (!Program(command))
                    return;
            }
            else if (command.find("<configure ") != std::string::npos)
            {
                Respond("value=\"ACK\" MaxPayloadSizeToTargetInBytes=\"" + std::to_string(m_payload) + "\"");
            }
            else
            {
                Respond("value=\"ACK\"");
            }
        }
    }

private:
    // The next command document, up to and with its "</data>". Waits on the
    // port for the shortest command's length, then takes what else has come.
    bool ReadCommand(std::string& command)
    {
        char buffer[65536];
        while (!g_stop)
        {
            size_t end = m_pending.find("</data>");
            if (end != std::string::npos)
            {
                command = m_pending.substr(0, end + 7);
                m_pending.erase(0, end + 7);
                return true;
            }
            size_t need = m_pending.size() < kShortestCommand ? kShortestCommand - m_pending.size() : 1;
            size_t got = m_port.ReadSlice(buffer, need);
            m_pending.append(buffer, got);
            if (got == need)
                m_pending.append(buffer, m_port.ReadArrived(buffer, sizeof(buffer)));
        }
        return false;
    }

    bool Program(const std::string& command)
    {
        ULONGLONG bytes = Attribute(command, "SECTOR_SIZE_IN_BYTES") * Attribute(command, "num_partition_sectors");
        auto take = [this](const char* data, size_t n) { Take(m_port, data, n, m_logEvery, m_result); };
        size_t fromPending = static_cast<size_t>(std::min<ULONGLONG>(bytes, m_pending.size()));
        take(m_pending.data(), fromPending);
        m_pending.erase(0, fromPending);
        if (!m_port.ReadExact(bytes - fromPending, take))
        {
            m_result.error = "data-stopped";
            return false;
        }
        if (m_answerDelayMs)
            Sleep(m_answerDelayMs);
        ++m_result.programs;
        Respond("value=\"ACK\" rawmode=\"false\"");
        return true;
    }

    // About 100 bytes, as a programmer's progress line.
    void Respond(const std::string& attributes)
    {
        const std::string text =
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><data><response " + attributes + " /></data>";
        if (!m_port.Write(text.data(), text.size()) && m_result.error.empty())
            m_result.error = "write-failed";
    }

    CPhonePort& m_port;
    int m_payload;
    DWORD m_answerDelayMs;
    ULONGLONG m_logEvery;
    PhoneResult& m_result;
    std::string m_pending;
};

int Usage()
{
    fprintf(stderr, "usage: kestrup_bench_phone.exe <ready event> <stop event> raw <bytes> <log every> <port>\n"
                    "       kestrup_bench_phone.exe <ready event> <stop event> firehose <payload> <delay ms> "
                    "<log every> <port>...\n");
    return 1;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 6)
        return Usage();
    const std::wstring mode = argv[3];
    const bool raw = mode == L"raw";
    if (!raw && mode != L"firehose")
        return Usage();
    const int firstPort = raw ? 6 : 7;
    if (argc <= firstPort)
        return Usage();
    const CHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]));
    const CHandle stop(OpenEventW(SYNCHRONIZE, FALSE, argv[2]));
    if (!ready || !stop)
    {
        fprintf(stderr, "cannot open the events\n");
        return 2;
    }

    std::vector<std::unique_ptr<CPhonePort>> ports;
    for (int i = firstPort; i < argc; ++i)
    {
        ports.emplace_back(new CPhonePort(argv[i]));
        if (!ports.back()->Open())
        {
            fprintf(stderr, "cannot open %ls, error %lu\n", argv[i], GetLastError());
            return 3;
        }
    }
    std::vector<PhoneResult> results(ports.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ports.size(); ++i)
    {
        threads.emplace_back([&, i] {
            if (raw)
            {
                RunRaw(*ports[i], _wcstoui64(argv[4], nullptr, 10), _wcstoui64(argv[5], nullptr, 10), results[i]);
            }
            else
            {
                CLeanProgrammer programmer(*ports[i], _wtoi(argv[4]), wcstoul(argv[5], nullptr, 10),
                                           _wcstoui64(argv[6], nullptr, 10), results[i]);
                programmer.Run();
            }
        });
    }
    SetEvent(ready.Get());
    WaitForSingleObject(stop.Get(), kLifetimeMs);
    g_stop = true;
    for (std::thread& thread : threads)
        thread.join();
    for (size_t i = 0; i < ports.size(); ++i)
    {
        const PhoneResult& r = results[i];
        printf("%ls %llu %08lX %d %s\n", ports[i]->Name().c_str(), r.bytes, r.crc, r.programs,
               r.error.empty() ? "ok" : r.error.c_str());
    }
    fflush(stdout);
    return 0;
}
