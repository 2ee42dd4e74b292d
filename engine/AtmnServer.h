// The automation server object and the port objects it hands out. Only the
// members that a flash job uses do something; every other member answers
// E_NOTIMPL (or, on the server's dispatch interface, succeeds without effect).
#pragma once
#include "engine/Automation.h"

#include <string>

class CAtmnServer : public IAtmnServer, public CAggregatableRoot
{
public:
    BEGIN_COM_MAP(CAtmnServer)
    COM_INTERFACE_ENTRY(IAtmnServer)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(m_marshaler)
    END_COM_MAP()

    HRESULT FinalConstruct();
    IUnknown* GetControllingUnknown();

    // IDispatch, routed by dispatch ID (see Invoke).
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

    // Dispatch IDs that do something.
    enum : DISPID
    {
        kDispidQuit = 4,
        kDispidGetPort = 5,
        kDispidAddPort = 8,
        kDispidRemovePort = 9,
    };

private:
    HRESULT GetPort(DISPPARAMS* params, VARIANT* result, UINT* argumentError);

    CFreeThreadedMarshaler m_marshaler;
};

class CPortProxy : public CDualDispatch<IQPortProxy, kProxyTypeLibrary>, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CPortProxy)
    COM_INTERFACE_ENTRY(IQPortProxy)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(m_marshaler)
    END_COM_MAP()

    // A new port object for the port name.
    static HRESULT CreateInstance(const wchar_t* portName, IQPortProxy** port);

    HRESULT FinalConstruct();

    // The phone status: always 5, the value of a port ready to use.
    STDMETHODIMP get_PhoneStatus(VARIANT* pVal) override;
    // A new software-download object for this port.
    STDMETHODIMP get_SoftwareDownload(IUnknown** pVal) override;

    STDMETHODIMP put_QPSTPhone(IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP put_StatusReport(IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP get_EFS(IUnknown**) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return E_NOTIMPL; }
    STDMETHODIMP Offline() override { return E_NOTIMPL; }
    STDMETHODIMP SendSPC(VARIANT, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_ESN(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_IsUSB(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_PhoneMode(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_PortId(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_PortLabel(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_PortName(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_QPSTPortConfig(IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP get_FlashImage(IUnknown**) override { return E_NOTIMPL; }
    STDMETHODIMP SendCommand(VARIANT, VARIANT, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_ModelNumber(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_BuildId(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_IMEI(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP LockPhone() override { return E_NOTIMPL; }
    STDMETHODIMP UnlockPhone() override { return E_NOTIMPL; }
    STDMETHODIMP get_MEID(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_QPSTServer(IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP get_Provisioning(IUnknown**) override { return E_NOTIMPL; }
    STDMETHODIMP LockPhoneWithKey(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockPhoneWithKey(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_PhoneLockKey(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP SendStreamCloseLog() override { return E_NOTIMPL; }
    STDMETHODIMP put_CommandTimeout(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_CommandTimeout(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_TraceLevel(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_TraceLevel(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP Annotate(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_PhoneModeStateChange(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_PhoneModeStateChange(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_MemoryDebug(IUnknown**) override { return E_NOTIMPL; }
    STDMETHODIMP get_IPAddress(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetEFSSubsystem(VARIANT, IUnknown**) override { return E_NOTIMPL; }
    STDMETHODIMP GetPhoneUid(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_PortStatistics(IUnknown**) override { return E_NOTIMPL; }
    STDMETHODIMP get_DeviceName(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_EnableSaharaSupport(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_EnableSaharaSupport(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP SaharaConfigXML(VARIANT, VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_xmlPath(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_PathOneTimeUse(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_MemoryDumpFolder(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_MemoryDumpFolder(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP get_LastSaharaEvent(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_EnableDumpTimeStamp(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_EnableDumpTimeStamp(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_EnableSaharaAutoReset(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_EnableSaharaAutoReset(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP SendSaharaResetCmd(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP put_SaharaHelloRsp(VARIANT) override { return E_NOTIMPL; }
    STDMETHODIMP get_SaharaHelloRsp(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP SaharaAbortDumpAndReset() override { return E_NOTIMPL; }
    STDMETHODIMP get_MACAddress(VARIANT*) override { return E_NOTIMPL; }

private:
    CFreeThreadedMarshaler m_marshaler;
    std::wstring m_portName;
};
