// Whole emergency downloads through the automation objects, as a flash job
// drives them: the port from the server, its software download, a status
// sink and a settings object; against simulated phones on real port pairs.
#include <gtest/gtest.h>

#include "engine/AtmnServer.h"
#include "engine/DownloadSettings.h"
#include "engine/SoftwareDownload.h"
#include "platform/Handles.h"
#include "simulators/phones/SequencePhones.h"
#include "tests/fixtures/AutomationCalls.h"
#include "simulators/BuiltFiles.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/DeviceTable.h"
#include "tests/fixtures/FileBackedDisk.h"
#include "simulators/phones/FirehosePhone.h"
#include "tests/fixtures/StatusRecorder.h"
#include "simulators/phones/StreamingPhone.h"

#include <thread>

namespace
{
constexpr unsigned kIndex = 5;

// The name the co-installer lists for a phone's port: "COMn".
std::wstring PortName(const CSimulatedPhone& phone)
{
    const std::wstring prefix = L"\\\\.\\";
    const std::wstring& path = phone.HostPort();
    return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
}

class DownloadSequence : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_savedTimes = GetDeviceWaitTimes();
        GetDeviceWaitTimes() = {50, 0, 0};
    }
    void TearDown() override { GetDeviceWaitTimes() = m_savedTimes; }

    std::wstring Put(const std::wstring& name, const std::string& bytes)
    {
        std::wstring path = folder / name;
        EXPECT_TRUE(WriteWholeFile(path, bytes));
        return path;
    }

    // Two images and one patch of the disk's last sector number; the
    // storage they leave on a disk of `sectors` sectors of `sectorSize`.
    std::string WriteImageFolder(size_t sectorSize, size_t sectors)
    {
        const std::string boot = Pattern(3000, 1), system = Pattern(2 * sectorSize + 100, 2);
        Put(L"boot.img", boot);
        Put(L"system.img", system);
        const std::string head = "<?xml version=\"1.0\" ?>\n<data>\n";
        const std::string common =
            " SECTOR_SIZE_IN_BYTES=\"" + std::to_string(sectorSize) + "\" physical_partition_number=\"0\"";
        auto program = [&](const std::string& file, const char* start) {
            return "<program" + common + " filename=\"" + file + "\" num_partition_sectors=\"16\" start_sector=\"" +
                   start + "\"/>\n";
        };
        rawprogram =
            Put(L"rawprogram0.xml", head + program("boot.img", "10") + program("system.img", "40") + "</data>\n");
        patch = Put(L"patch0.xml", head + "<patch" + common +
                                       " byte_offset=\"8\" filename=\"DISK\" size_in_bytes=\"8\" start_sector=\"1\" "
                                       "value=\"NUM_DISK_SECTORS-1.\"/>\n</data>\n");
        std::string expected(sectors * sectorSize, '\0');
        expected.replace(10 * sectorSize, boot.size(), boot);
        expected.replace(40 * sectorSize, system.size(), system);
        const ULONGLONG last = sectors - 1;
        for (size_t i = 0; i < 8; ++i)
            expected[sectorSize + 8 + i] = static_cast<char>(last >> (8 * i));
        return expected;
    }

    // The nine parameters that a flash job stores.
    ComPtr<IDownloadSettings> Settings(const std::wstring& programmer, const std::wstring& bootImage,
                                       const std::wstring& provision)
    {
        ComPtr<IDownloadSettings> settings;
        EXPECT_EQ(S_OK, CreateComObject<CDownloadSettings>(nullptr, IID_PPV_ARGS(&settings)));
        SetParams(settings.Get(), {{L"flashprogrammer", programmer},
                                   {L"emmcfilepathboot", bootImage},
                                   {L"provision", provision},
                                   {L"filepathxml", rawprogram},
                                   {L"filepathpatch", patch},
                                   {L"searchpaths", folder.Path()},
                                   {L"downloadtarget", L"emmc"},
                                   {L"skipreset", L"1"},
                                   {L"usetrustedmode", L"1"}});
        return settings;
    }

    // The port's software download with the test's sink, reached as a job
    // reaches it.
    ComPtr<IQSoftwareDownload> SoftwareDownload(const std::wstring& portName)
    {
        ComPtr<IDispatch> server;
        EXPECT_EQ(S_OK, CreateComObject<CAtmnServer>(nullptr, IID_PPV_ARGS(&server)));
        ComPtr<IQSoftwareDownload> download = server ? PortSoftwareDownload(server.Get(), portName) : nullptr;
        if (download)
        {
            EXPECT_EQ(S_OK, download->put_StatusReport(&status));
        }
        return download;
    }

    // Starts the phone, lists its port under `index` and gives the port's
    // software download.
    ComPtr<IQSoftwareDownload> Attach(CSimulatedPhone& phone, unsigned index = kIndex)
    {
        if (!phone.Start() || !table.Set({index, 1, PortName(phone)}))
        {
            ADD_FAILURE() << "phone not attached";
            return nullptr;
        }
        return SoftwareDownload(PortName(phone));
    }

    size_t CountWaits() const { return status.CountPrefix(L"Wait device connect "); }

    const CComInitializer apartment{COINIT_MULTITHREADED};
    CTempDir folder{L"images"};
    CDeviceTable table{folder / L"devices.txt"};
    CFreeThreadedRecorder status;
    std::wstring rawprogram, patch;
    DeviceWaitTimes m_savedTimes;
};

TEST_F(DownloadSequence, TwoPhonesAtOnceGetTheFirehoseProgrammerOverSaharaAndTheFolderExactly)
{
    const std::string programmer = Pattern(10000, 7);
    const std::wstring programmerPath = Put(L"prog_emmc_firehose_8953_ddr.mbn", programmer);
    const std::string expected = WriteImageFolder(512, 2048);
    FirehoseOptions options;
    options.partitionSectors = {2048};
    CSaharaThen<CFirehosePhone> first(programmer.size(), options), second(programmer.size(), options);
    CSaharaThen<CFirehosePhone>* phones[] = {&first, &second};
    ComPtr<IQSoftwareDownload> downloads[2];
    for (unsigned i = 0; i < 2; ++i)
    {
        downloads[i] = Attach(*phones[i], kIndex + i);
        ASSERT_TRUE(downloads[i]);
    }
    // Each download on a worker of its own, as the jobs run them.
    HRESULT results[2] = {E_FAIL, E_FAIL};
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < 2; ++i)
    {
        ComPtr<IDownloadSettings> settings = Settings(programmerPath, L"", folder / L"none.xml");
        workers.emplace_back([&, i, settings] {
            const CComInitializer apartment(COINIT_MULTITHREADED);
            results[i] = downloads[i]->DownloadBySettings(settings.Get());
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    for (unsigned i = 0; i < 2; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(S_OK, results[i]);
        EXPECT_EQ(ByteVector(programmer.begin(), programmer.end()), phones[i]->Programmer());
        EXPECT_TRUE(phones[i]->Storage(0) == expected);
        EXPECT_TRUE(phones[i]->Errors().empty());
        // Without "ufs", no bootable drive was set.
        const std::vector<std::string> names = phones[i]->CommandNames();
        EXPECT_EQ(2, std::count(names.begin(), names.end(), "program"));
        EXPECT_EQ(1, std::count(names.begin(), names.end(), "patch"));
        EXPECT_EQ(0, std::count(names.begin(), names.end(), "setbootablestoragedrive"));
    }
    // DMSS went first and could not read the programmer as Intel HEX; no
    // mini kernel was tried and no port awaited.
    EXPECT_EQ(2u, status.Count(L"Load programmer \"" + programmerPath + L"\""));
    EXPECT_EQ(0u, status.CountPrefix(L"Open boot file"));
    EXPECT_EQ(0u, CountWaits());
}

TEST_F(DownloadSequence, FailedMiniKernelFallsBackToFirehoseAndUfsGetsItsBootableDrive)
{
    // No "firehose" in the name, no boot image: the mini kernel cannot be
    // loaded and the serial target is made all the same. "ufs" without a
    // provision file: no provisioning, but the bootable drive is set.
    const std::string programmer = Pattern(5000, 8);
    const std::wstring programmerPath = Put(L"prog_ufs_8998.mbn", programmer);
    const std::string expected = WriteImageFolder(4096, 256);
    FirehoseOptions options;
    options.ufs = true;
    options.partitionSectors = {256};
    CSaharaThen<CFirehosePhone> phone(programmer.size(), options);
    ComPtr<IQSoftwareDownload> download = Attach(phone);
    ASSERT_TRUE(download);
    EXPECT_EQ(S_OK, download->DownloadBySettings(
                        Settings(programmerPath, folder / L"missing_msimage.mbn", folder / L"provision.xml").Get()));

    EXPECT_TRUE(phone.Storage(0) == expected);
    EXPECT_TRUE(phone.Errors().empty());
    EXPECT_EQ(1u, status.CountPrefix(L"Open boot file"));
    const std::vector<std::string> names = phone.CommandNames();
    EXPECT_EQ(1, std::count(names.begin(), names.end(), "setbootablestoragedrive"));
    EXPECT_EQ(0, std::count(names.begin(), names.end(), "ufs"));
}

TEST_F(DownloadSequence, UfsProvisioningRestartsThePhoneWhichIsAwaitedAndHeardSayingHelloLate)
{
    // The pause after provisioning as it is in the field: by its end the
    // powered-off phone has left the co-installer's list.
    GetDeviceWaitTimes().provisionPauseMs = 2000;
    const std::string programmer = Pattern(7000, 12);
    const std::wstring programmerPath = Put(L"prog_ufs_firehose_8998.mbn", programmer);
    const std::wstring provision =
        Put(L"provision_ufs.xml", "<?xml version=\"1.0\" ?>\n<data>\n"
                                  "<ufs bNumberLU=\"2\" bBootEnable=\"1\" desc=\"the whole device\"/>\n"
                                  "<ufs LUNum=\"0\" bLUEnable=\"1\" size_in_kb=\"1024\" desc=\"LU 0\"/>\n"
                                  "</data>\n");
    const std::string expected = WriteImageFolder(4096, 256);
    FirehoseOptions options;
    options.ufs = true;
    options.partitionSectors = {256};
    options.endOnPower = true;
    CSaharaThen<CFirehosePhone> phone(programmer.size(), options);
    // Powered off, the phone drops off the list. It is listed again once the
    // host has missed it, and says hello only once the host has listened for
    // it in vain (the first load's text, the reload's, one more round).
    auto until = [&phone](auto condition) {
        for (int i = 0; i < 12000 && !condition() && !phone.Stopping(); ++i)
            phone.Pause(10);
    };
    phone.OnProgrammerEnd([&] {
        if (phone.Loads() != 1)
            return;
        table.Remove(kIndex);
        until([&] { return CountWaits() >= 1; });
        table.Set({kIndex, 1, PortName(phone)});
        until([&] { return status.Count(L"Receiving hello packet") >= 3; });
    });
    phone.RestartOnce();
    ComPtr<IQSoftwareDownload> download = Attach(phone);
    ASSERT_TRUE(download);
    EXPECT_EQ(S_OK, download->DownloadBySettings(Settings(programmerPath, L"", provision).Get()));

    EXPECT_EQ(2, phone.Loads());
    EXPECT_EQ(ByteVector(programmer.begin(), programmer.end()), phone.Programmer());
    EXPECT_TRUE(phone.Storage(0) == expected);
    EXPECT_TRUE(phone.Errors().empty());
    // Provisioned without storage init, then configured afresh with it; the
    // bootable drive is set once, before the images; the pair ends with a nop
    // that finds the exchange in step.
    const std::vector<std::string> names = phone.CommandNames();
    const std::vector<std::string> road = {"nop",     "configure", "ufs",       "ufs",
                                           "power",   "nop",       "configure", "setbootablestoragedrive",
                                           "program", "program",   "patch",     "nop"};
    EXPECT_EQ(road, names);
    const std::vector<std::string> commands = phone.Commands();
    ASSERT_EQ(road.size(), commands.size());
    EXPECT_NE(std::string::npos, commands[1].find("SkipStorageInit=\"1\""));
    EXPECT_NE(std::string::npos, commands[6].find("SkipStorageInit=\"0\""));
    EXPECT_EQ(std::string::npos, commands[2].find("desc"));
    // The port was awaited while the phone was away, and the reload listened
    // for the late hello instead of trying to bring it back.
    EXPECT_LE(1u, CountWaits());
    EXPECT_EQ(2u, status.Count(L"Load programmer \"" + programmerPath + L"\""));
    EXPECT_LE(4u, status.Count(L"Receiving hello packet"));
    EXPECT_EQ(0u, status.CountPrefix(L"Missed hello packet"));
}

TEST_F(DownloadSequence, MiniKernelBootsAndThePhoneIsWrittenAsADisk)
{
    const std::string programmer = Pattern(6000, 9), kernel = Pattern(5000, 10);
    const std::wstring programmerPath = Put(L"prog_emmc_8960.mbn", programmer);
    const std::wstring kernelPath = Put(L"8960_msimage.mbn", kernel);
    const std::string expected = WriteImageFolder(512, 2048);
    const std::wstring diskName = folder / L"phone-disk.bin";
    ASSERT_TRUE(CreateDiskFile(diskName, expected.size()));
    CFileBackedDisk disks;
    disks.AddDisk(diskName, diskName);

    CSaharaThen<CStreamingPhone> phone(programmer.size(), CStreamingPhone::Options());
    // After its reset the phone comes back as a disk under the same index.
    phone.OnProgrammerEnd([&] { table.Set({kIndex, 2, diskName}); });
    ComPtr<IQSoftwareDownload> download = Attach(phone);
    ASSERT_TRUE(download);
    EXPECT_EQ(S_OK, download->DownloadBySettings(Settings(programmerPath, kernelPath, L"").Get()));
    ASSERT_TRUE(phone.WaitDone(60000));

    EXPECT_EQ(ByteVector(programmer.begin(), programmer.end()), phone.Programmer());
    EXPECT_EQ(kernel, std::string(phone.Image().begin(), phone.Image().begin() + kernel.size()));
    EXPECT_TRUE(ReadWholeFile(diskName) == expected);
    EXPECT_TRUE(phone.Errors().empty());
    EXPECT_EQ(1u, status.Count(L"Reboot to mini kernel"));
}

TEST_F(DownloadSequence, MissingParameterOrSinkEndsBeforeThePortIsAwaited)
{
    // The port is unknown under type 1, so any wait would report itself.
    ASSERT_TRUE(table.Set({kIndex, 2, L"COM77"}));
    ComPtr<IQSoftwareDownload> download = SoftwareDownload(L"COM77");
    ASSERT_TRUE(download);

    ComPtr<IDownloadSettings> partial;
    ASSERT_EQ(S_OK, CreateComObject<CDownloadSettings>(nullptr, IID_PPV_ARGS(&partial)));
    SetParams(partial.Get(), {{L"filepathxml", L"x"},
                              {L"emmcfilepathboot", L"x"},
                              {L"filepathpatch", L"x"},
                              {L"flashprogrammer", L"x"},
                              {L"provision", L"x"}});
    EXPECT_EQ(E_INVALIDARG, download->DownloadBySettings(partial.Get()));
    // Not a settings object at all.
    EXPECT_EQ(E_INVALIDARG, download->DownloadBySettings(download.Get()));

    // A value that is no text (an object) is refused, not read as one.
    CTextVariant name(L"searchpaths");
    CVariant object;
    V_VT(&object) = VT_UNKNOWN;
    V_UNKNOWN(&object) = partial.Get();
    partial->AddRef();
    ASSERT_EQ(S_OK, partial->SetParam(name, object));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, download->DownloadBySettings(partial.Get()));

    // Without a sink nothing runs.
    SetParams(partial.Get(), {{L"searchpaths", L"x"}});
    EXPECT_EQ(S_OK, download->put_StatusReport(nullptr));
    EXPECT_TRUE(FAILED(download->DownloadBySettings(partial.Get())));
    EXPECT_EQ(0u, CountWaits());
}

using DeviceWait = DownloadSequence;

TEST_F(DeviceWait, DeviceThatNeverComesGivesUpAfterSixtyMisses)
{
    // The pauses as the program has them, which the tests shorten: a second
    // after each miss, five seconds for a device that came late, two seconds
    // after provisioning.
    EXPECT_EQ(1000u, m_savedTimes.missPauseMs);
    EXPECT_EQ(5000u, m_savedTimes.settlePauseMs);
    EXPECT_EQ(2000u, m_savedTimes.provisionPauseMs);
    GetDeviceWaitTimes().missPauseMs = 0;
    ASSERT_TRUE(table.Set({kIndex, 2, L"COM77"}));
    ComPtr<IQSoftwareDownload> holder = SoftwareDownload(L"COM77");
    ASSERT_TRUE(holder);
    auto* download = static_cast<CSoftwareDownload*>(holder.Get());
    std::wstring name = L"unchanged";
    EXPECT_EQ(static_cast<HRESULT>(0x800F0246), download->GetDeviceName(kPortDevice, false, name));
    EXPECT_EQ(L"unchanged", name);
    std::vector<std::wstring> waits = status.WithPrefix(L"Wait device connect ");
    ASSERT_EQ(60u, waits.size());
    for (size_t i = 0; i < waits.size(); ++i)
        EXPECT_EQ(L"Wait device connect " + std::to_wstring(i), waits[i]);
}

TEST_F(DeviceWait, PortNameGetsItsDevicePrefixAndOnlyALateDeviceItsSettlingPause)
{
    const std::wstring disk = folder / L"disk.bin";
    ASSERT_TRUE(WriteWholeFile(disk, "x"));
    ASSERT_TRUE(table.Set({kIndex, 1, L"COM77"}));
    ComPtr<IQSoftwareDownload> holder = SoftwareDownload(L"COM77");
    ASSERT_TRUE(holder);
    auto* download = static_cast<CSoftwareDownload*>(holder.Get());

    std::wstring name;
    EXPECT_EQ(S_OK, download->GetDeviceName(kPortDevice, false, name));
    EXPECT_EQ(L"\\\\.\\COM77", name);

    // Present at the first query: no pause. One query takes a fraction of
    // the half of the pause allowed here, even on a machine under load.
    GetDeviceWaitTimes() = {0, 120000, 0};
    ASSERT_TRUE(table.Set({kIndex, 2, disk}));
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(S_OK, download->GetDeviceName(kDiskDevice, true, name));
    EXPECT_LT(GetTickCount64() - start, 60000u);
    EXPECT_EQ(disk, name);
    EXPECT_EQ(0u, CountWaits());

    // Named but not there yet, then there: one miss, then the pause.
    GetDeviceWaitTimes() = {0, 3000, 0};
    const std::wstring late = folder / L"late.bin";
    ASSERT_TRUE(table.Set({kIndex, 2, late}));
    std::thread arrival([&] {
        while (CountWaits() == 0)
            Sleep(10);
        WriteWholeFile(late, "y");
    });
    start = GetTickCount64();
    EXPECT_EQ(S_OK, download->GetDeviceName(kDiskDevice, true, name));
    arrival.join();
    EXPECT_EQ(late, name);
    EXPECT_GE(GetTickCount64() - start, 3000u);
    EXPECT_LE(1u, CountWaits());
}
} // namespace
