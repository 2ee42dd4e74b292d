#include "jobs/QPSTReport.h"

#include "services/Process.h"

#include <process.h>
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace
{

// Phone status of a port that is ready to use.
constexpr LONG kPortReady = 5;
// Passes of the port wait after which the port is added, and removed and added again.
constexpr int kAddPortPass = 10;
constexpr int kReAddPortPass = 20;

// One activation, shared by the thread that runs it and the caller that
// waits for it; whoever lets go last deletes it.
struct Activation
{
    CLSID clsid;
    DWORD context;
    IID iid;
    CHandle done; // set when the thread has finished
    volatile LONG refs = 1;
    // Under g_activationLock:
    bool finished = false;
    bool abandoned = false; // the caller gave up waiting
    HRESULT result = E_FAIL;
    CGitCookie cookie;

    Activation* AddRef()
    {
        InterlockedIncrement(&refs);
        return this;
    }
    void Release()
    {
        if (InterlockedDecrement(&refs) == 0)
            delete this;
    }
};

// One reference to an activation.
struct ReleaseActivation
{
    void operator()(Activation* activation) const { activation->Release(); }
};
using CActivationRef = std::unique_ptr<Activation, ReleaseActivation>;

std::mutex g_activationLock;
std::vector<Activation*> g_pendingActivations; // not finished yet, one per class

// Under g_activationLock.
void ForgetPending(Activation* activation)
{
    g_pendingActivations.erase(std::remove(g_pendingActivations.begin(), g_pendingActivations.end(), activation),
                               g_pendingActivations.end());
}

unsigned __stdcall RunActivation(void* argument)
{
    const CActivationRef activation(static_cast<Activation*>(argument));
    const CComInitializer apartment(COINIT_MULTITHREADED);
    HRESULT hr = apartment.Result();
    CGitCookie cookie;
    if (SUCCEEDED(hr))
    {
        ComPtr<IUnknown> object;
        ComPtr<IGlobalInterfaceTable> table;
        hr = CoCreateInstance(activation->clsid, nullptr, activation->context, activation->iid,
                              reinterpret_cast<void**>(object.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&table));
        if (SUCCEEDED(hr))
            hr = cookie.Register(table.Get(), object.Get(), activation->iid);
    }
    {
        std::lock_guard<std::mutex> lock(g_activationLock);
        ForgetPending(activation.get());
        activation->finished = true;
        activation->result = hr;
        if (!activation->abandoned)
            activation->cookie = std::move(cookie);
    }
    cookie.Revoke(); // abandoned: nobody takes it any more
    SetEvent(activation->done.Get());
    return 0;
}

// Waits until `done` is set or the activation bound has passed; the calling
// thread keeps serving its apartment's calls and paints meanwhile.
void WaitForActivation(HANDLE done)
{
    DWORD index = 0;
    const DWORD bound = CQPSTReport::activationBoundMs;
    if (CoWaitForMultipleHandles(0, bound, 1, &done, &index) == CO_E_NOTINITIALIZED)
        WaitForSingleObject(done, bound);
}

} // namespace

size_t CQPSTReport::PendingActivations()
{
    std::lock_guard<std::mutex> lock(g_activationLock);
    return g_pendingActivations.size();
}

HRESULT CQPSTReport::CreateInGlobalTable(REFCLSID clsid, DWORD context, REFIID iid, CGitCookie* cookie)
{
    const wchar_t* name = L"CQPSTReport::CreateInGlobalTable";
    cookie->Revoke();
    const CActivationRef activation(new (std::nothrow) Activation{clsid, context, iid});
    if (!activation)
        return LogError(E_OUTOFMEMORY, name, __LINE__);
    activation->done.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!activation->done)
        return LogError(LastErrorHResult(), name, __LINE__);
    // An earlier activation of the class whose server is still starting: one
    // more would only start another server. Waited for instead, and once its
    // server is up (however late), this activation goes to that server.
    CActivationRef earlier;
    {
        std::lock_guard<std::mutex> lock(g_activationLock);
        for (Activation* pending : g_pendingActivations)
        {
            if (InlineIsEqualGUID(pending->clsid, clsid))
            {
                earlier.reset(pending->AddRef());
                break;
            }
        }
    }
    if (earlier)
    {
        WaitForActivation(earlier->done.Get());
        std::lock_guard<std::mutex> lock(g_activationLock);
        if (!earlier->finished)
            return LogError(CO_E_SERVER_EXEC_FAILURE, name, __LINE__);
        if (FAILED(earlier->result))
            return LogError(earlier->result, name, __LINE__);
    }
    {
        std::lock_guard<std::mutex> lock(g_activationLock);
        for (const Activation* pending : g_pendingActivations)
        {
            if (InlineIsEqualGUID(pending->clsid, clsid))
                return LogError(CO_E_SERVER_EXEC_FAILURE, name, __LINE__); // another start began meanwhile
        }
        g_pendingActivations.push_back(activation.get());
    }
    CActivationRef forThread(activation->AddRef());
    const CHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunActivation, forThread.get(), 0, nullptr)));
    if (!thread)
    {
        const HRESULT hr = LastErrorHResult();
        {
            std::lock_guard<std::mutex> lock(g_activationLock);
            ForgetPending(activation.get());
        }
        return LogError(hr, name, __LINE__);
    }
    forThread.release(); // the thread's now

    // The finished flag decides below, whatever ended the wait.
    WaitForActivation(activation->done.Get());
    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(g_activationLock);
        if (activation->finished)
        {
            hr = activation->result;
            *cookie = std::move(activation->cookie);
        }
        else
        {
            activation->abandoned = true; // the thread cleans up when its server answers at last
            hr = CO_E_SERVER_EXEC_FAILURE;
        }
    }
    return LogError(hr, name, __LINE__);
}

HRESULT CQPSTReport::SetText(CVariant& variant, const wchar_t* text)
{
    V_BSTR(&variant) = SysAllocString(text ? text : L"");
    if (!V_BSTR(&variant))
        return E_OUTOFMEMORY;
    V_VT(&variant) = VT_BSTR;
    return S_OK;
}

CQPSTReport::CQPSTReport()
{
    CreateServer(CLSCTX_LOCAL_SERVER);
}

void CQPSTReport::CreateServer(DWORD context)
{
    m_serverResult = LogError(CreateInGlobalTable(CLSID_AtmnServer, context, IID_IDispatch, &m_serverCookie),
                              L"CQPSTReport::CreateServer", __LINE__);
}

HRESULT CQPSTReport::InvokeServer(IDispatch* server, const wchar_t* method, VARIANT* args, UINT count, VARIANT* result)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(method)};
    DISPID id = 0;
    HRESULT hr = server->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr))
        return hr;
    // Dispatch arguments go last first.
    VARIANT reversed[2];
    if (count > 2)
        return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i)
        reversed[i] = args[count - 1 - i];
    DISPPARAMS params = {count ? reversed : nullptr, nullptr, count, 0};
    return server->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, nullptr, nullptr);
}

HRESULT CQPSTReport::GetPortObject(IQPortProxy** port)
{
    const wchar_t* name = L"CQPSTReport::GetPortObject";
    if (!port)
        return LogError(E_POINTER, name, __LINE__);
    *port = nullptr;
    if (!m_serverCookie.IsRegistered())
        return LogError(E_UNEXPECTED, name, __LINE__);
    ComPtr<IDispatch> server;
    HRESULT hr = m_serverCookie.Get(server.GetAddressOf());
    RETURN_IF_FAILED(hr, name, __LINE__);

    CVariant portId;
    hr = SetText(portId, GetDeviceName().c_str());
    RETURN_IF_FAILED(hr, name, __LINE__);
    VARIANT twice[2] = {portId, portId}; // comPort and portLabel

    for (int pass = 0;; ++pass)
    {
        CVariant result;
        hr = InvokeServer(server.Get(), L"GetPort", &portId, 1, &result);
        if (FAILED(hr))
        {
            LogError(hr, name, __LINE__); // not ready yet: asked again
        }
        else if ((V_VT(&result) == VT_UNKNOWN || V_VT(&result) == VT_DISPATCH) && V_UNKNOWN(&result))
        {
            ComPtr<IQPortProxy> candidate;
            hr = V_UNKNOWN(&result)->QueryInterface(IID_PPV_ARGS(&candidate));
            RETURN_IF_FAILED(hr, name, __LINE__);
            CVariant status;
            hr = candidate->get_PhoneStatus(&status);
            RETURN_IF_FAILED(hr, name, __LINE__);
            if (SUCCEEDED(VariantChangeType(&status, &status, 0, VT_I4)) && V_I4(&status) == kPortReady)
                return LogError(candidate->QueryInterface(IID_PPV_ARGS(port)), name, __LINE__);
        }

        if (pass == kAddPortPass)
        {
            hr = InvokeServer(server.Get(), L"AddPort", twice, 2, nullptr);
            RETURN_IF_FAILED(hr, name, __LINE__);
        }
        else if (pass == kReAddPortPass)
        {
            hr = InvokeServer(server.Get(), L"RemovePort", &portId, 1, nullptr);
            if (SUCCEEDED(hr))
                hr = InvokeServer(server.Get(), L"AddPort", twice, 2, nullptr);
            RETURN_IF_FAILED(hr, name, __LINE__);
        }
        else if (pass == kPortWaitPasses - 1)
        {
            return LogError(HRESULT_FROM_WIN32(ERROR_NOT_READY), name, __LINE__);
        }
        Log(L"wait port ready to use %d", pass);
        Sleep(m_portWaitPause);
    }
}

HRESULT CQPSTReport::GetSoftwareDownload(IQSoftwareDownload** download)
{
    const wchar_t* name = L"CQPSTReport::GetSoftwareDownload";
    if (!download)
        return LogError(E_POINTER, name, __LINE__);
    *download = nullptr;
    ComPtr<IQPortProxy> port;
    HRESULT hr = GetPortObject(&port);
    RETURN_IF_FAILED(hr, name, __LINE__);
    ComPtr<IUnknown> object;
    hr = port->get_SoftwareDownload(&object);
    RETURN_IF_FAILED(hr, name, __LINE__);
    if (!object)
        return LogError(E_POINTER, name, __LINE__);
    return LogError(object->QueryInterface(IID_PPV_ARGS(download)), name, __LINE__);
}

void CQPSTReport::FinalRelease()
{
    StopThread();
    if (!m_serverCookie.IsRegistered())
        return;
    ComPtr<IDispatch> server;
    m_serverCookie.Get(server.GetAddressOf());
    m_serverCookie.Revoke();
    if (server)
        InvokeServer(server.Get(), L"Quit", nullptr, 0, nullptr); // its result does not matter
    KillProcess(L"QPSTServer.exe");
}
