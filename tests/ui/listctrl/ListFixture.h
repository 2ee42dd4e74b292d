// A list on a parent window for the list tests, with its view state open to
// the tests that set it up.
#pragma once
#include "ui/listctrl/ListChildren.h"
#include "ui/listctrl/ListCtrlData.h"
#include <gtest/gtest.h>
#include <unknwn.h>
#include <wrl/client.h>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

// A counted object whose count the tests read.
class CCountedItem : public IUnknown
{
public:
    ULONG count = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid != IID_IUnknown)
            return *out = nullptr, E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
    ULONG STDMETHODCALLTYPE Release() override { return --count; }
};

using CItem = Microsoft::WRL::ComPtr<IUnknown>;

class CTestList : public CListCtrlData<CItem>
{
public:
    CListSelection& Selection() { return SelectionState(); }
    CListHeaderState& Header() { return HeaderState(); }
    CListDragState& Drag() { return DragState(); }
    CListInputState& Input() { return InputState(); }
    CListGeometry& Metrics() { return Geometry(); }

    // Fixed metrics, so that the tests do not depend on the system font.
    void SetRowHeight(int height)
    {
        Metrics().rowHeight = Metrics().headerHeight = height;
        ResetScrollBars(SB_BOTH, -1, TRUE);
    }
    std::vector<int> ColumnIds() const
    {
        std::vector<int> ids;
        for (int position = 0; position < GetColumnCount(); ++position)
            ids.push_back(GetColumnId(position));
        return ids;
    }
};

// Keeps the notifications that the list sends.
class CListParent : public CWindowImpl<CListParent>
{
public:
    struct Note
    {
        int code;
        int row;
        int column;
        UINT_PTR id;
        HWND from;
    };
    std::vector<Note> notes;

    BEGIN_MSG_MAP(CListParent)
    MESSAGE_HANDLER(WM_NOTIFY, OnNotify)
    END_MSG_MAP()

    LRESULT OnNotify(UINT, WPARAM, LPARAM lParam, BOOL&)
    {
        auto* notify = reinterpret_cast<ListNotify*>(lParam);
        notes.push_back({static_cast<int>(notify->header.code), notify->row, notify->column, notify->header.idFrom,
                         notify->header.hwndFrom});
        return 0;
    }
};

// A hidden parent of 600 x 400 pixels (a shown window would be activated,
// and activation waits on the other programs' windows) with a list of
// 300 x 150 client pixels, its resources loaded, themes off.
class ListTest : public ::testing::Test
{
protected:
    static constexpr int kListId = 1005;

    void SetUp() override
    {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES | ICC_STANDARD_CLASSES | ICC_DATE_CLASSES};
        ::InitCommonControlsEx(&icc);
        ASSERT_TRUE(parent.Create(nullptr, RECT{0, 0, 600, 400}, L"list parent", ParentStyle()));
        MakeList(300, 150);
    }
    virtual DWORD ParentStyle() const { return WS_POPUP; }
    void TearDown() override
    {
        if (list.m_hWnd)
            list.DestroyWindow();
        parent.DestroyWindow();
    }

    // Recreates the list window with this client size (no border).
    void MakeList(int width, int height)
    {
        if (list.m_hWnd)
            list.DestroyWindow();
        ASSERT_TRUE(list.Create(parent, RECT{0, 0, width, height}, nullptr, 0, 0, kListId));
        list.ModifyStyleEx(WS_EX_STATICEDGE | WS_EX_CLIENTEDGE, 0, SWP_FRAMECHANGED);
        list.SetWindowPos(nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_FRAMECHANGED);
        list.SetUseThemes(FALSE);
    }

    // Rows whose first cells hold these texts, or their numbers.
    void AddRows(std::initializer_list<const wchar_t*> texts)
    {
        for (const wchar_t* text : texts)
            ASSERT_NE(list.AddItem(text), -1);
    }
    void AddRows(int count)
    {
        for (int i = 0; i < count; ++i)
            ASSERT_NE(list.AddItem(std::to_wstring(i).c_str()), -1);
    }
    LRESULT Send(UINT message, WPARAM wParam, int x = 0, int y = 0)
    {
        return list.SendMessage(message, wParam, MAKELPARAM(x, y));
    }

    int Count(int code) const
    {
        int n = 0;
        for (const auto& note : parent.notes)
            n += note.code == code;
        return n;
    }
    // The notifications as (code, row, column id).
    using Notes = std::vector<std::tuple<int, int, int>>;
    Notes Sent() const
    {
        Notes notes;
        for (const auto& note : parent.notes)
            notes.emplace_back(note.code, note.row, note.column);
        return notes;
    }

    RECT Client()
    {
        RECT rect{};
        list.GetClientRect(&rect);
        return rect;
    }

    CListParent parent;
    CTestList list;
};

// A window's client area drawn into a bitmap: through WM_PRINTCLIENT, or
// WM_PAINT with the DC for a common control.
class CListPicture
{
public:
    explicit CListPicture(HWND window, UINT message = WM_PRINTCLIENT)
    {
        ::GetClientRect(window, &rect);
        HDC screen = ::GetDC(nullptr);
        dc.Reset(::CreateCompatibleDC(screen));
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), rect.right, -rect.bottom, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        bitmap.Reset(::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        ::ReleaseDC(nullptr, screen);
        selected = std::make_unique<CSelectObject>(dc.Get(), bitmap.Get());
        ::SendMessageW(window, message, reinterpret_cast<WPARAM>(dc.Get()),
                       message == WM_PRINTCLIENT ? PRF_CLIENT : 0);
    }
    COLORREF At(int x, int y) const { return ::GetPixel(dc.Get(), x, y); }
    // The pixels of a rectangle, row by row.
    std::vector<COLORREF> Area(const RECT& area) const
    {
        std::vector<COLORREF> pixels;
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                pixels.push_back(At(x, y));
        return pixels;
    }
    int Count(const RECT& area, COLORREF colour) const
    {
        int n = 0;
        for (COLORREF pixel : Area(area))
            n += pixel == colour;
        return n;
    }
    // Whether every pixel of the area has this colour.
    bool All(const RECT& area, COLORREF colour) const
    {
        return Count(area, colour) == (area.right - area.left) * (area.bottom - area.top);
    }

    RECT rect{};
    CMemoryDc dc;
    CGdiObject<HBITMAP> bitmap;
    std::unique_ptr<CSelectObject> selected;
};
