// A phone that must say hello after a restart but never does: 30 rounds of a
// second each, so this runs on its own.
#include "engine/protocols/Sahara.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/SaharaPhone.h"
#include "tests/fixtures/StatusRecorder.h"

#include <gtest/gtest.h>

TEST(SaharaHelloWait, GivesUpAfterThirtyRoundsWithoutAHello)
{
    CTempDir dir(L"sahara");
    const std::wstring path = dir / L"prog.mbn";
    ASSERT_TRUE(WriteWholeFile(path, std::string(4096, 'p')));
    CSaharaPhone::Options options;
    options.programmerSize = 4096;
    // One packet for the first read and one for each round, none a hello.
    options.packetsBeforeHello = 31;
    options.neverHello = true;
    CSaharaPhone phone(options);
    ASSERT_TRUE(phone.Start());
    CStatusRecorder status;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(E_UNEXPECTED, DownloadFlashProgrammerSahara(phone.HostPort().c_str(), path.c_str(), &status, TRUE));
    const ULONGLONG elapsed = GetTickCount64() - start;
    phone.Stop();
    EXPECT_EQ(31u, status.Count(L"Receiving hello packet"));
    EXPECT_EQ(L"can't receive hello packet", status.Texts().back());
    EXPECT_EQ(0u, status.Count(L"Missed hello packet, try to recover"));
    // A pause of a second after each round.
    EXPECT_GE(elapsed, 29000u);
    EXPECT_TRUE(phone.HelloResponseModes().empty());
}
