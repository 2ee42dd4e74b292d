// The main window: the image-folder text, one row per attached device, the
// flash jobs of the ticked rows polled every 100 ms, the status prompts, the
// fastboot script choice, and remote control by window messages. Its parts:
// the control layout (ui/DialogLayout.h), the settings block and the records
// made from it (ui/FlashSettings.h), the remote-control messages
// (ui/RemoteControlHandler.h, chained into the message map).
#pragma once
#include "platform/Dialog.h"
#include "platform/Handles.h"
#include "platform/MessageLoop.h"
#include "ui/DeviceRows.h"
#include "ui/DialogLayout.h"
#include "ui/DropFiles.h"
#include "ui/FlashSettings.h"
#include "ui/MainResources.h"
#include "ui/MenuButton.h"
#include "ui/MruCombo.h"
#include "ui/RemoteControlHandler.h"
#include "ui/StatusBar.h"

#include <wrl/client.h>
#include <string>
#include <utility>
#include <vector>

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

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CRemoteControl<CMainDlg>,
                 public CDropFilesHandler<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler
{
public:
    enum
    {
        IDD = IDD_MAIN_DIALOG
    };
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
    CHAIN_MSG_MAP(CRemoteControl<CMainDlg>) // WM_COPYDATA, WM_REMOTE_REFRESH, WM_REMOTE_FLASH
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
    // The idle prompt for the rows' state; the timer runs it too, since its
    // ticks and redraws keep idle time from coming while jobs run.
    void UpdateStatusPrompt();

    // The image-folder text (the combo box's window text).
    std::wstring GetSearchPathText() const;
    void SetSearchPathText(const std::wstring& text);

private:
    friend class CMainDlgProbe; // what tests look at

    void InitLayout();
    Microsoft::WRL::ComPtr<IDeviceReport> RowJob(int row);
    // While Flash starts jobs, a start may wait for its server and serve this
    // window's messages meanwhile: Refresh, Flash and Close that come then are
    // kept and posted again once the starts are done, so that no row goes
    // from under the loop. True when the message was kept.
    bool DeferWhileStarting(UINT message, WPARAM wParam);
    // Tells the controlling window a finished row's result, once per row.
    void ReportFinishedRow(int row, IDeviceReport* job);

    DWORD m_startTick = 0;
    CFlashSettings m_settings;
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
    CDialogLayout m_layout;
    CIcon m_bigIcon;
    CIcon m_smallIcon;
};
