#include "services/ShellProgress.h"

#include "services/Log.h"

// The shell's progress dialog class and interface; spelled out here because
// not every SDK's import library carries them.
static const CLSID kProgressDialogClass = {
    0xF8383852, 0xFCD3, 0x11D1, {0xA6, 0xB9, 0x00, 0x60, 0x97, 0xDF, 0x5B, 0xD4}};
static const IID kProgressDialogInterface = {
    0xEBBC7C04, 0x315E, 0x11D2, {0xB6, 0x2F, 0x00, 0x60, 0x97, 0xDF, 0x5B, 0xD4}};

CSHProgressWnd::CSHProgressWnd()
{
    HRESULT hr =
        LogError(CoCreateInstance(kProgressDialogClass, nullptr, CLSCTX_INPROC_SERVER, kProgressDialogInterface,
                                  reinterpret_cast<void**>(m_dialog.GetAddressOf())),
                 L"CSHProgressWnd::CSHProgressWnd", 58);
    m_created = SUCCEEDED(hr) && m_dialog;
    if (!m_created)
        m_dialog.Reset();
}

CSHProgressWnd::~CSHProgressWnd()
{
    if (m_created)
        Close();
}

void CSHProgressWnd::ShowTime(bool show)
{
    m_flags &= ~static_cast<DWORD>(PROGDLG_AUTOTIME | PROGDLG_NOTIME);
    m_flags |= show ? PROGDLG_AUTOTIME : PROGDLG_NOTIME;
}

void CSHProgressWnd::ShowMinimize(bool show)
{
    if (show)
        m_flags &= ~static_cast<DWORD>(PROGDLG_NOMINIMIZE);
    else
        m_flags |= PROGDLG_NOMINIMIZE;
}

void CSHProgressWnd::ShowProgressBar(bool show)
{
    if (show)
        m_flags &= ~static_cast<DWORD>(PROGDLG_NOPROGRESSBAR);
    else
        m_flags |= PROGDLG_NOPROGRESSBAR;
}

void CSHProgressWnd::SetTitle(const wchar_t* text)
{
    if (m_created)
        m_dialog->SetTitle(text);
}

void CSHProgressWnd::SetAnimation(UINT resourceId)
{
    if (m_created)
        m_dialog->SetAnimation(GetModuleHandleW(nullptr), resourceId);
}

HRESULT CSHProgressWnd::ShowModeless(HWND parent)
{
    if (!m_created)
        return E_POINTER;
    HRESULT hr = LogError(m_dialog->StartProgressDialog(parent, nullptr, m_flags, nullptr),
                          L"CSHProgressWnd::ShowModeless", 193);
    if (SUCCEEDED(hr))
        m_shown = true;
    return hr;
}

void CSHProgressWnd::SetLine(DWORD line, const wchar_t* text, bool compactPath)
{
    if (m_created)
        m_dialog->SetLine(line, text, compactPath ? TRUE : FALSE, nullptr);
}

void CSHProgressWnd::SetRange(ULONGLONG completed, ULONGLONG total)
{
    m_total = total;
    SetPos(completed);
}

void CSHProgressWnd::SetPos(ULONGLONG completed)
{
    if (m_created)
        m_dialog->SetProgress64(completed, m_total);
}

bool CSHProgressWnd::IsCancelled()
{
    return m_created && m_dialog->HasUserCancelled();
}

void CSHProgressWnd::Close()
{
    if (m_created && m_shown)
    {
        m_dialog->StopProgressDialog();
        m_shown = false;
    }
}
