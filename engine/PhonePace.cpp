#include "engine/PhonePace.h"

#include "services/Log.h"

#include <algorithm>

DWORD& PhoneTimeDivisor()
{
    static DWORD divisor = 1;
    return divisor;
}

DWORD PhoneTimeMs(DWORD ms)
{
    return ms / std::max<DWORD>(PhoneTimeDivisor(), 1);
}

ULONGLONG CClock::NowMs() const
{
    return GetTickCount64();
}

const CClock& CClock::System()
{
    static const CClock system;
    return system;
}

DWORD CDeadline::RemainingMs() const
{
    const ULONGLONG now = m_clock->NowMs();
    return now >= m_at ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(m_at - now, MAXDWORD));
}

CPaceFloor::CPaceFloor(const CClock& clock)
    : m_clock(clock), m_start(clock.NowMs()), m_slotMs(std::max<ULONGLONG>(PhoneTimeMs(kPaceWindowMs) / kSlots, 1))
{
}

HRESULT CPaceFloor::Took(DWORD bytes, bool more)
{
    const ULONGLONG slot = (m_clock.NowMs() - m_start) / m_slotMs;
    // The slots passed since the last call start empty, and the oldest go.
    for (ULONGLONG passed = std::min(slot - m_slot, kSlots + 1); passed > 0; --passed)
    {
        ULONGLONG& oldest = m_counts[(slot - passed + 1) % (kSlots + 1)];
        m_sum -= oldest;
        oldest = 0;
    }
    m_slot = slot;
    m_counts[slot % (kSlots + 1)] += bytes;
    m_sum += bytes;
    if (more && slot >= kSlots && m_sum < kEnteringFloorBytes)
        return HResultFromWin32(ERROR_TIMEOUT);
    return S_OK;
}

CHearing::CHearing(std::function<void()> hear, const CClock& clock)
    : m_hear(std::move(hear)), m_clock(clock), m_next(clock.NowMs() + kHearEveryMs)
{
}

void CHearing::Now()
{
    m_next = m_clock.NowMs() + kHearEveryMs;
    m_hear();
}
