#include "jobs/DeviceReport.h"
#include "services/FactoryHook.h"
#include "services/Log.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/jobs/JobTestSupport.h"

#include <functional>
#include <regex>

namespace
{

// A job whose work the test supplies; gates let the test hold it running.
class CTestJob : public CDeviceReport
{
public:
    CTestJob()
    {
        for (CHandle& gate : gates)
            gate.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }

    HRESULT DoWork() override
    {
        InterlockedIncrement(&runs);
        workerId = GetCurrentThreadId();
        return work ? work(*this) : S_OK;
    }
    void Pass(int gate) { WaitForSingleObject(gates[gate].Get(), INFINITE); }
    void Open(int gate) { SetEvent(gates[gate].Get()); }
    bool Reached(int gate) { return WaitForSingleObject(gates[gate].Get(), kJobWaitMs) == WAIT_OBJECT_0; }
    void SetState(DWORD start, DWORD end, HRESULT status)
    {
        m_startTick = start;
        m_endTick = end;
        m_status = status;
    }
    void HoldJobLock() { Lock(); }

    std::function<HRESULT(CTestJob&)> work;
    CHandle gates[3];
    volatile LONG runs = 0;
    volatile DWORD workerId = 0;
};

ComPtr<CComObject<CTestJob>> MakeJob(std::function<HRESULT(CTestJob&)> work = nullptr)
{
    CComObject<CTestJob>* object = nullptr;
    EXPECT_EQ(S_OK, CComObject<CTestJob>::CreateInstance(&object));
    object->work = std::move(work);
    return ComPtr<CComObject<CTestJob>>(object);
}

TEST(DeviceReport, TheNeverStartedJobIsFinishedFailedAndSharedAsModuleLocks)
{
    LONG locks = g_Module.GetLockCount();
    ComPtr<IDeviceReport> first, second;
    COOMReport::GetInstance(&first);
    COOMReport::GetInstance(&second);
    EXPECT_EQ(first.Get(), second.Get());
    EXPECT_EQ(locks + 2, g_Module.GetLockCount());

    EXPECT_TRUE(first->IsFinished());
    EXPECT_TRUE(first->IsFailed());
    EXPECT_EQ(0.0, first->GetElapsedTime());
    EXPECT_EQ(0, first->GetProgress());
    EXPECT_EQ(E_OUTOFMEMORY, first->GetResult());
    EXPECT_EQ(GetErrorMessage(E_OUTOFMEMORY) + L"(0x8007000e)", StatusText(first.Get()));
    EXPECT_EQ(E_POINTER, first->GetStatusText(nullptr));
    ComPtr<IMarshal> marshal; // every job aggregates the free-threaded marshaler
    EXPECT_EQ(S_OK, first.As(&marshal));
    marshal.Reset();

    first.Reset();
    second.Reset();
    EXPECT_EQ(locks, g_Module.GetLockCount());
}

TEST(DeviceReport, ProgressIsClampedWhileRunningAndFullOnlyForSuccess)
{
    auto running = MakeJob([](CTestJob& job) {
        job.AddProgress(250.5);
        job.Open(1);
        job.Pass(0);
        return S_OK;
    });
    running->StartFlash(L"P1");
    ASSERT_TRUE(running->Reached(1));
    EXPECT_FALSE(running->IsFinished());
    EXPECT_EQ(JOB_RUNNING, running->GetResult());
    EXPECT_EQ(100, running->GetProgress());
    running->Open(0);
    ASSERT_TRUE(WaitFinished(running.Get()));
    EXPECT_EQ(S_OK, running->GetResult());
    EXPECT_EQ(100, running->GetProgress());

    auto idle = MakeJob(); // adds no progress at all
    idle->StartFlash(L"P2");
    ASSERT_TRUE(WaitFinished(idle.Get()));
    EXPECT_FALSE(idle->IsFailed());
    EXPECT_EQ(100, idle->GetProgress());

    auto failed = MakeJob([](CTestJob& job) {
        job.AddProgress(30.0);
        job.AddProgress(7.9);
        return E_ACCESSDENIED;
    });
    failed->StartFlash(L"P3");
    ASSERT_TRUE(WaitFinished(failed.Get()));
    EXPECT_TRUE(failed->IsFailed());
    EXPECT_EQ(E_ACCESSDENIED, failed->GetResult());
    EXPECT_EQ(37, failed->GetProgress());
}

TEST(DeviceReport, StatusTextWalksTheLinesThenShowsTheResultWithTheNewest)
{
    auto job = MakeJob([](CTestJob& self) {
        self.Pass(0);
        self.Log(L"a");
        self.Log(L"b");
        self.Log(L"c");
        self.Open(1);
        self.Pass(2);
        return E_FAIL;
    });
    job->StartFlash(L"WALK");
    EXPECT_EQ(L"", StatusText(job.Get()));
    job->Open(0);
    ASSERT_TRUE(job->Reached(1));
    for (const wchar_t* line : {L"a", L"b", L"c", L"c", L"c"})
        EXPECT_EQ(line, StatusText(job.Get()));
    job->Open(2);
    ASSERT_TRUE(WaitFinished(job.Get()));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(GetErrorMessage(E_FAIL) + L"(0x80004005: c)", StatusText(job.Get()));

    auto silent = MakeJob([](CTestJob&) { return E_ACCESSDENIED; });
    silent->StartFlash(L"SILENT");
    ASSERT_TRUE(WaitFinished(silent.Get()));
    EXPECT_EQ(GetErrorMessage(E_ACCESSDENIED) + L"(0x80070005)", StatusText(silent.Get()));
}

TEST(DeviceReport, LogLinesCarryDeviceAndSecondsAndOutsideTextStaysLiteral)
{
    auto job = MakeJob([](CTestJob& self) {
        self.Log(L"%s", L"100%s done %d");
        self.Log(L"step %d of %d", 2, 5);
        self.Open(1);
        self.Pass(0);
        return S_OK;
    });
    job->StartFlash(L"LOGDEV");
    ASSERT_TRUE(job->Reached(1));
    EXPECT_EQ(L"100%s done %d", StatusText(job.Get()));
    EXPECT_EQ(L"step 2 of 5", StatusText(job.Get()));
    job->Open(0);
    ASSERT_TRUE(WaitFinished(job.Get()));

    EXPECT_EQ((std::vector<std::string>{"100%s done %d", "step 2 of 5"}), JobLogTexts(L"LOGDEV"));
    std::string log = ReadWholeFile(GetLogFileName());
    EXPECT_TRUE(std::regex_search(log, std::regex("\\]LOGDEV\t[0-9]+\\.[0-9]{2}\tstep 2 of 5\r\n")));
}

TEST(DeviceReport, AJobRunsOnceOnAWorkerInTheMultithreadedApartment)
{
    auto job = MakeJob([](CTestJob& self) {
        APTTYPE type;
        APTTYPEQUALIFIER qualifier;
        HRESULT hr = CoGetApartmentType(&type, &qualifier);
        self.Pass(0);
        return SUCCEEDED(hr) && type == APTTYPE_MTA ? S_OK : E_UNEXPECTED;
    });
    job->StartFlash(L"FIRST");
    job->StartFlash(L"SECOND"); // while running
    job->Open(0);
    ASSERT_TRUE(WaitFinished(job.Get()));
    EXPECT_EQ(S_OK, job->GetResult());
    job->StartFlash(L"THIRD"); // after the end
    Sleep(100);
    EXPECT_EQ(1, job->runs);
    EXPECT_NE(GetCurrentThreadId(), job->workerId);
    EXPECT_EQ(L"FIRST", job->GetDeviceName());
    EXPECT_EQ(S_OK, job->GetResult());

    // A job whose creator recorded a failure instead of starting stays so.
    auto refused = MakeJob();
    refused->SetResult(E_ABORT);
    refused->StartFlash(L"REFUSED");
    Sleep(100);
    EXPECT_EQ(0, refused->runs);
    EXPECT_EQ(E_ABORT, refused->GetResult());
}

TEST(DeviceReport, ElapsedTimeRunsWhileRunningAndSurvivesTheTickWrap)
{
    auto job = MakeJob();
    job->SetState(0xFFFFF000u, 0x00000800u, S_OK);
    EXPECT_DOUBLE_EQ(6.144, job->GetElapsedTime());

    job->SetState(GetTickCount() - 2500, 0, JOB_RUNNING);
    double elapsed = job->GetElapsedTime();
    EXPECT_GE(elapsed, 2.5);
    EXPECT_LT(elapsed, 100.0);
    job->SetState(0, 0, JOB_NOT_STARTED);
}

// True when the thread has ended (or is gone).
bool ThreadEnded(DWORD id)
{
    const CHandle thread(OpenThread(SYNCHRONIZE, FALSE, id));
    return !thread || WaitForSingleObject(thread.Get(), kJobWaitMs) == WAIT_OBJECT_0;
}

TEST(DeviceReport, ReleasingARunningJobEndsItsWorkerWithinAboutASecond)
{
    for (bool holdsLock : {false, true})
    {
        SCOPED_TRACE(holdsLock ? "worker holds the job lock" : "worker waits");
        auto job = MakeJob([holdsLock](CTestJob& self) {
            if (holdsLock)
                self.HoldJobLock();
            self.Open(1);
            self.Pass(0); // never opened
            return S_OK;
        });
        job->StartFlash(L"STUCK");
        ASSERT_TRUE(job->Reached(1));
        DWORD worker = job->workerId;
        DWORD start = GetTickCount();
        job.Reset();
        DWORD took = GetTickCount() - start;
        EXPECT_GE(took, 900u);
        EXPECT_LT(took, kJobWaitMs);
        EXPECT_TRUE(ThreadEnded(worker));
    }
}

// The teardown's waits in a time of the test's own: the worker needs
// `needMs` from the release to end. A wait that reaches that point lets a
// held worker go and returns its real end; a shorter one only moves the
// clock on. A worker on its way out has already ended for real, so that an
// end by force never meets it inside the process's locks.
struct CWorkerClock
{
    static inline CTestJob* job = nullptr;
    static inline ULONGLONG needMs = 0, nowMs = 0;

    static DWORD WINAPI Wait(HANDLE thread, DWORD milliseconds)
    {
        if (nowMs + milliseconds >= needMs)
        {
            nowMs = needMs;
            job->Open(0);
            return WaitForSingleObject(thread, kJobWaitMs);
        }
        nowMs += milliseconds;
        return WAIT_TIMEOUT;
    }
};

size_t ForcedEnds()
{
    return LogLinesWith("CDeviceReport::StopThread(").size();
}

// A running worker gets one second; one that has recorded its result gets a
// grace of its own for its way out (the apartment, the thread's detach
// notifications), long beside a few seconds and still bounded.
TEST(DeviceReport, ReleaseEndsAWorkerByForceOnlyPastItsBound)
{
    struct Case
    {
        bool leaving;
        DWORD needMs;
        bool forced;
    };
    for (Case c :
         {Case{false, 900, false}, Case{false, 1100, true}, Case{true, 20000, false}, Case{true, 40000, true}})
    {
        SCOPED_TRACE(testing::Message() << (c.leaving ? "leaving" : "running") << " worker needs " << c.needMs);
        auto job = MakeJob([](CTestJob& self) {
            self.Open(1);
            self.Pass(0);
            return S_OK;
        });
        if (c.leaving)
            job->Open(0);
        job->StartFlash(L"CLOCKED");
        ASSERT_TRUE(job->Reached(1));
        DWORD worker = job->workerId;
        if (c.leaving)
        {
            ASSERT_TRUE(WaitFinished(job.Get()));
            ASSERT_TRUE(ThreadEnded(worker));
        }
        CWorkerClock::job = job.Get();
        CWorkerClock::needMs = c.needMs;
        CWorkerClock::nowMs = 0;
        size_t forcedBefore = ForcedEnds();
        WorkerWait previous = SetWorkerWait(CWorkerClock::Wait);
        job.Reset();
        SetWorkerWait(previous);
        EXPECT_TRUE(ThreadEnded(worker));
        EXPECT_EQ(forcedBefore + (c.forced ? 1 : 0), ForcedEnds());
    }
    std::vector<std::string> forced = LogLinesWith("CDeviceReport::StopThread(");
    ASSERT_FALSE(forced.empty());
    EXPECT_NE(std::string::npos, forced.back().find("(0x800705b4)"));
}

// A factory station that refuses every result and notes the device it got.
class CRefusingStation : public IDispatch, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CRefusingStation)
    COM_INTERFACE_ENTRY(IDispatch)
    END_COM_MAP()

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override
    {
        ids[0] = wcscmp(names[0], L"InitCheck") == 0 ? 1 : 2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                     UINT*) override
    {
        for (UINT i = 0; i < params->cArgs; ++i)
        {
            if (V_VT(&params->rgvarg[i]) == VT_BSTR)
                device = V_BSTR(&params->rgvarg[i]);
        }
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = id == 1 ? VARIANT_TRUE : VARIANT_FALSE; // ready, but saves nothing
        return S_OK;
    }

    std::wstring device;
};

KESTRUP_CHILD(JobRecordsItsResultThroughTheStation)
{
    static CComObjectStatic<CRefusingStation> station; // a static of the child
    SetManagedObjectCreator(
        [](const wchar_t*, const wchar_t*, IDispatch** out) { return station.QueryInterface(IID_PPV_ARGS(out)); });
    CComObject<CTestJob>* object = nullptr;
    if (FAILED(CComObject<CTestJob>::CreateInstance(&object)))
        return 1;
    ComPtr<IDeviceReport> job(object);
    object->StartFlash(L"STATION1");
    if (!WaitFinished(job.Get()))
        return 2;
    if (job->GetResult() != STG_E_CANTSAVE)
        return 3;
    return station.device == L"STATION1" ? 0 : 4;
}

// No thread of the child but the worker joins a COM apartment.
TEST(DeviceReport, TheWorkerRecordsTheResultThroughTheFactoryStation)
{
    CTempDir dir(L"station");
    ChildResult result = RunChild(L"JobRecordsItsResultThroughTheStation", {}, dir.Path());
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(0u, result.exitCode);
}

} // namespace
