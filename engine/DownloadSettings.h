// The download-settings object: named parameters that a flash job stores and
// the download reads back.
#pragma once
#include "engine/Automation.h"

#include <memory>
#include <vector>

class CDownloadSettings : public CDualDispatch<IDownloadSettings, kProxyTypeLibrary>, public CAggregatableRoot
{
public:
    BEGIN_COM_MAP(CDownloadSettings)
    COM_INTERFACE_ENTRY(IDownloadSettings)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY_FREE_THREADED_MARSHALER(m_marshaler)
    END_COM_MAP()

    HRESULT FinalConstruct();
    IUnknown* GetControllingUnknown();

    // A copy of the value stored under the name; E_INVALIDARG for a name
    // never set.
    STDMETHODIMP get_GetParam(VARIANT paramName, VARIANT* pVal) override;
    // Stores a copy of the pair, replacing the pair of an equal name.
    STDMETHODIMP SetParam(VARIANT paramName, VARIANT paramValue) override;
    STDMETHODIMP put_PhoneComponent(IUnknown*) override { return E_NOTIMPL; }
    // Not known: the sign, to a job, that this engine is the program's own.
    STDMETHODIMP get_IsKnownConfiguration(VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetLastError(VARIANT*) override { return E_NOTIMPL; }

private:
    // Index of the first stored name equal to `name`, or -1.
    ptrdiff_t Find(const VARIANT& name) const;

    CFreeThreadedMarshaler m_marshaler;
    std::vector<std::unique_ptr<CVariant>> m_names;
    std::vector<std::unique_ptr<CVariant>> m_values;
};
