// A phone in emergency download mode for whole downloads: its boot code
// serves one flash programmer over Sahara or DMSS, then the programmer (a
// simulated Firehose or streaming download personality) runs on the same
// port.
#pragma once
#include "simulators/phones/DmssPhone.h"
#include "simulators/phones/SaharaPhone.h"

#include <atomic>
#include <functional>

// Boot is CSaharaPhone or CDmssPhone: its Options, Session and Serve.
template <class Boot, class Personality> class CBootThen : public Personality
{
public:
    template <class... Args>
    explicit CBootThen(typename Boot::Options boot, Args&&... options)
        : Personality(std::forward<Args>(options)...), m_boot(std::move(boot))
    {
    }
    ~CBootThen() override { this->Stop(); }

    // Runs on the phone thread once the programmer's personality has ended
    // (a streaming download programmer ends with its reset).
    void OnProgrammerEnd(std::function<void()> action) { m_afterProgrammer = std::move(action); }
    // After its programmer has ended and OnProgrammerEnd has returned, the
    // boot code starts once more, as after UFS provisioning: a fresh hello
    // and programmer load.
    void RestartOnce() { m_restarts = 1; }
    // What the boot code heard at the last load.
    const typename Boot::Session& LastLoad() const { return m_session; }
    // Programmer loads served.
    int Loads() const { return m_loads; }
    // A host has talked to the boot code at some load.
    bool Heard() const { return m_heard; }

protected:
    void Run() override
    {
        for (;;)
        {
            const bool loaded = Boot::Serve(*this, m_boot, m_session);
            m_heard = m_heard || m_session.Heard();
            if (!loaded)
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
    typename Boot::Options m_boot;
    typename Boot::Session m_session;
    std::atomic<int> m_loads{0};
    std::atomic<bool> m_heard{false};
    int m_restarts = 0;
    std::function<void()> m_afterProgrammer;
};

// The programmer of programmerSize bytes asked for in order, 4 KiB at a time.
template <class Personality> class CSaharaThen : public CBootThen<CSaharaPhone, Personality>
{
public:
    template <class... Args>
    explicit CSaharaThen(size_t programmerSize, Args&&... options)
        : CBootThen<CSaharaPhone, Personality>(CSaharaPhone::InOrder(programmerSize), std::forward<Args>(options)...)
    {
    }
    // The programmer as the boot code received it at the last load.
    const ByteVector& Programmer() const { return this->LastLoad().received; }
};

template <class Personality> using CDmssThen = CBootThen<CDmssPhone, Personality>;
