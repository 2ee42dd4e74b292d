#include "ui/DialogLayout.h"

#include <algorithm>

void CDialogLayout::Init(HWND dialog, const Rule* rules, size_t count)
{
    m_dialog = dialog;
    RECT client{};
    ::GetClientRect(dialog, &client);
    m_initialClient = SIZE{client.right, client.bottom};
    RECT window{};
    ::GetWindowRect(dialog, &window);
    m_minTrack = SIZE{window.right - window.left, window.bottom - window.top};
    m_anchors.clear();
    for (size_t i = 0; i < count; ++i)
    {
        Anchor a{rules[i], {}};
        HWND control = ::GetDlgItem(dialog, a.rule.id);
        if (!control)
            continue;
        ::GetWindowRect(control, &a.rect);
        ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&a.rect), 2);
        m_anchors.push_back(a);
    }
}

bool CDialogLayout::GetMinTrackSize(POINT& size) const
{
    if (m_minTrack.cx <= 0)
        return false;
    size = POINT{m_minTrack.cx, m_minTrack.cy};
    return true;
}

bool CDialogLayout::Apply(int width, int height)
{
    if (!m_dialog || m_initialClient.cx <= 0)
        return false;
    const int dx = width - m_initialClient.cx;
    const int dy = height - m_initialClient.cy;
    for (const Anchor& a : m_anchors)
    {
        HWND control = ::GetDlgItem(m_dialog, a.rule.id);
        if (!control)
            continue;
        if (a.rule.keepsItself)
        {
            ::SendMessageW(control, WM_SIZE, 0, 0);
            continue;
        }
        RECT r = a.rect;
        ::OffsetRect(&r, a.rule.moveX ? dx : 0, a.rule.moveY ? dy : 0);
        if (a.rule.sizeX)
            r.right = std::max(r.left, r.right + dx);
        if (a.rule.sizeY)
            r.bottom = std::max(r.top, r.bottom + dy);
        ::SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return true;
}
