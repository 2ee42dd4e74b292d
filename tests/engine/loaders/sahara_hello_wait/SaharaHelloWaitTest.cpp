// Sahara phones that take their time: one that must say hello after a
// restart but never does (30 rounds of a second each), and one that keeps
// asking for a minute and more. So this runs on its own.
#include "engine/protocols/Sahara.h"
#include "services/Log.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/SaharaPhone.h"
#include "tests/fixtures/StatusRecorder.h"

#include <gtest/gtest.h>

namespace
{
class SaharaSlowPhone : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(WriteWholeFile(m_path, std::string(4096, 'p'))); }

    CSaharaPhone::Options PhoneOptions() const
    {
        CSaharaPhone::Options options;
        options.programmerSize = 4096;
        return options;
    }

    CTempDir m_dir{L"sahara"};
    std::wstring m_path = m_dir / L"prog.mbn";
    CStatusRecorder m_status;
};
} // namespace

TEST_F(SaharaSlowPhone, GivesUpAfterThirtyRoundsWithoutAHello)
{
    CSaharaPhone::Options options = PhoneOptions();
    // One packet for the first read and one for each round, none a hello.
    options.packetsBeforeHello = 31;
    options.neverHello = true;
    CSaharaPhone phone(options);
    ASSERT_TRUE(phone.Start());
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(E_UNEXPECTED, DownloadFlashProgrammerSahara(phone.HostPort().c_str(), m_path.c_str(), &m_status, TRUE));
    const ULONGLONG elapsed = GetTickCount64() - start;
    phone.Stop();
    EXPECT_EQ(31u, m_status.Count(L"Receiving hello packet"));
    EXPECT_EQ(L"can't receive hello packet", m_status.Texts().back());
    EXPECT_EQ(0u, m_status.Count(L"Missed hello packet, try to recover"));
    // A pause of a second after each round.
    EXPECT_GE(elapsed, 29000u);
    EXPECT_TRUE(phone.HelloResponseModes().empty());
}

// Small requests, five a second, for two minutes: the host stops serving
// after a minute, whatever the phone's pace.
TEST_F(SaharaSlowPhone, PhoneThatKeepsAskingForMinutesIsStopped)
{
    CSaharaPhone::Options options = PhoneOptions();
    options.requests.assign(600, {false, 64, 16});
    options.pauseBetweenRequestsMs = 200;
    CSaharaPhone phone(options);
    ASSERT_TRUE(phone.Start());
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(HResultFromWin32(ERROR_TIMEOUT),
              DownloadFlashProgrammerSahara(phone.HostPort().c_str(), m_path.c_str(), &m_status, FALSE));
    EXPECT_GE(GetTickCount64() - start, 60000u);
    phone.Stop();
    EXPECT_LT(phone.AnsweredRequests(), 600u);
    EXPECT_FALSE(phone.DoneReceived());
}
