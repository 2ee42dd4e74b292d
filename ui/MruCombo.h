// Combo boxes that edit a setting: the drop-down list is the setting's
// most-recently-used list, newest first.
#pragma once
#include "platform/WindowImpl.h"
#include "ui/Controls.h"
#include "ui/DropFiles.h"
#include "ui/MruList.h"

// The window-side steps of the list, for any combo box window.
void UpdateMruCombo(HWND combo, const CMruList& list);
BOOL AddMruComboText(HWND combo, CMruList& list, const wchar_t* text);
BOOL WriteMruCombo(HWND combo, const CMruList& list, const wchar_t* base, const wchar_t* subkey);
BOOL SetComboAutoComplete(HWND combo, DWORD flags);

template <class T, class TBase = CComboBox, class TWinTraits = CControlWinTraits>
class CMruComboImpl : public CWindowImpl<T, TBase, TWinTraits>
{
public:
    DECLARE_WND_SUPERCLASS(nullptr, TBase::GetWndClassName())

    DWORD GetCapacity() const { return m_list.GetCapacity(); }
    void SetCapacity(DWORD capacity) { m_list.SetCapacity(capacity); }
    const CMruList& GetList() const { return m_list; }

    // Loads the list and refills the drop-down list; FALSE (list unchanged)
    // when the setting's key or its "DocumentCount" is missing.
    BOOL ReadFromRegistry(const wchar_t* base, const wchar_t* subkey)
    {
        if (!m_list.Read(base, subkey))
            return FALSE;
        UpdateCombo();
        return TRUE;
    }
    BOOL WriteToRegistry(const wchar_t* base, const wchar_t* subkey)
    {
        return WriteMruCombo(this->m_hWnd, m_list, base, subkey);
    }
    // Puts `text`, or with null the combo's own text, on top of the list.
    BOOL AddToList(const wchar_t* text = nullptr) { return AddMruComboText(this->m_hWnd, m_list, text); }
    void UpdateCombo() { UpdateMruCombo(this->m_hWnd, m_list); }
    BOOL SetAutoComplete(DWORD flags) { return SetComboAutoComplete(this->m_hWnd, flags); }

protected:
    CMruList m_list;
};

// The image-folder combo of the main window; its owner names the setting.
class CMruComboCtrl
    : public CMruComboImpl<CMruComboCtrl, CComboBox,
                           CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | CBS_DROPDOWN>>
{
public:
    BEGIN_MSG_MAP(CMruComboCtrl)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    END_MSG_MAP()

    LRESULT OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
};

// A combo of the Advanced dialog: bound to one setting, it loads its list
// when it starts, takes a dropped file's path as its text, and stores its
// text as the setting's newest entry when it is destroyed, whether its
// dialog ended with OK or Cancel.
class CAdvancedMruComboCtrl
    : public CMruComboImpl<CAdvancedMruComboCtrl, CComboBox,
                           CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN>>,
      public CDropFilesHandler<CAdvancedMruComboCtrl>
{
public:
    explicit CAdvancedMruComboCtrl(const wchar_t* subkey) : m_subkey(subkey) {}

    BEGIN_MSG_MAP(CAdvancedMruComboCtrl)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    CHAIN_MSG_MAP(CDropFilesHandler<CAdvancedMruComboCtrl>)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    // Capacity 6, folder auto-completion, the history from the registry.
    void Init();
    LRESULT OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    // The first dropped path that exists becomes the text; the walk stops there.
    BOOL OnDropFile(UINT index, const wchar_t* path);

private:
    std::wstring m_subkey;
};
