#include "ui/MruCombo.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/ui/UiTest.h"
#include "tests/ui/settings/TestSettingsKey.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>

namespace
{

Texts ComboItems(const CComboBox& combo)
{
    Texts items;
    std::wstring text;
    for (int i = 0; combo.GetLBText(i, text); ++i)
        items.push_back(text);
    return items;
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
        ASSERT_TRUE(parent.Create(nullptr, RECT{0, 0, 400, 300}, L"parent"));
    }
    void TearDown() override
    {
        parent.DestroyWindow();
        CoUninitialize();
    }
    CCommandParent parent;
};

} // namespace

TEST_F(MruCombo, ShowsTheListNewestFirstAndSavesTheTypedText)
{
    CTestSettingsKey key;
    CMruComboCtrl combo;
    combo.SetCapacity(2);
    ASSERT_TRUE(combo.Create(parent, RECT{0, 0, 200, 100}, nullptr, 0, 0, 1002));
    EXPECT_EQ(6u, combo.GetCapacity());
    EXPECT_TRUE(combo.SetAutoComplete(SHACF_FILESYS_DIRS));

    // First start: nothing stored; the typed text is saved with capacity 6.
    EXPECT_FALSE(combo.ReadFromRegistry(key.Base(), L"SearchPath"));
    combo.SetWindowText(L"C:\\images");
    ASSERT_TRUE(combo.AddToList());
    ASSERT_TRUE(combo.WriteToRegistry(key.Base(), L"SearchPath"));
    EXPECT_EQ(6u, key.Number(L"SearchPath", L"DocumentCount"));
    EXPECT_EQ((Texts{L"C:\\images"}), key.Documents(L"SearchPath"));

    key.SetText(L"SearchPath", L"Document2", L"D:\\old");
    combo.SetWindowText(L"typed");
    ASSERT_TRUE(combo.ReadFromRegistry(key.Base(), L"SearchPath"));
    ASSERT_TRUE(combo.AddToList(L"d:\\OLD"));
    EXPECT_EQ((Texts{L"d:\\OLD", L"C:\\images"}), ComboItems(combo));
    EXPECT_EQ(L"typed", combo.GetWindowText());

    // A window text too long to be an entry is not added; the list is written unchanged.
    combo.SetWindowText(std::wstring(256, L'x').c_str());
    EXPECT_FALSE(combo.AddToList());
    ASSERT_TRUE(combo.WriteToRegistry(key.Base(), L"SearchPath"));
    EXPECT_EQ((Texts{L"d:\\OLD", L"C:\\images"}), key.Documents(L"SearchPath"));
}

TEST_F(MruCombo, AdvancedComboLoadsOnCreateTakesTheFirstDroppedPathThatExistsAndSavesWhenDestroyed)
{
    CTestSettingsKey key(kSettingsKey);
    key.SetNumber(L"Programmer", L"DocumentCount", 6);
    key.SetText(L"Programmer", L"Document1", L"prog_emmc_firehose_8974.mbn");
    key.SetText(L"Programmer", L"Document2", L"MPRG8974.hex");
    const Texts stored{L"prog_emmc_firehose_8974.mbn", L"MPRG8974.hex"};
    CTempDir dir(L"drop");
    ASSERT_TRUE(WriteWholeFile(dir / L"second.hex", "x"));
    const std::wstring missing = FullPath(dir / L"missing.hex");
    const std::wstring second = FullPath(dir / L"second.hex");

    CAdvancedMruComboCtrl combo(L"Programmer");
    ASSERT_TRUE(combo.Create(parent, RECT{0, 0, 200, 100}, nullptr, WS_CHILD | CBS_DROPDOWN, 0, 1016));
    EXPECT_EQ(stored, ComboItems(combo));
    RECT client{};
    combo.GetClientRect(&client);
    combo.SetWindowText(L"before");
    DropFiles(combo, {second}, POINT{client.right + 5, 1}); // outside: not taken
    EXPECT_EQ(L"before", combo.GetWindowText());
    DropFiles(combo, {missing, second, FullPath(dir.Path())}, POINT{2, 2});
    EXPECT_EQ(second, combo.GetWindowText());
    EXPECT_EQ(stored, ComboItems(combo)) << "a drop leaves the list as it was";

    // A path too long to be read whole is passed over, even when its cut
    // form names a file that exists.
    const std::wstring folder = FullPath(dir.Path());
    const std::wstring cutName(MAX_PATH - 1 - folder.size() - 1, L'c');
    ASSERT_TRUE(WriteWholeFile(dir / cutName, "x"));
    const std::wstring cut = folder + L"\\" + cutName;
    DropFiles(combo, {cut + L"tail", missing}, POINT{2, 2});
    EXPECT_EQ(second, combo.GetWindowText());
    DropFiles(combo, {cut}, POINT{2, 2});
    EXPECT_EQ(cut, combo.GetWindowText());

    // Typed, then destroyed as with the dialog's Cancel too: its text is
    // the newest entry, and so the setting's value at the next start.
    combo.SetWindowText(L"MPRG8960.hex");
    combo.DestroyWindow();
    EXPECT_EQ((Texts{L"MPRG8960.hex", stored[0], stored[1]}), key.Documents(L"Programmer"));
    wchar_t current[260];
    ReadSettingValue(kSettingsKey, L"Programmer", current, L"MPRG*.hex");
    EXPECT_STREQ(L"MPRG8960.hex", current);
}
