// The Advanced dialog run modally, driven from a timer inside its loop: what
// OK, Cancel and Browse do to the caller's record, the combos and the stored
// histories. The current user's key points at a scratch key meanwhile.
#include "jobs/StartFlash.h"
#include "tests/ui/UiTest.h"
#include "tests/ui/settings/TestSettingsKey.h"
#include "ui/AdvancedDlg.h"

#include <functional>
#include <string>

namespace
{
const int kCombos[] = {1012, 1014, 1016, 1018, 1020, 1022, 1024, 1026};

std::wstring Text(HWND dialog, int id)
{
    return CWindow(GetDlgItem(dialog, id)).GetWindowText();
}

void Press(HWND dialog, int id)
{
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

class AdvancedDialog : public testing::Test
{
protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, m_scratch.c_str());
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CURRENT_USER, m_scratch.c_str(), &m_user));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CURRENT_USER, m_user));
        const wchar_t* initial[] = {L"fb.bat",          L"nv.bat",     L"MPRG*.hex;MPRG*.mbn;prog_*_firehose_*.*",
                                    L"boot.mbn",        L"loader.efi", L"provision*.xml",
                                    L"rawprogram*.xml", L"patch*.xml"};
        wchar_t* fields[] = {m_record.FtBootScript,  m_record.NvBootScript, m_record.Programmer, m_record.BootImage,
                             m_record.KernelFlinger, m_record.Provision,    m_record.RawFile,    m_record.PatchFile};
        for (int i = 0; i < 8; ++i)
            wcscpy(fields[i], initial[i]);
        wcscpy(m_record.SearchPath, L"C:\\images");
    }
    void TearDown() override
    {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(m_user);
        RegDeleteTreeW(HKEY_CURRENT_USER, m_scratch.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, m_scratch.c_str());
    }

    // Runs the dialog; `act` gets its window once it stands and must end it.
    INT_PTR RunDialog(std::function<void(HWND)> act)
    {
        CAdvancedDlg dialog(&m_record);
        s_dialog = &dialog;
        s_act = std::move(act);
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, OnTimer);
        const INT_PTR result = dialog.DoModal(nullptr);
        KillTimer(nullptr, timer);
        s_dialog = nullptr;
        EXPECT_FALSE(s_act) << "the dialog ended before it was driven";
        return result;
    }

    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD)
    {
        if (!s_dialog || !s_dialog->m_hWnd || !s_act)
            return;
        auto act = std::move(s_act);
        s_act = nullptr;
        act(s_dialog->m_hWnd);
    }

    // A setting's stored history (in the scratch key), newest first.
    static Texts Stored(const wchar_t* setting) { return StoredDocuments(std::wstring(kSettingsKey) + setting); }

    static CAdvancedDlg* s_dialog;
    static std::function<void(HWND)> s_act;
    const std::wstring m_scratch = L"Software\\KestrupTests\\Advanced" + std::to_wstring(GetCurrentProcessId());
    FlashParameters m_record = {};
    HKEY m_user = nullptr;
};
CAdvancedDlg* AdvancedDialog::s_dialog = nullptr;
std::function<void(HWND)> AdvancedDialog::s_act;

TEST_F(AdvancedDialog, OkCopiesTheTextsUpToOneThatDoesNotFitAndCancelNone)
{
    std::wstring shown[8];
    EXPECT_EQ(0, RunDialog([&](HWND dialog) {
                  for (int i = 0; i < 8; ++i)
                  {
                      shown[i] = Text(dialog, kCombos[i]);
                      SetDlgItemTextW(dialog, kCombos[i], (L"ok" + std::to_wstring(i)).c_str());
                  }
                  Press(dialog, IDOK);
              }));
    EXPECT_EQ(L"fb.bat", shown[0]);
    EXPECT_EQ(L"MPRG*.hex;MPRG*.mbn;prog_*_firehose_*.*", shown[2]);
    EXPECT_EQ(L"patch*.xml", shown[7]);
    EXPECT_STREQ(L"ok0", m_record.FtBootScript);
    EXPECT_STREQ(L"ok2", m_record.Programmer);
    EXPECT_STREQ(L"ok6", m_record.RawFile);
    EXPECT_STREQ(L"ok7", m_record.PatchFile);
    EXPECT_STREQ(L"C:\\images", m_record.SearchPath);

    // Cancel: the record stays, but the edited text is the setting's newest
    // entry, on top of the history each combo loaded.
    const FlashParameters afterOk = m_record;
    EXPECT_EQ(0, RunDialog([&](HWND dialog) {
                  SetDlgItemTextW(dialog, 1018, L"edited_boot.mbn");
                  Press(dialog, IDCANCEL);
              }));
    EXPECT_EQ(0, memcmp(&afterOk, &m_record, sizeof(m_record)));
    EXPECT_EQ((Texts{L"edited_boot.mbn", L"ok3"}), Stored(L"BootImage"));
    EXPECT_EQ((Texts{L"ok7"}), Stored(L"PatchFile"));

    // A text too long for its field is cut there, and the fields after it
    // keep their values; texts that fill a field to its last character fit.
    const std::wstring longText(300, L'p'), fullPath(259, L'q'), list(1559, L'r');
    EXPECT_EQ(0, RunDialog([&](HWND dialog) {
                  SetDlgItemTextW(dialog, 1012, L"new_fb.bat");
                  SetDlgItemTextW(dialog, 1016, longText.c_str());
                  SetDlgItemTextW(dialog, 1018, L"new_boot.mbn");
                  SetDlgItemTextW(dialog, 1026, L"new_patch.xml");
                  Press(dialog, IDOK);
              }));
    EXPECT_STREQ(L"new_fb.bat", m_record.FtBootScript);
    EXPECT_EQ(longText.substr(0, 259), m_record.Programmer);
    EXPECT_STREQ(afterOk.BootImage, m_record.BootImage);
    EXPECT_STREQ(afterOk.PatchFile, m_record.PatchFile);
    EXPECT_EQ(0, RunDialog([&](HWND dialog) {
                  SetDlgItemTextW(dialog, 1024, list.c_str());
                  SetDlgItemTextW(dialog, 1016, fullPath.c_str());
                  Press(dialog, IDOK);
              }));
    EXPECT_EQ(list, m_record.RawFile);
    EXPECT_EQ(fullPath, m_record.Programmer);
}

std::wstring g_initial;
bool g_confirm = true;
bool FakePicker(HWND, const std::wstring& initial, std::wstring& chosen)
{
    g_initial = initial;
    chosen = L"C:\\images\\chosen.bin";
    return g_confirm;
}

TEST_F(AdvancedDialog, BrowseFillsTheComboBeforeIt)
{
    const CAdvancedDlg::FilePicker real = CAdvancedDlg::s_pickFile;
    CAdvancedDlg::s_pickFile = FakePicker;
    std::wstring programmer, patch, raw, initialPattern, initialLong;
    EXPECT_EQ(0, RunDialog([&](HWND dialog) {
                  g_confirm = true;
                  Press(dialog, 1017);
                  programmer = Text(dialog, 1016);
                  initialPattern = g_initial;
                  SetDlgItemTextW(dialog, 1026, std::wstring(400, L'x').c_str());
                  Press(dialog, 1027);
                  patch = Text(dialog, 1026);
                  initialLong = g_initial;
                  g_confirm = false;
                  Press(dialog, 1025);
                  raw = Text(dialog, 1024);
                  Press(dialog, IDCANCEL);
              }));
    CAdvancedDlg::s_pickFile = real;
    EXPECT_EQ(L"MPRG*.hex;MPRG*.mbn;prog_*_firehose_*.*", initialPattern);
    EXPECT_EQ(std::wstring(259, L'x'), initialLong) << "the initial name is cut to the buffer";
    EXPECT_EQ(L"C:\\images\\chosen.bin", programmer);
    EXPECT_EQ(L"C:\\images\\chosen.bin", patch);
    EXPECT_EQ(L"rawprogram*.xml", raw) << "a cancelled file dialog changes nothing";
    EXPECT_STREQ(L"MPRG*.hex;MPRG*.mbn;prog_*_firehose_*.*", m_record.Programmer) << "only OK changes the record";
}
} // namespace
