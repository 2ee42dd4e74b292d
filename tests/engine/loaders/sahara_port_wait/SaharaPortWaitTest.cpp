// A port that never opens: 15 attempts two seconds apart, so this runs on
// its own.
#include "engine/protocols/Sahara.h"
#include "services/Log.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/StatusRecorder.h"

#include <gtest/gtest.h>

TEST(SaharaPortWait, GivesUpAfterFifteenAttempts)
{
    CTempDir dir(L"sahara");
    const std::wstring path = dir / L"prog.mbn";
    ASSERT_TRUE(WriteWholeFile(path, std::string(64, 'p')));
    const std::wstring port = L"\\\\.\\COM98";
    CStatusRecorder status;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(HResultFromWin32(ERROR_FILE_NOT_FOUND),
              DownloadFlashProgrammerSahara(port.c_str(), path.c_str(), &status, FALSE));
    EXPECT_GE(GetTickCount64() - start, 28000u);

    std::vector<std::wstring> expected{L"Open programmer \"" + path + L"\""};
    for (int i = 0; i < 15; ++i)
    {
        expected.push_back(L"Open serial port \"" + port + L"\"");
        expected.push_back(L"Open serial port \"" + port + L"\" failed, try agian.");
    }
    expected.push_back(L"Open serial port \"" + port + L"\" failed.");
    EXPECT_EQ(expected, status.Texts());
}
