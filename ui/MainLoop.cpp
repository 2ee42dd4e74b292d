// Run: the main window in its message loop.
#include "ui/Startup.h"

#include "platform/MessageLoop.h"
#include "platform/Module.h"
#include "services/Log.h"
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
