#include "ui/MruCombo.h"

#include <shlwapi.h>

void UpdateMruCombo(HWND combo, const CMruList& list)
{
    CComboBox box(combo);
    while (box.GetCount() > 0)
        box.DeleteString(0);
    for (int i = list.GetCount() - 1; i >= 0; --i)
        box.AddString(list.GetEntry(i));
}

BOOL AddMruComboText(HWND combo, CMruList& list, const wchar_t* text)
{
    wchar_t windowText[kMruEntryChars];
    if (!text)
    {
        if (::GetWindowTextLengthW(combo) >= static_cast<int>(kMruEntryChars))
            return FALSE;
        windowText[0] = L'\0';
        ::GetWindowTextW(combo, windowText, static_cast<int>(kMruEntryChars));
        text = windowText;
    }
    if (!list.Add(text))
        return FALSE;
    UpdateMruCombo(combo, list);
    return TRUE;
}

BOOL WriteMruCombo(HWND combo, const CMruList& list, const wchar_t* base, const wchar_t* subkey)
{
    const CComboBox box(combo);
    return list.Write(base, subkey, [&box](int item, std::wstring& text) { return box.GetLBText(item, text); });
}

BOOL SetComboAutoComplete(HWND combo, DWORD flags)
{
    HWND edit = CComboBox(combo).GetEditCtrl();
    return edit && SUCCEEDED(::SHAutoComplete(edit, flags));
}

LRESULT CMruComboCtrl::OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const LRESULT result = DefWindowProc(uMsg, wParam, lParam);
    SetCapacity(kDefaultMruCapacity);
    return result;
}

void CAdvancedMruComboCtrl::Init()
{
    SetCapacity(kDefaultMruCapacity);
    SetAutoComplete(SHACF_FILESYS_DIRS);
    ReadFromRegistry(kSettingsKey, m_subkey.c_str());
}

LRESULT CAdvancedMruComboCtrl::OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const LRESULT result = DefWindowProc(uMsg, wParam, lParam);
    Init();
    return result;
}

LRESULT CAdvancedMruComboCtrl::OnDestroy(UINT, WPARAM, LPARAM, BOOL&)
{
    AddToList(nullptr);
    WriteToRegistry(kSettingsKey, m_subkey.c_str());
    return 0;
}

BOOL CAdvancedMruComboCtrl::OnDropFile(UINT, const wchar_t* path)
{
    if (!*path || !::PathFileExistsW(path))
        return TRUE;
    SetWindowText(path);
    return FALSE;
}
