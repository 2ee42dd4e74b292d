#include "simulators/phones/Phones.h"

#include "simulators/phones/SequencePhones.h"
#include "simulators/phones/FirehosePhone.h"
#include "platform/Handles.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

std::wstring FastbootPipeName(const std::wstring& phone)
{
    return L"\\\\.\\pipe\\KestrupFastboot-" + phone;
}

namespace
{
constexpr ULONGLONG kEmmcSectors = 8192; // 4 MiB of 512-byte sectors
constexpr ULONGLONG kUfsSectors = 1024;  // 4 MiB of 4096-byte sectors

// An emergency download phone: boot code, then Firehose. A boot stage that
// ended without hearing from a host starts again; the Sahara boot code
// first clears the host's side of what it said before.
template <class Phone> class CEmergencyPhone : public CPhone
{
public:
    template <class... Args>
    explicit CEmergencyPhone(bool sendsFirst, Args&&... args)
        : m_phone(std::forward<Args>(args)...), m_sendsFirst(sendsFirst)
    {
    }
    bool Begin() override { return m_phone.Start(); }
    void Supervise() override
    {
        if (m_ended || !m_phone.WaitDone(0))
            return;
        if (Heard())
        {
            m_ended = true;
            return;
        }
        if (m_sendsFirst && !ClearHostSide())
            return; // a host holds the port: it may still answer what was said
        m_phone.Stop();
        m_errorsBefore = m_phone.Errors().size();
        m_phone.Start();
    }
    void End() override
    {
        m_phone.Stop();
        // A phone that no host ever answered has nothing to tell of.
        if (!Heard())
            m_errorsBefore = m_phone.Errors().size();
    }
    std::wstring Name() const override { return m_phone.HostPort().substr(4); }
    std::string Storage() const override { return m_phone.Storage(0); }
    std::vector<std::string> Errors() const override
    {
        std::vector<std::string> all = m_phone.Errors();
        return std::vector<std::string>(all.begin() + std::min(m_errorsBefore, all.size()), all.end());
    }

private:
    bool Heard() const { return m_phone.Heard(); }
    // Stale hellos waiting in the host's side would confuse the next host.
    bool ClearHostSide()
    {
        const CFileHandle host(CreateFileW(m_phone.HostPort().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
        if (!host)
            return false;
        PurgeComm(host.Get(), PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
        return true;
    }

    Phone m_phone;
    bool m_sendsFirst;
    bool m_ended = false;
    size_t m_errorsBefore = 0;
};

using CSaharaFirehose = CSaharaThen<CFirehosePhone>;
using CDmssFirehose = CDmssThen<CFirehosePhone>;

// A port pair on which nothing answers.
class CSilentPhone : public CPhone
{
public:
    bool Begin() override { return m_pair.Valid(); }
    void End() override {}
    std::wstring Name() const override { return m_pair.HostPort().substr(4); }
    std::string Storage() const override { return std::string(kEmmcSectors * 512, '\0'); }

private:
    CPortPair m_pair;
};

// A phone in fastboot mode: the fastboot tool's requests arrive on a named
// pipe, one line each ("flash PARTITION PATH", "reboot"), and are answered
// "OKAY" or "FAIL reason".
class CFastbootPhone : public CPhone
{
public:
    explicit CFastbootPhone(unsigned index) : m_name(L"FB" + std::to_wstring(1000 + index)) {}
    ~CFastbootPhone() override { End(); }
    bool Begin() override
    {
        m_stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!m_stop)
            return false;
        m_thread = std::thread(&CFastbootPhone::Serve, this);
        return true;
    }
    void End() override
    {
        if (m_stop)
            SetEvent(m_stop.Get());
        if (m_thread.joinable())
            m_thread.join();
        m_stop.Reset();
    }
    std::wstring Name() const override { return m_name; }
    unsigned Type() const override { return 3; }
    std::string Storage() const override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string all;
        for (const auto& partition : m_order)
            all += m_partitions.at(partition);
        return all;
    }
    std::vector<std::string> Errors() const override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_errors;
    }

private:
    void Serve()
    {
        while (WaitForSingleObject(m_stop.Get(), 0) == WAIT_TIMEOUT)
        {
            const CFileHandle pipe(
                CreateNamedPipeW(FastbootPipeName(m_name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
            if (!pipe)
            {
                Error("cannot make the pipe, error " + std::to_string(GetLastError()));
                return;
            }
            if (Connect(pipe.Get()))
                Answer(pipe.Get());
            DisconnectNamedPipe(pipe.Get());
        }
    }
    // Waits for the tool, or for the end.
    bool Connect(HANDLE pipe)
    {
        const CHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event.Get();
        bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
        if (!connected && GetLastError() == ERROR_IO_PENDING)
        {
            HANDLE events[] = {overlapped.hEvent, m_stop.Get()};
            DWORD got = WaitForMultipleObjects(2, events, FALSE, INFINITE);
            DWORD bytes = 0;
            connected = got == WAIT_OBJECT_0 && GetOverlappedResult(pipe, &overlapped, &bytes, FALSE);
            if (!connected)
                CancelIo(pipe);
        }
        return connected;
    }
    bool Transfer(HANDLE pipe, bool reading, void* data, DWORD count, DWORD& done)
    {
        const CHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event.Get();
        BOOL ok = reading ? ::ReadFile(pipe, data, count, nullptr, &overlapped)
                          : ::WriteFile(pipe, data, count, nullptr, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING &&
            WaitForSingleObject(overlapped.hEvent, kFastbootPipeWaitMs) != WAIT_OBJECT_0)
            CancelIo(pipe);
        ok = GetOverlappedResult(pipe, &overlapped, &done, TRUE);
        return ok != FALSE;
    }
    void Answer(HANDLE pipe)
    {
        std::string request;
        char c = 0;
        DWORD got = 0;
        while (request.size() < 4096 && Transfer(pipe, true, &c, 1, got) && got == 1 && c != '\n')
            request += c;
        std::string reply = Handle(request) + "\n";
        DWORD written = 0;
        Transfer(pipe, false, &reply[0], static_cast<DWORD>(reply.size()), written);
        FlushFileBuffers(pipe);
    }
    std::string Handle(const std::string& request)
    {
        if (request == "reboot")
            return "OKAY";
        if (request.compare(0, 6, "flash ") != 0)
            return "FAIL unknown command";
        size_t blank = request.find(' ', 6);
        if (blank == std::string::npos)
            return "FAIL no image";
        const std::string partition = request.substr(6, blank - 6);
        std::string bytes;
        wchar_t path[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, request.c_str() + blank + 1, -1, path, MAX_PATH);
        if (!ReadFileBytes(path, bytes))
            return "FAIL cannot read " + request.substr(blank + 1);
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_partitions.count(partition))
            m_order.push_back(partition);
        m_partitions[partition] = bytes;
        return "OKAY";
    }
    void Error(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_errors.push_back(text);
    }

    std::wstring m_name;
    CHandle m_stop;
    std::thread m_thread;
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_partitions;
    std::vector<std::string> m_order;
    std::vector<std::string> m_errors;
};

} // namespace

std::unique_ptr<CPhone> MakePhone(const PhoneRequest& request, unsigned index, std::string& why)
{
    FirehoseOptions emmc;
    emmc.partitionSectors = {kEmmcSectors};
    if (request.kind == L"sahara-emmc" || request.kind == L"sahara-ufs")
    {
        std::string programmer;
        if (request.programmer.empty() || !ReadFileBytes(request.programmer, programmer) || programmer.empty())
        {
            why = "a Sahara phone needs its programmer file: KIND=STORAGE,PROGRAMMER";
            return nullptr;
        }
        FirehoseOptions options = emmc;
        if (request.kind == L"sahara-ufs")
        {
            options.ufs = true;
            options.partitionSectors = {kUfsSectors};
        }
        return std::make_unique<CEmergencyPhone<CSaharaFirehose>>(true, programmer.size(), options);
    }
    if (request.kind == L"dmss-emmc")
        return std::make_unique<CEmergencyPhone<CDmssFirehose>>(false, CDmssPhone::Options(), emmc);
    if (request.kind == L"silent")
        return std::make_unique<CSilentPhone>();
    if (request.kind == L"fastboot")
        return std::make_unique<CFastbootPhone>(index);
    why = "unknown kind of phone";
    return nullptr;
}
