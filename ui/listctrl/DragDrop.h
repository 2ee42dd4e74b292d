// OLE drag and drop for the list's header: the list is at the same time
// the drag source and the drop target. The drop source, the data object
// with its format enumerator and the drop target are plain COM objects on
// the user-interface thread; CDataObjectT and CDropTargetT bind the data
// object and the target to the list that renders and receives the data.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <shlobj.h>
#include <shlguid.h> // CLSID_DragDropHelper: the shell's drag-image service
#include <new>
#include <vector>

#include "platform/ComObject.h"
#include "platform/Handles.h"

class CDropSource : public IDropSource, public CComObjectRoot
{
public:
    // Lives inside the list's window, which holds the server module while it
    // exists: closing the main window waits for outside clients, not for this.
    static constexpr bool kLocksModule = false;

    BEGIN_COM_MAP(CDropSource)
    COM_INTERFACE_ENTRY(IDropSource)
    END_COM_MAP()

    HRESULT STDMETHODCALLTYPE QueryContinueDrag(BOOL escapePressed, DWORD keys) override;
    HRESULT STDMETHODCALLTYPE GiveFeedback(DWORD effect) override;
    virtual ~CDropSource() = default;
};

class CDataObject : public IDataObject, public CComObjectRoot
{
public:
    explicit CDataObject(CDropSource* dropSource);

    static constexpr bool kLocksModule = false; // as CDropSource

    BEGIN_COM_MAP(CDataObject)
    COM_INTERFACE_ENTRY(IDataObject)
    END_COM_MAP()

    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** out) override;
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override;
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override;
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override;
    virtual ~CDataObject();

    // Fills medium for a format offered without data; FALSE when it cannot.
    // dropped: the primary mouse button is up.
    virtual BOOL OnRenderData(const FORMATETC& format, STGMEDIUM& medium, BOOL dropped);

protected:
    CDropSource* m_dropSource;
    BOOL m_swappedButtons;
    std::vector<FORMATETC> m_formats;
    std::vector<STGMEDIUM> m_media; // TYMED_NULL: rendered when asked for
};

class CEnumFormatEtc : public IEnumFORMATETC, public CComObjectRoot
{
public:
    CEnumFormatEtc(std::vector<FORMATETC> formats, int position = 0);

    BEGIN_COM_MAP(CEnumFormatEtc)
    COM_INTERFACE_ENTRY(IEnumFORMATETC)
    END_COM_MAP()

    HRESULT STDMETHODCALLTYPE Next(ULONG count, FORMATETC* formats, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumFORMATETC** out) override;
    virtual ~CEnumFormatEtc() = default;

private:
    int m_position;
    std::vector<FORMATETC> m_formats;
};

class CDropTarget : public IDropTarget, public CComObjectRoot
{
public:
    explicit CDropTarget(HWND target);

    static constexpr bool kLocksModule = false; // as CDropSource

    BEGIN_COM_MAP(CDropTarget)
    COM_INTERFACE_ENTRY(IDropTarget)
    END_COM_MAP()

    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragOver(DWORD keys, POINTL point, DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragLeave() override;
    HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;
    virtual ~CDropTarget();

    // The effects the receiver allows for the accepted data at a client point.
    virtual DWORD OnDragEnter(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point);
    virtual DWORD OnDragOver(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point);
    virtual BOOL OnDrop(FORMATETC& format, STGMEDIUM& medium, DWORD effect, POINT point);
    virtual void OnDragLeave();

    // Accepts a clipboard format (HGLOBAL, content), after those added before.
    BOOL AddFormat(CLIPFORMAT format);

    // The effect that the modifier keys pick from the allowed ones.
    static DWORD EffectFromKeys(BOOL accepted, DWORD keys, DWORD allowed);

protected:
    void Forget();
    POINT ClientPoint(POINTL point) const;

    HWND m_target;
    ComPtr<IDropTargetHelper> m_helper;
    std::vector<FORMATETC> m_formats;
    BOOL m_accepted = FALSE;
    FORMATETC m_format{};
    STGMEDIUM m_medium{};
};

// The list's data object: renders the list's header format.
template <class T> class CDataObjectT : public CDataObject
{
public:
    explicit CDataObjectT(CDropSource* dropSource) : CDataObject(dropSource) {}

    BOOL OnRenderData(const FORMATETC& format, STGMEDIUM& medium, BOOL) override
    {
        if (!m_list || format.cfFormat != m_list->GetHeaderClipboardFormat())
            return FALSE;
        HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, sizeof(HWND));
        if (!block)
            return FALSE;
        auto* window = static_cast<HWND*>(::GlobalLock(block));
        if (!window)
        {
            ::GlobalFree(block);
            return FALSE;
        }
        *window = m_list->m_hWnd;
        ::GlobalUnlock(block);
        medium.tymed = TYMED_HGLOBAL;
        medium.hGlobal = block;
        medium.pUnkForRelease = nullptr;
        return TRUE;
    }

    T* m_list = nullptr;
};

// The list's drop target: passes the accepted data on to the list.
template <class T> class CDropTargetT : public CDropTarget
{
public:
    CDropTargetT(HWND target, T* list) : CDropTarget(target), m_list(list) {}

    DWORD OnDragEnter(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point) override
    {
        return m_list ? m_list->OnDragEnter(format, medium, keys, point) : DROPEFFECT_NONE;
    }
    DWORD OnDragOver(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point) override
    {
        return m_list ? m_list->OnDragOver(format, medium, keys, point) : DROPEFFECT_NONE;
    }
    BOOL OnDrop(FORMATETC& format, STGMEDIUM& medium, DWORD effect, POINT point) override
    {
        return m_list ? m_list->OnDrop(format, medium, effect, point) : FALSE;
    }

    T* m_list;
};

// A window's drag and drop: its drop target and, for a drag source, the
// drop source and the data object it offers.
template <class T> class CDragDrop
{
public:
    CDragDrop() = default;
    CDragDrop(const CDragDrop&) = delete;
    CDragDrop& operator=(const CDragDrop&) = delete;

    ~CDragDrop()
    {
        Revoke();
        ReleaseSource();
    }

    // Registers the list's window as a drop target and, with source, makes
    // the drop source and data object. Objects of an earlier window go.
    BOOL Initialise(T* list, BOOL source)
    {
        Revoke();
        ReleaseSource();
        m_hWnd = list->m_hWnd;
        CComObject<CDropTargetT<T>>* target = nullptr;
        if (FAILED(CComObject<CDropTargetT<T>>::CreateInstance(&target, m_hWnd, list)))
            return FALSE;
        // The registration holds the target from here on.
        ComPtr<IDropTarget> held(target);
        if (FAILED(::RegisterDragDrop(m_hWnd, held.Get())))
            return FALSE;
        m_dropTarget = target;
        if (source)
        {
            CComObject<CDropSource>* dropSource = nullptr;
            if (SUCCEEDED(CComObject<CDropSource>::CreateInstance(&dropSource)))
                m_dropSource = dropSource;
            CComObject<CDataObjectT<T>>* dataObject = nullptr;
            if (m_dropSource &&
                SUCCEEDED(CComObject<CDataObjectT<T>>::CreateInstance(&dataObject, m_dropSource.Get())))
            {
                m_dataObject = dataObject;
                m_dataObject->m_list = list;
            }
        }
        return TRUE;
    }

    // Offers a format from the data object, rendered when asked for.
    BOOL AddSourceFormat(CLIPFORMAT format)
    {
        if (!m_dataObject)
            return FALSE;
        FORMATETC offered{format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM empty{};
        return SUCCEEDED(m_dataObject->SetData(&offered, &empty, TRUE));
    }

    BOOL AddTargetFormat(CLIPFORMAT format) { return m_dropTarget ? m_dropTarget->AddFormat(format) : FALSE; }

    // Runs the drag to its end. The drag image's bitmap, when there is one,
    // is handed over: the shell keeps it or it is deleted here.
    HRESULT DoDragDrop(SHDRAGIMAGE* image, DWORD allowed, DWORD* effect = nullptr)
    {
        DWORD done = DROPEFFECT_NONE;
        HRESULT hr = S_FALSE;
        CGdiObject<HBITMAP> bitmap(image ? image->hbmpDragImage : nullptr);
        ComPtr<IDragSourceHelper> helper;
        if (m_dataObject)
        {
            if (bitmap &&
                SUCCEEDED(::CoCreateInstance(CLSID_DragDropHelper, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_IDragSourceHelper,
                                             reinterpret_cast<void**>(helper.GetAddressOf()))) &&
                SUCCEEDED(helper->InitializeFromBitmap(image, m_dataObject.Get())))
                bitmap.Detach(); // the shell keeps it
            hr = ::DoDragDrop(m_dataObject.Get(), m_dropSource.Get(), allowed, &done);
        }
        if (effect)
            *effect = done;
        return hr;
    }

    // Ends the window's registration as a drop target (before the window goes).
    void Revoke()
    {
        if (m_dropTarget && m_hWnd)
            ::RevokeDragDrop(m_hWnd);
        m_dropTarget = nullptr;
    }

    HWND GetWindow() const { return m_dropTarget ? m_hWnd : nullptr; }
    CDropSource* GetDropSource() const { return m_dropSource.Get(); }
    CDataObjectT<T>* GetDataObject() const { return m_dataObject.Get(); }
    CDropTargetT<T>* GetDropTarget() const { return m_dropTarget; }

private:
    void ReleaseSource()
    {
        m_dataObject.Reset();
        m_dropSource.Reset();
    }

    ComPtr<CDropSource> m_dropSource;
    ComPtr<CDataObjectT<T>> m_dataObject;
    CDropTargetT<T>* m_dropTarget = nullptr; // held by the window's registration
    HWND m_hWnd = nullptr;
};
