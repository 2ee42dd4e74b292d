#include "ui/MruCombo.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/ui/settings/TestSettingsKey.h"

#include "tests/ui/UiTest.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>

namespace {

using Texts = std::vector<std::wstring>;

Texts ComboItems(const CComboBox& combo)
{
    Texts items;
    std::wstring text;
    for (int i = 0; combo.GetLBText(i, text); ++i)
        items.push_back(text);
    return items;
}

// A dropped-files block as the shell hands it to WM_DROPFILES.
HDROP MakeDrop(const Texts& paths, POINT point, BOOL nonClient = FALSE)
{
    size_t chars = 1;
    for (const auto& path : paths)
        chars += path.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->pt = point;
    drop->fNC = nonClient;
    drop->fWide = TRUE;
    auto* out = reinterpret_cast<wchar_t*>(drop + 1);
    for (const auto& path : paths) {
        wcscpy(out, path.c_str());
        out += path.size() + 1;
    }
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH];
    GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}

class MruCombo : public testing::Test
{
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        parent = CreateWindowExW(0, L"STATIC", L"parent", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);
        ASSERT_TRUE(parent);
    }
    void TearDown() override
    {
        DestroyWindow(parent);
        CoUninitialize();
    }
    HWND parent = nullptr;
};

} // namespace

TEST_F(MruCombo, FirstStartSavesTheTypedTextUnderADefaultCapacity)
{
    CTestSettingsKey key;
    CMruComboCtrl combo;
    combo.SetCapacity(2);
    ASSERT_TRUE(combo.Create(parent, RECT{0, 0, 200, 100}, nullptr, 0, 0, 1002));
    EXPECT_EQ(6u, combo.GetCapacity());
    EXPECT_TRUE(combo.SetAutoComplete(SHACF_FILESYS_DIRS));

    EXPECT_FALSE(combo.ReadFromRegistry(key.Base(), L"SearchPath"));
    combo.SetWindowText(L"C:\\images");
    ASSERT_TRUE(combo.AddToList());
    ASSERT_TRUE(combo.WriteToRegistry(key.Base(), L"SearchPath"));
    EXPECT_EQ(6u, key.Number(L"SearchPath", L"DocumentCount"));
    EXPECT_EQ((Texts{L"C:\\images"}), key.Documents(L"SearchPath"));
    combo.DestroyWindow();
}

TEST_F(MruCombo, TheDropDownListShowsTheNewestFirstAndLeavesTheEditText)
{
    CTestSettingsKey key;
    key.SetNumber(L"SearchPath", L"DocumentCount", 6);
    key.SetText(L"SearchPath", L"Document1", L"D:\\new");
    key.SetText(L"SearchPath", L"Document2", L"D:\\old");

    CMruComboCtrl combo;
    ASSERT_TRUE(combo.Create(parent, RECT{0, 0, 200, 100}, nullptr, 0, 0, 1002));
    combo.SetWindowText(L"typed");
    ASSERT_TRUE(combo.ReadFromRegistry(key.Base(), L"SearchPath"));
    EXPECT_EQ((Texts{L"D:\\new", L"D:\\old"}), ComboItems(combo));
    EXPECT_EQ(L"typed", combo.GetWindowText());

    ASSERT_TRUE(combo.AddToList(L"d:\\OLD"));
    EXPECT_EQ((Texts{L"d:\\OLD", L"D:\\new"}), ComboItems(combo));
    EXPECT_EQ(L"typed", combo.GetWindowText());

    // A text too long for an entry is not added; the list is written unchanged.
    combo.SetWindowText(std::wstring(256, L'x').c_str());
    EXPECT_FALSE(combo.AddToList());
    combo.SetWindowText(L"");
    EXPECT_FALSE(combo.AddToList());
    ASSERT_TRUE(combo.WriteToRegistry(key.Base(), L"SearchPath"));
    EXPECT_EQ((Texts{L"d:\\OLD", L"D:\\new"}), key.Documents(L"SearchPath"));
    combo.DestroyWindow();
}

TEST_F(MruCombo, AdvancedComboLoadsOnCreateAndSavesItsTextWhenDestroyed)
{
    CTestSettingsKey key(kSettingsKey);
    key.SetNumber(L"Programmer", L"DocumentCount", 6);
    key.SetText(L"Programmer", L"Document1", L"prog_emmc_firehose_8974.mbn");
    key.SetText(L"Programmer", L"Document2", L"MPRG8974.hex");

    {
        CAdvancedMruComboCtrl combo(L"Programmer");
        ASSERT_TRUE(combo.Create(parent, RECT{0, 0, 200, 100}, nullptr, WS_CHILD | CBS_DROPDOWN, 0, 1016));
        EXPECT_EQ((Texts{L"prog_emmc_firehose_8974.mbn", L"MPRG8974.hex"}), ComboItems(combo));
        // Typed and then abandoned, as with Cancel: still the newest entry.
        combo.SetWindowText(L"MPRG8960.hex");
        combo.DestroyWindow();
    }
    EXPECT_EQ((Texts{L"MPRG8960.hex", L"prog_emmc_firehose_8974.mbn", L"MPRG8974.hex"}), key.Documents(L"Programmer"));
    wchar_t current[260];
    ReadSettingValue(kSettingsKey, L"Programmer", current, L"MPRG*.hex");
    EXPECT_STREQ(L"MPRG8960.hex", current);

    // A dialog's own combo, taken over and then initialised by its owner.
    HWND control = CreateWindowExW(0, WC_COMBOBOXW, nullptr, WS_CHILD | CBS_DROPDOWN, 0, 0, 200, 100, parent,
                                   reinterpret_cast<HMENU>(1018), nullptr, nullptr);
    CAdvancedMruComboCtrl bootImage(L"BootImage");
    ASSERT_TRUE(bootImage.SubclassWindow(control));
    bootImage.Init();
    EXPECT_EQ(0, bootImage.GetList().GetCount());
    bootImage.SetWindowText(L"8974_msimage.mbn");
    DestroyWindow(control);
    EXPECT_EQ(6u, key.Number(L"BootImage", L"DocumentCount"));
    EXPECT_EQ((Texts{L"8974_msimage.mbn"}), key.Documents(L"BootImage"));
}

TEST_F(MruCombo, DroppedFilesSetTheTextToTheFirstPathThatExists)
{
    CTestSettingsKey key(kSettingsKey);
    CTempDir dir(L"drop");
    ASSERT_TRUE(WriteWholeFile(dir / L"second.hex", "x"));
    const std::wstring first = FullPath(dir / L"missing.hex");
    const std::wstring second = FullPath(dir / L"second.hex");
    const std::wstring third = FullPath(dir.Path());

    CAdvancedMruComboCtrl combo(L"Programmer");
    ASSERT_TRUE(combo.Create(parent, RECT{0, 0, 200, 100}, nullptr, WS_CHILD | CBS_DROPDOWN, 0, 1016));
    RECT client{};
    combo.GetClientRect(&client);
    combo.SetWindowText(L"before");

    // Outside the client area the drop is not taken (nor finished).
    HDROP outside = MakeDrop({second}, POINT{client.right + 5, 1});
    combo.SendMessage(WM_DROPFILES, reinterpret_cast<WPARAM>(outside));
    EXPECT_EQ(L"before", combo.GetWindowText());
    GlobalFree(outside);

    combo.SendMessage(WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({first, second, third}, POINT{2, 2})));
    EXPECT_EQ(second, combo.GetWindowText());
    EXPECT_EQ(0, combo.GetList().GetCount());

    // A path too long to be read whole is passed over, even when its cut
    // form names a file that exists.
    const std::wstring dirPath = FullPath(dir.Path());
    const std::wstring cutName(MAX_PATH - 1 - dirPath.size() - 1, L'c');
    ASSERT_TRUE(WriteWholeFile(dir / cutName, "x"));
    const std::wstring cut = dirPath + L"\\" + cutName;
    ASSERT_EQ(size_t(MAX_PATH - 1), cut.size());
    combo.SendMessage(WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({cut + L"tail", first}, POINT{2, 2})));
    EXPECT_EQ(second, combo.GetWindowText());
    combo.SendMessage(WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({cut}, POINT{2, 2})));
    EXPECT_EQ(cut, combo.GetWindowText());
    combo.SetWindowText(L"");
    combo.DestroyWindow();
}
