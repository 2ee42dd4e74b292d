// The list's child windows and its drag and drop, kept apart from
// ListImpl.h so that the list's users do not compile them.
#pragma once
#include "ui/listctrl/DragDrop.h"
#include "ui/listctrl/DropArrows.h"
#include "ui/listctrl/ListEditors.h"
#include "ui/listctrl/ListImpl.h"

// Instantiated once, in ListDragDrop.cpp.
extern template class CDragDrop<CListImpl>;

struct CListChildren
{
    CDragDrop<CListImpl> dragDrop;
    CWindow tooltip; // the row tooltip
    CDropArrows dropArrows;
    CTitleTip titleTip;
    CListEdit edit;
    CListCombo combo;
    CListDate date;
};
