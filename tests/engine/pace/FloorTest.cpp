// The floor of a phone's pace and the hearing while a write goes out, on a
// clock that the test moves: what enters the port, call by call, decides.
#include <gtest/gtest.h>

#include "engine/EngineIo.h"
#include "tests/fixtures/PhoneTime.h"

#include <vector>

namespace
{

const HRESULT kTimeout = static_cast<HRESULT>(0x800705B4);
constexpr DWORD kKiB = 1024;

// One call of a write: at this time, this many bytes entered the port, and
// the write was not done (more) or was.
struct Call
{
    ULONGLONG atMs;
    DWORD bytes;
    bool more;
};

// A write as the port sees it: a call every 20 ms (as the call bound ends
// them) from the first to `endMs`, with `burst` bytes every `everyMs` from 0,
// the last call done.
std::vector<Call> Rhythm(DWORD burst, ULONGLONG everyMs, ULONGLONG endMs)
{
    std::vector<Call> calls;
    for (ULONGLONG t = 0; t <= endMs; t += 20)
        calls.push_back({t, t % everyMs == 0 ? burst : 0, t < endMs});
    return calls;
}

// Fast data, a pause, fast data again.
std::vector<Call> Pause(ULONGLONG fromMs, ULONGLONG pauseMs)
{
    std::vector<Call> calls;
    for (ULONGLONG t = 0; t <= fromMs + pauseMs + 1000; t += 20)
        calls.push_back({t, t <= fromMs || t >= fromMs + pauseMs ? 64 * kKiB : 0, true});
    calls.back().more = false;
    return calls;
}

// The floor holds over any 10 s of a write, counted in slots of 250 ms: a
// write whose last 10 to 10.25 s held less than 28 KiB ends, at the first
// call that finds it; one that keeps at least that in every window, in any
// rhythm, is never ended, nor is a call that finishes the write.
TEST(PaceFloor, AnyWindowOfAWriteNotDoneHoldsTheFloor)
{
    const struct
    {
        const char* what;
        std::vector<Call> calls;
        long failsAtMs; // -1: never
    } cases[] = {
        {"28 KiB once a window", Rhythm(28 * kKiB, 10000, 40000), -1},
        {"a byte less", Rhythm(28 * kKiB - 1, 10000, 40000), 10260},
        {"less in the first window", {{0, 28 * kKiB - 1, true}, {9980, 0, true}, {10000, 0, true}}, 10000},
        {"32 KiB every 5 s", Rhythm(32 * kKiB, 5000, 40000), -1},
        {"8 KiB every 6 s", Rhythm(8 * kKiB, 6000, 40000), 10000},
        {"8 KiB every second", Rhythm(8 * kKiB, 1000, 40000), -1},
        {"nothing after 64 KiB", Rhythm(64 * kKiB, 1000000, 20000), 10260},
        {"a pause of 10 s amid fast data", Pause(1000, 10000), -1},
        {"a pause of 10.5 s amid fast data", Pause(1000, 10500), 11260},
        // The call that finishes a write is never failed, however late.
        {"done just after a window's end", {{0, 20 * kKiB, true}, {10300, kKiB, false}}, -1},
        {"one byte still to go then", {{0, 20 * kKiB, true}, {10300, kKiB, true}}, 10300},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CTestClock clock;
        CPaceFloor floor(clock);
        long failedAt = -1;
        for (const Call& call : c.calls)
        {
            clock.MoveTo(call.atMs);
            const HRESULT hr = floor.Took(call.bytes, call.more);
            if (FAILED(hr))
            {
                EXPECT_EQ(kTimeout, hr);
                failedAt = static_cast<long>(call.atMs);
                break;
            }
        }
        EXPECT_EQ(c.failsAtMs, failedAt);
    }
}

// A write of several calls: every call writes what is still to go, every
// byte a call wrote counts toward the floor, the phone is heard after each
// call that ended short and never after one that wrote all, and a failure
// ends the write with what went out.
TEST(PaceFloor, EveryCallOfAWriteCountsAndIsHeardWhenItEndsShort)
{
    const HRESULT kNotReady = static_cast<HRESULT>(0x80070015);
    // What one call does: the clock moves by advanceMs, then it writes at
    // most `writes` bytes, or fails.
    struct Step
    {
        ULONGLONG advanceMs;
        DWORD writes;
        HRESULT result = S_OK;
    };
    auto repeat = [](size_t times, Step step, std::vector<Step> then = {}) {
        std::vector<Step> steps(times, step);
        steps.insert(steps.end(), then.begin(), then.end());
        return steps;
    };
    const struct
    {
        const char* what;
        DWORD count;
        std::vector<Step> steps;
        HRESULT result;
        DWORD done;
        size_t hearings;
    } cases[] = {
        {"one call writes all", 128 * kKiB, {{0, 128 * kKiB}}, S_OK, 128 * kKiB, 0},
        {"1 KiB every 250 ms", 48 * kKiB, repeat(48, {250, kKiB}), S_OK, 48 * kKiB, 47},
        {"the first call's bytes hold the first window", 64 * kKiB,
         repeat(1, {0, 28 * kKiB}, repeat(40, {250, 0}, {{20, 36 * kKiB}})), S_OK, 64 * kKiB, 41},
        {"a byte less in it", 64 * kKiB, repeat(1, {0, 28 * kKiB - 1}, repeat(40, {250, 0})), kTimeout, 28 * kKiB - 1,
         40},
        {"done just after a window's end", 64 * kKiB, {{0, 20 * kKiB}, {10300, 44 * kKiB}}, S_OK, 64 * kKiB, 1},
        {"a call that fails", 64 * kKiB, {{0, 100}, {10, 0, kNotReady}}, kNotReady, 100, 1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CTestClock clock;
        CPaceFloor floor(clock);
        size_t hearings = 0;
        CHearing hearing([&] { ++hearings; }, clock);
        size_t next = 0;
        DWORD asked = c.count, done = 0;
        const std::vector<BYTE> bytes(c.count);
        const HRESULT hr = WriteAtPhonePace(
            [&](const BYTE* at, DWORD count, DWORD& written) {
                // Each call is for what is still to go.
                EXPECT_EQ(asked, count);
                EXPECT_EQ(bytes.data() + (c.count - count), at);
                if (next == c.steps.size())
                {
                    ADD_FAILURE() << "a call past the script";
                    return E_FAIL;
                }
                const Step& step = c.steps[next++];
                clock.Move(step.advanceMs);
                written = std::min(step.writes, count);
                asked -= written;
                return step.result;
            },
            bytes.data(), c.count, floor, &hearing, done);
        EXPECT_EQ(c.result, hr);
        EXPECT_EQ(c.done, done);
        EXPECT_EQ(c.hearings, hearings);
        EXPECT_EQ(c.steps.size(), next);
    }
}

// Between pieces the phone is heard once 10 ms have passed since it was last
// heard, whether between pieces or after a call that ended short.
TEST(PaceFloor, BetweenPiecesThePhoneIsHeardEvery10Ms)
{
    CTestClock clock;
    std::vector<ULONGLONG> heard;
    CHearing hearing([&] { heard.push_back(clock.NowMs()); }, clock);
    const struct
    {
        ULONGLONG atMs;
        bool stalled; // a call ended short
    } moments[] = {{9, false}, {10, false}, {15, false}, {16, true}, {25, false}, {26, false}, {40, false}};
    for (const auto& m : moments)
    {
        clock.MoveTo(m.atMs);
        if (m.stalled)
            hearing.Now();
        else
            hearing.BetweenPieces();
    }
    EXPECT_EQ((std::vector<ULONGLONG>{10, 16, 26, 40}), heard);
}

} // namespace
