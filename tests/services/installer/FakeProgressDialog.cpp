#include "FakeProgressDialog.h"

namespace
{
const CLSID kProgressDialogClass = {
    0xF8383852, 0xFCD3, 0x11D1, {0xA6, 0xB9, 0x00, 0x60, 0x97, 0xDF, 0x5B, 0xD4}};

// IUnknown of an object with one interface, deleted with its last reference.
template <class I>
class CSingleInterface : public I
{
public:
    explicit CSingleInterface(const IID& iid) : m_iid(iid) {}
    virtual ~CSingleInterface() = default;

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == m_iid)
        {
            *out = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++m_refs; }
    STDMETHOD_(ULONG, Release)() override
    {
        ULONG refs = --m_refs;
        if (!refs)
            delete this;
        return refs;
    }

private:
    const IID& m_iid;
    ULONG m_refs = 1;
};

class CFakeDialog final : public CSingleInterface<IProgressDialog>
{
public:
    explicit CFakeDialog(ProgressRecord& record)
        : CSingleInterface(IID_IProgressDialog), m_record(record)
    {
        ++m_record.liveObjects;
    }
    ~CFakeDialog() override { --m_record.liveObjects; }

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

class CFakeFactory final : public CSingleInterface<IClassFactory>
{
public:
    explicit CFakeFactory(ProgressRecord& record) : CSingleInterface(IID_IClassFactory), m_record(record) {}

    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** out) override
    {
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (FAILED(m_record.createResult))
            return m_record.createResult;
        CFakeDialog* dialog = new CFakeDialog(m_record);
        HRESULT hr = dialog->QueryInterface(iid, out);
        dialog->Release();
        return hr;
    }
    STDMETHOD(LockServer)(BOOL) override { return S_OK; }

private:
    ProgressRecord& m_record;
};
} // namespace

CFakeProgressDialogClass::CFakeProgressDialogClass(ProgressRecord& record)
    : m_factory(new CFakeFactory(record))
{
    if (FAILED(CoRegisterClassObject(kProgressDialogClass, m_factory, CLSCTX_INPROC_SERVER,
                                     REGCLS_MULTIPLEUSE, &m_cookie)))
        m_cookie = 0;
}

CFakeProgressDialogClass::~CFakeProgressDialogClass()
{
    if (m_cookie)
        CoRevokeClassObject(m_cookie);
    m_factory->Release();
}
