#include "ui/AdvancedDlg.h"

#include <commdlg.h>

#include <vector>

namespace
{
// The combos' ids: 1012, 1014, ..., 1026.
int ComboId(int index)
{
    return IDC_FTBOOT_SCRIPT + 2 * index;
}

bool PickFile(HWND owner, const std::wstring& initial, std::wstring& chosen)
{
    wchar_t file[MAX_PATH] = {};
    wcsncpy(file, initial.c_str(), MAX_PATH - 1);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_EXPLORER | OFN_ENABLESIZING;
    if (!GetOpenFileNameW(&ofn))
        return false;
    chosen = file;
    return true;
}
} // namespace

CAdvancedDlg::FilePicker CAdvancedDlg::s_pickFile = PickFile;

LRESULT CAdvancedDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    DoDataExchange(FALSE);
    CenterWindow(GetParent());
    if (CMessageLoop* loop = GetThreadMessageLoop())
        loop->AddIdleHandler(this);
    return TRUE;
}

LRESULT CAdvancedDlg::OnDestroy(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    if (CMessageLoop* loop = GetThreadMessageLoop())
        loop->RemoveIdleHandler(this);
    bHandled = FALSE;
    return 0;
}

BOOL CAdvancedDlg::DoDataExchange(BOOL save)
{
    if (!save)
    {
        for (int i = 0; i < kFieldCount; ++i)
        {
            if (!m_combos[i].m_hWnd && m_combos[i].SubclassWindow(GetDlgItem(ComboId(i))))
                m_combos[i].Init();
        }
    }
    for (int i = 0; i < kFieldCount; ++i)
    {
        const int id = ComboId(i);
        const Field& field = m_fields[i];
        bool ok = true;
        if (!save)
        {
            ok = ::SetDlgItemTextW(m_hWnd, id, field.text) != FALSE;
        }
        else
        {
            HWND control = GetDlgItem(id);
            const int length = ::GetWindowTextLengthW(control);
            const int copied = ::GetWindowTextW(control, field.text, field.chars);
            ok = copied >= length;
        }
        if (!ok)
        {
            ::MessageBeep(0xFFFFFFFF);
            ::SetFocus(GetDlgItem(id));
            return FALSE;
        }
    }
    return TRUE;
}

LRESULT CAdvancedDlg::OnOK(WORD, WORD, HWND, BOOL&)
{
    DoDataExchange(TRUE);
    EndDialog(0);
    return 0;
}

LRESULT CAdvancedDlg::OnCancel(WORD, WORD, HWND, BOOL&)
{
    EndDialog(0);
    return 0;
}

LRESULT CAdvancedDlg::OnBrowse(WORD, WORD id, HWND, BOOL& bHandled)
{
    if ((id - IDC_FTBOOT_SCRIPT) % 2 == 0) // a combo's own notification
    {
        bHandled = FALSE;
        return 0;
    }
    HWND combo = GetDlgItem(id - 1);
    std::vector<wchar_t> text(static_cast<size_t>(::GetWindowTextLengthW(combo)) + 1);
    ::GetWindowTextW(combo, text.data(), static_cast<int>(text.size()));
    std::wstring initial(text.data());
    if (initial.size() > MAX_PATH - 1)
        initial.resize(MAX_PATH - 1);
    std::wstring chosen;
    if (s_pickFile(::GetActiveWindow(), initial, chosen))
        ::SetWindowTextW(combo, chosen.c_str());
    return 0;
}
