// The factory-station hook. The hook loads a station once per process, so
// every case runs in a fresh child process; the station logic is driven by
// test stations put where the managed runtime's objects would come from.
#include "services/FactoryHook.h"
#include "services/Log.h"
#include "platform/ComObject.h"
#include "platform/Handles.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/LogLines.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace
{

// Ends the child with the failing line as its exit code.
#define CHECK(condition)     \
    do                       \
    {                        \
        if (!(condition))    \
            return __LINE__; \
    } while (0)

size_t LogCount(const std::string& marker)
{
    return LogLinesWith(marker).size();
}

struct Call
{
    std::wstring method;
    std::vector<VARTYPE> types;   // in the order of the argument array
    std::vector<bool> nullBefore; // for by-reference strings: null when called
    std::wstring device;          // the device id, when given
    int pass = 1;                 // the boolean, when given (-1 or 0)
};

// A station whose answers the test sets: for each method whether the call
// fails, the boolean answer and the texts it puts into path and message.
class CTestStation : public IDispatch, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CTestStation)
    COM_INTERFACE_ENTRY(IDispatch)
    END_COM_MAP()

    struct Answer
    {
        HRESULT fail = S_OK;
        bool result = true;
        std::wstring path;
        std::wstring message;
    };
    Answer init, check, save;
    std::vector<Call> calls;

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override
    {
        if (count != 1 || locale != 0x400)
            return E_INVALIDARG;
        const wchar_t* known[] = {L"InitCheck", L"CheckCPUID", L"SaveDataByCPUID"};
        for (DISPID i = 0; i < 3; ++i)
            if (wcscmp(names[0], known[i]) == 0)
            {
                ids[0] = i + 1;
                return S_OK;
            }
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override
    {
        if (flags != DISPATCH_METHOD || !result)
            return E_INVALIDARG;
        Call call;
        call.method = id == 1 ? L"InitCheck" : id == 2 ? L"CheckCPUID" : L"SaveDataByCPUID";
        Answer& answer = id == 1 ? init : id == 2 ? check : save;
        // The message is the first by-reference argument, the path (of
        // CheckCPUID) the second.
        UINT references = 0;
        for (UINT i = 0; i < params->cArgs; ++i)
        {
            VARIANT& arg = params->rgvarg[i];
            call.types.push_back(V_VT(&arg));
            if (V_VT(&arg) == VT_BSTR)
                call.device = V_BSTR(&arg);
            if (V_VT(&arg) == VT_BOOL)
                call.pass = V_BOOL(&arg);
            if (V_VT(&arg) != (VT_BYREF | VT_BSTR))
                continue;
            call.nullBefore.push_back(*V_BSTRREF(&arg) == nullptr);
            const std::wstring& text = references++ == 0 ? answer.message : answer.path;
            if (!text.empty())
                *V_BSTRREF(&arg) = SysAllocString(text.c_str());
        }
        calls.push_back(call);
        if (FAILED(answer.fail))
            return answer.fail;
        VariantInit(result);
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = answer.result ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
};
// Made once per child process and never freed: the global interface table
// may release it as late as the process's exit.
using CLeakedStation = CComObjectStatic<CTestStation>;

// The test stations for the two candidates; null: that candidate fails to load.
CTestStation* g_station[2] = {};
std::vector<std::wstring> g_created;

HRESULT CreateTestStation(const wchar_t* assemblyPath, const wchar_t* typeName, IDispatch** out)
{
    g_created.push_back(std::wstring(assemblyPath) + L"|" + typeName);
    size_t which = wcsstr(assemblyPath, L"Dodevoz") ? 0 : 1;
    if (!g_station[which])
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return g_station[which]->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(out));
}

int RunCase(const wchar_t* name)
{
    // A directory of its own, so that its log file is its own too.
    CTempDir dir(L"factory");
    ChildResult result = RunChild(name, {}, dir.Path());
    return result.timedOut ? -1 : static_cast<int>(result.exitCode);
}

} // namespace

KESTRUP_CHILD(NoStation)
{
    const CComInitializer com(COINIT_MULTITHREADED);
    CHECK(GetSearchPath(L"COM12", L"C:\\images;D:\\more") == L"C:\\images;D:\\more");
    CHECK(SaveFlashResult(L"COM12", S_OK) == S_OK);
    CHECK(SaveFlashResult(L"COM12", E_FAIL) == E_FAIL);
    IDispatch* station = reinterpret_cast<IDispatch*>(1);
    CHECK(GetFactoryObject(&station) == static_cast<HRESULT>(0x800704DB) && station == nullptr);
    // Both candidates were tried once, at the first use. Without a managed
    // runtime (as under Wine) each fails at binding to it.
    CHECK(CountErrorLines("CreateManagedObject", 1364, static_cast<HRESULT>(0x80131700)) == 2);
    CHECK(LogCount("GetFactoryObject(1436)") == 2);
    CHECK(LogCount("GetFactoryObject(1457): ") == 4);
    CHECK(LogCount("GetSearchPath(1512): ") == 1);
    CHECK(LogCount("SaveFlashResult(1478): ") == 2);
    CHECK(LogCount("(0x800704db)") == 7);
    return 0;
}

KESTRUP_CHILD(SecondCandidate)
{
    const CComInitializer com(COINIT_MULTITHREADED);
    CTestStation& second = *new CLeakedStation;
    second.check.path = L"D:\\images\\COM12";
    g_station[1] = &second;
    SetManagedObjectCreator(CreateTestStation);

    CHECK(GetSearchPath(L"COM12", L"default") == L"D:\\images\\COM12");
    CHECK(SaveFlashResult(L"COM12", S_OK) == S_OK);
    CHECK(SaveFlashResult(L"COM12", E_FAIL) == E_FAIL);
    CHECK(LogCount("SaveFlashResult(1482)") == 1);
    CHECK(g_created.size() == 2);
    CHECK(g_created[0] == L"Dodevoz\\PUB_TEST_FUNC_DLL.dll|PUB_TEST_FUNC_DLL.TPUB_TEST_FUNC_DLL");
    CHECK(g_created[1] == L"Dozuzeza\\PUB_TEST_FUNC_DLL.dll|PUB_TEST_FUNC_DLL.TPUB_TEST_FUNC_DLL");

    // The argument forms, first managed parameter last.
    CHECK(second.calls.size() == 4);
    const Call& init = second.calls[0];
    CHECK(init.method == L"InitCheck" && init.types == std::vector<VARTYPE>{VT_BYREF | VT_BSTR});
    CHECK(init.nullBefore == std::vector<bool>{true});
    const Call& check = second.calls[1];
    CHECK(check.method == L"CheckCPUID" && check.device == L"COM12");
    CHECK((check.types == std::vector<VARTYPE>{VT_BYREF | VT_BSTR, VT_BYREF | VT_BSTR, VT_BSTR}));
    CHECK((check.nullBefore == std::vector<bool>{true, true}));
    const Call& saved = second.calls[2];
    CHECK(saved.method == L"SaveDataByCPUID" && saved.device == L"COM12" && saved.pass == VARIANT_TRUE);
    CHECK((saved.types == std::vector<VARTYPE>{VT_BYREF | VT_BSTR, VT_BOOL, VT_BSTR}));
    CHECK(second.calls[3].pass == VARIANT_FALSE);

    // The calls may come from another thread of the process.
    HRESULT fromWorker = S_OK;
    std::thread worker([&] {
        const CComInitializer workerCom(COINIT_MULTITHREADED);
        fromWorker = SaveFlashResult(L"COM13", S_OK);
    });
    worker.join();
    CHECK(fromWorker == S_OK && second.calls.back().device == L"COM13");
    return 0;
}

KESTRUP_CHILD(RefusedAtInitCheck)
{
    const CComInitializer com(COINIT_MULTITHREADED);
    CTestStation& first = *new CLeakedStation;
    CTestStation& second = *new CLeakedStation;
    first.init.result = false;
    first.init.message = L"line 4 station offline %s%n";
    second.init.fail = DISP_E_EXCEPTION;
    g_station[0] = &first;
    g_station[1] = &second;
    SetManagedObjectCreator(CreateTestStation);

    CHECK(GetSearchPath(L"COM12", L"default") == L"default");
    // Ready now, but the load is not tried again.
    first.init.result = true;
    second.init.fail = S_OK;
    CHECK(GetSearchPath(L"COM12", L"default") == L"default");
    CHECK(SaveFlashResult(L"COM12", S_OK) == S_OK);
    CHECK(g_created.size() == 2);
    CHECK(first.calls.size() == 1 && second.calls.size() == 1);
    CHECK(LogCount("line 4 station offline %s%n") == 1);
    CHECK(LogCount("GetFactoryObject(1442)") == 1);
    CHECK(LogCount("GetFactoryObject(1457)") == 3);
    return 0;
}

KESTRUP_CHILD(StationAnswers)
{
    const CComInitializer com(COINIT_MULTITHREADED);
    CTestStation& station = *new CLeakedStation;
    g_station[0] = &station;
    SetManagedObjectCreator(CreateTestStation);

    // An unknown device: the station's explanation stands for the folder.
    station.check.result = false;
    station.check.path = L"D:\\ignored";
    station.check.message = L"unknown phone COM12";
    CHECK(GetSearchPath(L"COM12", L"default") == L"unknown phone COM12");
    CHECK(g_created.size() == 1);

    station.check.fail = DISP_E_EXCEPTION;
    station.check.message = L"";
    CHECK(GetSearchPath(L"COM12", L"default").empty());
    CHECK(LogCount("GetSearchPath(1520)") == 1);

    // A result the station could not save fails the job.
    station.save.result = false;
    station.save.message = L"database full";
    CHECK(SaveFlashResult(L"COM12", S_OK) == static_cast<HRESULT>(0x80030103));
    CHECK(LogCount("database full") == 1);

    station.save.fail = DISP_E_EXCEPTION;
    CHECK(SaveFlashResult(L"COM12", S_OK) == DISP_E_EXCEPTION);
    CHECK(LogCount("SaveFlashResult(1486)") == 1);
    return 0;
}

// A failed case's exit code is the line of its failed check.
TEST(FactoryHook, EveryCaseHoldsInAProcessOfItsOwn)
{
    for (const wchar_t* name : {L"NoStation", L"SecondCandidate", L"RefusedAtInitCheck", L"StationAnswers"})
        EXPECT_EQ(0, RunCase(name)) << "in" << std::string(name, name + wcslen(name));
}
