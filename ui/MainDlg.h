// The main window: the image-folder text, one row per attached device, the
// flash jobs of the ticked rows polled every 100 ms, the status prompts, the
// fastboot script choice, and remote control by window messages.
#pragma once
#include "platform/Dialog.h"
#include "platform/Handles.h"
#include "platform/MessageLoop.h"
#include "services/FileSearch.h"
#include "ui/DropFiles.h"
#include "jobs/StartFlash.h"
#include "ui/MainResources.h"
#include "ui/MenuButton.h"
#include "ui/MruCombo.h"
#include "ui/StatusBar.h"
#include "ui/listctrl/ListCtrlData.h"

#include <wrl/client.h>
#include <string>
#include <vector>

// Remote control: WM_COPYDATA with this dwData sets the image-folder text.
constexpr ULONG_PTR COPYDATA_SEARCH_PATH = 5025;
// To the main window, wParam the controller window: Refresh, Flash.
constexpr UINT WM_REMOTE_REFRESH = 5026;
constexpr UINT WM_REMOTE_FLASH = 5027;
// Posted to the controller per finished serial-port row: wParam the port
// number, lParam 1 success, 0 failure.
constexpr UINT WM_FLASH_RESULT = 5028;

// Rows that are reported to the controller.
constexpr int kReportedRows = 100;

// Column ids of the device list.
enum MainColumn : int
{
    ColumnTick = 0,
    ColumnIndex = 1,
    ColumnDevice = 2,
    ColumnProgress = 3,
    ColumnTime = 4,
    ColumnStatus = 5,
};

// The search list of an image-folder text: for each folder its "images"
// subfolder, itself and its parent, those that exist.
StringList BuildSearchList(const std::wstring& folderText);
// Fills `record` from the settings block's patterns along the search list
// of `folderText`. FALSE when a resolved text does not fit its field (the
// field is then left empty).
BOOL FillFlashParameters(FlashParameters& record, const FlashParameters& settings, const std::wstring& folderText);
// The port number of a device named "COM<number>"; false for other names.
bool ParseComPort(const std::wstring& deviceName, WPARAM& port);

// The device rows. Each row also carries whether its finished job has been
// reported to the controller: the mark moves with its row when the list is
// sorted and goes with it when the row is deleted, whatever job the row
// holds (rows that could not start all share the never-started job).
class CDeviceRows : public CListCtrlData<Microsoft::WRL::ComPtr<IDeviceReport>>
{
public:
    bool IsReported(int row) const;
    void SetReported(int row);

protected:
    BOOL AppendRow(CListRowBase&& record) override;
    void RemoveRow(int row) override;
    BOOL ReorderRows(const std::vector<int>& order) override;

private:
    std::vector<bool> m_reported; // by row; rows past its end are unreported
};

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CDropFilesHandler<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler
{
public:
    enum { IDD = IDD_MAIN_DIALOG };
    using CDeviceList = CDeviceRows;
    using CMPSBarWithAny = ::CMPSBarWithAny;

    CMainDlg();
    ~CMainDlg() override;

    BOOL PreTranslateMessage(MSG* msg) override;
    BOOL OnIdle() override;

    BEGIN_MSG_MAP(CMainDlg)
        MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
        MESSAGE_HANDLER(WM_ENTERIDLE, OnEnterIdle)
        MESSAGE_HANDLER(WM_SIZE, OnSize)
        MESSAGE_HANDLER(WM_GETMINMAXINFO, OnGetMinMaxInfo)
        MESSAGE_HANDLER(WM_COPYDATA, OnCopyData)
        MESSAGE_HANDLER(WM_REMOTE_REFRESH, OnRemoteCommand)
        MESSAGE_HANDLER(WM_REMOTE_FLASH, OnRemoteCommand)
        MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
        MESSAGE_HANDLER(WM_CLOSE, CloseDialog)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
        MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnCtlColorStatic)
        COMMAND_ID_HANDLER(IDC_BROWSE, OnBrowse)
        COMMAND_ID_HANDLER(IDC_REFRESH, OnRefresh)
        COMMAND_ID_HANDLER(IDC_FLASH, OnFlash)
        COMMAND_ID_HANDLER(ID_APP_HELP, OnHelp)
        COMMAND_ID_HANDLER(ID_OPTIONS_ADVANCED, OnAdvanced)
        COMMAND_ID_HANDLER(ID_OPEN_LOG, OnOpenLog)
        COMMAND_ID_HANDLER(ID_READ_ME, OnReadMe)
        COMMAND_ID_HANDLER(ID_FLASH_ALL, OnFlashAll)
        COMMAND_ID_HANDLER(ID_FLASH_ALL_EXCEPT_STORAGE, OnFlashAllExceptStorage)
        COMMAND_ID_HANDLER(ID_FLASH_ALL_EXCEPT_DATA_STORAGE, OnFlashAllExceptDataStorage)
        CHAIN_MSG_MAP(CDropFilesHandler<CMainDlg>)
        REFLECT_NOTIFICATIONS()
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEnterIdle(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSize(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnGetMinMaxInfo(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCopyData(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnRemoteCommand(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT CloseDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCtlColorStatic(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnBrowse(WORD, WORD, HWND, BOOL&);
    LRESULT OnRefresh(WORD, WORD, HWND, BOOL&);
    LRESULT OnFlash(WORD, WORD, HWND, BOOL&);
    LRESULT OnHelp(WORD, WORD, HWND, BOOL&);
    LRESULT OnAdvanced(WORD, WORD, HWND, BOOL&);
    LRESULT OnOpenLog(WORD, WORD, HWND, BOOL&);
    LRESULT OnReadMe(WORD, WORD, HWND, BOOL&);
    LRESULT OnFlashAll(WORD, WORD, HWND, BOOL&);
    LRESULT OnFlashAllExceptStorage(WORD, WORD, HWND, BOOL&);
    LRESULT OnFlashAllExceptDataStorage(WORD, WORD, HWND, BOOL&);

    BOOL OnDropFile(UINT index, const wchar_t* path);

    // The nine settings from the per-user registry into the settings block.
    void LoadSettings();
    void GetFlashParameters(FlashParameters& record, const std::wstring& folderText);
    BOOL IsAnyDeviceBusy();
    BOOL HasIdleRow();
    BOOL HasCheckedIdleRow();
    void SetStatusPrompt(UINT promptId);
    void ReportError(HRESULT hr);
    void NotifyController(const std::wstring& deviceName, bool success);
    // The idle prompt for the rows' state; the timer runs it too, since its
    // ticks and redraws keep idle time from coming while jobs run.
    void UpdateStatusPrompt();

    // The settings block that the Advanced dialog edits.
    FlashParameters& Settings() { return m_settings; }
    std::wstring GetSearchPathText() const;
    HWND GetController() const { return m_controller; }
    CDeviceList& DeviceList() { return m_list; }
    CMPSBarWithAny& StatusBar() { return m_statusBar; }
    HWND ScriptButton(int i) const { return m_scriptButtons[i]; }
    bool IsTimerRunning() const { return m_timerRunning; }

private:
    struct Anchor
    {
        int id;
        RECT rect;      // the control's rectangle at start, in client coordinates
        BYTE moveX, moveY, sizeX, sizeY;
    };
    void InitLayout();
    void SetScript(const wchar_t* script);
    Microsoft::WRL::ComPtr<IDeviceReport> RowJob(int row);
    // Lets the remote-control messages through the message filter, so that
    // a controller without administrator rights reaches the window.
    void AllowRemoteControl();
    // While Flash starts jobs, a start may wait for its server and serve this
    // window's messages meanwhile: Refresh, Flash and Close that come then are
    // kept and posted again once the starts are done, so that no row goes
    // from under the loop. True when the message was kept.
    bool DeferWhileStarting(UINT message, WPARAM wParam);
    // Tells the controlling window a finished row's result, once per row.
    void ReportFinishedRow(int row, IDeviceReport* job);

    DWORD m_startTick = 0;
    FlashParameters m_settings;
    HWND m_controller = nullptr;
    HACCEL m_accelerators = nullptr;
    WTLEX::CAutoMenuButton m_browse;
    CMruComboCtrl m_searchPath;
    HWND m_refresh = nullptr;
    HWND m_flash = nullptr;
    CDeviceList m_list;
    CMPSBarWithAny m_statusBar;
    HWND m_scriptButtons[3] = {};

    bool m_timerRunning = false;
    bool m_startingJobs = false;
    std::vector<std::pair<UINT, WPARAM>> m_deferred; // messages kept while jobs start
    Anchor m_anchors[7] = {};
    SIZE m_initialClient = {};
    SIZE m_minTrack = {};
    CIcon m_bigIcon;
    CIcon m_smallIcon;
};
