#include "ui/MainDlg.h"

#include "services/CoInstaller.h"
#include "services/FactoryHook.h"
#include "services/FileSearch.h"
#include "services/Log.h"
#include "services/Process.h"

#include <shellapi.h>
#include <shlwapi.h>
#include <algorithm>

#include "ui/AdvancedDlg.h"
#include "ui/FolderPicker.h"
#include "platform/Module.h"

using Microsoft::WRL::ComPtr;

namespace
{

constexpr UINT_PTR kFlashTimer = 1;
constexpr UINT kFlashTimerPeriod = 100;
constexpr DWORD kRebootReason = 0x10002;
constexpr int kMinStatusWidth = 50;
constexpr int kTimePaneWidth = 50;
constexpr wchar_t kHelpPage[] = L"https://kestrup.olvane.com/help/";

const int kPanes[] = {ID_DEFAULT_PANE, ID_FLASH_ALL, ID_FLASH_ALL_EXCEPT_STORAGE, ID_FLASH_ALL_EXCEPT_DATA_STORAGE,
                      ID_PANE_TIME};
const int kScriptIds[3] = {ID_FLASH_ALL, ID_FLASH_ALL_EXCEPT_STORAGE, ID_FLASH_ALL_EXCEPT_DATA_STORAGE};
const wchar_t* const kScripts[3] = {L"flash_all.bat", L"flash_all_except_storage.bat",
                                    L"flash_all_except_data_storage.bat"};

std::wstring LoadResourceString(UINT id)
{
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

void OpenWithShell(const wchar_t* target)
{
    ::ShellExecuteW(nullptr, nullptr, target, nullptr, nullptr, SW_SHOWNORMAL);
}

} // namespace

CMainDlg::CMainDlg() : m_browse(IDR_OPTIONS_MENU)
{
    LoadSettings();
    CDeviceList::RegisterListClass();
}

CMainDlg::~CMainDlg() = default;

void CMainDlg::LoadSettings()
{
    m_settings.Load();
}

BOOL CMainDlg::PreTranslateMessage(MSG* msg)
{
    if (!m_hWnd)
        return FALSE;
    if (m_accelerators && ::TranslateAcceleratorW(m_hWnd, m_accelerators, msg))
        return TRUE;
    return ::IsDialogMessageW(m_hWnd, msg);
}

LRESULT CMainDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    g_Module.Lock(); // the window counts as a lock while it exists
    if (!m_browse.m_hWnd)
        m_browse.SubclassWindow(GetDlgItem(IDC_BROWSE));
    if (!m_searchPath.m_hWnd)
        m_searchPath.SubclassWindow(GetDlgItem(IDC_SEARCH_PATH));
    m_searchPath.SetCapacity(kDefaultMruCapacity);
    m_refresh = GetDlgItem(IDC_REFRESH);
    m_flash = GetDlgItem(IDC_FLASH);
    if (!m_list.m_hWnd)
        m_list.SubclassWindow(GetDlgItem(IDC_DEVICE_LIST));
    if (!m_statusBar.m_hWnd)
        m_statusBar.SubclassWindow(GetDlgItem(IDC_STATUS_BAR));

    ModifyStyle(0, WS_CLIPCHILDREN);
    InitLayout();
    CenterWindow();

    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    m_accelerators = ::LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    m_bigIcon.Reset(static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                                    ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0)));
    m_smallIcon.Reset(
        static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                        ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0)));
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_bigIcon.Get()));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon.Get()));

    if (CMessageLoop* loop = GetThreadMessageLoop())
    {
        loop->AddMessageFilter(this);
        loop->AddIdleHandler(this);
    }
    AllowRemoteControl();

    m_searchPath.SetAutoComplete(SHACF_FILESYS_DIRS);
    m_searchPath.SetWindowText(m_settings.Block().SearchPath);
    m_searchPath.ReadFromRegistry(kSettingsKey, L"SearchPath");

    m_list.AddColumn(L"", 0, 9, TRUE, ITEM_FORMAT_CHECKBOX);
    m_list.AddColumn(LoadResourceString(IDS_COLUMN_INDEX).c_str(), 50);
    m_list.AddColumn(LoadResourceString(IDS_COLUMN_DEVICE).c_str(), 70);
    m_list.AddColumn(LoadResourceString(IDS_COLUMN_PROGRESS).c_str(), 150, -1, FALSE, ITEM_FORMAT_PROGRESS);
    m_list.AddColumn(LoadResourceString(IDS_COLUMN_TIME).c_str(), 50);
    m_list.AddColumn(LoadResourceString(IDS_COLUMN_STATUS).c_str(), 250);

    m_statusBar.SetPanes(kPanes, static_cast<int>(std::size(kPanes)));
    for (int i = 0; i < 3; ++i)
    {
        m_scriptButtons[i] = ::CreateWindowExW(
            0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTORADIOBUTTON, 0, 0, 0, 0, m_statusBar.m_hWnd,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kScriptIds[i])), instance, nullptr);
        if (m_scriptButtons[i])
            m_statusBar.AddWindow(i + 1, m_scriptButtons[i], TRUE);
    }
    m_statusBar.SetPaneWidth(ID_PANE_TIME, kTimePaneWidth);
    m_statusBar.UpdatePanesLayout();
    return TRUE;
}

void CMainDlg::InitLayout()
{
    static const CDialogLayout::Rule rules[] = {
        {IDC_BROWSE, 0, 0, 0, 0, 0},     {IDC_SEARCH_PATH, 0, 0, 1, 0, 0}, {IDC_REFRESH, 1, 0, 0, 0, 0},
        {IDC_FLASH, 1, 0, 0, 0, 0},      {ID_APP_HELP, 1, 0, 0, 0, 0},     {IDC_DEVICE_LIST, 0, 0, 1, 1, 0},
        {IDC_STATUS_BAR, 0, 1, 1, 0, 1},
    };
    m_layout.Init(m_hWnd, rules, std::size(rules));
}

LRESULT CMainDlg::OnGetMinMaxInfo(UINT, WPARAM, LPARAM lParam, BOOL& bHandled)
{
    POINT size{};
    if (!m_layout.GetMinTrackSize(size))
    {
        bHandled = FALSE;
        return 0;
    }
    reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = size;
    return 0;
}

LRESULT CMainDlg::OnSize(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    if (wParam == SIZE_MINIMIZED ||
        !m_layout.Apply(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))))
        return 0;
    if (m_list.m_hWnd)
    {
        const int position = m_list.FindColumn(ColumnStatus);
        RECT client{};
        m_list.GetClientRect(&client);
        int rest = client.right;
        for (int i = 0; i < m_list.GetColumnCount(); ++i)
            if (i != position)
                rest -= m_list.GetColumnWidth(i);
        if (position >= 0 && rest >= kMinStatusWidth)
            m_list.SetColumnWidth(position, rest);
    }
    // A moved control keeps the pixels it had, copied along with it; when
    // another program resized the window they may be half drawn: everything
    // is drawn anew.
    RedrawWindow(nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN);
    return 0;
}

ComPtr<IDeviceReport> CMainDlg::RowJob(int row)
{
    ComPtr<IDeviceReport> job;
    m_list.GetItemData(row, job);
    return job;
}

BOOL CMainDlg::IsAnyDeviceBusy()
{
    for (int row = 0; row < m_list.GetItemCount(); ++row)
    {
        ComPtr<IDeviceReport> job = RowJob(row);
        if (job && !job->IsFinished())
            return TRUE;
    }
    return FALSE;
}

BOOL CMainDlg::HasIdleRow()
{
    for (int row = 0; row < m_list.GetItemCount(); ++row)
        if (!RowJob(row))
            return TRUE;
    return FALSE;
}

BOOL CMainDlg::HasCheckedIdleRow()
{
    for (int row = 0; row < m_list.GetItemCount(); ++row)
        if (m_list.GetItemText(row, ColumnTick) == L"1" && !RowJob(row))
            return TRUE;
    return FALSE;
}

bool CMainDlg::DeferWhileStarting(UINT message, WPARAM wParam)
{
    if (!m_startingJobs)
        return false;
    m_deferred.emplace_back(message, wParam);
    return true;
}

LRESULT CMainDlg::OnRefresh(WORD, WORD, HWND, BOOL&)
{
    if (DeferWhileStarting(WM_COMMAND, IDC_REFRESH))
        return 0;
    HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    for (int row = 0; row < m_list.GetItemCount();)
    {
        ComPtr<IDeviceReport> job = RowJob(row);
        if (job && !job->IsFinished())
        {
            ++row;
            continue;
        }
        if (job) // a job that ended since the last tick is reported before its row goes
            ReportFinishedRow(row, job.Get());
        job.Reset();
        m_list.DeleteItem(row);
    }

    StringList devices;
    const HRESULT hr = LogError(GetDeviceList(devices), L"CMainDlg::OnRefresh", 273);
    if (SUCCEEDED(hr))
    {
        for (const std::wstring& name : devices)
        {
            const std::wstring index = FormatString(L"%d", GetDeviceIndex(name.c_str()));
            bool listed = false;
            for (int row = 0; row < m_list.GetItemCount() && !listed; ++row)
                listed = m_list.GetItemText(row, ColumnIndex) == index;
            if (listed)
                continue;
            const int row = m_list.AddItem(L"1");
            if (row < 0)
                continue;
            m_list.SetItemText(row, ColumnIndex, index.c_str());
            m_list.SetItemText(row, ColumnDevice, name.c_str());
        }
    }
    ReportError(hr);
    m_list.Invalidate();
    ::SetCursor(previous);
    return 0;
}

void CMainDlg::GetFlashParameters(FlashParameters& record, const std::wstring& folderText)
{
    if (!m_settings.Fill(record, folderText))
        LogError(HResultFromWin32(ERROR_FILENAME_EXCED_RANGE), L"CMainDlg::GetFlashParameters", __LINE__);
}

LRESULT CMainDlg::OnFlash(WORD, WORD, HWND, BOOL&)
{
    if (DeferWhileStarting(WM_COMMAND, IDC_FLASH))
        return 0;
    m_startingJobs = true;
    const std::wstring folderText = m_searchPath.GetWindowText();
    bool allFinished = true;
    int started = 0;
    for (int row = 0; row < m_list.GetItemCount(); ++row)
    {
        ComPtr<IDeviceReport> job = RowJob(row);
        if (job)
        {
            if (!job->IsFinished())
                allFinished = false;
            continue;
        }
        if (m_list.GetItemText(row, ColumnTick) != L"1")
            continue;
        const std::wstring device = m_list.GetItemText(row, ColumnDevice);
        const std::wstring rowFolder = GetSearchPath(device.c_str(), folderText);
        m_searchPath.SetWindowText(rowFolder.c_str());
        FlashParameters record;
        if (m_settings.Fill(record, rowFolder))
        {
            StartFlash(device.c_str(), &record, job.GetAddressOf());
            // A job that could not even start (no server to reach, ...).
            if (job && job->IsFinished() && job->IsFailed())
                ReportError(job->GetResult());
        }
        else
        {
            // A path list too long for its field: the row fails rather than
            // flashing with a cut list.
            ReportError(LogError(HResultFromWin32(ERROR_FILENAME_EXCED_RANGE), L"CMainDlg::OnFlash", __LINE__));
            COOMReport::GetInstance(job.GetAddressOf());
        }
        m_list.SetItemData(row, job);
        ++started;
    }
    if (allFinished && started > 0)
    {
        m_startTick = ::GetTickCount();
        m_timerRunning = SetTimer(kFlashTimer, kFlashTimerPeriod) != 0;
    }
    m_startingJobs = false;
    for (const auto& [message, wParam] : m_deferred)
        PostMessage(message, wParam, reinterpret_cast<LPARAM>(m_hWnd));
    m_deferred.clear();
    return 0;
}

LRESULT CMainDlg::OnTimer(UINT, WPARAM, LPARAM, BOOL&)
{
    bool allFinished = true;
    bool offerReboot = false;
    for (int row = 0; row < m_list.GetItemCount(); ++row)
    {
        ComPtr<IDeviceReport> job = RowJob(row);
        if (!job)
            continue;
        m_list.SetItemText(row, ColumnProgress, FormatString(L"%d", static_cast<int>(job->GetProgress())).c_str());
        m_list.SetItemText(row, ColumnTime, FormatString(L"%.0fs", job->GetElapsedTime()).c_str());
        CBstr status;
        if (SUCCEEDED(job->GetStatusText(status.Receive())))
            m_list.SetItemText(row, ColumnStatus, status ? status.Get() : L"");
        if (job->GetResult() == kDeviceNotBackResult)
            offerReboot = true;
        const BOOL failed = job->IsFailed();
        if (failed)
            m_list.SetItemColours(row, ColumnStatus, RGB(255, 255, 255), RGB(255, 0, 0));
        if (!job->IsFinished())
        {
            allFinished = false;
        }
        else
        {
            ReportFinishedRow(row, job.Get());
        }
    }
    m_list.RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    UpdateStatusPrompt();
    const unsigned seconds = (::GetTickCount() - m_startTick) / 1000;
    m_statusBar.SetPaneText(ID_PANE_TIME, FormatString(L"%5us", seconds).c_str());
    if (allFinished)
    {
        KillTimer(kFlashTimer);
        m_timerRunning = false;
        if (offerReboot)
            RebootWindows(m_hWnd, IDS_REBOOT_DRIVER_SIGNATURE, kRebootReason);
    }
    return 0;
}

LRESULT CMainDlg::OnCtlColorStatic(UINT, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    // The script buttons have no text: their panes' texts show through.
    const HWND control = reinterpret_cast<HWND>(lParam);
    const HWND* const first = std::begin(m_scriptButtons);
    const HWND* const last = std::end(m_scriptButtons);
    if (!control || std::find(first, last, control) == last)
    {
        bHandled = FALSE;
        return 0;
    }
    return reinterpret_cast<LRESULT>(PaintPaneBackground(control, reinterpret_cast<HDC>(wParam)));
}

void CMainDlg::ReportFinishedRow(int row, IDeviceReport* job)
{
    if (row >= kReportedRows || m_list.IsReported(row))
        return;
    NotifyController(m_list.GetItemText(row, ColumnDevice), !job->IsFailed());
    m_list.SetReported(row);
}

void CMainDlg::UpdateStatusPrompt()
{
    UINT prompt = IDS_PROMPT_REFRESH;
    if (IsAnyDeviceBusy())
        prompt = IDS_PROMPT_BUSY;
    else if (HasIdleRow())
        prompt = HasCheckedIdleRow() ? IDS_PROMPT_FLASH : IDS_PROMPT_SELECT;
    SetStatusPrompt(prompt);
}

BOOL CMainDlg::OnIdle()
{
    UpdateStatusPrompt();
    for (int i = 0; i < 3; ++i)
        if (m_scriptButtons[i])
            ::SendMessageW(
                m_scriptButtons[i], BM_SETCHECK,
                ::lstrcmpiW(m_settings.Block().FtBootScript, kScripts[i]) == 0 ? BST_CHECKED : BST_UNCHECKED, 0);
    return FALSE;
}

LRESULT CMainDlg::OnEnterIdle(UINT, WPARAM, LPARAM, BOOL&)
{
    OnIdle();
    return 0;
}

void CMainDlg::SetStatusPrompt(UINT promptId)
{
    const std::wstring prefix = LoadResourceString(IDS_ERROR_PREFIX);
    const std::wstring current = m_statusBar.GetPaneText(ID_DEFAULT_PANE);
    if (!prefix.empty() && current.compare(0, prefix.size(), prefix) == 0)
        return;
    const std::wstring prompt = LoadResourceString(promptId);
    if (prompt != current)
        m_statusBar.SetPaneText(ID_DEFAULT_PANE, prompt.c_str());
}

void CMainDlg::ReportError(HRESULT hr)
{
    LogError(hr, L"CMainDlg::ReportError", 504);
    if (SUCCEEDED(hr))
    {
        m_statusBar.SetPaneText(ID_DEFAULT_PANE, L"");
        return;
    }
    std::wstring message = GetErrorMessage(hr);
    message.erase(std::remove_if(message.begin(), message.end(), [](wchar_t c) { return c == L'\r' || c == L'\n'; }),
                  message.end());
    const std::wstring text =
        LoadResourceString(IDS_ERROR_PREFIX) + message + FormatString(L"(0x%08x)", static_cast<unsigned>(hr));
    m_statusBar.SetPaneText(ID_DEFAULT_PANE, text.c_str());
}

std::wstring CMainDlg::GetSearchPathText() const
{
    return m_searchPath.GetWindowText();
}

void CMainDlg::SetSearchPathText(const std::wstring& text)
{
    m_searchPath.SetWindowText(text.c_str());
}

LRESULT CMainDlg::OnBrowse(WORD, WORD, HWND, BOOL&)
{
    StringList folders;
    SplitList(m_searchPath.GetWindowText(), folders);
    const std::wstring picked = PickFolder(::GetActiveWindow(), LoadResourceString(IDS_BROWSE_TITLE),
                                           folders.empty() ? std::wstring() : folders[0]);
    if (!picked.empty())
        m_searchPath.SetWindowText(picked.c_str());
    return 0;
}

LRESULT CMainDlg::OnHelp(WORD, WORD, HWND, BOOL&)
{
    OpenWithShell(kHelpPage);
    return 0;
}

LRESULT CMainDlg::OnAdvanced(WORD, WORD, HWND, BOOL&)
{
    CAdvancedDlg dialog(&m_settings.Block());
    dialog.DoModal(m_hWnd);
    return 0;
}

LRESULT CMainDlg::OnOpenLog(WORD, WORD, HWND, BOOL&)
{
    OpenWithShell(GetLogFileName().c_str());
    return 0;
}

LRESULT CMainDlg::OnReadMe(WORD, WORD, HWND, BOOL&)
{
    wchar_t program[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;
    OpenWithShell(FormatString(L"res://%s/TEXT/ReadMe.txt", program).c_str());
    return 0;
}

LRESULT CMainDlg::OnFlashAll(WORD, WORD, HWND, BOOL&)
{
    m_settings.SetScript(kScripts[0]);
    return 0;
}

LRESULT CMainDlg::OnFlashAllExceptStorage(WORD, WORD, HWND, BOOL&)
{
    m_settings.SetScript(kScripts[1]);
    return 0;
}

LRESULT CMainDlg::OnFlashAllExceptDataStorage(WORD, WORD, HWND, BOOL&)
{
    m_settings.SetScript(kScripts[2]);
    return 0;
}

BOOL CMainDlg::OnDropFile(UINT index, const wchar_t* path)
{
    if (!::PathIsDirectoryW(path))
        return TRUE;
    const std::wstring current = index == 0 ? std::wstring() : m_searchPath.GetWindowText();
    m_searchPath.SetWindowText(MergeLists(current, path).c_str());
    return TRUE;
}

LRESULT CMainDlg::OnDestroy(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    if (m_timerRunning)
    {
        KillTimer(kFlashTimer);
        m_timerRunning = false;
    }
    m_searchPath.AddToList();
    m_searchPath.WriteToRegistry(kSettingsKey, L"SearchPath");
    if (CMessageLoop* loop = GetThreadMessageLoop())
    {
        loop->RemoveMessageFilter(this);
        loop->RemoveIdleHandler(this);
    }
    // Only the window holds the module: nothing to wait for at the end.
    if (g_Module.GetLockCount() == 1)
    {
        g_Module.m_dwTimeOut = 0;
        g_Module.m_dwPause = 0;
    }
    g_Module.Unlock(); // the window's own lock
    bHandled = FALSE;
    return 0;
}

LRESULT CMainDlg::CloseDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    if (DeferWhileStarting(WM_CLOSE, 0))
        return 0;
    DestroyWindow();
    ::PostQuitMessage(0);
    return 0;
}
