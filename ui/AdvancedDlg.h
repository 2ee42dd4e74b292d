// The Advanced dialog: the eight file-name patterns of the settings record,
// each in a most-recently-used combo with a Browse button. OK copies the
// texts into the caller's record; Cancel leaves it as it was.
#pragma once
#include "platform/Dialog.h"
#include "platform/MessageLoop.h"
#include "ui/AdvancedResources.h"
#include "ui/MruCombo.h"

#include <iterator>

class CAdvancedDlg : public CDialogImpl<CAdvancedDlg>, public CIdleHandler
{
public:
    enum
    {
        IDD = IDD_ADVANCED
    };
    using CMruComboCtrl = CAdvancedMruComboCtrl;
    static constexpr int kFieldCount = 8;

    // One text of the record and its size in characters (NUL included).
    struct Field
    {
        wchar_t* text;
        int chars;
    };

    // `record` is the caller's settings record (the layout of the flash
    // parameters); it is edited in place and not owned.
    template <class Record>
    explicit CAdvancedDlg(Record* record)
        : m_fields{Bind(record->FtBootScript), Bind(record->NvBootScript),  Bind(record->Programmer),
                   Bind(record->BootImage),    Bind(record->KernelFlinger), Bind(record->Provision),
                   Bind(record->RawFile),      Bind(record->PatchFile)}
    {
    }

    BEGIN_MSG_MAP(CAdvancedDlg)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    COMMAND_ID_HANDLER(IDOK, OnOK)
    COMMAND_ID_HANDLER(IDCANCEL, OnCancel)
    COMMAND_RANGE_CODE_HANDLER(IDC_FTBOOT_SCRIPT, IDC_PATCH_FILE_BROWSE, BN_CLICKED, OnBrowse)
    REFLECT_NOTIFICATIONS()
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnOK(WORD, WORD, HWND, BOOL&);
    LRESULT OnCancel(WORD, WORD, HWND, BOOL&);
    LRESULT OnBrowse(WORD, WORD id, HWND, BOOL&);

    // Loads the record into the combos (attaching them first) or saves the
    // combos into it; stops at the first text that does not fit its field
    // (beep, focus there) with FALSE.
    BOOL DoDataExchange(BOOL save = FALSE);

    BOOL OnIdle() override { return FALSE; }

    // The file-open step of Browse: the chosen full path, or false when
    // cancelled. Tests put their own in its place.
    using FilePicker = bool (*)(HWND owner, const std::wstring& initial, std::wstring& chosen);
    static FilePicker s_pickFile;

private:
    template <size_t N> static Field Bind(wchar_t (&text)[N]) { return {text, static_cast<int>(N)}; }

    Field m_fields[kFieldCount];
    CMruComboCtrl m_combos[kFieldCount] = {CMruComboCtrl(L"FtBootScript"),  CMruComboCtrl(L"NvBootScript"),
                                           CMruComboCtrl(L"Programmer"),    CMruComboCtrl(L"BootImage"),
                                           CMruComboCtrl(L"KernelFlinger"), CMruComboCtrl(L"Provision"),
                                           CMruComboCtrl(L"RawFile"),       CMruComboCtrl(L"PatchFile")};
};
