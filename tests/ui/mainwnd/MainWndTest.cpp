#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/DeviceTable.h"
#include "tests/ui/UiTest.h"
#include "ui/MainDlg.h"

#include <shlobj.h>
#include <memory>

namespace {

// Dispatches this thread's messages until `done` holds or the time is up.
template <class Condition>
bool PumpUntil(Condition done, DWORD timeoutMs = 60000)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

void PumpPending()
{
    PumpUntil([] { return true; }, 0);
}

std::wstring LoadText(UINT id)
{
    wchar_t buffer[512] = {};
    LoadStringW(GetModuleHandleW(nullptr), id, buffer, 512);
    return buffer;
}

// The window messages and the copy-data kind as a controlling program in
// another process knows them: plain numbers.
constexpr ULONG_PTR kSearchPathData = 5025;
constexpr UINT kRemoteRefresh = 5026;
constexpr UINT kRemoteFlash = 5027;
constexpr UINT kFlashResult = 5028;

// The controlling program: records the results the main window posts.
class CController : public CWindowImpl<CController, CWindow, CWinTraits<WS_POPUP>>
{
public:
    std::vector<std::pair<WPARAM, LPARAM>> results;

    BEGIN_MSG_MAP(CController)
        MESSAGE_HANDLER(kFlashResult, OnResult)
    END_MSG_MAP()

    LRESULT OnResult(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
    {
        results.emplace_back(wParam, lParam);
        return 0;
    }
};

class MainWindow : public testing::Test
{
protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        m_dialog = std::make_unique<CMainDlg>();
        ASSERT_TRUE(m_dialog->Create(nullptr));
        PumpPending();
    }
    void TearDown() override
    {
        if (m_dialog && m_dialog->m_hWnd)
            m_dialog->DestroyWindow();
        m_dialog.reset();
        PumpPending();
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    }

    CMainDlg& Dlg() { return *m_dialog; }
    std::wstring Cell(int row, int id) { return Dlg().DeviceList().GetItemText(row, id); }
    int Rows() { return Dlg().DeviceList().GetItemCount(); }
    std::wstring Prompt() { return Dlg().StatusBar().GetPaneText(ID_DEFAULT_PANE); }
    void Command(WORD id) { Dlg().SendMessage(WM_COMMAND, id, 0); }
    void SetFolderText(const std::wstring& text)
    {
        COPYDATASTRUCT data{kSearchPathData, static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)),
                            const_cast<wchar_t*>(text.c_str())};
        EXPECT_EQ(TRUE, Dlg().SendMessage(WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)));
    }
    bool WaitIdleOfJobs()
    {
        return PumpUntil([this] { return !Dlg().IsTimerRunning(); });
    }

    std::unique_ptr<CMainDlg> m_dialog;
};

} // namespace

TEST(MainWindowHelpers, SearchListTakesImagesFolderFolderAndParentThatExist)
{
    CTempDir temp;
    const std::wstring a = temp.Path() + L"\\a", b = temp.Path() + L"\\b";
    ASSERT_TRUE(CreateDirectoryW(a.c_str(), nullptr) && CreateDirectoryW((a + L"\\images").c_str(), nullptr) &&
                CreateDirectoryW(b.c_str(), nullptr));
    const StringList list = BuildSearchList(a + L";;" + b + L";" + temp.Path() + L"\\missing");
    // A missing folder still contributes its parent when that exists.
    EXPECT_EQ((StringList{a + L"\\images", a, temp.Path(), b, temp.Path(), temp.Path()}), list);
    EXPECT_TRUE(BuildSearchList(L"").empty());
}

TEST(MainWindowHelpers, FilledRecordResolvesPatternsAndRefusesOverlongLists)
{
    CTempDir temp;
    WriteWholeFile(temp.Path() + L"\\rawprogram0.xml", "<data/>");
    WriteWholeFile(temp.Path() + L"\\rawprogram1.xml", "<data/>");
    WriteWholeFile(temp.Path() + L"\\flash_all.bat", "@exit /b 0");
    FlashParameters settings{}, record{};
    wcscpy(settings.FtBootScript, L"flash_all.bat");
    wcscpy(settings.NvBootScript, L"nothing_here.bat;other.bat");
    wcscpy(settings.RawFile, L"rawprogram*.xml");
    ASSERT_TRUE(FillFlashParameters(record, settings, temp.Path()));
    EXPECT_EQ(temp.Path() + L"\\flash_all.bat", record.FtBootScript);
    EXPECT_STREQ(L"nothing_here.bat", record.NvBootScript); // no match: the first name as written
    EXPECT_EQ(temp.Path() + L"\\rawprogram0.xml;" + temp.Path() + L"\\rawprogram1.xml", record.RawFile);
    EXPECT_EQ(temp.Path() + L";" + temp.Path().substr(0, temp.Path().find_last_of(L'\\')), record.SearchPath);

    // A pattern whose resolved text cannot fit its field is refused, not cut.
    wcscpy(settings.BootImage, std::wstring(260, L'x').c_str());
    EXPECT_FALSE(FillFlashParameters(record, settings, temp.Path()));
    EXPECT_STREQ(L"", record.BootImage);
}

TEST(MainWindowHelpers, ComPortNumberFollowsTheThreeLetters)
{
    WPARAM port = 99;
    EXPECT_TRUE(ParseComPort(L"COM12", port));
    EXPECT_EQ(12u, port);
    EXPECT_TRUE(ParseComPort(L"COM  7x3", port));
    EXPECT_EQ(7u, port);
    EXPECT_TRUE(ParseComPort(L"COM", port));
    EXPECT_EQ(0u, port);
    EXPECT_FALSE(ParseComPort(L"com12", port));
    EXPECT_FALSE(ParseComPort(L"\\\\.\\PhysicalDrive1", port));
}

TEST_F(MainWindow, BuildsColumnsPanesAndScriptButtons)
{
    CMainDlg::CDeviceList& list = Dlg().DeviceList();
    ASSERT_EQ(6, list.GetColumnCount());
    EXPECT_EQ(ColumnStatus, list.GetColumnId(5));
    EXPECT_EQ(LoadText(IDS_COLUMN_STATUS), [&] {
        CListColumn column;
        list.GetColumn(5, column);
        return column.title;
    }());
    EXPECT_EQ(5, Dlg().StatusBar().GetPaneCount());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(IsWindow(Dlg().ScriptButton(i)));
        EXPECT_EQ(Dlg().StatusBar().m_hWnd, GetParent(Dlg().ScriptButton(i)));
    }

    // Growing the window gives the Status column the rest of the list.
    RECT rect{};
    GetWindowRect(Dlg().m_hWnd, &rect);
    SetWindowPos(Dlg().m_hWnd, nullptr, 0, 0, rect.right - rect.left + 200, rect.bottom - rect.top + 50,
                 SWP_NOMOVE | SWP_NOZORDER);
    RECT client{};
    list.GetClientRect(&client);
    int others = 0;
    for (int i = 0; i < 5; ++i)
        others += list.GetColumnWidth(i);
    EXPECT_EQ(client.right - others, list.GetColumnWidth(5));
}

TEST_F(MainWindow, ScriptChoiceAndIdlePromptsFollowTheState)
{
    // The default script is the second choice.
    Dlg().OnIdle();
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(Dlg().ScriptButton(0), BM_GETCHECK, 0, 0));
    EXPECT_EQ(BST_CHECKED, SendMessageW(Dlg().ScriptButton(1), BM_GETCHECK, 0, 0));
    EXPECT_EQ(LoadText(IDS_PROMPT_REFRESH), Prompt());

    // The button's command reaches the window through the status bar.
    SendMessageW(Dlg().ScriptButton(2), BM_CLICK, 0, 0);
    EXPECT_STREQ(L"flash_all_except_data_storage.bat", Dlg().Settings().FtBootScript);
    wcscpy(Dlg().Settings().FtBootScript, L"FLASH_ALL.BAT");
    Dlg().OnIdle();
    EXPECT_EQ(BST_CHECKED, SendMessageW(Dlg().ScriptButton(0), BM_GETCHECK, 0, 0));
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(Dlg().ScriptButton(2), BM_GETCHECK, 0, 0));
    wcscpy(Dlg().Settings().FtBootScript, L"my_own.bat");
    Dlg().OnIdle();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(BST_UNCHECKED, SendMessageW(Dlg().ScriptButton(i), BM_GETCHECK, 0, 0));

    // An error stays until a Refresh succeeds.
    Dlg().ReportError(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    const std::wstring error = Prompt();
    EXPECT_EQ(0u, error.find(LoadText(IDS_ERROR_PREFIX)));
    EXPECT_NE(std::wstring::npos, error.find(L"(0x80070002)"));
    EXPECT_EQ(std::wstring::npos, error.find(L'\n'));
    Dlg().OnIdle();
    EXPECT_EQ(error, Prompt());
    Dlg().ReportError(S_OK);
    Dlg().OnIdle();
    EXPECT_EQ(LoadText(IDS_PROMPT_REFRESH), Prompt());
}

TEST_F(MainWindow, CopyDataAndDroppedFoldersSetTheFolderText)
{
    SetFolderText(L"C:\\images;D:\\more");
    EXPECT_EQ(L"C:\\images;D:\\more", Dlg().GetSearchPathText());
    COPYDATASTRUCT other{4, 6, const_cast<wchar_t*>(L"xyz")};
    EXPECT_EQ(TRUE, Dlg().SendMessage(WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&other)));
    EXPECT_EQ(L"C:\\images;D:\\more", Dlg().GetSearchPathText());
    // No terminator within the data: no more than the data is read.
    const wchar_t unterminated[] = L"E:\\abcdef";
    COPYDATASTRUCT cut{kSearchPathData, 4 * sizeof(wchar_t), const_cast<wchar_t*>(unterminated)};
    Dlg().SendMessage(WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cut));
    EXPECT_EQ(L"E:\\a", Dlg().GetSearchPathText());

    CTempDir temp;
    const std::wstring a = temp.Path() + L"\\a", b = temp.Path() + L"\\b", file = temp.Path() + L"\\f.txt";
    CreateDirectoryW(a.c_str(), nullptr);
    CreateDirectoryW(b.c_str(), nullptr);
    WriteWholeFile(file, "x");
    auto drop = [this](const std::vector<std::wstring>& paths) {
        std::wstring list;
        for (const std::wstring& p : paths)
            list += p + L'\0';
        list += L'\0';
        HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
        auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
        files->pFiles = sizeof(DROPFILES);
        files->pt = POINT{5, 5};
        files->fWide = TRUE;
        memcpy(files + 1, list.data(), list.size() * sizeof(wchar_t));
        GlobalUnlock(memory);
        Dlg().SendMessage(WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
    };
    drop({a, b});
    EXPECT_EQ(a + L";" + b, Dlg().GetSearchPathText());
    drop({file, a});
    EXPECT_EQ(a + L";" + b + L";" + a, Dlg().GetSearchPathText());
}

TEST_F(MainWindow, RemoteRefreshAndFlashReportEachSerialPortRow)
{
    CTempDir temp;
    CDeviceTable table(temp.Path() + L"\\devices.txt");
    table.Set({3, 3, L"COM12", {}});
    table.Set({5, 3, L"COM13", {}});
    table.Set({7, 3, L"FB7", {}});
    WriteWholeFile(temp.Path() + L"\\flash_all_except_storage.bat",
                   "@echo off\r\nif \"%2\"==\"COM13\" echo error: no phone\r\necho finished\r\nexit /b 0\r\n");

    CController controller;
    ASSERT_TRUE(controller.Create(nullptr));
    SetFolderText(temp.Path());
    EXPECT_EQ(TRUE, Dlg().SendMessage(kRemoteRefresh, reinterpret_cast<WPARAM>(controller.m_hWnd), 0));
    ASSERT_TRUE(PumpUntil([this] { return Rows() == 3; }));
    EXPECT_EQ(controller.m_hWnd, Dlg().GetController());
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(L"1", Cell(row, ColumnTick));
    EXPECT_EQ(L"COM12", Cell(0, ColumnDevice));
    EXPECT_EQ(L"3", Cell(0, ColumnIndex));
    EXPECT_EQ(L"5", Cell(1, ColumnIndex));
    EXPECT_EQ(L"FB7", Cell(2, ColumnDevice));
    Dlg().OnIdle();
    EXPECT_EQ(LoadText(IDS_PROMPT_FLASH), Prompt());

    // An unticked row is not flashed.
    Dlg().DeviceList().SetItemText(2, ColumnTick, L"0");
    EXPECT_EQ(TRUE, Dlg().SendMessage(kRemoteFlash, reinterpret_cast<WPARAM>(controller.m_hWnd), 0));
    ASSERT_TRUE(PumpUntil([this] { return Dlg().IsTimerRunning(); }));
    ASSERT_TRUE(WaitIdleOfJobs());
    PumpPending();

    ASSERT_EQ(2u, controller.results.size());
    EXPECT_EQ((std::pair<WPARAM, LPARAM>{12, 1}), controller.results[0]);
    EXPECT_EQ((std::pair<WPARAM, LPARAM>{13, 0}), controller.results[1]);
    EXPECT_EQ(L"100", Cell(0, ColumnProgress)); // a job that succeeds ends at 100
    EXPECT_EQ(L's', Cell(0, ColumnTime).back());
    EXPECT_FALSE(Cell(1, ColumnStatus).empty());
    COLORREF background = 0, text = 0;
    ASSERT_TRUE(Dlg().DeviceList().GetItemColours(1, ColumnStatus, background, text));
    EXPECT_EQ(RGB(255, 0, 0), text);
    Dlg().DeviceList().GetItemColours(0, ColumnStatus, background, text);
    EXPECT_NE(RGB(255, 0, 0), text);
    Microsoft::WRL::ComPtr<IDeviceReport> none;
    Dlg().DeviceList().GetItemData(2, none);
    EXPECT_FALSE(none);
    EXPECT_NE(std::wstring::npos, Dlg().StatusBar().GetPaneText(ID_PANE_TIME).find(L's'));

    // A second Flash has no new ticked idle row: nothing starts, no timer.
    Command(IDC_FLASH);
    EXPECT_FALSE(Dlg().IsTimerRunning());

    // Finished and idle rows go at the next Refresh; the devices come back
    // as idle rows and are reported again after their next run.
    table.Remove(7);
    Command(IDC_REFRESH);
    ASSERT_EQ(2, Rows());
    Dlg().DeviceList().GetItemData(0, none);
    EXPECT_FALSE(none);
    EXPECT_EQ(L"", Prompt());
}

TEST_F(MainWindow, FailedDeviceListShowsTheErrorUntilARefreshSucceeds)
{
    CTempDir temp;
    CDeviceTable table(temp.Path() + L"\\devices.txt");
    table.Set({4, 3, L"FB4", {}});
    table.SetAnswer({"qcGetDeviceList", "", 5});
    Command(IDC_REFRESH);
    EXPECT_EQ(0, Rows());
    Dlg().OnIdle();
    EXPECT_EQ(0u, Prompt().find(LoadText(IDS_ERROR_PREFIX)));
    table.ClearAnswer("qcGetDeviceList");
    // Two devices with the same index text: only the first gets a row.
    table.Set({6, 3, L"FB6", {}});
    table.SetAnswer({"qcGetDeviceIndex", "4", 0});
    Command(IDC_REFRESH);
    ASSERT_EQ(1, Rows());
    EXPECT_EQ(L"4", Cell(0, ColumnIndex));
    Dlg().OnIdle();
    EXPECT_EQ(LoadText(IDS_PROMPT_FLASH), Prompt());
}
