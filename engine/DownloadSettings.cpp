#include "engine/DownloadSettings.h"

#include <new>

HRESULT CDownloadSettings::FinalConstruct()
{
    return m_marshaler.Aggregate(GetControllingUnknown());
}

IUnknown* CDownloadSettings::GetControllingUnknown()
{
    return m_outerUnknown ? m_outerUnknown : static_cast<IDownloadSettings*>(this);
}

ptrdiff_t CDownloadSettings::Find(const VARIANT& name) const
{
    for (size_t i = 0; i < m_names.size(); ++i)
    {
        const VARIANT& stored = *m_names[i];
        if (V_VT(&stored) != V_VT(&name))
            continue;
        // Case-sensitive: no flags.
        if (V_VT(&name) == VT_NULL ||
            VarCmp(const_cast<VARIANT*>(&stored), const_cast<VARIANT*>(&name), LOCALE_USER_DEFAULT, 0) == VARCMP_EQ)
            return static_cast<ptrdiff_t>(i);
    }
    return -1;
}

STDMETHODIMP CDownloadSettings::get_GetParam(VARIANT paramName, VARIANT* pVal)
{
    if (!pVal)
        return E_POINTER;
    ptrdiff_t index = Find(paramName);
    if (index < 0)
        return E_INVALIDARG;
    return VariantCopy(pVal, m_values[static_cast<size_t>(index)].get());
}

STDMETHODIMP CDownloadSettings::SetParam(VARIANT paramName, VARIANT paramValue)
{
    try
    {
        auto name = std::make_unique<CVariant>();
        auto value = std::make_unique<CVariant>();
        HRESULT hr = VariantCopy(name.get(), &paramName);
        if (SUCCEEDED(hr))
            hr = VariantCopy(value.get(), &paramValue);
        if (FAILED(hr))
            return hr;
        ptrdiff_t index = Find(paramName);
        if (index >= 0)
        {
            m_names[static_cast<size_t>(index)] = std::move(name);
            m_values[static_cast<size_t>(index)] = std::move(value);
            return S_OK;
        }
        m_names.reserve(m_names.size() + 1);
        m_values.reserve(m_values.size() + 1);
        m_names.push_back(std::move(name));
        m_values.push_back(std::move(value));
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}
