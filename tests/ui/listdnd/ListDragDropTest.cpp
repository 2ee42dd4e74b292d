#include "tests/ui/listctrl/ListFixture.h"
#include <cstring>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{

class COleApartment : public testing::Environment
{
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::OleInitialize(nullptr))); }
    void TearDown() override { ::OleUninitialize(); }
};
testing::Environment* const g_ole = testing::AddGlobalTestEnvironment(new COleApartment);

// The fixture's list and a second one beside it, each with three 100-pixel
// columns A, B, C, a header 20 pixels high and one row.
class ListDragDrop : public ListTest
{
protected:
    void SetUp() override
    {
        ListTest::SetUp();
        ASSERT_TRUE(list2.Create(parent, RECT{300, 0, 600, 150}, nullptr, 0, 0));
        list2.SetUseThemes(FALSE);
        for (CTestList* each : {&list, &list2})
        {
            each->SetRowHeight(20);
            for (LPCWSTR title : {L"A", L"B", L"C"})
                each->AddColumn(title, 100);
            each->AddItem(L"a0");
            each->SetItemText(0, 1, L"b0");
            each->SetItemText(0, 2, L"c0");
        }
        ASSERT_TRUE(list.GetChildren().dragDrop.GetDropTarget());
        ASSERT_TRUE(list.GetChildren().dragDrop.GetDataObject());
    }
    void TearDown() override
    {
        list2.DestroyWindow();
        ListTest::TearDown();
    }

    static POINTL Screen(CTestList& list, int x, int y)
    {
        POINT point{x, y};
        list.ClientToScreen(&point);
        return POINTL{point.x, point.y};
    }
    FORMATETC HeaderFormat(DWORD aspect = DVASPECT_CONTENT, DWORD tymed = TYMED_HGLOBAL) const
    {
        return FORMATETC{static_cast<CLIPFORMAT>(list.GetHeaderClipboardFormat()), nullptr, aspect, -1, tymed};
    }
    IDataObject* Data1() { return list.GetChildren().dragDrop.GetDataObject(); }

    // Drags column `dragged` of `target` with `data` over x and drops it
    // there; the effects of DragEnter and Drop.
    using Effects = std::pair<DWORD, DWORD>;
    Effects DragAndDrop(CTestList& target, IDataObject* data, int dragged, int x, DWORD keys = 0)
    {
        target.Drag().draggedColumn = dragged;
        IDropTarget* drop = target.GetChildren().dragDrop.GetDropTarget();
        DWORD entered = DROPEFFECT_MOVE;
        EXPECT_EQ(drop->DragEnter(data, keys, Screen(target, x, 10), &entered), S_OK);
        DWORD dropped = DROPEFFECT_MOVE;
        EXPECT_EQ(drop->Drop(data, keys, Screen(target, x, 10), &dropped), S_OK);
        target.Drag().draggedColumn = -1;
        return {entered, dropped};
    }

    CTestList list2;
};

TEST_F(ListDragDrop, HeaderDataIsTheSourceListsWindowRenderedOnEveryRequest)
{
    FORMATETC format = HeaderFormat();
    EXPECT_EQ(Data1()->QueryGetData(&format), S_OK);
    FORMATETC icon = HeaderFormat(DVASPECT_ICON);
    EXPECT_EQ(Data1()->QueryGetData(&icon), DV_E_DVASPECT);
    FORMATETC stream = HeaderFormat(DVASPECT_CONTENT, TYMED_ISTREAM);
    EXPECT_EQ(Data1()->QueryGetData(&stream), DV_E_TYMED);
    FORMATETC text{CF_UNICODETEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    EXPECT_EQ(Data1()->QueryGetData(&text), DV_E_CLIPFORMAT);

    STGMEDIUM first{}, second{};
    ASSERT_EQ(Data1()->GetData(&format, &first), S_OK);
    ASSERT_EQ(Data1()->GetData(&format, &second), S_OK);
    for (STGMEDIUM* medium : {&first, &second})
    {
        ASSERT_EQ(medium->tymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_EQ(::GlobalSize(medium->hGlobal), 8u);
        auto* window = static_cast<HWND*>(::GlobalLock(medium->hGlobal));
        EXPECT_EQ(*window, list.m_hWnd);
        ::GlobalUnlock(medium->hGlobal);
    }
    EXPECT_NE(first.hGlobal, second.hGlobal);
    ::ReleaseStgMedium(&first);
    ::ReleaseStgMedium(&second);

    STGMEDIUM none{};
    EXPECT_EQ(Data1()->GetData(&text, &none), DV_E_FORMATETC);
    EXPECT_EQ(Data1()->GetData(&stream, &none), DV_E_FORMATETC);
    EXPECT_EQ(Data1()->GetData(nullptr, &none), E_INVALIDARG);
}

TEST_F(ListDragDrop, StoredDataIsCopiedInAndOutAndNewDataForAFormatReplacesTheOld)
{
    auto put = [&](const char* text) {
        HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, 8);
        std::memcpy(::GlobalLock(block), text, 8);
        ::GlobalUnlock(block);
        FORMATETC format{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM medium{TYMED_HGLOBAL};
        medium.hGlobal = block;
        EXPECT_EQ(Data1()->SetData(&format, &medium, FALSE), S_OK);
        ::GlobalFree(block); // the object holds its own copy
    };
    auto get = [&]() {
        FORMATETC format{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM medium{};
        EXPECT_EQ(Data1()->GetData(&format, &medium), S_OK);
        std::string text(static_cast<const char*>(::GlobalLock(medium.hGlobal)), 7);
        ::GlobalUnlock(medium.hGlobal);
        ::ReleaseStgMedium(&medium);
        return text;
    };
    put("first..");
    EXPECT_EQ(get(), "first..");
    EXPECT_EQ(get(), "first..");
    put("second.");
    EXPECT_EQ(get(), "second.");

    FORMATETC format{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    EXPECT_EQ(Data1()->SetData(&format, nullptr, TRUE), E_INVALIDARG);
    DVTARGETDEVICE device{sizeof(device)};
    format.ptd = &device;
    STGMEDIUM empty{};
    EXPECT_EQ(Data1()->SetData(&format, &empty, TRUE), DV_E_DVTARGETDEVICE);
}

TEST_F(ListDragDrop, FormatEnumeratorStepsThroughItsOwnCopyWithOneEntryPerFormat)
{
    FORMATETC text{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM empty{};
    ASSERT_EQ(Data1()->SetData(&text, &empty, TRUE), S_OK);
    ASSERT_EQ(Data1()->SetData(&text, &empty, TRUE), S_OK); // replaces the first
    ComPtr<IEnumFORMATETC> formats;
    ASSERT_EQ(Data1()->EnumFormatEtc(DATADIR_GET, &formats), S_OK);
    FORMATETC text2{CF_UNICODETEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    ASSERT_EQ(Data1()->SetData(&text2, &empty, TRUE), S_OK); // not in the copy

    FORMATETC got[2]{};
    got[0].cfFormat = got[1].cfFormat = 0x7777;
    EXPECT_EQ(formats->Next(2, got, nullptr), S_FALSE); // two need a count
    EXPECT_EQ(got[0].cfFormat, 0x7777);
    EXPECT_EQ(formats->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(got[0].cfFormat, list.GetHeaderClipboardFormat());

    ComPtr<IEnumFORMATETC> clone;
    ASSERT_EQ(formats->Clone(&clone), S_OK);
    ULONG fetched = 9;
    EXPECT_EQ(formats->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(got[0].cfFormat, CF_TEXT);
    EXPECT_EQ(formats->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(clone->Next(1, got, &fetched), S_OK); // the clone stood where the original did
    EXPECT_EQ(got[0].cfFormat, CF_TEXT);

    EXPECT_EQ(formats->Reset(), S_OK);
    EXPECT_EQ(formats->Skip(2), S_FALSE); // reaches the end: stays
    EXPECT_EQ(formats->Skip(1), S_OK);
    EXPECT_EQ(formats->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(got[0].cfFormat, CF_TEXT);

    IEnumFORMATETC* none = formats.Get();
    EXPECT_EQ(Data1()->EnumFormatEtc(DATADIR_SET, &none), E_NOTIMPL);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(Data1()->EnumFormatEtc(DATADIR_GET, nullptr), E_POINTER);
    EXPECT_EQ(formats->Clone(nullptr), E_POINTER);
}

TEST_F(ListDragDrop, DropSourceCancelsOnEscapeAndDropsWhenTheButtonsAreUpAndKeysPickTheEffect)
{
    IDropSource* source = list.GetChildren().dragDrop.GetDropSource();
    EXPECT_EQ(source->QueryContinueDrag(TRUE, MK_LBUTTON), DRAGDROP_S_CANCEL);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, MK_LBUTTON), S_OK);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, MK_RBUTTON | MK_CONTROL), S_OK);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, MK_CONTROL), DRAGDROP_S_DROP);
    EXPECT_EQ(source->GiveFeedback(DROPEFFECT_MOVE), DRAGDROP_S_USEDEFAULTCURSORS);
    ComPtr<IDataObject> wrong;
    EXPECT_EQ(source->QueryInterface(IID_PPV_ARGS(&wrong)), E_NOINTERFACE);

    // The keys pick the target's effect from the allowed ones.
    const DWORD all = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
    EXPECT_EQ(CDropTarget::EffectFromKeys(FALSE, 0, all), DROPEFFECT_NONE);
    EXPECT_EQ(CDropTarget::EffectFromKeys(TRUE, 0, all), DROPEFFECT_COPY);
    EXPECT_EQ(CDropTarget::EffectFromKeys(TRUE, 0, DROPEFFECT_MOVE | DROPEFFECT_LINK), DROPEFFECT_MOVE);
    EXPECT_EQ(CDropTarget::EffectFromKeys(TRUE, 0, DROPEFFECT_LINK), DROPEFFECT_LINK);
    EXPECT_EQ(CDropTarget::EffectFromKeys(TRUE, MK_CONTROL | MK_SHIFT, all), DROPEFFECT_LINK);
    EXPECT_EQ(CDropTarget::EffectFromKeys(TRUE, MK_CONTROL, all), DROPEFFECT_COPY);
    EXPECT_EQ(CDropTarget::EffectFromKeys(TRUE, MK_SHIFT, DROPEFFECT_COPY), DROPEFFECT_NONE);
    EXPECT_EQ(CDropTarget::EffectFromKeys(TRUE, MK_SHIFT, DROPEFFECT_MOVE), DROPEFFECT_MOVE);
}

TEST_F(ListDragDrop, AColumnMovesToTheBoundaryUnderTheCursorButNotOntoItsOwnPlace)
{
    // The first column onto the right half of the third: last place.
    EXPECT_EQ(DragAndDrop(list, Data1(), 0, 270), Effects(DROPEFFECT_MOVE, DROPEFFECT_MOVE));
    EXPECT_EQ(list.ColumnIds(), (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(list.GetItemText(0, list.GetColumnId(2)), L"a0");
    EXPECT_EQ(list.GetColumnWidth(2), 100);

    // The second onto its own right half: no arrows, no move.
    EXPECT_EQ(DragAndDrop(list, Data1(), 1, 170).first, static_cast<DWORD>(DROPEFFECT_NONE));
    EXPECT_FALSE(list.GetChildren().dropArrows.IsWindowVisible());
    EXPECT_EQ(list.ColumnIds(), (std::vector<int>{1, 2, 0}));
}

TEST_F(ListDragDrop, OverTheHeaderTheArrowsFollowTheCursorLeavingForgetsTheDataAndTheDragEndsCleared)
{
    list.Drag().draggedColumn = 0;
    IDropTarget* drop = list.GetChildren().dragDrop.GetDropTarget();
    DWORD effect = DROPEFFECT_MOVE;
    ASSERT_EQ(drop->DragEnter(Data1(), MK_LBUTTON, Screen(list, 30, 10), &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
    effect = DROPEFFECT_MOVE;
    ASSERT_EQ(drop->DragOver(MK_LBUTTON, Screen(list, 230, 10), &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_MOVE));
    EXPECT_EQ(list.GetDragState().dropPosition, 2);
    EXPECT_TRUE(list.GetChildren().dropArrows.IsWindowVisible());

    effect = DROPEFFECT_MOVE; // Control asks for a copy, which a header drag never allows
    ASSERT_EQ(drop->DragOver(MK_LBUTTON | MK_CONTROL, Screen(list, 230, 10), &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));

    ASSERT_EQ(drop->DragLeave(), S_OK);
    effect = DROPEFFECT_MOVE;
    ASSERT_EQ(drop->DragOver(MK_LBUTTON, Screen(list, 230, 10), &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
    EXPECT_EQ(drop->DragEnter(nullptr, 0, Screen(list, 230, 10), &effect), E_INVALIDARG);

    // A header drag ends with the drag and press state cleared.
    list.Header().pressedColumn = 1;
    list.GetChildren().dropArrows.Show(POINT{10, 10});
    list.BeginHeaderDrag(); // no button is held: the drag ends at once
    EXPECT_EQ(list.Header().pressedColumn, -1);
    EXPECT_EQ(list.Drag().draggedColumn, -1);
    EXPECT_FALSE(list.GetChildren().dropArrows.IsWindowVisible());
    EXPECT_EQ(list.ColumnIds(), (std::vector<int>{0, 1, 2}));
}

TEST_F(ListDragDrop, AnotherListsColumnOrOtherDataDropsNothing)
{
    // list's header data over list2, whose own column 0 is being dragged.
    EXPECT_EQ(DragAndDrop(list2, Data1(), 0, 270), Effects(DROPEFFECT_NONE, DROPEFFECT_NONE));
    EXPECT_FALSE(list2.GetChildren().dropArrows.IsWindowVisible());
    EXPECT_EQ(list2.ColumnIds(), (std::vector<int>{0, 1, 2}));

    // Data without the header format is not accepted at all.
    CComObject<CDropSource>* source = nullptr;
    ASSERT_HRESULT_SUCCEEDED(CComObject<CDropSource>::CreateInstance(&source));
    source->AddRef();
    CComObject<CDataObject>* data = nullptr;
    ASSERT_HRESULT_SUCCEEDED(CComObject<CDataObject>::CreateInstance(&data, source));
    ComPtr<IDataObject> plain(data);
    EXPECT_EQ(DragAndDrop(list, plain.Get(), 0, 270), Effects(DROPEFFECT_NONE, DROPEFFECT_NONE));
    EXPECT_EQ(list.ColumnIds(), (std::vector<int>{0, 1, 2}));
    source->Release();
}

TEST_F(ListDragDrop, ANewWindowRegistersAgainAndADestroyedOneIsRevoked)
{
    HWND old = list.m_hWnd;
    EXPECT_EQ(list.GetChildren().dragDrop.GetWindow(), old);
    list.LoadResources(); // again on the same window: still one registration
    EXPECT_EQ(list.GetChildren().dragDrop.GetWindow(), old);
    list.DestroyWindow();
    EXPECT_EQ(list.GetChildren().dragDrop.GetWindow(), nullptr);
    ASSERT_TRUE(list.Create(parent, RECT{0, 0, 350, 150}, nullptr, 0, 0));
    EXPECT_EQ(list.GetChildren().dragDrop.GetWindow(), list.m_hWnd);
}

} // namespace
