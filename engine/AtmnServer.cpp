#include "engine/AtmnServer.h"

#include "engine/SoftwareDownload.h"
#include "services/Log.h"

namespace
{
// The description of the member with this dispatch ID that the call's flags
// can reach; false when there is none.
bool FindMember(ITypeInfo* info, DISPID id, WORD flags, SHORT* parameters)
{
    TYPEATTR* attributes = nullptr;
    if (FAILED(info->GetTypeAttr(&attributes)))
        return false;
    const WORD functions = attributes->cFuncs;
    info->ReleaseTypeAttr(attributes);
    for (UINT i = 0; i < functions; ++i)
    {
        FUNCDESC* function = nullptr;
        if (FAILED(info->GetFuncDesc(i, &function)))
            continue;
        const bool found = function->memid == id && (function->invkind & flags) != 0;
        if (found)
            *parameters = function->cParams;
        info->ReleaseFuncDesc(function);
        if (found)
            return true;
    }
    return false;
}
} // namespace

HRESULT CAtmnServer::FinalConstruct()
{
    return m_marshaler.Aggregate(GetControllingUnknown());
}

IUnknown* CAtmnServer::GetControllingUnknown()
{
    return m_outerUnknown ? m_outerUnknown : static_cast<IAtmnServer*>(this);
}

STDMETHODIMP CAtmnServer::GetTypeInfoCount(UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP CAtmnServer::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    return GetProgramTypeInfo(kAtmnServerTypeLibrary, DIID_IAtmnServer, false, info);
}

STDMETHODIMP CAtmnServer::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    ComPtr<ITypeInfo> info;
    HRESULT hr = GetProgramTypeInfo(kAtmnServerTypeLibrary, DIID_IAtmnServer, false, &info);
    return FAILED(hr) ? hr : DispGetIDsOfNames(info.Get(), names, count, ids);
}

STDMETHODIMP CAtmnServer::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                 UINT* argumentError)
{
    ComPtr<ITypeInfo> info;
    SHORT parameters = 0;
    if (FAILED(GetProgramTypeInfo(kAtmnServerTypeLibrary, DIID_IAtmnServer, false, &info)) ||
        !FindMember(info.Get(), id, flags, &parameters))
        return S_OK;
    if (id != kDispidGetPort)
        return S_OK; // Quit, AddPort, RemovePort and the rest: nothing to do
    if (!params || params->cArgs != static_cast<UINT>(parameters))
        return DISP_E_BADPARAMCOUNT;
    if (params->cNamedArgs != 0)
        return DISP_E_NONAMEDARGS;
    return GetPort(params, result, argumentError);
}

HRESULT CAtmnServer::GetPort(DISPPARAMS* params, VARIANT* result, UINT* argumentError)
{
    // A port id that does not convert to text is the caller's error.
    CVariant portId;
    HRESULT hr = VariantChangeType(&portId, &params->rgvarg[0], 0, VT_BSTR);
    if (FAILED(hr))
    {
        if (argumentError)
            *argumentError = 0;
        return LogError(DISP_E_TYPEMISMATCH, L"CAtmnServer::GetPort", __LINE__);
    }
    ComPtr<IQPortProxy> port;
    hr = CPortProxy::CreateInstance(V_BSTR(&portId) ? V_BSTR(&portId) : L"", &port);
    if (FAILED(hr))
    {
        LogError(hr, L"CAtmnServer::GetPort", __LINE__);
        port.Reset();
    }
    if (result)
    {
        VariantInit(result);
        V_VT(result) = VT_UNKNOWN;
        V_UNKNOWN(result) = port.Detach();
    }
    return S_OK;
}

HRESULT CPortProxy::CreateInstance(const wchar_t* portName, IQPortProxy** port)
{
    HRESULT hr = MakeComObject<CPortProxy>(port, [portName](CPortProxy& object) {
        object.m_portName = portName ? portName : L"";
        return S_OK;
    });
    return LogError(hr, L"CPortProxy::CreateInstance", __LINE__);
}

HRESULT CPortProxy::FinalConstruct()
{
    return m_marshaler.Aggregate(static_cast<IQPortProxy*>(this));
}

STDMETHODIMP CPortProxy::get_PhoneStatus(VARIANT* pVal)
{
    if (!pVal)
        return E_POINTER;
    HRESULT hr = VariantClear(pVal);
    if (FAILED(hr))
        return hr;
    V_VT(pVal) = VT_I4;
    V_I4(pVal) = 5;
    return S_OK;
}

STDMETHODIMP CPortProxy::get_SoftwareDownload(IUnknown** pVal)
{
    if (!pVal)
        return E_POINTER;
    *pVal = nullptr;
    IQSoftwareDownload* download = nullptr;
    HRESULT hr = CSoftwareDownload::CreateInstance(m_portName.c_str(), &download);
    RETURN_IF_FAILED(hr, L"CPortProxy::get_SoftwareDownload", __LINE__);
    *pVal = download; // IQSoftwareDownload is an IUnknown
    return S_OK;
}
