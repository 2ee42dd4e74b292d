// The list's header drag and drop: a header column is dragged with OLE
// drag and drop and dropped on a column boundary of the same list. The data
// carried is the source list's window handle, so other lists refuse it.
#include "ui/listctrl/ListChildren.h"

template class CDragDrop<CListImpl>;

void CListImpl::InitialiseDragDrop()
{
    CDragDrop<CListImpl>& dragDrop = m_children->dragDrop;
    // LoadResources may run again on the same window: register once.
    if (dragDrop.GetWindow() == m_hWnd)
        return;
    if (!dragDrop.Initialise(this, TRUE))
        return; // neither drops nor drags
    dragDrop.AddTargetFormat(static_cast<CLIPFORMAT>(m_drag.clipboardFormat));
    dragDrop.AddSourceFormat(static_cast<CLIPFORMAT>(m_drag.clipboardFormat));
}

void CListImpl::BeginHeaderDrag()
{
    ResetHotCells();
    HideTitleTip();
    const int pressed = m_header.pressedColumn;
    RECT column{};
    if (GetColumnRect(pressed, column))
    {
        m_drag.draggedColumn = pressed;
        SHDRAGIMAGE image{};
        image.hbmpDragImage = MakeHeaderDragImage(pressed);
        image.sizeDragImage = SIZE{column.right - column.left, column.bottom - column.top};
        image.ptOffset = POINT{image.sizeDragImage.cx / 2, image.sizeDragImage.cy / 2};
        image.crColorKey = m_colours.window;
        m_children->dragDrop.DoDragDrop(image.hbmpDragImage ? &image : nullptr, DROPEFFECT_MOVE);
    }
    m_children->dropArrows.Hide();
    if (m_header.captured && ::GetCapture() == m_hWnd)
        ::ReleaseCapture();
    m_header.captured = FALSE;
    m_header.pressedColumn = -1;
    InvalidateHeader();
    m_drag.draggedColumn = -1;
}

void CListImpl::ShowDropArrows(POINT point)
{
    m_header.hotColumn = -1;
    m_drag.dropPosition = -1;
    int position = -1;
    UINT bits = 0;
    RECT column{};
    if (HitTestDivider(point, position, bits) && GetColumnRect(position, column))
    {
        m_header.hotColumn = position;
        m_drag.dropPosition = DropPositionAt(point.x, position, column, m_drag.draggedColumn);
    }
    CDropArrows& arrows = m_children->dropArrows;
    const int drop = m_drag.dropPosition;
    if (drop == -1)
    {
        arrows.Hide();
        return;
    }
    POINT arrow{0, GetHeaderHeight() / 2};
    RECT edge{};
    if (drop >= GetColumnCount())
    {
        GetColumnRect(GetColumnCount() - 1, edge);
        arrow.x = edge.right;
    }
    else
    {
        GetColumnRect(drop, edge);
        arrow.x = edge.left;
    }
    ClientToScreen(&arrow);
    arrows.Show(arrow);
}

BOOL CListImpl::IsOwnHeaderDrag(const FORMATETC& format, STGMEDIUM& medium)
{
    if (format.cfFormat != m_drag.clipboardFormat || medium.tymed != TYMED_HGLOBAL ||
        ::GlobalSize(medium.hGlobal) < sizeof(HWND))
        return FALSE;
    const auto* source = static_cast<const HWND*>(::GlobalLock(medium.hGlobal));
    if (!source)
        return FALSE;
    const bool own = *source == m_hWnd;
    ::GlobalUnlock(medium.hGlobal);
    return own;
}

DWORD CListImpl::OnDragEnter(FORMATETC& format, STGMEDIUM& medium, DWORD, POINT point)
{
    if (!IsOwnHeaderDrag(format, medium))
        return DROPEFFECT_NONE;
    ShowDropArrows(point);
    return m_drag.dropPosition != -1 ? DROPEFFECT_MOVE : DROPEFFECT_NONE;
}

DWORD CListImpl::OnDragOver(FORMATETC& format, STGMEDIUM& medium, DWORD keys, POINT point)
{
    return OnDragEnter(format, medium, keys, point);
}

BOOL CListImpl::OnDrop(FORMATETC& format, STGMEDIUM& medium, DWORD, POINT)
{
    if (!IsOwnHeaderDrag(format, medium))
        return FALSE; // another list's column, or other data
    if (!IsColumn(m_drag.draggedColumn) || m_drag.dropPosition < 0)
        return TRUE;
    MoveColumn(m_columns, m_drag.draggedColumn, m_drag.dropPosition);
    Invalidate();
    return TRUE;
}
