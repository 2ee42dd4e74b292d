// The list's header drag and drop: a header column is dragged with OLE
// drag and drop and dropped on a column boundary of the same list. The data
// carried is the source list's window handle, so other lists refuse it.
#pragma once
#include "ui/listctrl/ListImpl.h"

template <class T>
void CListImpl<T>::InitialiseDragDrop()
{
    // LoadResources may run again on the same window: register once.
    if (m_dragDrop.GetWindow() == this->m_hWnd)
        return;
    if (!m_dragDrop.Initialise(Self(), TRUE))
        return; // neither drops nor drags
    m_dragDrop.AddTargetFormat(static_cast<CLIPFORMAT>(m_headerClipboardFormat));
    m_dragDrop.AddSourceFormat(static_cast<CLIPFORMAT>(m_headerClipboardFormat));
}

template <class T>
void CListImpl<T>::BeginHeaderDrag()
{
    ResetHotCells();
    HideTitleTip();
    RECT column{};
    if (GetColumnRect(m_pressedColumn, column)) {
        m_draggedColumn = m_pressedColumn;
        SHDRAGIMAGE image{};
        image.hbmpDragImage = MakeHeaderDragImage(m_pressedColumn);
        image.sizeDragImage = SIZE{column.right - column.left, column.bottom - column.top};
        image.ptOffset = POINT{image.sizeDragImage.cx / 2, image.sizeDragImage.cy / 2};
        image.crColorKey = m_colours.window;
        m_dragDrop.DoDragDrop(image.hbmpDragImage ? &image : nullptr, DROPEFFECT_MOVE);
    }
    m_dropArrows.Hide();
    if (m_headerCaptured && ::GetCapture() == this->m_hWnd)
        ::ReleaseCapture();
    m_headerCaptured = FALSE;
    m_pressedColumn = -1;
    InvalidateHeader();
    m_draggedColumn = -1;
}

template <class T>
BOOL CListImpl<T>::IsOwnHeaderDrag(const FORMATETC& format, STGMEDIUM& medium)
{
    if (format.cfFormat != m_headerClipboardFormat || medium.tymed != TYMED_HGLOBAL ||
        ::GlobalSize(medium.hGlobal) < sizeof(HWND))
        return FALSE;
    const auto* source = static_cast<const HWND*>(::GlobalLock(medium.hGlobal));
    if (!source)
        return FALSE;
    const bool own = *source == this->m_hWnd;
    ::GlobalUnlock(medium.hGlobal);
    return own;
}

template <class T>
DWORD CListImpl<T>::OnDragEnter(FORMATETC& format, STGMEDIUM& medium, DWORD, POINT point)
{
    if (!IsOwnHeaderDrag(format, medium))
        return DROPEFFECT_NONE;
    ShowDropArrows(point);
    return m_dropPosition != -1 ? DROPEFFECT_MOVE : DROPEFFECT_NONE;
}

template <class T>
DWORD CListImpl<T>::OnDragOver(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point)
{
    return OnDragEnter(format, medium, keys, point);
}

template <class T>
BOOL CListImpl<T>::OnDrop(FORMATETC& format, STGMEDIUM& medium, DWORD, POINT)
{
    if (!IsOwnHeaderDrag(format, medium))
        return FALSE; // another list's column, or other data
    if (!IsColumn(m_draggedColumn) || m_dropPosition < 0)
        return TRUE;
    // The dragged column leaves its place and the later ones shift down by
    // one; it lands before the column that was at the drop position.
    const int from = m_draggedColumn;
    const int to = m_dropPosition > from ? std::min(m_dropPosition, GetColumnCount()) - 1 : m_dropPosition;
    auto first = m_columns.begin();
    if (to < from)
        std::rotate(first + to, first + from, first + from + 1);
    else if (to > from)
        std::rotate(first + from, first + from + 1, first + to + 1);
    this->Invalidate();
    return TRUE;
}
