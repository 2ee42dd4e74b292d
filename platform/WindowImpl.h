// Windows implemented by a C++ object: a message map per class, window
// class registration (own class, superclass of a system class, or a plain
// class for dialog controls that are subclassed later), subclassing, and
// reflection of child notifications back to the child that sent them.
//
// The object is found from its window through a window property, so the
// window's GWLP_USERDATA stays free for the control itself.
#pragma once
#include "platform/Window.h"

// Reflected messages arrive at the child as this base + the parent's message.
constexpr UINT OCM__BASE = WM_USER + 0x1C00;
constexpr UINT OCM_COMMAND = OCM__BASE + WM_COMMAND;
constexpr UINT OCM_NOTIFY = OCM__BASE + WM_NOTIFY;
constexpr UINT OCM_DRAWITEM = OCM__BASE + WM_DRAWITEM;
constexpr UINT OCM_MEASUREITEM = OCM__BASE + WM_MEASUREITEM;
constexpr UINT OCM_CTLCOLORSTATIC = OCM__BASE + WM_CTLCOLORSTATIC;

// The message map. A handler is entered with bHandled TRUE; clearing it
// passes the message on to the later entries. Each call of
// ProcessWindowMessage has its own flag, so a handler that sends messages
// to its own window does not disturb the flag of the message it handles.
class CMessageMap
{
public:
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                      DWORD dwMsgMapID = 0) = 0;
};

#define BEGIN_MSG_MAP(theClass)                                                                     \
public:                                                                                             \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, \
                              DWORD dwMsgMapID = 0)                                                 \
    {                                                                                               \
        BOOL bHandled = TRUE;                                                                       \
        (void)hWnd;                                                                                 \
        (void)uMsg;                                                                                 \
        (void)wParam;                                                                               \
        (void)lParam;                                                                               \
        (void)lResult;                                                                              \
        (void)bHandled;                                                                             \
        switch (dwMsgMapID)                                                                         \
        {                                                                                           \
        case 0:

#define ALT_MSG_MAP(mapId) \
    break;                 \
    case mapId:

#define KESTRUP_CALL_HANDLER(call) \
    {                              \
        bHandled = TRUE;           \
        lResult = call;            \
        if (bHandled)              \
            return TRUE;           \
    }

// LRESULT func(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
#define MESSAGE_HANDLER(msg, func) \
    if (uMsg == (msg))             \
    KESTRUP_CALL_HANDLER(func(uMsg, wParam, lParam, bHandled))

#define MESSAGE_RANGE_HANDLER(msgFirst, msgLast, func) \
    if (uMsg >= (msgFirst) && uMsg <= (msgLast))       \
    KESTRUP_CALL_HANDLER(func(uMsg, wParam, lParam, bHandled))

// LRESULT func(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled)
#define KESTRUP_COMMAND_CALL(func) func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled)

#define COMMAND_ID_HANDLER(id, func)                  \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id)) \
    KESTRUP_CALL_HANDLER(KESTRUP_COMMAND_CALL(func))

#define COMMAND_HANDLER(id, code, func)                                           \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == (code)) \
    KESTRUP_CALL_HANDLER(KESTRUP_COMMAND_CALL(func))

#define COMMAND_RANGE_HANDLER(idFirst, idLast, func)                                     \
    if (uMsg == WM_COMMAND && LOWORD(wParam) >= (idFirst) && LOWORD(wParam) <= (idLast)) \
    KESTRUP_CALL_HANDLER(KESTRUP_COMMAND_CALL(func))

#define COMMAND_RANGE_CODE_HANDLER(idFirst, idLast, code, func)                                                      \
    if (uMsg == WM_COMMAND && HIWORD(wParam) == (code) && LOWORD(wParam) >= (idFirst) && LOWORD(wParam) <= (idLast)) \
    KESTRUP_CALL_HANDLER(KESTRUP_COMMAND_CALL(func))

// LRESULT func(int idCtrl, LPNMHDR pnmh, BOOL& bHandled)
#define NOTIFY_CODE_HANDLER(cd, func)                                                          \
    if (uMsg == WM_NOTIFY && reinterpret_cast<LPNMHDR>(lParam)->code == static_cast<UINT>(cd)) \
    KESTRUP_CALL_HANDLER(func(static_cast<int>(wParam), reinterpret_cast<LPNMHDR>(lParam), bHandled))

#define NOTIFY_HANDLER(id, cd, func)                                                                   \
    if (uMsg == WM_NOTIFY && reinterpret_cast<LPNMHDR>(lParam)->idFrom == static_cast<UINT_PTR>(id) && \
        reinterpret_cast<LPNMHDR>(lParam)->code == static_cast<UINT>(cd))                              \
    KESTRUP_CALL_HANDLER(func(static_cast<int>(wParam), reinterpret_cast<LPNMHDR>(lParam), bHandled))

#define CHAIN_MSG_MAP(theChainClass)                                              \
    if (theChainClass::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult)) \
        return TRUE;

#define CHAIN_MSG_MAP_MEMBER(theChainMember)                                        \
    if ((theChainMember).ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult)) \
        return TRUE;

#define REFLECT_NOTIFICATIONS() KESTRUP_CALL_HANDLER(ReflectNotifications(hWnd, uMsg, wParam, lParam, bHandled))

#define DEFAULT_REFLECTION_HANDLER()                                   \
    if (DefaultReflectionHandler(hWnd, uMsg, wParam, lParam, lResult)) \
        return TRUE;

#define END_MSG_MAP() \
    break;            \
    default:          \
        break;        \
        }             \
        return FALSE; \
        }

// Sends a child's notification (WM_COMMAND, WM_NOTIFY, WM_DRAWITEM, the
// scroll and colour messages ...) back to the child as OCM__BASE + message.
// bHandled is cleared when the message names no child.
LRESULT ReflectNotifications(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

// A reflected message that the child does not handle gets the default
// processing of the original message.
BOOL DefaultReflectionHandler(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

// Registers a window class whose procedure is DefWindowProcW, for controls
// that a dialog template creates and an object subclasses later. Registering
// a class twice is not an error.
BOOL RegisterPlainWindowClass(LPCWSTR className, UINT style = CS_DBLCLKS, HCURSOR cursor = nullptr,
                              HBRUSH background = nullptr);

// Window styles a window class gives its windows unless Create is told others.
template <DWORD t_dwStyle = 0, DWORD t_dwExStyle = 0> struct CWinTraits
{
    static DWORD GetWndStyle(DWORD style) { return style == 0 ? t_dwStyle : style; }
    static DWORD GetWndExStyle(DWORD exStyle) { return exStyle == 0 ? t_dwExStyle : exStyle; }
};
using CControlWinTraits = CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0>;
using CFrameWinTraits = CWinTraits<WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, WS_EX_APPWINDOW>;

// A window class registered on first use. With a base class name it is a
// superclass: the base's class data, its own name, and the base's procedure
// as the default processing of its windows.
struct CWndClassInfo
{
    LPCWSTR className;
    LPCWSTR baseClassName;
    UINT style;
    HCURSOR cursor;
    HBRUSH background;
    ATOM atom;
    WNDPROC baseProc;
    wchar_t generatedName[40];

    ATOM Register(WNDPROC startProc, WNDPROC* defaultProc);
};

// Inside a class: its window class, by name (null: a generated name).
#define DECLARE_WND_CLASS(name)                                                  \
    static CWndClassInfo& GetWndClassInfo()                                      \
    {                                                                            \
        static CWndClassInfo info = {name,                                       \
                                     nullptr,                                    \
                                     CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,       \
                                     nullptr,                                    \
                                     reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1), \
                                     0,                                          \
                                     nullptr,                                    \
                                     {}};                                        \
        return info;                                                             \
    }

#define DECLARE_WND_SUPERCLASS(name, baseName)                                             \
    static CWndClassInfo& GetWndClassInfo()                                                \
    {                                                                                      \
        static CWndClassInfo info = {name, baseName, 0, nullptr, nullptr, 0, nullptr, {}}; \
        return info;                                                                       \
    }

// What every object-backed window shares: the handle, the procedure it
// replaced (its default processing), the message being handled, and the
// end of its life at WM_NCDESTROY.
class CWindowImplRoot : public CMessageMap
{
public:
    virtual ~CWindowImplRoot() = default;

    // The procedure that dispatches this object's messages.
    virtual WNDPROC GetWindowProc() { return WindowProc; }
    // Called after the window is gone (WM_NCDESTROY fully processed).
    virtual void OnFinalMessage(HWND) {}

    const MSG* GetCurrentMessage() const { return m_currentMsg; }
    WNDPROC m_pfnSuperWindowProc = ::DefWindowProcW;

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK StartWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    static CWindowImplRoot* FromHandle(HWND hWnd);

protected:
    // The window handle lives in the CWindow part of the derived class;
    // these reach it without knowing that class.
    virtual HWND& HandleRef() = 0;

    BOOL Attach(HWND hWnd);
    void Detach(HWND hWnd);
    // Runs the message map for one message, and the default processing when
    // callDefault is set and the map leaves the message; true when handled.
    BOOL RouteMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& result, bool callDefault);
    // After WM_NCDESTROY: gives the window its old procedure back (when
    // ownProc is still in place), detaches and calls OnFinalMessage.
    bool FinishIfDestroyed(HWND hWnd, WNDPROC ownProc);
    // The object that the next window created on this thread belongs to.
    static void SetCreatingObject(CWindowImplRoot* object);

    const MSG* m_currentMsg = nullptr;
    int m_depth = 0;
    bool m_destroyed = false;
};

template <class TBase = CWindow> class CWindowImplBaseT : public TBase, public CWindowImplRoot
{
public:
    // An object that dies before its window leaves the window to its old
    // procedure rather than to a dangling object.
    ~CWindowImplBaseT() override
    {
        if (this->m_hWnd && !UnsubclassWindow())
            Detach(this->m_hWnd);
    }

    // Takes over a window that exists: its procedure becomes this object's,
    // the old one its default processing.
    BOOL SubclassWindow(HWND hWnd)
    {
        if (this->m_hWnd || !::IsWindow(hWnd) || FromHandle(hWnd))
            return FALSE;
        WNDPROC old = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC));
        if (!Attach(hWnd))
            return FALSE;
        m_pfnSuperWindowProc = old;
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(GetWindowProc()));
        return TRUE;
    }

    // Gives the window its old procedure back; false when another
    // procedure has been put over this one since.
    HWND UnsubclassWindow()
    {
        HWND hWnd = this->m_hWnd;
        if (!hWnd || reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC)) != GetWindowProc())
            return nullptr;
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuperWindowProc));
        m_pfnSuperWindowProc = ::DefWindowProcW;
        Detach(hWnd);
        return hWnd;
    }

    LRESULT DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        return ::CallWindowProcW(m_pfnSuperWindowProc, this->m_hWnd, uMsg, wParam, lParam);
    }
    // Default processing of the message being handled.
    LRESULT DefWindowProc()
    {
        return m_currentMsg ? DefWindowProc(m_currentMsg->message, m_currentMsg->wParam, m_currentMsg->lParam) : 0;
    }

protected:
    HWND& HandleRef() override { return this->m_hWnd; }
};

template <class T, class TBase = CWindow, class TWinTraits = CControlWinTraits>
class CWindowImpl : public CWindowImplBaseT<TBase>
{
public:
    DECLARE_WND_CLASS(nullptr)

    HWND Create(HWND parent, const RECT& rect = RECT{0, 0, 0, 0}, LPCWSTR name = nullptr, DWORD style = 0,
                DWORD exStyle = 0, UINT_PTR id = 0, void* createParam = nullptr)
    {
        if (this->m_hWnd)
            return nullptr;
        CWndClassInfo& info = T::GetWndClassInfo();
        ATOM atom = info.Register(CWindowImplRoot::StartWindowProc, &this->m_pfnSuperWindowProc);
        if (!atom)
            return nullptr;
        style = TWinTraits::GetWndStyle(style);
        exStyle = TWinTraits::GetWndExStyle(exStyle);
        CWindowImplRoot::SetCreatingObject(this);
        HWND hWnd = ::CreateWindowExW(exStyle, MAKEINTATOM(atom), name, style, rect.left, rect.top,
                                      rect.right - rect.left, rect.bottom - rect.top, parent,
                                      reinterpret_cast<HMENU>(id), ::GetModuleHandleW(nullptr), createParam);
        CWindowImplRoot::SetCreatingObject(nullptr);
        return hWnd;
    }
};
