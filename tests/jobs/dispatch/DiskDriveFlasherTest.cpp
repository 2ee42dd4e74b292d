#include "jobs/DiskDriveFlasher.h"

#include <algorithm>

#include "engine/storage/DiskDevice.h"
#include "services/Log.h"
#include "DispatchTestSupport.h"
#include "simulators/BuiltFiles.h"

namespace
{

const wchar_t kDisk[] = L"\\\\.\\PhysicalDrive7";

using DiskDriveFlasher = DispatchTest;

TEST_F(DiskDriveFlasher, AFailedDownloadKeepsTheEngineTextsAndTheProgressTheyMade)
{
    // Many small images, then one that is missing: every attempt writes the
    // small ones again before it fails, so the engine reports plenty.
    AddDisk(1, kDisk, 2048);
    std::string raw = "<data>";
    for (int i = 0; i < 120; ++i)
        raw += "<program filename=\"small.img\" start_sector=\"" + std::to_string(i) + "\"/>";
    raw += "<program filename=\"absent.img\" start_sector=\"1000\"/></data>";
    ASSERT_TRUE(WriteWholeFile(Path(L"small.img"), Pattern(512, 1)));
    ASSERT_TRUE(WriteWholeFile(Path(L"raw.xml"), raw));
    ASSERT_TRUE(WriteWholeFile(Path(L"patch.xml"), "<patches/>"));

    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CDiskDriveFlasher::StartFlash(kDisk, Path(L"raw.xml").c_str(), Path(L"patch.xml").c_str(),
                                                  m_dir.Path().c_str(), &job));
    ASSERT_TRUE(WaitFinished(job.Get()));
    const HRESULT notFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(notFound, job->GetResult());
    EXPECT_TRUE(job->IsFailed());

    // Every status text is one line of the job's log, in the engine's order.
    std::vector<std::string> texts = JobLogTexts(kDisk);
    ASSERT_GT(texts.size(), 250u);
    EXPECT_EQ("Open disk \"" + Narrow(kDisk) + "\"", texts.front());
    // Three attempts at the pair, each writing the 120 small images first.
    EXPECT_EQ(360, std::count_if(texts.begin(), texts.end(), [](const std::string& text) {
                  return text.rfind("write image file \"", 0) == 0 &&
                         text.find("small.img\" on ") != std::string::npos;
              }));
    // Each text adds 0.004 percent; a failed job shows what it reached.
    double progress = 0.0;
    for (size_t i = 0; i < texts.size(); ++i)
        progress += CDiskDriveFlasher::StatusProgress;
    EXPECT_EQ(static_cast<LONG>(progress), job->GetProgress());
    EXPECT_GE(job->GetProgress(), 1);
    EXPECT_EQ(GetErrorMessage(notFound) + L"(0x80070002: " + std::wstring(texts.back().begin(), texts.back().end()) +
                  L")",
              StatusText(job.Get()));
}

TEST_F(DiskDriveFlasher, EmptyListsGoToTheEngineWhichOnlyPreparesTheDisk)
{
    AddDisk(2, kDisk, 64);
    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CDiskDriveFlasher::StartFlash(kDisk, L"", nullptr, nullptr, &job));
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(S_OK, job->GetResult());
    EXPECT_EQ(100, job->GetProgress());
    std::vector<std::wstring> calls = disks.Calls();
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), std::wstring(L"delete layout ") + kDisk));
    EXPECT_TRUE(disks.Writes().empty());
}

TEST_F(DiskDriveFlasher, ADiskThatCannotBeOpenedFailsWithTheEnginesResult)
{
    // Listed by the co-installer, but no disk of that name exists.
    AddDevice(3, 2, L"\\\\.\\PhysicalDrive99");
    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CDiskDriveFlasher::StartFlash(L"\\\\.\\PhysicalDrive99", L"", L"", L"", &job));
    ASSERT_TRUE(WaitFinished(job.Get()));
    HRESULT expected = DownloadImagesToDisk(L"\\\\.\\PhysicalDrive99", L"", L"", L"", nullptr);
    ASSERT_TRUE(FAILED(expected));
    EXPECT_EQ(expected, job->GetResult());
    EXPECT_EQ(0, job->GetProgress());
}

} // namespace
