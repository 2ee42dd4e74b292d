#include "ui/FolderPicker.h"

#include <shlobj.h>

#include "platform/Handles.h"

namespace
{

int CALLBACK BrowseCallback(HWND hWnd, UINT msg, LPARAM, LPARAM data)
{
    if (msg == BFFM_INITIALIZED && data)
    {
        ::SendMessageW(hWnd, BFFM_SETEXPANDED, TRUE, data);
        ::SendMessageW(hWnd, BFFM_SETSELECTIONW, TRUE, data);
    }
    return 0;
}

} // namespace

std::wstring PickFolder(HWND owner, const std::wstring& title, const std::wstring& start)
{
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON | BIF_SHAREABLE;
    info.lpfn = BrowseCallback;
    info.lParam = start.empty() ? 0 : reinterpret_cast<LPARAM>(start.c_str());
    const CCoTaskMemory picked(::SHBrowseForFolderW(&info));
    wchar_t path[MAX_PATH];
    if (!picked || !::SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(picked.Get()), path))
        return std::wstring();
    return path;
}
