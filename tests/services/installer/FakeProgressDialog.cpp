#include "FakeProgressDialog.h"

// The headers declare the interface without its id for __uuidof.
__CRT_UUID_DECL(IProgressDialog, 0xEBBC7C04, 0x315E, 0x11D2, 0xB6, 0x2F, 0x00, 0x60, 0x97, 0xDF, 0x5B, 0xD4)

namespace
{
const CLSID kProgressDialogClass = {0xF8383852, 0xFCD3, 0x11D1, {0xA6, 0xB9, 0x00, 0x60, 0x97, 0xDF, 0x5B, 0xD4}};

class CFakeDialog : public IProgressDialog, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CFakeDialog)
    COM_INTERFACE_ENTRY(IProgressDialog)
    END_COM_MAP()

    explicit CFakeDialog(ProgressRecord& record) : m_record(record) { ++m_record.liveObjects; }
    ~CFakeDialog() { --m_record.liveObjects; }

    STDMETHOD(StartProgressDialog)(HWND, IUnknown*, DWORD flags, LPCVOID) override
    {
        ++m_record.starts;
        m_record.startFlags = flags;
        return m_record.startResult;
    }
    STDMETHOD(StopProgressDialog)() override
    {
        ++m_record.stops;
        return S_OK;
    }
    STDMETHOD(SetTitle)(PCWSTR title) override
    {
        m_record.title = title ? title : L"";
        return S_OK;
    }
    STDMETHOD(SetAnimation)(HINSTANCE, UINT id) override
    {
        m_record.animation = id;
        return S_OK;
    }
    STDMETHOD_(BOOL, HasUserCancelled)() override
    {
        return m_record.cancelAfter >= 0 && m_record.cancelQueries++ >= m_record.cancelAfter;
    }
    STDMETHOD(SetProgress)(DWORD completed, DWORD total) override { return SetProgress64(completed, total); }
    STDMETHOD(SetProgress64)(ULONGLONG completed, ULONGLONG total) override
    {
        m_record.completed = completed;
        m_record.total = total;
        return S_OK;
    }
    STDMETHOD(SetLine)(DWORD line, PCWSTR text, BOOL compact, LPCVOID) override
    {
        m_record.lines[line] = text ? text : L"";
        if (compact && line == 2)
            m_record.compactedLines.push_back(m_record.lines[line]);
        return S_OK;
    }
    STDMETHOD(SetCancelMsg)(PCWSTR, LPCVOID) override { return S_OK; }
    STDMETHOD(Timer)(DWORD, LPCVOID) override { return S_OK; }

private:
    ProgressRecord& m_record;
};

class CFakeFactory : public IClassFactory, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CFakeFactory)
    COM_INTERFACE_ENTRY(IClassFactory)
    END_COM_MAP()

    explicit CFakeFactory(ProgressRecord& record) : m_record(record) {}

    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** out) override
    {
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (FAILED(m_record.createResult))
            return m_record.createResult;
        CComObject<CFakeDialog>* dialog = nullptr;
        HRESULT hr = CComObject<CFakeDialog>::CreateInstance(&dialog, m_record);
        if (FAILED(hr))
            return hr;
        ComPtr<IUnknown> hold(static_cast<IProgressDialog*>(dialog));
        return dialog->QueryInterface(iid, out);
    }
    STDMETHOD(LockServer)(BOOL) override { return S_OK; }

private:
    ProgressRecord& m_record;
};
} // namespace

CFakeProgressDialogClass::CFakeProgressDialogClass(ProgressRecord& record)
{
    CComObject<CFakeFactory>* factory = nullptr;
    if (FAILED(CComObject<CFakeFactory>::CreateInstance(&factory, record)))
        return;
    m_factory = factory;
    if (FAILED(CoRegisterClassObject(kProgressDialogClass, m_factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                     &m_cookie)))
        m_cookie = 0;
}

CFakeProgressDialogClass::~CFakeProgressDialogClass()
{
    if (m_cookie)
        CoRevokeClassObject(m_cookie);
}
