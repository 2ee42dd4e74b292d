// Remote control of a window by another program, chained into the window's
// message map: WM_COPYDATA with COPYDATA_SEARCH_PATH sets the image-folder
// text, WM_REMOTE_REFRESH and WM_REMOTE_FLASH press Refresh and Flash for the
// controller window named in wParam, and the controller gets WM_FLASH_RESULT
// per finished serial-port row. T provides SetSearchPathText.
#pragma once
#include "platform/WindowImpl.h"
#include "services/Log.h"
#include "ui/MainResources.h"

#include <string>

// Remote control: WM_COPYDATA with this dwData sets the image-folder text.
constexpr ULONG_PTR COPYDATA_SEARCH_PATH = 5025;
// To the main window, wParam the controller window: Refresh, Flash.
constexpr UINT WM_REMOTE_REFRESH = 5026;
constexpr UINT WM_REMOTE_FLASH = 5027;
// Posted to the controller per finished serial-port row: wParam the port
// number, lParam 1 success, 0 failure.
constexpr UINT WM_FLASH_RESULT = 5028;

// The port number of a device named "COM<number>"; false for other names.
bool ParseComPort(const std::wstring& deviceName, WPARAM& port);

template <class T> class CRemoteControl
{
public:
    BEGIN_MSG_MAP(CRemoteControl<T>)
    MESSAGE_HANDLER(WM_COPYDATA, OnCopyData)
    MESSAGE_HANDLER(WM_REMOTE_REFRESH, OnRemoteCommand)
    MESSAGE_HANDLER(WM_REMOTE_FLASH, OnRemoteCommand)
    END_MSG_MAP()

    LRESULT OnCopyData(UINT, WPARAM, LPARAM lParam, BOOL&)
    {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (!data || data->dwData != COPYDATA_SEARCH_PATH)
            return TRUE;
        // Read no further than the data that came: a text without terminator
        // ends with the last whole character.
        const wchar_t* text = static_cast<const wchar_t*>(data->lpData);
        const size_t limit = text ? data->cbData / sizeof(wchar_t) : 0;
        static_cast<T*>(this)->SetSearchPathText(std::wstring(text ? text : L"", text ? wcsnlen(text, limit) : 0));
        return TRUE;
    }

    LRESULT OnRemoteCommand(UINT uMsg, WPARAM wParam, LPARAM, BOOL&)
    {
        T* pT = static_cast<T*>(this);
        m_controller = reinterpret_cast<HWND>(wParam);
        ::PostMessageW(pT->m_hWnd, WM_COMMAND, uMsg == WM_REMOTE_REFRESH ? IDC_REFRESH : IDC_FLASH,
                       reinterpret_cast<LPARAM>(pT->m_hWnd));
        return TRUE;
    }

    // Tells the controller a finished row's result, when there is one and
    // the row's device is a serial port.
    void NotifyController(const std::wstring& deviceName, bool success)
    {
        WPARAM port = 0;
        if (m_controller && ParseComPort(deviceName, port))
            ::PostMessageW(m_controller, WM_FLASH_RESULT, port, success ? 1 : 0);
    }

protected:
    // Lets the remote-control messages through the message filter, so that
    // a controller without administrator rights reaches the window.
    void AllowRemoteControl()
    {
        // The program runs elevated; a controller that does not would have
        // these three dropped by the window's message filter.
        for (UINT message : {WM_REMOTE_REFRESH, WM_REMOTE_FLASH, static_cast<UINT>(WM_COPYDATA)})
        {
            CHANGEFILTERSTRUCT change{sizeof(change), 0};
            if (!::ChangeWindowMessageFilterEx(static_cast<T*>(this)->m_hWnd, message, MSGFLT_ALLOW, &change))
                LogError(LastErrorHResult(), L"CMainDlg::AllowRemoteControl", 236);
        }
    }

    HWND m_controller = nullptr; // the last sender of a Refresh or Flash; never cleared
};
