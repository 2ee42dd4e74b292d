#include "platform/Dialog.h"

namespace
{

thread_local CDialogImplRoot* t_creatingDialog = nullptr;

// Messages whose result a dialog procedure returns itself instead of
// through DWLP_MSGRESULT.
bool ReturnsDirectly(UINT uMsg)
{
    switch (uMsg)
    {
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        return true;
    default:
        return false;
    }
}

} // namespace

HWND CDialogImplRoot::CreateFromTemplate(LPCWSTR templateName, HWND parent, LPARAM initParam)
{
    m_modal = false;
    t_creatingDialog = this;
    HWND hWnd = ::CreateDialogParamW(::GetModuleHandleW(nullptr), templateName, parent, StartDialogProc, initParam);
    t_creatingDialog = nullptr;
    return hWnd;
}

INT_PTR CDialogImplRoot::ModalFromTemplate(LPCWSTR templateName, HWND parent, LPARAM initParam)
{
    m_modal = true;
    t_creatingDialog = this;
    INT_PTR result = ::DialogBoxParamW(::GetModuleHandleW(nullptr), templateName, parent, StartDialogProc, initParam);
    t_creatingDialog = nullptr;
    m_modal = false;
    return result;
}

BOOL CDialogImplRoot::EndDialogImpl(int result)
{
    HWND hWnd = HandleRef();
    if (!hWnd)
        return FALSE;
    return m_modal ? ::EndDialog(hWnd, result) : ::DestroyWindow(hWnd);
}

INT_PTR CALLBACK CDialogImplRoot::StartDialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CDialogImplRoot* object = t_creatingDialog;
    t_creatingDialog = nullptr;
    if (!object || !object->Attach(hWnd))
        return FALSE;
    DLGPROC proc = object->GetDialogProc();
    ::SetWindowLongPtrW(hWnd, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
    return proc(hWnd, uMsg, wParam, lParam);
}

INT_PTR CALLBACK CDialogImplRoot::DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    auto* object = static_cast<CDialogImplRoot*>(FromHandle(hWnd));
    if (!object)
        return FALSE;

    LRESULT result = 0;
    BOOL handled = object->RouteMessage(hWnd, uMsg, wParam, lParam, result, false);
    if (object->FinishIfDestroyed(hWnd, nullptr))
        return handled ? static_cast<INT_PTR>(result) : FALSE;
    if (!handled)
        return FALSE;
    if (ReturnsDirectly(uMsg))
        return static_cast<INT_PTR>(result);
    ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}
