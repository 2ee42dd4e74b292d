#include "platform/MessageLoop.h"
#include <algorithm>

namespace
{

thread_local CMessageLoop* t_loop = nullptr;

template <class T> BOOL AddUnique(std::vector<T*>& list, T* item)
{
    if (!item || std::find(list.begin(), list.end(), item) != list.end())
        return FALSE;
    list.push_back(item);
    return TRUE;
}

template <class T> BOOL Remove(std::vector<T*>& list, T* item)
{
    auto found = std::find(list.begin(), list.end(), item);
    if (found == list.end())
        return FALSE;
    list.erase(found);
    return TRUE;
}

} // namespace

BOOL CMessageLoop::AddMessageFilter(CMessageFilter* filter)
{
    return AddUnique(m_filters, filter);
}
BOOL CMessageLoop::RemoveMessageFilter(CMessageFilter* filter)
{
    return Remove(m_filters, filter);
}
BOOL CMessageLoop::AddIdleHandler(CIdleHandler* handler)
{
    return AddUnique(m_idleHandlers, handler);
}
BOOL CMessageLoop::RemoveIdleHandler(CIdleHandler* handler)
{
    return Remove(m_idleHandlers, handler);
}

BOOL CMessageLoop::PreTranslateMessage(MSG* msg)
{
    // Indexes, not iterators: a filter may remove itself or others.
    for (size_t i = m_filters.size(); i-- > 0;)
    {
        if (i < m_filters.size() && m_filters[i]->PreTranslateMessage(msg))
            return TRUE;
    }
    return FALSE;
}

BOOL CMessageLoop::OnIdle(int)
{
    BOOL more = FALSE;
    for (size_t i = 0; i < m_idleHandlers.size(); ++i)
    {
        if (m_idleHandlers[i]->OnIdle())
            more = TRUE;
    }
    return more;
}

BOOL CMessageLoop::IsIdleMessage(const MSG* msg)
{
    switch (msg->message)
    {
    case WM_MOUSEMOVE:
    case WM_NCMOUSEMOVE:
    case WM_PAINT:
    case 0x0118: // the caret's blink timer
        return FALSE;
    default:
        return TRUE;
    }
}

int CMessageLoop::Run()
{
    MSG msg{};
    bool idle = true;
    int idleCount = 0;
    for (;;)
    {
        while (idle && !::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE))
        {
            if (!OnIdle(idleCount++))
                idle = false;
        }
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1)
            return -1;
        if (!got)
            break;
        if (!PreTranslateMessage(&msg))
        {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (IsIdleMessage(&msg))
        {
            idle = true;
            idleCount = 0;
        }
    }
    return static_cast<int>(msg.wParam);
}

BOOL AddThreadMessageLoop(CMessageLoop* loop)
{
    if (!loop || t_loop)
        return FALSE;
    t_loop = loop;
    return TRUE;
}

BOOL RemoveThreadMessageLoop()
{
    if (!t_loop)
        return FALSE;
    t_loop = nullptr;
    return TRUE;
}

CMessageLoop* GetThreadMessageLoop()
{
    return t_loop;
}
