// Run: the main window in its message loop.
#include "ui/Startup.h"

#include "platform/MessageLoop.h"
#include "platform/Module.h"
#include "services/Log.h"

#if __has_include("ui/MainDlg.h")
#include "ui/MainDlg.h"

int Run(const wchar_t*, int show)
{
    CMessageLoop loop;
    AddThreadMessageLoop(&loop);
    int result = 0;
    {
        CMainDlg dialog;
        if (!dialog.Create(nullptr))
        {
            LogError(LastErrorHResult(), L"Run", __LINE__);
        }
        else
        {
            dialog.ShowWindow(show);
            result = loop.Run();
        }
        if (dialog.m_hWnd)
            dialog.DestroyWindow();
    }
    RemoveThreadMessageLoop();
    return result;
}
#else
// A build without the main window: it cannot be created.
int Run(const wchar_t*, int)
{
    return LogError(HResultFromWin32(ERROR_CANNOT_MAKE), L"Run", __LINE__), 0;
}
#endif
