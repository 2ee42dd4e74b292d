// The parts of the main window that tests look at and set (a friend of
// CMainDlg; the program itself has no use for them).
#pragma once
#include "ui/MainDlg.h"

class CMainDlgProbe
{
public:
    explicit CMainDlgProbe(CMainDlg& dialog) : m_dialog(dialog) {}

    CMainDlg::CDeviceList& DeviceList() { return m_dialog.m_list; }
    CMainDlg::CMPSBarWithAny& StatusBar() { return m_dialog.m_statusBar; }
    HWND ScriptButton(int i) const { return m_dialog.m_scriptButtons[i]; }
    bool IsTimerRunning() const { return m_dialog.m_timerRunning; }
    // The settings block that the Advanced dialog edits.
    FlashParameters& Settings() { return m_dialog.m_settings.Block(); }

private:
    CMainDlg& m_dialog;
};
