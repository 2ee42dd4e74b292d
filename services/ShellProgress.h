// The shell's progress dialog, shown modeless while a long operation runs.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include "platform/ComObject.h"

class CSHProgressWnd
{
public:
    CSHProgressWnd();
    ~CSHProgressWnd();
    CSHProgressWnd(const CSHProgressWnd&) = delete;
    CSHProgressWnd& operator=(const CSHProgressWnd&) = delete;

    bool IsCreated() const { return m_created; }
    bool IsShown() const { return m_shown; }
    DWORD GetFlags() const { return m_flags; }

    // Style flags: they take effect at the next ShowModeless.
    void ShowTime(bool show);
    void ShowMinimize(bool show);
    void ShowProgressBar(bool show);

    void SetTitle(const wchar_t* text);
    // An AVI resource of the program's resource module.
    void SetAnimation(UINT resourceId);
    HRESULT ShowModeless(HWND parent = nullptr);
    // Line 1 to 3; with `compactPath` the shell shortens a path that does not fit.
    void SetLine(DWORD line, const wchar_t* text, bool compactPath = false);
    void SetRange(ULONGLONG completed, ULONGLONG total);
    void SetPos(ULONGLONG completed);
    bool IsCancelled();
    void Close();

private:
    ComPtr<IProgressDialog> m_dialog;
    bool m_created = false;
    bool m_shown = false;
    DWORD m_flags = 0;
    ULONGLONG m_total = 0;
};
