// Emergency download jobs: through the program's own engine published in
// this process, against a simulated Sahara + Firehose phone on a port pair;
// and through a stand-in for an installed QPST server.
#include <gtest/gtest.h>

#include "engine/SoftwareDownload.h"
#include "jobs/EmergencyFlasher.h"
#include "services/ProcessObjects.h"
#include "simulators/phones/SequencePhones.h"
#include "simulators/BuiltFiles.h"
#include "tests/fixtures/ChildProcess.h"
#include "simulators/phones/DeviceTable.h"
#include "simulators/phones/FirehosePhone.h"
#include "tests/fixtures/LogLines.h"
#include "tests/jobs/JobTestSupport.h"
#include "tests/jobs/emergency/FakeQpstServer.h"

#include <algorithm>
#include <thread>

namespace
{

// A job whose port wait is quick and whose progress can be read exactly.
class CTestFlasher : public CEmergencyFlasher
{
public:
    // With `loseSettings` the settings object is taken out of the global
    // interface table before the start, so that the worker cannot get it back.
    HRESULT Start(const std::wstring& device, const std::wstring& programmer = L"p.mbn", bool loseSettings = false)
    {
        shippedPortWaitPause = m_portWaitPause;
        m_portWaitPause = 1;
        HRESULT hr = SetDownloadParameters(programmer.c_str(), L"", L"", L"r.xml", L"", L"C:\\images");
        if (SUCCEEDED(hr) && loseSettings)
            hr = m_settingsCookie.Revoke();
        if (SUCCEEDED(hr))
            StartFlash(device.c_str());
        return hr;
    }
    double Progress()
    {
        CLockGuard<CDeviceReport> lock(*this);
        return m_progress;
    }
    bool HasServer() const { return m_serverCookie.IsRegistered(); }
    using CEmergencyFlasher::SetDeviceName;

    DWORD shippedPortWaitPause = 0; // the pause between passes before Start shortened it
};

ComPtr<CComObject<CTestFlasher>> MakeJob()
{
    CComObject<CTestFlasher>* object = nullptr;
    EXPECT_EQ(S_OK, CComObject<CTestFlasher>::CreateInstance(&object));
    return ComPtr<CComObject<CTestFlasher>>(object);
}

bool SemaphoreFree()
{
    HANDLE semaphore = ProcessObjects().hDownloadSemaphore.Get();
    if (WaitForSingleObject(semaphore, 0) != WAIT_OBJECT_0)
        return false;
    ReleaseSemaphore(semaphore, 1, nullptr);
    return true;
}

class ApartmentTest : public ::testing::Test
{
protected:
    // The main window's thread is a single-threaded apartment.
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

// ---------------------------------------------------------------------------
// The program's own engine, published in this process as start-up publishes it.

class OwnEngine : public ApartmentTest
{
protected:
    void SetUp() override
    {
        ApartmentTest::SetUp();
        ASSERT_EQ(S_OK, PublishEngineClassObjects(REGCLS_MULTIPLEUSE));
        m_savedTimes = GetDeviceWaitTimes();
        GetDeviceWaitTimes() = {50, 0, 0};
    }
    void TearDown() override
    {
        GetDeviceWaitTimes() = m_savedTimes;
        WithdrawEngineClassObjects();
        ApartmentTest::TearDown();
    }
    std::wstring Put(const std::wstring& name, const std::string& bytes)
    {
        std::wstring path = folder / name;
        EXPECT_TRUE(WriteWholeFile(path, bytes));
        return path;
    }

    CTempDir folder{L"images"};
    CDeviceTable table{folder / L"devices.txt"};
    DeviceWaitTimes m_savedTimes;
};

TEST_F(OwnEngine, FlashesASaharaFirehosePhoneWithoutTakingTheDownloadSemaphore)
{
    const std::string programmer = Pattern(9000, 1), boot = Pattern(1500, 2), system = Pattern(1100, 3);
    const std::wstring programmerPath = Put(L"prog_emmc_firehose.mbn", programmer);
    Put(L"boot.img", boot);
    Put(L"system.img", system);
    const std::wstring rawprogram =
        Put(L"rawprogram0.xml", "<?xml version=\"1.0\" ?>\n<data>\n"
                                "<program SECTOR_SIZE_IN_BYTES=\"512\" filename=\"boot.img\" "
                                "num_partition_sectors=\"8\" physical_partition_number=\"0\" start_sector=\"4\"/>\n"
                                "<program SECTOR_SIZE_IN_BYTES=\"512\" filename=\"system.img\" "
                                "num_partition_sectors=\"8\" physical_partition_number=\"0\" start_sector=\"20\"/>\n"
                                "</data>\n");
    const std::wstring patch =
        Put(L"patch0.xml", "<?xml version=\"1.0\" ?>\n<data>\n"
                           "<patch SECTOR_SIZE_IN_BYTES=\"512\" byte_offset=\"8\" filename=\"DISK\" "
                           "physical_partition_number=\"0\" size_in_bytes=\"8\" start_sector=\"1\" "
                           "value=\"NUM_DISK_SECTORS-1.\"/>\n</data>\n");
    std::string expected(512 * 64, '\0');
    expected[512 + 8] = 63; // the last sector's number
    expected.replace(4 * 512, boot.size(), boot);
    expected.replace(20 * 512, system.size(), system);

    FirehoseOptions options;
    options.partitionSectors = {64};
    CSaharaThen<CFirehosePhone> phone(programmer.size(), options);
    ASSERT_TRUE(phone.Start());
    const std::wstring device = phone.HostPort().substr(4); // "COMn"
    ASSERT_TRUE(table.Set({7, 1, device}));

    const size_t engineErrorsBefore = LogLinesWith("CEmergencyFlasher::IsQPSTServer").size();
    // Held by "another download" the whole time: our own engine must not wait for it.
    HANDLE semaphore = ProcessObjects().hDownloadSemaphore.Get();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(semaphore, 0));
    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CEmergencyFlasher::StartFlash(device.c_str(), programmerPath.c_str(), L"",
                                                  (folder / L"none.xml").c_str(), rawprogram.c_str(), patch.c_str(),
                                                  folder.Path().c_str(), &job));
    EXPECT_FALSE(job->IsFinished());
    const bool finished = WaitFinished(job.Get());
    ReleaseSemaphore(semaphore, 1, nullptr);
    ASSERT_TRUE(finished);

    EXPECT_EQ(S_OK, job->GetResult());
    EXPECT_FALSE(job->IsFailed());
    EXPECT_EQ(100, job->GetProgress());
    EXPECT_EQ(ByteVector(programmer.begin(), programmer.end()), phone.Programmer());
    EXPECT_TRUE(phone.Storage(0) == expected);
    EXPECT_TRUE(phone.Errors().empty());
    // The engine's status texts became the job's log lines; the port was ready at once.
    EXPECT_EQ(1u, JobLogTexts(device, "Load programmer \"" + Narrow(programmerPath) + "\"").size());
    EXPECT_TRUE(JobLogTexts(device, "wait port ready").empty());
    EXPECT_EQ(engineErrorsBefore + 1, LogLinesWith("CEmergencyFlasher::IsQPSTServer").size());
    EXPECT_TRUE(SemaphoreFree());
}

TEST_F(OwnEngine, StatusEventsBecomeLogLinesAndProgressAndStopAtTheDetachedSink)
{
    auto job = MakeJob();
    ASSERT_TRUE(job);
    EXPECT_TRUE(job->HasServer());
    job->SetDeviceName(L"SINK1");
    ComPtr<CStatusReport<CEmergencyFlasher>> sink;
    ASSERT_EQ(S_OK, CStatusReport<CEmergencyFlasher>::CreateInstance(job.Get(), &sink));

    const CBstr text(SysAllocString(L"100%s %n step"));
    EXPECT_EQ(S_OK, sink->NewStatus(0, nullptr, text.Get()));
    EXPECT_EQ(S_OK, sink->NewStatus(0, nullptr, nullptr));
    EXPECT_DOUBLE_EQ(0.004, job->Progress());
    // Verbatim, never a format; the null text is an empty line.
    EXPECT_EQ((std::vector<std::string>{"100%s %n step", ""}), JobLogTexts(L"SINK1", ""));

    // Free-threaded: the marshaler answers for it; nothing else is offered.
    ComPtr<IMarshal> marshal;
    EXPECT_EQ(S_OK, sink.As(&marshal));
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(E_NOINTERFACE, sink.As(&dispatch));

    sink->Detach(); // the sink's own Detach: the pointer keeps its reference
    EXPECT_EQ(S_OK, sink->NewStatus(LastStatusEventId, nullptr, text.Get()));
    EXPECT_DOUBLE_EQ(0.004, job->Progress());
}

// ---------------------------------------------------------------------------
// An installed QPST server.

class QpstServer : public ApartmentTest
{
protected:
    void SetUp() override
    {
        ApartmentTest::SetUp();
        fake.reset(new CFakeQpst);
    }
    void TearDown() override
    {
        fake.reset();
        ApartmentTest::TearDown();
    }
    std::unique_ptr<CFakeQpst> fake;
};

// The same 31 passes whether the port never gets ready or gets ready on the
// last one: only the last pass's answer tells the two apart.
TEST_F(QpstServer, PortThatNeverGetsReadyIsAddedThenReAddedAndGivesUpAfterThirtyOnePasses)
{
    const struct
    {
        const wchar_t* device;
        int notReadyCalls;
        HRESULT result;
        int downloads;
    } cases[] = {{L"COM71", -1, HRESULT_FROM_WIN32(ERROR_NOT_READY), 0}, {L"COM73", 30, S_OK, 1}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "not ready " << c.notReadyCalls);
        fake.reset();
        fake.reset(new CFakeQpst);
        fake->script.notReadyCalls = c.notReadyCalls;
        auto job = MakeJob();
        ASSERT_EQ(S_OK, job->Start(c.device));
        ASSERT_TRUE(WaitFinished(job.Get()));
        EXPECT_EQ(c.result, job->GetResult());
        EXPECT_EQ(1000u, job->shippedPortWaitPause) << "a second between passes";

        const std::wstring port(c.device);
        std::vector<std::wstring> expected;
        for (int pass = 0; pass < 31; ++pass)
        {
            expected.push_back(L"GetPort " + port);
            if (pass == 20)
                expected.push_back(L"RemovePort " + port);
            if (pass == 10 || pass == 20)
                expected.push_back(L"AddPort " + port + L" " + port);
        }
        EXPECT_EQ(expected, fake->Calls());
        std::vector<std::string> waits;
        for (int pass = 0; pass < 30; ++pass)
            waits.push_back("wait port ready to use " + std::to_string(pass));
        EXPECT_EQ(waits, JobLogTexts(c.device, "wait port ready"));
        EXPECT_EQ(c.downloads, fake->Downloads());
        EXPECT_TRUE(SemaphoreFree()); // taken for the installed server, given back at the end
    }
}

TEST_F(QpstServer, PortReadyOnTheThirdPassRunsTheDownloadWithTheNineParameters)
{
    fake->script.notReadyCalls = 2;
    fake->script.events = {{0, L"first step"}, {12, L"second step"}};
    auto job = MakeJob();
    ASSERT_EQ(S_OK, job->Start(L"COM72", L"C:\\p;q.mbn"));
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(S_OK, job->GetResult());
    EXPECT_EQ(100, job->GetProgress());
    EXPECT_DOUBLE_EQ(0.004, job->Progress());

    const std::vector<std::wstring> calls = {L"GetPort COM72", L"GetPort COM72", L"GetPort COM72"};
    EXPECT_EQ(calls, fake->Calls());
    EXPECT_EQ((std::vector<std::string>{"wait port ready to use 0", "wait port ready to use 1"}),
              JobLogTexts(L"COM72", "wait port ready"));
    EXPECT_EQ(1u, JobLogTexts(L"COM72", "first step").size());
    EXPECT_EQ(1u, JobLogTexts(L"COM72", "second step").size());
    const std::vector<std::wstring> parameters = {
        L"flashprogrammer=C:\\p;q.mbn", L"emmcfilepathboot=", L"provision=",
        L"filepathxml=r.xml",           L"filepathpatch=",    L"searchpaths=C:\\images",
        L"downloadtarget=emmc",         L"skipreset=1",       L"usetrustedmode=1"};
    EXPECT_EQ(parameters, fake->Parameters());
    EXPECT_TRUE(SemaphoreFree());
}

TEST_F(QpstServer, FailedDownloadSucceedsOnlyAfterTheLastEvent)
{
    fake->script.downloadResult = E_FAIL;
    fake->script.events = {{0, L"writing"}};
    auto failed = MakeJob();
    ASSERT_EQ(S_OK, failed->Start(L"COM73"));
    ASSERT_TRUE(WaitFinished(failed.Get()));
    EXPECT_EQ(E_FAIL, failed->GetResult());
    EXPECT_TRUE(failed->IsFailed());

    fake->script.events = {{0, L"writing"}, {LastStatusEventId, L"done"}, {0, nullptr}};
    auto succeeded = MakeJob();
    ASSERT_EQ(S_OK, succeeded->Start(L"COM74"));
    ASSERT_TRUE(WaitFinished(succeeded.Get()));
    EXPECT_EQ(S_OK, succeeded->GetResult());
    EXPECT_EQ(1u, JobLogTexts(L"COM74", "receive last event, but fail with 0x80004005").size());
    EXPECT_TRUE(JobLogTexts(L"COM73", "receive last event").empty());
    EXPECT_DOUBLE_EQ(0.006, succeeded->Progress());
}

TEST_F(QpstServer, ServerThatKeepsTheSinkNeverReachesTheJobAfterItsDownload)
{
    fake->script.events = {{0, L"writing"}};
    for (bool settingsLost : {false, true})
    {
        const std::wstring device = settingsLost ? L"COM80" : L"COM79";
        auto job = MakeJob();
        ASSERT_EQ(S_OK, job->Start(device, L"p.mbn", settingsLost));
        ASSERT_TRUE(WaitFinished(job.Get()));
        EXPECT_EQ(settingsLost, job->IsFailed()) << settingsLost;
        const double progress = job->Progress();

        // The server reports once more after the job's download has ended.
        ComPtr<IQStatusReport> kept = fake->LastSink();
        ASSERT_TRUE(kept) << settingsLost;
        const CBstr late(SysAllocString(L"late event"));
        EXPECT_EQ(S_OK, kept->NewStatus(0, nullptr, late.Get()));
        EXPECT_DOUBLE_EQ(progress, job->Progress()) << settingsLost;
        EXPECT_TRUE(JobLogTexts(device, "late event").empty()) << settingsLost;
    }
    EXPECT_EQ(1, fake->Downloads()); // the job without its settings never downloaded
}

TEST_F(QpstServer, SecondJobWaitsForTheSemaphoreUntilTheFirstDownloadReturns)
{
    const CHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    fake->script.downloadGate = gate.Get();
    auto first = MakeJob(), second = MakeJob();
    ASSERT_EQ(S_OK, first->Start(L"COM75"));
    ASSERT_TRUE(WaitFor([&] { return fake->Downloads() == 1; }));
    ASSERT_EQ(S_OK, second->Start(L"COM76"));
    Sleep(300);
    // The second job has not even asked for its port.
    const std::vector<std::wstring> before = fake->Calls();
    EXPECT_EQ(0, std::count(before.begin(), before.end(), L"GetPort COM76"));
    EXPECT_FALSE(second->IsFinished());

    SetEvent(gate.Get());
    ASSERT_TRUE(WaitFinished(first.Get()));
    ASSERT_TRUE(WaitFinished(second.Get()));
    EXPECT_EQ(S_OK, first->GetResult());
    EXPECT_EQ(S_OK, second->GetResult());
    EXPECT_EQ(2, fake->Downloads());
    EXPECT_EQ(1, fake->MaxConcurrentDownloads());
    EXPECT_TRUE(SemaphoreFree());
}

TEST_F(QpstServer, ParameterThatCannotBeSetFailsTheJobWithoutAWorker)
{
    fake->script.failingParameter = L"filepathxml";
    ComPtr<IDeviceReport> job;
    ASSERT_EQ(S_OK, CEmergencyFlasher::StartFlash(L"COM77", L"p.mbn", L"b.img", L"v.xml", L"r.xml", L"x.xml", L"C:\\",
                                                  &job));
    EXPECT_TRUE(job->IsFinished());
    EXPECT_EQ(E_ACCESSDENIED, job->GetResult());
    EXPECT_EQ((std::vector<std::wstring>{L"flashprogrammer=p.mbn", L"emmcfilepathboot=b.img", L"provision=v.xml"}),
              fake->Parameters());
    Sleep(50);
    EXPECT_TRUE(fake->Calls().empty()); // no port was asked for
}

// Stands in for a running QPST server process.
KESTRUP_CHILD(IdleServer)
{
    Sleep(30000);
    return 0;
}

TEST_F(QpstServer, ReleasedJobQuitsTheServerAndEndsEveryQpstServerProcess)
{
    CTempDir dir(L"qpst");
    wchar_t self[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, self, MAX_PATH));
    const std::wstring server = dir / L"QPSTServer.exe";
    ASSERT_TRUE(CopyFileW(self, server.c_str(), FALSE));
    std::wstring command = L"\"" + server + L"\" --child IdleServer";
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process));
    const CHandle thread(process.hThread), running(process.hProcess);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(running.Get(), 200));

    auto job = MakeJob();
    ASSERT_EQ(S_OK, job->Start(L"COM78"));
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(L"GetPort COM78", fake->Calls().back());
    job.Reset();
    EXPECT_EQ(L"Quit", fake->Calls().back());
    const bool ended = WaitForSingleObject(running.Get(), kJobWaitMs) == WAIT_OBJECT_0;
    if (!ended)
        TerminateProcess(running.Get(), 1);
    EXPECT_TRUE(ended);
}

} // namespace
