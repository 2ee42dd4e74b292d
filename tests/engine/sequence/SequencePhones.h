// A phone in emergency download mode for whole downloads: its boot code
// serves one flash programmer over Sahara, then the programmer (a simulated
// Firehose or streaming download personality) runs on the same port.
#pragma once
#include "engine/protocols/Sahara.h"
#include "tests/fixtures/SimulatedPhone.h"

#include <functional>

template <class Personality>
class CSaharaThen : public Personality
{
public:
    template <class... Options>
    explicit CSaharaThen(size_t programmerSize, Options&&... options)
        : Personality(std::forward<Options>(options)...), m_programmerSize(programmerSize)
    {
    }
    ~CSaharaThen() override { this->Stop(); }

    // Runs on the phone thread once the programmer's personality has ended
    // (a streaming download programmer ends with its reset).
    void OnProgrammerEnd(std::function<void()> action) { m_afterProgrammer = std::move(action); }
    // After its programmer has ended and OnProgrammerEnd has returned, the
    // boot code starts once more, as after UFS provisioning: a fresh hello
    // and programmer load.
    void RestartOnce() { m_restarts = 1; }
    // The programmer as the boot code received it at the last load.
    const ByteVector& Programmer() const { return m_programmer; }
    // Programmer loads served.
    int Loads() const { return m_loads; }

protected:
    void Run() override
    {
        for (;;)
        {
            if (!ServeSahara())
                return;
            ++m_loads;
            Personality::Run();
            if (m_afterProgrammer)
                m_afterProgrammer();
            if (this->Stopping() || m_restarts == 0)
                return;
            --m_restarts;
        }
    }

private:
    bool SendPacket(std::initializer_list<ULONG> fields)
    {
        ByteVector packet;
        for (ULONG v : fields)
            for (int i = 0; i < 4; ++i)
                packet.push_back(static_cast<BYTE>(v >> (8 * i)));
        return this->Write(packet);
    }
    static ULONG Field(const BYTE* packet, size_t index)
    {
        ULONG v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | packet[4 * index + i];
        return v;
    }

    // Hello, the programmer in pieces of 4 KiB, end of transfer, done.
    bool ServeSahara()
    {
        using namespace Sahara;
        constexpr DWORD kWaitMs = 10000;
        constexpr ULONG kImage = 13;
        m_programmer.clear();
        if (!SendPacket({kHello, kHelloLength, 2, 1, 0x400, kModeImageTransfer, 0, 0, 0, 0, 0, 0}))
            return false;
        BYTE packet[kHelloResponseLength];
        if (!this->ReadExact(packet, sizeof packet, kWaitMs) || Field(packet, 0) != kHelloResponse ||
            Field(packet, 5) != kModeImageTransfer)
        {
            this->Fail("no hello response for image transfer");
            return false;
        }
        for (size_t offset = 0; offset < m_programmerSize; offset += 4096)
        {
            const ULONG length = static_cast<ULONG>(std::min<size_t>(4096, m_programmerSize - offset));
            if (!SendPacket({kReadData, kReadDataLength, kImage, static_cast<ULONG>(offset), length}))
                return false;
            ByteVector piece(length);
            if (!this->ReadExact(piece.data(), length, kWaitMs))
            {
                this->Fail("programmer piece did not arrive");
                return false;
            }
            m_programmer.insert(m_programmer.end(), piece.begin(), piece.end());
        }
        if (!SendPacket({kEndImageTransfer, kEndImageTransferLength, kImage, 0}))
            return false;
        if (!this->ReadExact(packet, kDoneLength, kWaitMs) || Field(packet, 0) != kDone)
        {
            this->Fail("expected the done packet");
            return false;
        }
        return SendPacket({kDoneResponse, kDoneResponseLength, 0});
    }

    size_t m_programmerSize;
    ByteVector m_programmer;
    int m_loads = 0;
    int m_restarts = 0;
    std::function<void()> m_afterProgrammer;
};
