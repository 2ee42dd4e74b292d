// How long the engine waits on a phone, and how slowly a phone may take what
// is written to it: a clock, deadlines on it, the floor a phone's pace must
// keep while a write goes out, and the hearing of what the phone sends
// meanwhile.
#pragma once
#include <windows.h>

#include <functional>

// Tests make the bounds on a phone's pace (port writes, answer waits) pass
// this many times faster; 1 in the program.
DWORD& PhoneTimeDivisor();
// Such a bound of ms milliseconds as it applies now.
DWORD PhoneTimeMs(DWORD ms);

// Milliseconds that only move forward: the system's tick count, or a clock
// that a test moves.
class CClock
{
public:
    virtual ULONGLONG NowMs() const;
    static const CClock& System();

protected:
    ~CClock() = default;
};

// A moment some milliseconds after it was set, on a clock.
class CDeadline
{
public:
    explicit CDeadline(DWORD ms, const CClock& clock = CClock::System()) : m_clock(&clock) { Restart(ms); }
    void Restart(DWORD ms) { m_at = m_clock->NowMs() + ms; }
    bool Passed() const { return m_clock->NowMs() >= m_at; }
    // 0 once passed.
    DWORD RemainingMs() const;

private:
    const CClock* m_clock;
    ULONGLONG m_at = 0;
};

// The pace a phone must keep while it takes a write: kPaceFloorBytes in every
// kPaceWindowMs, in any rhythm.
constexpr DWORD kPaceFloorBytes = 64 * 1024;
constexpr DWORD kPaceWindowMs = 10000;
// The most bytes the port and the link hold on their way to the phone (here
// about 36 KB), and how long a phone at the floor's pace takes to empty them:
// 5625 ms.
constexpr DWORD kLinkHoldsBytes = 36 * 1024;
constexpr DWORD kLinkDrainMs = kLinkHoldsBytes * kPaceWindowMs / kPaceFloorBytes;
// The host sees only what enters the port. What the link holds can make up
// for the phone's taking over any window, so a phone at the floor makes at
// least this much enter in every window, whatever its rhythm.
constexpr DWORD kEnteringFloorBytes = kPaceFloorBytes - kLinkHoldsBytes;

// The floor over one write of one or more calls, from its first call to its
// last: the bytes that entered the port are counted in slots of a 40th of a
// window, and at every call of a write that is not done the last window
// (the slots since the one a window ago: 10 to 10.25 s) must hold
// kEnteringFloorBytes. A phone that takes less than 28 KiB in some window,
// with the port full, ends the write within that window and a slot of when it
// slowed down.
class CPaceFloor
{
public:
    explicit CPaceFloor(const CClock& clock = CClock::System());

    // bytes entered the port now (those of a call that ended short as well);
    // `more` are still to go. 0x800705B4 when the last window of a write not
    // done held less than the floor; a write that is done never fails here.
    HRESULT Took(DWORD bytes, bool more);

private:
    static constexpr ULONGLONG kSlots = 40;
    const CClock& m_clock;
    ULONGLONG m_start;
    ULONGLONG m_slotMs;
    ULONGLONG m_slot = 0; // the slot now running, counted from the start
    ULONGLONG m_counts[kSlots + 1] = {};
    ULONGLONG m_sum = 0; // of m_counts
};

// While data goes out, the phone is heard: between pieces at least every
// kHearEveryMs, and at once when a write call ends short, as a phone that
// waits for its own output to be read takes nothing more.
constexpr DWORD kHearEveryMs = 10;

class CHearing
{
public:
    explicit CHearing(std::function<void()> hear, const CClock& clock = CClock::System());
    // Between two pieces: hears when kHearEveryMs have passed since the last.
    void BetweenPieces()
    {
        if (m_clock.NowMs() >= m_next)
            Now();
    }
    // A write call ended short.
    void Now();

private:
    std::function<void()> m_hear;
    const CClock& m_clock;
    ULONGLONG m_next;
};
