#include "jobs/StartFlash.h"

#include <atomic>
#include <cstddef>
#include <thread>

#include "engine/Automation.h"
#include "engine/SoftwareDownload.h"
#include "jobs/DiskDriveFlasher.h"
#include "jobs/EmergencyFlasher.h"
#include "jobs/IntelDNXFlasher.h"
#include "jobs/ScriptReport.h"
#include "platform/Module.h"
#include "DispatchTestSupport.h"
#include "simulators/BuiltFiles.h"

namespace
{

template <size_t N> void SetField(wchar_t (&field)[N], const std::wstring& text)
{
    ASSERT_LT(text.size(), N);
    wcscpy(field, text.c_str());
}

// A record whose every field holds a text naming the field.
FlashParameters NamedFields()
{
    FlashParameters p = {};
    SetField(p.FtBootScript, L"C:\\images\\flash_all.bat");
    SetField(p.NvBootScript, L"C:\\images\\nvflash_all.bat");
    SetField(p.Programmer, L"C:\\images\\prog_emmc_firehose_8953.mbn");
    SetField(p.BootImage, L"C:\\images\\8953_msimage.mbn");
    SetField(p.KernelFlinger, L"C:\\images\\loader.efi");
    SetField(p.Provision, L"C:\\images\\provision_ufs.xml");
    SetField(p.RawFile, L"C:\\images\\rawprogram0.xml;C:\\images\\rawprogram1.xml");
    SetField(p.PatchFile, L"C:\\images\\patch0.xml;C:\\images\\patch1.xml");
    SetField(p.SearchPath, L"C:\\images;D:\\more images");
    return p;
}

// Settings blocks stored by the main window and callers built apart rely on
// the record's layout: each field at its character offset with its width.
TEST(FlashParametersLayout, NineFieldsAtFixedCharacterOffsets)
{
#define KESTRUP_FIELD(name) \
#name, offsetof(FlashParameters, name) / sizeof(wchar_t), sizeof(FlashParameters::name) / sizeof(wchar_t)
    const struct
    {
        const char* name;
        size_t offset, width, expectedOffset, expectedWidth;
    } fields[] = {
        {KESTRUP_FIELD(FtBootScript), 0, 260},     {KESTRUP_FIELD(NvBootScript), 260, 260},
        {KESTRUP_FIELD(Programmer), 520, 260},     {KESTRUP_FIELD(BootImage), 780, 260},
        {KESTRUP_FIELD(KernelFlinger), 1040, 260}, {KESTRUP_FIELD(Provision), 1300, 260},
        {KESTRUP_FIELD(RawFile), 1560, 1560},      {KESTRUP_FIELD(PatchFile), 3120, 1560},
        {KESTRUP_FIELD(SearchPath), 4680, 1040},
    };
#undef KESTRUP_FIELD
    for (const auto& field : fields)
    {
        EXPECT_EQ(field.expectedOffset, field.offset) << field.name;
        EXPECT_EQ(field.expectedWidth, field.width) << field.name;
    }
    EXPECT_EQ(5720 * sizeof(wchar_t), sizeof(FlashParameters));
}

class StartFlashTest : public DispatchTest
{
protected:
    // Dispatches `device` and waits for the job it gets to finish.
    ComPtr<IDeviceReport> Dispatch(const wchar_t* device, const FlashParameters* parameters)
    {
        ComPtr<IDeviceReport> job;
        StartFlash(device, parameters, &job);
        EXPECT_NE(nullptr, job.Get());
        if (job)
        {
            EXPECT_TRUE(WaitFinished(job.Get()));
        }
        return job;
    }

    static bool IsNeverStarted(IDeviceReport* job)
    {
        ComPtr<IDeviceReport> oom;
        COOMReport::GetInstance(&oom);
        return job == oom.Get() && job->GetResult() == E_OUTOFMEMORY;
    }
};

TEST_F(StartFlashTest, ScriptJobsGetTheirOwnFieldsOnly)
{
    AddDevice(1, 3, L"FB0001");
    AddDevice(2, 4, L"NV0002");
    AddDevice(3, 5, L"DNX0003");
    FlashParameters p = NamedFields();

    // The type query ignores letter case, the job keeps the name as given.
    ComPtr<IDeviceReport> job = Dispatch(L"fb0001", &p);
    auto* fastboot = dynamic_cast<CFastBootFlasher*>(job.Get());
    ASSERT_NE(nullptr, fastboot);
    EXPECT_EQ(L"C:\\images\\flash_all.bat", fastboot->GetScriptPath());
    EXPECT_EQ(L"fb0001", fastboot->GetDeviceName());
    // A field without its terminator ends at its width.
    FlashParameters unterminated = p;
    std::fill(std::begin(unterminated.FtBootScript), std::end(unterminated.FtBootScript), L'x');
    job = Dispatch(L"FB0001", &unterminated);
    fastboot = dynamic_cast<CFastBootFlasher*>(job.Get());
    ASSERT_NE(nullptr, fastboot);
    EXPECT_EQ(std::wstring(260, L'x'), fastboot->GetScriptPath());

    job = Dispatch(L"NV0002", &p);
    auto* nvboot = dynamic_cast<CNvBootFlasher*>(job.Get());
    ASSERT_NE(nullptr, nvboot);
    EXPECT_EQ(L"C:\\images\\nvflash_all.bat", nvboot->GetScriptPath());

    job = Dispatch(L"DNX0003", &p);
    auto* dnx = dynamic_cast<CIntelDNXFlasher*>(job.Get());
    ASSERT_NE(nullptr, dnx);
    EXPECT_EQ(L"C:\\images\\flash_all.bat", dnx->GetScriptPath());
    EXPECT_NE(std::wstring::npos, dnx->BuildBootCommandLine().find(L"\"C:\\images\\loader.efi\""));
    // Neither file exists: the job itself fails, the dispatch succeeded.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), job->GetResult());
}

TEST_F(StartFlashTest, AnEmergencyPortGetsADownloadThroughTheAutomationServer)
{
    // As on the main window's thread, with the program's own engine published.
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ASSERT_EQ(S_OK, PublishEngineClassObjects(REGCLS_MULTIPLEUSE));
    DeviceWaitTimes saved = GetDeviceWaitTimes();
    GetDeviceWaitTimes() = {1, 0, 0};
    AddDevice(9, 1, L"COM97");
    FlashParameters p = NamedFields();
    {
        ComPtr<IDeviceReport> job;
        StartFlash(L"COM97", &p, &job);
        ASSERT_NE(nullptr, dynamic_cast<CEmergencyFlasher*>(job.Get()));
        // No phone answers on the port, so the engine's download fails.
        EXPECT_TRUE(WaitFinished(job.Get()));
        EXPECT_TRUE(job->IsFailed());
        EXPECT_NE(E_OUTOFMEMORY, job->GetResult());
        // The download was set up from the record's programmer field.
        std::vector<std::string> texts = JobLogTexts(L"COM97");
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ("Load programmer \"C:\\images\\prog_emmc_firehose_8953.mbn\"", texts.front());
    }
    GetDeviceWaitTimes() = saved;
    WithdrawEngineClassObjects();
    CoUninitialize();
}

TEST_F(StartFlashTest, ADiskGetsTheListsAndIsWrittenFromThem)
{
    std::wstring disk = AddDisk(4, L"\\\\.\\PhysicalDrive4", 256);
    CTempDir images{L"images"};
    const std::string image = Pattern(3 * 512, 4);
    ASSERT_TRUE(WriteWholeFile(images / L"boot.img", image));
    // The rawprogram file names the image without a folder: it is found
    // along the search directories, of which only the second has it.
    ASSERT_TRUE(WriteWholeFile(Path(L"raw.xml"), "<data><program filename=\"boot.img\" start_sector=\"10\"/></data>"));
    ASSERT_TRUE(WriteWholeFile(Path(L"patch.xml"),
                               "<patches><patch filename=\"DISK\" start_sector=\"0\" byte_offset=\"4\" "
                               "value=\"NUM_DISK_SECTORS\" size_in_bytes=\"4\"/></patches>"));
    FlashParameters p = NamedFields();
    SetField(p.RawFile, Path(L"raw.xml"));
    SetField(p.PatchFile, Path(L"patch.xml"));
    SetField(p.SearchPath, m_dir.Path() + L";" + images.Path());

    ComPtr<IDeviceReport> job = Dispatch(L"\\\\.\\PhysicalDrive4", &p);
    ASSERT_NE(nullptr, dynamic_cast<CDiskDriveFlasher*>(job.Get()));
    EXPECT_EQ(S_OK, job->GetResult());
    std::string written = ReadWholeFile(disk);
    ASSERT_EQ(256u * 512, written.size());
    EXPECT_EQ(image, written.substr(10 * 512, image.size()));
    EXPECT_EQ(std::string("\0\1\0\0", 4), written.substr(4, 4)); // 256 sectors
}

TEST_F(StartFlashTest, NoUsableTypeOrNoNameOrParametersGivesTheNeverStartedJob)
{
    ASSERT_TRUE(m_table.SetAnswer({"qcGetDeviceType", "no such device", 0}));
    FlashParameters p = NamedFields();
    size_t failedBefore = CountPlainLogLines("start flash failed");
    size_t cantBefore = CountPlainLogLines("can't start flash");
    LONG locks = g_Module.GetLockCount();

    // Four type queries, then the fallback.
    ComPtr<IDeviceReport> first, second, third;
    StartFlash(L"COM99", &p, &first);
    EXPECT_EQ(failedBefore + 4, CountPlainLogLines("start flash failed"));
    EXPECT_EQ(cantBefore + 1, CountPlainLogLines("can't start flash"));
    ASSERT_TRUE(IsNeverStarted(first.Get()));

    // No name or no parameters: the fallback without a query. Every fallback
    // is the same object, with a reference of its own.
    StartFlash(nullptr, &p, &second);
    StartFlash(L"FB0001", nullptr, &third);
    EXPECT_EQ(first.Get(), second.Get());
    EXPECT_EQ(first.Get(), third.Get());
    EXPECT_EQ(failedBefore + 4, CountPlainLogLines("start flash failed"));
    EXPECT_EQ(cantBefore + 3, CountPlainLogLines("can't start flash"));
    EXPECT_EQ(locks + 3, g_Module.GetLockCount());
    first.Reset();
    second.Reset();
    third.Reset();
    EXPECT_EQ(locks, g_Module.GetLockCount());
    // Without a place for the job nothing is made.
    StartFlash(L"FB0001", &p, nullptr);
    EXPECT_EQ(locks, g_Module.GetLockCount());
}

TEST_F(StartFlashTest, ADeviceThatShowsUpBetweenAttemptsGetsItsJob)
{
    // Unknown at first; listed as a fastboot phone once the first attempt
    // has failed, so a later attempt of the same call finds it.
    FlashParameters p = NamedFields();
    size_t failedBefore = CountPlainLogLines("start flash failed");
    std::atomic<bool> stop{false};
    std::thread lister([&] {
        while (!stop && CountPlainLogLines("start flash failed") == failedBefore)
            Sleep(1);
        AddDevice(7, 3, L"FB0007");
    });
    ComPtr<IDeviceReport> job;
    StartFlash(L"FB0007", &p, &job);
    stop = true;
    lister.join();
    ASSERT_NE(nullptr, dynamic_cast<CFastBootFlasher*>(job.Get()));
    size_t failed = CountPlainLogLines("start flash failed") - failedBefore;
    EXPECT_GE(failed, 1u);
    EXPECT_LE(failed, 3u);
    EXPECT_TRUE(WaitFinished(job.Get()));
}

} // namespace
