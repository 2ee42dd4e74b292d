// Dialogs implemented by a C++ object with a message map: modeless
// (Create) or modal (DoModal), from the dialog template T::IDD in the
// program's resources.
#pragma once
#include "platform/WindowImpl.h"

class CDialogImplRoot : public CWindowImplRoot
{
public:
    // The procedure that dispatches this dialog's messages.
    virtual DLGPROC GetDialogProc() { return DialogProc; }

    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK StartDialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

protected:
    HWND CreateFromTemplate(LPCWSTR templateName, HWND parent, LPARAM initParam);
    INT_PTR ModalFromTemplate(LPCWSTR templateName, HWND parent, LPARAM initParam);
    BOOL EndDialogImpl(int result);

    bool m_modal = false;
};

template <class T, class TBase = CWindow> class CDialogImpl : public TBase, public CDialogImplRoot
{
public:
    HWND Create(HWND parent, LPARAM initParam = 0)
    {
        if (this->m_hWnd)
            return nullptr;
        return CreateFromTemplate(MAKEINTRESOURCEW(T::IDD), parent, initParam);
    }

    INT_PTR DoModal(HWND parent = ::GetActiveWindow(), LPARAM initParam = 0)
    {
        if (this->m_hWnd)
            return -1;
        return ModalFromTemplate(MAKEINTRESOURCEW(T::IDD), parent, initParam);
    }

    // Ends a modal dialog with this result; destroys a modeless one.
    BOOL EndDialog(int result) { return EndDialogImpl(result); }

    // The dialog manager does the default processing.
    LRESULT DefWindowProc(UINT, WPARAM, LPARAM) { return 0; }

protected:
    HWND& HandleRef() override { return this->m_hWnd; }
};
