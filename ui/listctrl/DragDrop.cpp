#include "ui/listctrl/DragDrop.h"
#include <cstring>
#include <cwchar>

namespace
{

// A copy of a medium that the receiver releases on its own: the data is
// duplicated (or the stream or storage counted again), so the copy has no
// release owner.
HRESULT CopyMedium(const STGMEDIUM& from, CLIPFORMAT format, STGMEDIUM& to)
{
    to = STGMEDIUM{};
    to.tymed = from.tymed;
    switch (from.tymed)
    {
    case TYMED_HGLOBAL:
    case TYMED_GDI:
    case TYMED_MFPICT:
    case TYMED_ENHMF:
        to.hGlobal = static_cast<HGLOBAL>(::OleDuplicateData(from.hGlobal, format, 0));
        if (!to.hGlobal)
            return to.tymed = TYMED_NULL, E_OUTOFMEMORY;
        break;
    case TYMED_FILE:
    {
        // A file name is task memory, not a global block.
        size_t bytes = ((from.lpszFileName ? std::wcslen(from.lpszFileName) : 0) + 1) * sizeof(WCHAR);
        to.lpszFileName = static_cast<LPOLESTR>(::CoTaskMemAlloc(bytes));
        if (!to.lpszFileName)
            return to.tymed = TYMED_NULL, E_OUTOFMEMORY;
        std::memcpy(to.lpszFileName, from.lpszFileName ? from.lpszFileName : L"", bytes);
        break;
    }
    case TYMED_ISTREAM:
        to.pstm = from.pstm;
        if (to.pstm)
            to.pstm->AddRef();
        break;
    case TYMED_ISTORAGE:
        to.pstg = from.pstg;
        if (to.pstg)
            to.pstg->AddRef();
        break;
    default:
        break;
    }
    return S_OK;
}

} // namespace

// ---- CDropSource -------------------------------------------------------

HRESULT CDropSource::QueryContinueDrag(BOOL escapePressed, DWORD keys)
{
    if (escapePressed)
        return DRAGDROP_S_CANCEL;
    if (!(keys & (MK_LBUTTON | MK_RBUTTON)))
        return DRAGDROP_S_DROP;
    return S_OK;
}

HRESULT CDropSource::GiveFeedback(DWORD)
{
    return DRAGDROP_S_USEDEFAULTCURSORS;
}

// ---- CDataObject -------------------------------------------------------

CDataObject::CDataObject(CDropSource* dropSource)
    : m_dropSource(dropSource), m_swappedButtons(::GetSystemMetrics(SM_SWAPBUTTON))
{
}

CDataObject::~CDataObject()
{
    for (STGMEDIUM& medium : m_media)
        ::ReleaseStgMedium(&medium);
}

HRESULT CDataObject::GetData(FORMATETC* format, STGMEDIUM* medium)
{
    if (!format || !medium)
        return E_INVALIDARG;
    *medium = STGMEDIUM{};
    for (size_t i = 0; i < m_formats.size(); ++i)
    {
        const FORMATETC& stored = m_formats[i];
        if (stored.cfFormat != format->cfFormat || stored.dwAspect != format->dwAspect ||
            !(stored.tymed & format->tymed))
            continue;
        if (m_media[i].tymed != TYMED_NULL)
            return CopyMedium(m_media[i], stored.cfFormat, *medium);
        BOOL dropped = !(::GetAsyncKeyState(m_swappedButtons ? VK_RBUTTON : VK_LBUTTON) & 0x8000);
        return OnRenderData(*format, *medium, dropped) ? S_OK : DV_E_FORMATETC;
    }
    return DV_E_FORMATETC;
}

HRESULT CDataObject::GetDataHere(FORMATETC*, STGMEDIUM*)
{
    return E_NOTIMPL;
}

HRESULT CDataObject::QueryGetData(FORMATETC* format)
{
    if (!format)
        return E_INVALIDARG;
    if (!(format->dwAspect & DVASPECT_CONTENT))
        return DV_E_DVASPECT;
    if (m_formats.empty())
        return DV_E_TYMED;
    for (const FORMATETC& stored : m_formats)
        if ((stored.tymed & format->tymed) && stored.cfFormat == format->cfFormat)
            return S_OK;
    return (m_formats.back().tymed & format->tymed) ? DV_E_CLIPFORMAT : DV_E_TYMED;
}

HRESULT CDataObject::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out)
{
    if (!out)
        return E_INVALIDARG;
    out->ptd = nullptr;
    return DATA_S_SAMEFORMATETC;
}

HRESULT CDataObject::SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release)
{
    if (!format || !medium)
        return E_INVALIDARG;
    // Formats are kept without a target device: the enumerator hands out
    // its pointer as it is.
    if (format->ptd)
        return DV_E_DVTARGETDEVICE;
    STGMEDIUM kept = *medium;
    if (!release)
    {
        HRESULT hr = CopyMedium(*medium, format->cfFormat, kept);
        if (FAILED(hr))
            return hr;
    }
    // New data for a format already held replaces the old (the shell's drag
    // image sets its formats again on every drag).
    for (size_t i = 0; i < m_formats.size(); ++i)
    {
        if (m_formats[i].cfFormat == format->cfFormat && m_formats[i].dwAspect == format->dwAspect &&
            m_formats[i].lindex == format->lindex)
        {
            ::ReleaseStgMedium(&m_media[i]);
            m_formats[i] = *format;
            m_media[i] = kept;
            return S_OK;
        }
    }
    try
    {
        m_formats.push_back(*format);
        try
        {
            m_media.push_back(kept);
        }
        catch (...)
        {
            m_formats.pop_back();
            throw;
        }
    }
    catch (const std::bad_alloc&)
    {
        if (!release)
            ::ReleaseStgMedium(&kept);
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CDataObject::EnumFormatEtc(DWORD direction, IEnumFORMATETC** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (direction != DATADIR_GET)
        return E_NOTIMPL;
    CComObject<CEnumFormatEtc>* formats = nullptr;
    HRESULT hr = E_OUTOFMEMORY;
    try
    {
        hr = CComObject<CEnumFormatEtc>::CreateInstance(&formats, m_formats);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr))
        return hr;
    formats->AddRef();
    *out = formats;
    return S_OK;
}

HRESULT CDataObject::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*)
{
    return OLE_E_ADVISENOTSUPPORTED;
}
HRESULT CDataObject::DUnadvise(DWORD)
{
    return E_NOTIMPL;
}
HRESULT CDataObject::EnumDAdvise(IEnumSTATDATA**)
{
    return OLE_E_ADVISENOTSUPPORTED;
}

BOOL CDataObject::OnRenderData(const FORMATETC&, STGMEDIUM&, BOOL)
{
    return FALSE;
}

// ---- CEnumFormatEtc ----------------------------------------------------

CEnumFormatEtc::CEnumFormatEtc(std::vector<FORMATETC> formats, int position)
    : m_position(position), m_formats(std::move(formats))
{
}

HRESULT CEnumFormatEtc::Next(ULONG count, FORMATETC* formats, ULONG* fetched)
{
    if (fetched)
        *fetched = 0;
    const auto size = static_cast<int>(m_formats.size());
    if (count == 0 || !formats || m_position >= size || (!fetched && count != 1))
        return S_FALSE;
    ULONG copied = 0;
    while (copied < count && m_position < size)
        formats[copied++] = m_formats[static_cast<size_t>(m_position++)];
    if (fetched)
        *fetched = copied;
    return copied == count ? S_OK : S_FALSE;
}

HRESULT CEnumFormatEtc::Skip(ULONG count)
{
    if (static_cast<long long>(m_position) + count >= static_cast<long long>(m_formats.size()))
        return S_FALSE;
    m_position += static_cast<int>(count);
    return S_OK;
}

HRESULT CEnumFormatEtc::Reset()
{
    m_position = 0;
    return S_OK;
}

HRESULT CEnumFormatEtc::Clone(IEnumFORMATETC** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    CComObject<CEnumFormatEtc>* copy = nullptr;
    HRESULT hr = E_OUTOFMEMORY;
    try
    {
        hr = CComObject<CEnumFormatEtc>::CreateInstance(&copy, m_formats, m_position);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr))
        return hr;
    copy->AddRef();
    *out = copy;
    return S_OK;
}

// ---- CDropTarget -------------------------------------------------------

CDropTarget::CDropTarget(HWND target) : m_target(target)
{
    if (FAILED(::CoCreateInstance(CLSID_DragDropHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IDropTargetHelper,
                                  reinterpret_cast<void**>(m_helper.GetAddressOf()))))
        m_helper.Reset();
}

CDropTarget::~CDropTarget()
{
    Forget();
}

BOOL CDropTarget::AddFormat(CLIPFORMAT format)
{
    try
    {
        m_formats.push_back(FORMATETC{format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL});
    }
    catch (const std::bad_alloc&)
    {
        return FALSE;
    }
    return TRUE;
}

DWORD CDropTarget::EffectFromKeys(BOOL accepted, DWORD keys, DWORD allowed)
{
    if (!accepted)
        return DROPEFFECT_NONE;
    const bool control = keys & MK_CONTROL, shift = keys & MK_SHIFT;
    if (control || shift)
    {
        DWORD chosen = control && shift ? DROPEFFECT_LINK : control ? DROPEFFECT_COPY : DROPEFFECT_MOVE;
        return (allowed & chosen) ? chosen : DROPEFFECT_NONE;
    }
    for (DWORD effect : {DROPEFFECT_COPY, DROPEFFECT_MOVE, DROPEFFECT_LINK})
        if (allowed & effect)
            return effect;
    return DROPEFFECT_NONE;
}

void CDropTarget::Forget()
{
    if (m_medium.tymed != TYMED_NULL)
        ::ReleaseStgMedium(&m_medium);
    m_medium = STGMEDIUM{};
    m_format = FORMATETC{};
    m_accepted = FALSE;
}

POINT CDropTarget::ClientPoint(POINTL point) const
{
    POINT client{point.x, point.y};
    ::ScreenToClient(m_target, &client);
    return client;
}

HRESULT CDropTarget::DragEnter(IDataObject* data, DWORD keys, POINTL point, DWORD* effect)
{
    if (!data || !effect)
        return E_INVALIDARG;
    POINT screen{point.x, point.y};
    if (m_helper)
        m_helper->DragEnter(m_target, data, &screen, *effect);
    Forget();
    for (FORMATETC& format : m_formats)
    {
        FORMATETC wanted = format;
        STGMEDIUM medium{};
        if (SUCCEEDED(data->GetData(&wanted, &medium)))
        {
            m_accepted = TRUE;
            m_format = format;
            m_medium = medium;
            break;
        }
    }
    DWORD allowed = *effect;
    if (m_accepted)
        allowed = OnDragEnter(m_format, m_medium, keys, ClientPoint(point));
    *effect = EffectFromKeys(m_accepted, keys, allowed);
    return S_OK;
}

HRESULT CDropTarget::DragOver(DWORD keys, POINTL point, DWORD* effect)
{
    if (!effect)
        return E_INVALIDARG;
    POINT screen{point.x, point.y};
    if (m_helper)
        m_helper->DragOver(&screen, *effect);
    DWORD allowed = *effect;
    if (m_accepted && m_format.cfFormat && m_medium.tymed != TYMED_NULL)
        allowed = OnDragOver(m_format, m_medium, keys, ClientPoint(point));
    *effect = EffectFromKeys(m_accepted, keys, allowed);
    return S_OK;
}

HRESULT CDropTarget::DragLeave()
{
    if (m_helper)
        m_helper->DragLeave();
    OnDragLeave();
    Forget();
    return S_OK;
}

HRESULT CDropTarget::Drop(IDataObject* data, DWORD keys, POINTL point, DWORD* effect)
{
    if (!data || !effect)
        return E_INVALIDARG;
    POINT screen{point.x, point.y};
    if (m_helper)
        m_helper->Drop(data, &screen, *effect);
    DWORD chosen = EffectFromKeys(m_accepted && m_format.cfFormat, keys, *effect);
    if (chosen != DROPEFFECT_NONE)
    {
        FORMATETC format = m_format;
        STGMEDIUM fresh{};
        if (SUCCEEDED(data->GetData(&format, &fresh)))
        {
            if (!OnDrop(format, fresh, chosen, ClientPoint(point)))
                chosen = DROPEFFECT_NONE;
            ::ReleaseStgMedium(&fresh);
        }
        else
        {
            chosen = DROPEFFECT_NONE;
        }
    }
    *effect = chosen;
    Forget();
    return S_OK;
}

DWORD CDropTarget::OnDragEnter(FORMATETC&, STGMEDIUM&, DWORD, POINT)
{
    return DROPEFFECT_NONE;
}
DWORD CDropTarget::OnDragOver(FORMATETC&, STGMEDIUM&, DWORD, POINT)
{
    return DROPEFFECT_NONE;
}
BOOL CDropTarget::OnDrop(FORMATETC&, STGMEDIUM&, DWORD, POINT)
{
    return FALSE;
}
void CDropTarget::OnDragLeave() {}
