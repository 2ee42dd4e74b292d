#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/LogLines.h"
#include "simulators/phones/DeviceTable.h"
#include "platform/ComObject.h"
#include "tests/ui/UiTest.h"
#include "services/InstallerResources.h"
#include "tests/ui/MainDlgProbe.h"
#include "tests/ui/listctrl/ListFixture.h"

#include <commctrl.h>
#include <shlobj.h>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <tuple>

using Microsoft::WRL::ComPtr;

namespace
{

// The message-filter changes this program makes (window, message, action),
// recorded on their way to the system by pointing its import at a recorder.
std::vector<std::tuple<HWND, UINT, DWORD>> g_filterChanges;
decltype(&ChangeWindowMessageFilterEx) g_systemFilter = nullptr;

BOOL WINAPI RecordFilterChange(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT change)
{
    g_filterChanges.emplace_back(window, message, action);
    return g_systemFilter(window, message, action, change);
}

bool RecordFilterChanges()
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); dll->Name; ++dll)
    {
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; lstrcmpiA(reinterpret_cast<char*>(base + dll->Name), "user32.dll") == 0 && name->u1.AddressOfData;
             ++name, ++slot)
        {
            const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            DWORD protection = 0;
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                strcmp(reinterpret_cast<const char*>(byName->Name), "ChangeWindowMessageFilterEx") != 0 ||
                !VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE, &protection))
                continue;
            g_systemFilter = reinterpret_cast<decltype(g_systemFilter)>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(&RecordFilterChange);
            return VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), protection, &protection);
        }
    }
    return false;
}
const bool g_recordingFilterChanges = RecordFilterChanges();

// A job that the test finishes.
class CTestJob : public IDeviceReport, public CComObjectRoot
{
public:
    BEGIN_COM_MAP(CTestJob)
    COM_INTERFACE_ENTRY(IDeviceReport)
    END_COM_MAP()

    BOOL finished = FALSE;
    BOOL failed = FALSE;
    BOOL STDMETHODCALLTYPE IsFinished() override { return finished; }
    BOOL STDMETHODCALLTYPE IsFailed() override { return failed; }
    double STDMETHODCALLTYPE GetElapsedTime() override { return 1; }
    LONG STDMETHODCALLTYPE GetProgress() override { return finished ? 100 : 50; }
    HRESULT STDMETHODCALLTYPE GetResult() override { return finished ? S_OK : JOB_RUNNING; }
    HRESULT STDMETHODCALLTYPE GetStatusText(BSTR* text) override { return *text = nullptr, S_OK; }
};

ComPtr<CComObject<CTestJob>> MakeJob()
{
    CComObject<CTestJob>* job = nullptr;
    EXPECT_EQ(S_OK, CComObject<CTestJob>::CreateInstance(&job));
    return ComPtr<CComObject<CTestJob>>(job);
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
        ASSERT_TRUE(m_dialog.Create(nullptr));
        PumpPending();
    }
    void TearDown() override
    {
        if (m_dialog.m_hWnd)
            m_dialog.DestroyWindow();
        PumpPending();
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    }

    CMainDlg& Dlg() { return m_dialog; }
    CMainDlgProbe Probe() { return CMainDlgProbe(m_dialog); }
    std::wstring Cell(int row, int id) { return Probe().DeviceList().GetItemText(row, id); }
    int Rows() { return Probe().DeviceList().GetItemCount(); }
    std::wstring Prompt() { return Probe().StatusBar().GetPaneText(ID_DEFAULT_PANE); }
    void Command(WORD id) { Dlg().SendMessage(WM_COMMAND, id, 0); }
    // The script buttons' marks after an idle moment, "1" for each selected.
    std::string Checks()
    {
        Dlg().OnIdle();
        std::string marks;
        for (int i = 0; i < 3; ++i)
            marks += SendMessageW(Probe().ScriptButton(i), BM_GETCHECK, 0, 0) == BST_CHECKED ? '1' : '0';
        return marks;
    }
    // A ticked row for `device` whose job is `job`.
    void AddJobRow(const std::wstring& device, const ComPtr<CComObject<CTestJob>>& job)
    {
        const int row = Probe().DeviceList().AddItem(L"1");
        Probe().DeviceList().SetItemText(row, ColumnDevice, device.c_str());
        Probe().DeviceList().SetItemData(row, ComPtr<IDeviceReport>(job));
    }
    void SetFolderText(const std::wstring& text)
    {
        COPYDATASTRUCT data{kSearchPathData, static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)),
                            const_cast<wchar_t*>(text.c_str())};
        EXPECT_EQ(TRUE, Dlg().SendMessage(WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)));
    }

    CMainDlg m_dialog;
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
    // Leading blanks skipped, reading ends at the first non-digit; only "COM" in capitals.
    const std::pair<const wchar_t*, int> cases[] = {
        {L"COM12", 12}, {L"COM  7x3", 7}, {L"COM", 0}, {L"com12", -1}, {L"\\\\.\\PhysicalDrive1", -1}};
    for (const auto& [name, expected] : cases)
    {
        WPARAM port = 99;
        EXPECT_EQ(expected >= 0, ParseComPort(name, port)) << name;
        if (expected >= 0)
            EXPECT_EQ(static_cast<WPARAM>(expected), port) << name;
    }
}

TEST(MainWindowInChinese, TheListsFontsRenderTheResourceTexts)
{
    CScopeGuard restore([previous = GetThreadLocale()] {
        SetThreadLocale(previous);
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    });
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), SORT_DEFAULT)));
    HDC dc = CreateCompatibleDC(nullptr);
    LOGFONTW wanted{};
    wanted.lfCharSet = GB2312_CHARSET;
    auto count = [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM fonts) {
        return ++*reinterpret_cast<int*>(fonts);
    };
    int fonts = 0;
    EnumFontFamiliesExW(dc, &wanted, count, reinterpret_cast<LPARAM>(&fonts), 0);
    if (fonts == 0)
    {
        DeleteDC(dc);
        GTEST_SKIP() << "no font with Simplified Chinese characters here";
    }

    CMainDlg dialog;
    ASSERT_TRUE(dialog.Create(nullptr));
    std::vector<std::wstring> texts{LoadText(IDS_PROMPT_BUSY)};
    for (int position = 1; position < CMainDlgProbe(dialog).DeviceList().GetColumnCount(); ++position)
    {
        CListColumn column;
        CMainDlgProbe(dialog).DeviceList().GetColumn(position, column);
        texts.push_back(column.title);
    }
    for (const std::wstring& text : texts)
        ASSERT_GE(text[0], 0x4E00) << "not the Chinese resources";

    // The list's own font, and the one its editors and title tip make.
    HFONT editors = CreateListMessageFont();
    for (HFONT font : {CMainDlgProbe(dialog).DeviceList().GetListFont(), editors})
    {
        HGDIOBJ old = SelectObject(dc, font);
        EXPECT_EQ(GB2312_CHARSET, GetTextCharset(dc));
        for (std::wstring text : texts)
        {
            // The resource language's own characters; the Latin ones of
            // the same texts may come from a linked font.
            text.erase(std::remove_if(text.begin(), text.end(), [](wchar_t c) { return c < 0x2E80; }), text.end());
            std::vector<WORD> glyphs(text.size());
            ASSERT_EQ(text.size(), GetGlyphIndicesW(dc, text.c_str(), static_cast<int>(text.size()), glyphs.data(),
                                                    GGI_MARK_NONEXISTING_GLYPHS));
            EXPECT_EQ(glyphs.end(), std::find(glyphs.begin(), glyphs.end(), 0xFFFF))
                << "no glyph in " << testing::PrintToString(text);
        }
        SelectObject(dc, old);
    }
    DeleteObject(editors);
    DeleteDC(dc);
    dialog.DestroyWindow();
    PumpPending();
}

TEST(ProgramResources, TheInstallersAnimationOpensAndPlaysInTheAnimationControl)
{
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_ANIMATE_CLASS};
    InitCommonControlsEx(&icc);
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 300, 100, nullptr, nullptr, nullptr, nullptr);
    HWND animation = CreateWindowExW(0, ANIMATE_CLASSW, L"", WS_CHILD | ACS_TRANSPARENT, 0, 0, 1, 1, parent, nullptr,
                                     nullptr, nullptr);
    ASSERT_TRUE(animation);
    const WPARAM module = reinterpret_cast<WPARAM>(GetModuleHandleW(nullptr));
    EXPECT_EQ(0, SendMessageW(animation, ACM_OPENW, module, reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(IDR_MAINFRAME))))
        << "an id that names no animation";
    ASSERT_NE(0, SendMessageW(animation, ACM_OPENW, module,
                              reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(IDR_PROGRESS_ANIMATION))));
    // The control takes the size of the animation's frames.
    RECT frame{};
    GetClientRect(animation, &frame);
    EXPECT_GT(frame.right, 1);
    EXPECT_GT(frame.bottom, 1);
    EXPECT_NE(0, SendMessageW(animation, ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF)));
    DestroyWindow(parent);
}

TEST_F(MainWindow, BuildsColumnsPanesAndScriptButtonsAndLetsRemoteControlThrough)
{
    // Exactly the remote-control messages pass the window's message filter.
    ASSERT_TRUE(g_recordingFilterChanges);
    std::set<UINT> allowed;
    for (const auto& change : g_filterChanges)
    {
        if (std::get<0>(change) == Dlg().m_hWnd && std::get<2>(change) == MSGFLT_ALLOW)
            allowed.insert(std::get<1>(change));
    }
    EXPECT_EQ((std::set<UINT>{kRemoteRefresh, kRemoteFlash, WM_COPYDATA}), allowed);

    CMainDlg::CDeviceList& list = Probe().DeviceList();
    ASSERT_EQ(6, list.GetColumnCount());
    EXPECT_EQ(ColumnStatus, list.GetColumnId(5));
    EXPECT_EQ(LoadText(IDS_COLUMN_STATUS), [&] {
        CListColumn column;
        list.GetColumn(5, column);
        return column.title;
    }());
    EXPECT_EQ(5, Probe().StatusBar().GetPaneCount());
    // Each script button shows its pane's text beside its mark: right of
    // the mark it holds the pixels of the status bar beneath, text and all.
    Dlg().ShowWindow(SW_SHOWNOACTIVATE); // a hidden status bar paints nothing
    const CListPicture bar(Probe().StatusBar().m_hWnd, WM_PAINT);
    for (int i = 0; i < 3; ++i)
    {
        const HWND button = Probe().ScriptButton(i);
        ASSERT_TRUE(IsWindow(button));
        EXPECT_EQ(Probe().StatusBar().m_hWnd, GetParent(button));
        const CListPicture shown(button);
        POINT origin{};
        MapWindowPoints(button, Probe().StatusBar().m_hWnd, &origin, 1);
        const int markWidth = GetSystemMetrics(SM_CXMENUCHECK) + 3;
        ASSERT_GT(shown.rect.right, markWidth);
        const std::vector<COLORREF> text = shown.Area(RECT{markWidth, 0, shown.rect.right, shown.rect.bottom});
        EXPECT_TRUE(text == bar.Area(RECT{origin.x + markWidth, origin.y, origin.x + shown.rect.right,
                                          origin.y + shown.rect.bottom}))
            << "script button " << i;
        const std::set<COLORREF> colours(text.begin(), text.end());
        EXPECT_GT(colours.size(), 1u) << "script button " << i << " shows no text";
    }

    // Growing the window gives the Status column the rest of the list, and
    // the controls it moved are drawn anew, not left with the pixels copied
    // along with them.
    PumpPending();
    static std::map<HWND, int> paints;
    static std::map<HWND, WNDPROC> procedures;
    paints.clear();
    for (int id : {IDC_REFRESH, IDC_FLASH, ID_APP_HELP})
    {
        const HWND button = Dlg().GetDlgItem(id);
        procedures[button] = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
            button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+[](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
                paints[w] += m == WM_PAINT;
                return CallWindowProcW(procedures[w], w, m, wp, lp);
            })));
    }
    RECT rect{};
    GetWindowRect(Dlg().m_hWnd, &rect);
    SetWindowPos(Dlg().m_hWnd, nullptr, 0, 0, rect.right - rect.left + 200, rect.bottom - rect.top + 50,
                 SWP_NOMOVE | SWP_NOZORDER);
    PumpPending();
    for (const auto& [button, procedure] : procedures)
    {
        EXPECT_LT(0, paints[button]) << GetDlgCtrlID(button);
        SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure));
    }
    RECT client{};
    list.GetClientRect(&client);
    int others = 0;
    for (int i = 0; i < 5; ++i)
        others += list.GetColumnWidth(i);
    EXPECT_EQ(client.right - others, list.GetColumnWidth(5));
}

TEST_F(MainWindow, ClosingPausesOnlyForWhatHoldsTheModuleBesidesTheWindow)
{
    CScopeGuard restore([timeOut = g_Module.m_dwTimeOut, pause = g_Module.m_dwPause] {
        g_Module.m_dwTimeOut = timeOut;
        g_Module.m_dwPause = pause;
    });
    // A job (or an outside client's object) holds the module: the pause stands.
    g_Module.m_dwTimeOut = 5000;
    g_Module.m_dwPause = 1000;
    {
        const auto job = MakeJob();
        Dlg().DestroyWindow();
    }
    EXPECT_EQ(5000u, g_Module.m_dwTimeOut);
    EXPECT_EQ(1000u, g_Module.m_dwPause);
    // Only the window, with everything that lives inside it (with OLE, as
    // the program has it, the list's drag and drop objects): no pause.
    const HRESULT ole = OleInitialize(nullptr);
    ASSERT_TRUE(SUCCEEDED(ole));
    CScopeGuard leaveOle([] { OleUninitialize(); });
    CMainDlg other;
    ASSERT_TRUE(other.Create(nullptr));
    other.DestroyWindow();
    EXPECT_EQ(0u, g_Module.m_dwTimeOut);
    EXPECT_EQ(0u, g_Module.m_dwPause);
}

TEST_F(MainWindow, ScriptChoiceAndIdlePromptsFollowTheState)
{
    EXPECT_EQ("010", Checks()) << "the default script is the second choice";
    EXPECT_EQ(LoadText(IDS_PROMPT_REFRESH), Prompt());
    // A prompt wider than its pane can be read whole in the pane's tip.
    wchar_t tip[512] = {};
    Probe().StatusBar().SendMessage(SB_GETTIPTEXTW, MAKEWPARAM(0, 512), reinterpret_cast<LPARAM>(tip));
    EXPECT_EQ(Prompt(), tip);

    // Each button's command reaches the window through the status bar and
    // sets its own script, whichever was chosen before.
    const wchar_t* const scripts[] = {L"flash_all.bat", L"flash_all_except_storage.bat",
                                      L"flash_all_except_data_storage.bat"};
    for (int button : {2, 0, 1, 2})
    {
        SendMessageW(Probe().ScriptButton(button), BM_CLICK, 0, 0);
        EXPECT_STREQ(scripts[button], Probe().Settings().FtBootScript) << "button " << button;
        std::string marks = "000";
        marks[static_cast<size_t>(button)] = '1';
        EXPECT_EQ(marks, Checks()) << "button " << button;
    }
    wcscpy(Probe().Settings().FtBootScript, L"FLASH_ALL.BAT");
    EXPECT_EQ("100", Checks());
    wcscpy(Probe().Settings().FtBootScript, L"my_own.bat");
    EXPECT_EQ("000", Checks());

    // An error stays until a Refresh succeeds; it is logged.
    const HRESULT missing = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    const size_t logged = CountErrorLines("CMainDlg::ReportError", 504, missing);
    Dlg().ReportError(missing);
    EXPECT_EQ(logged + 1, CountErrorLines("CMainDlg::ReportError", 504, missing));
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
    DropFiles(Dlg().m_hWnd, {a, b}, POINT{5, 5});
    EXPECT_EQ(a + L";" + b, Dlg().GetSearchPathText());
    DropFiles(Dlg().m_hWnd, {file, a}, POINT{5, 5});
    EXPECT_EQ(a + L";" + b + L";" + a, Dlg().GetSearchPathText());
}

TEST_F(MainWindow, RefreshAndRemoteFlashListReportAndDropTheRows)
{
    CTempDir temp;
    CDeviceTable table(temp / L"devices.txt");
    table.Set({3, 3, L"COM12", {}});
    table.Set({5, 3, L"COM13", {}});
    table.Set({7, 3, L"FB7", {}});
    WriteWholeFile(temp / L"flash_all_except_storage.bat",
                   "@echo off\r\nif \"%2\"==\"COM13\" echo error: no phone\r\necho finished\r\nexit /b 0\r\n");
    // A device list that cannot be read lists nothing; its error stays
    // until a Refresh succeeds.
    table.SetAnswer({"qcGetDeviceList", "", 5});
    const HRESULT exitCode5 = static_cast<HRESULT>(0xFFFFFFFB);
    const size_t logged = CountErrorLines("CMainDlg::OnRefresh", 273, exitCode5);
    Command(IDC_REFRESH);
    EXPECT_EQ(logged + 1, CountErrorLines("CMainDlg::OnRefresh", 273, exitCode5));
    EXPECT_EQ(0, Rows());
    Dlg().OnIdle();
    EXPECT_EQ(0u, Prompt().find(LoadText(IDS_ERROR_PREFIX)));
    table.ClearAnswer("qcGetDeviceList");

    CController controller;
    ASSERT_TRUE(controller.Create(nullptr));
    SetFolderText(temp.Path());
    EXPECT_EQ(TRUE, Dlg().SendMessage(kRemoteRefresh, reinterpret_cast<WPARAM>(controller.m_hWnd), 0));
    ASSERT_TRUE(PumpUntil([this] { return Rows() == 3; }));
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(L"1", Cell(row, ColumnTick));
    EXPECT_EQ((std::vector<std::wstring>{L"3", L"COM12", L"5", L"FB7"}),
              (std::vector<std::wstring>{Cell(0, ColumnIndex), Cell(0, ColumnDevice), Cell(1, ColumnIndex),
                                         Cell(2, ColumnDevice)}));
    Dlg().OnIdle();
    EXPECT_EQ(LoadText(IDS_PROMPT_FLASH), Prompt());

    // An unticked row is not flashed.
    Probe().DeviceList().SetItemText(2, ColumnTick, L"0");
    EXPECT_EQ(TRUE, Dlg().SendMessage(kRemoteFlash, reinterpret_cast<WPARAM>(controller.m_hWnd), 0));
    ASSERT_TRUE(PumpUntil([this] { return Probe().IsTimerRunning(); }));
    ASSERT_TRUE(PumpUntil([this] { return !Probe().IsTimerRunning(); }));
    PumpPending();
    EXPECT_EQ((std::vector<std::pair<WPARAM, LPARAM>>{{12, 1}, {13, 0}}), controller.results);
    EXPECT_EQ(L"100", Cell(0, ColumnProgress)); // a job that succeeds ends at 100
    EXPECT_EQ(L's', Cell(0, ColumnTime).back());
    EXPECT_FALSE(Cell(1, ColumnStatus).empty());
    COLORREF background = 0, text = 0;
    ASSERT_TRUE(Probe().DeviceList().GetItemColours(1, ColumnStatus, background, text));
    EXPECT_EQ(RGB(255, 0, 0), text);
    Probe().DeviceList().GetItemColours(0, ColumnStatus, background, text);
    EXPECT_NE(RGB(255, 0, 0), text);
    ComPtr<IDeviceReport> job;
    Probe().DeviceList().GetItemData(2, job);
    EXPECT_FALSE(job);
    EXPECT_NE(std::wstring::npos, Probe().StatusBar().GetPaneText(ID_PANE_TIME).find(L's'));

    // A second Flash has no new ticked idle row: nothing starts, no timer.
    Command(IDC_FLASH);
    EXPECT_FALSE(Probe().IsTimerRunning());

    // Finished and idle rows go at the next Refresh; the devices come back
    // as idle rows.
    table.Remove(7);
    Command(IDC_REFRESH);
    ASSERT_EQ(2, Rows());
    Probe().DeviceList().GetItemData(0, job);
    EXPECT_FALSE(job);
    // Two devices with the same index text: only the first gets a row.
    table.SetAnswer({"qcGetDeviceIndex", "4", 0});
    Command(IDC_REFRESH);
    ASSERT_EQ(1, Rows());
    EXPECT_EQ(L"4", Cell(0, ColumnIndex));
}

TEST_F(MainWindow, EachFinishedRowIsReportedOnceWhateverTheSortAndThePromptFollowsWithoutIdleTime)
{
    CTempDir temp;
    CDeviceTable table(temp.Path() + L"\\devices.txt");
    CController controller;
    ASSERT_TRUE(controller.Create(nullptr));
    Dlg().SendMessage(kRemoteRefresh, reinterpret_cast<WPARAM>(controller.m_hWnd), 0);
    PumpPending();
    ASSERT_EQ(0, Rows());

    // COM2 runs, COM1 has finished. No idle handler runs here, as none
    // does while the timer and the redraws keep the queue full.
    CMainDlg::CDeviceList& list = Probe().DeviceList();
    const auto running = MakeJob(), done = MakeJob();
    done->finished = TRUE;
    AddJobRow(L"COM2", running);
    AddJobRow(L"COM1", done);
    auto tick = [this] { Dlg().SendMessage(WM_TIMER, 1, 0); };
    tick();
    EXPECT_EQ(LoadText(IDS_PROMPT_BUSY), Prompt());

    // Sorted by device (COM1 first), then the other way round: the rows
    // change places between ticks, their results stay with them.
    const int devicePosition = list.FindColumn(ColumnDevice);
    list.SortColumn(devicePosition);
    ASSERT_EQ(L"COM1", Cell(0, ColumnDevice));
    tick();
    list.SortColumn(devicePosition);
    ASSERT_EQ(L"COM2", Cell(0, ColumnDevice));
    running->finished = TRUE;
    tick();
    tick();
    EXPECT_EQ(LoadText(IDS_PROMPT_REFRESH), Prompt());
    PumpPending();
    EXPECT_EQ((std::vector<std::pair<WPARAM, LPARAM>>{{1, 1}, {2, 1}}), controller.results);

    // A job that ends just before a Refresh, with no tick between: its row
    // goes, its result still goes out, once.
    const auto last = MakeJob();
    AddJobRow(L"COM3", last);
    tick();
    last->finished = TRUE;
    last->failed = TRUE;
    Dlg().SendMessage(kRemoteRefresh, reinterpret_cast<WPARAM>(controller.m_hWnd), 0);
    PumpPending();
    EXPECT_EQ(0, Rows());
    EXPECT_EQ((std::vector<std::pair<WPARAM, LPARAM>>{{1, 1}, {2, 1}, {3, 0}}), controller.results);

    // Rows that all hold the one never-started job: each is reported, once,
    // and only the first 100 rows are reported at all.
    controller.results.clear();
    const auto neverStarted = MakeJob();
    neverStarted->finished = TRUE;
    neverStarted->failed = TRUE;
    for (int port = 1; port <= kReportedRows + 1; ++port)
        AddJobRow(L"COM" + std::to_wstring(port), neverStarted);
    tick();
    tick();
    PumpPending();
    std::vector<std::pair<WPARAM, LPARAM>> expected;
    for (WPARAM port = 1; port <= kReportedRows; ++port)
        expected.emplace_back(port, 0);
    EXPECT_EQ(expected, controller.results);
}
