#include "ui/DropFiles.h"

bool IsDropInClient(HWND hWnd, HDROP drop)
{
    POINT point{};
    RECT client{};
    return ::DragQueryPoint(drop, &point) && ::GetClientRect(hWnd, &client) && ::PtInRect(&client, point);
}

void ForEachDroppedFile(HDROP drop, const std::function<BOOL(UINT index, const wchar_t* path)>& onFile)
{
    const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i)
    {
        // Paths are taken up to MAX_PATH - 1 characters; a longer one would
        // arrive cut, naming another file, and is passed over.
        wchar_t path[MAX_PATH];
        const UINT length = ::DragQueryFileW(drop, i, nullptr, 0);
        if (length == 0 || length >= MAX_PATH || !::DragQueryFileW(drop, i, path, MAX_PATH))
            continue;
        if (!onFile(i, path))
            break;
    }
}
