// Files dropped from the shell onto a window (WM_DROPFILES). The window
// class T provides BOOL OnDropFile(UINT index, const wchar_t* path), called
// for each dropped path in order until it returns FALSE.
#pragma once
#include "platform/WindowImpl.h"

#include <shellapi.h>
#include <functional>

// Whether the drop landed inside the window's client rectangle.
bool IsDropInClient(HWND hWnd, HDROP drop);
// Calls `onFile` with each dropped path (index from 0) that can be read
// whole; stops when it returns FALSE.
void ForEachDroppedFile(HDROP drop, const std::function<BOOL(UINT index, const wchar_t* path)>& onFile);

template <class T> class CDropFilesHandler
{
public:
    BEGIN_MSG_MAP(CDropFilesHandler<T>)
    MESSAGE_HANDLER(WM_DROPFILES, OnDropFiles)
    END_MSG_MAP()

    // A drop outside the client area is left to default handling.
    LRESULT OnDropFiles(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
    {
        T* pT = static_cast<T*>(this);
        HDROP drop = reinterpret_cast<HDROP>(wParam);
        if (!IsDropInClient(pT->m_hWnd, drop))
        {
            bHandled = FALSE;
            return 1;
        }
        ForEachDroppedFile(drop, [pT](UINT index, const wchar_t* path) { return pT->OnDropFile(index, path); });
        ::DragFinish(drop);
        return 0;
    }
};
