#include "ui/MruList.h"
#include "tests/fixtures/BoundedRun.h"
#include "tests/ui/settings/TestSettingsKey.h"

#include <gtest/gtest.h>

namespace
{

// The list's entries, newest first, as the registry orders them.
Texts NewestFirst(const CMruList& list)
{
    Texts texts;
    for (int i = list.GetCount() - 1; i >= 0; --i)
        texts.push_back(list.GetEntry(i));
    return texts;
}

// Writes the list as a combo filled from it shows it.
BOOL WriteAsShown(const CMruList& list, const wchar_t* base, const wchar_t* subkey)
{
    return list.Write(base, subkey, [&](int item, std::wstring& text) {
        text = list.GetEntry(list.GetCount() - 1 - item);
        return true;
    });
}

} // namespace

TEST(ReadSettingValue, TakesOnlyWellFormedTextsThatFit)
{
    CTestSettingsKey key;
    auto bytes = [](const std::wstring& text, size_t dropBytes = 0) {
        const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
        return std::vector<BYTE>(p, p + (text.size() + 1) * 2 - dropBytes);
    };
    const struct
    {
        const wchar_t* subkey;
        DWORD type;
        std::vector<BYTE> data;
        const wchar_t* expected; // nullptr: the default stands
    } cases[] = {
        {L"Plain", REG_SZ, bytes(L"C:\\images"), L"C:\\images"},
        {L"Expand", REG_EXPAND_SZ, bytes(L"%TEMP%\\x"), L"%TEMP%\\x"},
        {L"Empty", REG_SZ, {}, L""},
        {L"Unterminated", REG_SZ, bytes(L"abc", 2), nullptr},
        {L"OddSize", REG_SZ, bytes(L"abc", 1), nullptr},
        {L"Number", REG_DWORD, {1, 0, 0, 0}, nullptr},
        {L"OverBuffer", REG_SZ, bytes(std::wstring(600, L'x')), nullptr},
        {L"OverField", REG_SZ, bytes(std::wstring(260, L'y')), nullptr},
    };
    wchar_t field[260];
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        key.SetRaw(c.subkey, L"Document1", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        ReadSettingValue(key.Base(), c.subkey, field, L"default.bat");
        EXPECT_STREQ(c.expected ? c.expected : L"default.bat", field);
    }
    ReadSettingValue(L"Software\\Olvane\\NoSuchProgram\\", L"Plain", field, L"patch*.xml");
    EXPECT_STREQ(L"patch*.xml", field);
}

TEST(MruList, AddKeepsOneEntryPerTextIgnoringCaseAndDropsTheOldestWhenFull)
{
    CMruList list;
    for (const wchar_t* text : {L"a", L"b", L"C:\\Images", L"d", L"c:\\images", L"e", L"f", L"g"})
        ASSERT_TRUE(list.Add(text));
    EXPECT_EQ((Texts{L"g", L"f", L"e", L"c:\\images", L"d", L"b"}), NewestFirst(list));

    // Re-adding an entry of a full list removes only its old place; an
    // entry handed back to Add is copied before the list moves.
    ASSERT_TRUE(list.Add(L"B"));
    ASSERT_TRUE(list.Add(list.GetEntry(0)));
    EXPECT_EQ((Texts{L"d", L"B", L"g", L"f", L"e", L"c:\\images"}), NewestFirst(list));

    EXPECT_FALSE(list.Add(nullptr));
    EXPECT_FALSE(list.Add(L""));
    EXPECT_FALSE(list.Add(std::wstring(256, L'x').c_str()));
    EXPECT_TRUE(list.Add(std::wstring(255, L'x').c_str()));
    EXPECT_EQ(6, list.GetCount());

    CMruList unbounded;
    unbounded.SetCapacity(0);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(unbounded.Add(std::to_wstring(i).c_str()));
    EXPECT_EQ(20, unbounded.GetCount());
}

TEST(MruList, ReadSkipsUnusableValuesAndKeepsTheRest)
{
    CTestSettingsKey key;
    key.SetNumber(L"RawFile", L"DocumentCount", 7);
    key.SetText(L"RawFile", L"Document1", L"newest");
    key.SetNumber(L"RawFile", L"Document2", 7);
    key.SetRaw(L"RawFile", L"Document3", REG_SZ, L"abc", 6); // no terminator
    key.SetText(L"RawFile", L"Document4", L"");
    key.SetText(L"RawFile", L"document5", L"fifth"); // names ignore case
    key.SetText(L"RawFile", L"Document6", std::wstring(256, L'z'));
    key.SetText(L"RawFile", L"Document7", L"oldest");
    key.SetText(L"RawFile", L"Document8", L"beyond capacity");
    key.SetText(L"RawFile", L"Document07", L"not a name the list forms");

    CMruList list;
    ASSERT_TRUE(list.Read(key.Base(), L"RawFile"));
    EXPECT_EQ((Texts{L"newest", L"fifth", L"oldest"}), NewestFirst(list));

    // Without a numeric count the read fails and the list stays as it was.
    key.SetText(L"Programmer", L"DocumentCount", L"6");
    key.SetText(L"Programmer", L"Document1", L"MPRG8974.hex");
    list.SetCapacity(3);
    EXPECT_FALSE(list.Read(key.Base(), L"Programmer"));
    EXPECT_FALSE(list.Read(key.Base(), L"NoSuchSetting"));
    EXPECT_EQ(3u, list.GetCapacity());
    EXPECT_EQ((Texts{L"newest", L"fifth", L"oldest"}), NewestFirst(list));
}

TEST(MruList, StoredCapacityIsTakenAsItStands)
{
    CTestSettingsKey key;
    key.SetNumber(L"PatchFile", L"DocumentCount", 10);
    for (int i = 1; i <= 10; ++i)
        key.SetText(L"PatchFile", (L"Document" + std::to_wstring(i)).c_str(), L"p" + std::to_wstring(i));
    CMruList list;
    ASSERT_TRUE(list.Read(key.Base(), L"PatchFile"));
    ASSERT_TRUE(list.Add(L"new"));
    ASSERT_TRUE(WriteAsShown(list, key.Base(), L"PatchFile"));
    EXPECT_EQ(10u, key.Number(L"PatchFile", L"DocumentCount"));
    EXPECT_EQ((Texts{L"new", L"p1", L"p2", L"p3", L"p4", L"p5", L"p6", L"p7", L"p8", L"p9"}),
              key.Documents(L"PatchFile"));

    // A count of 0 loads nothing and is written back.
    key.SetNumber(L"BootImage", L"DocumentCount", 0);
    key.SetText(L"BootImage", L"Document1", L"ignored");
    ASSERT_TRUE(list.Read(key.Base(), L"BootImage"));
    EXPECT_EQ(0, list.GetCount());
    ASSERT_TRUE(WriteAsShown(list, key.Base(), L"BootImage"));
    EXPECT_EQ(0u, key.Number(L"BootImage", L"DocumentCount"));
    EXPECT_FALSE(key.Exists(L"BootImage", L"Document1"));

    // A hand-edited count near the 32-bit limit is read at once.
    key.SetNumber(L"Provision", L"DocumentCount", 0xFFFFFFFF);
    key.SetText(L"Provision", L"Document4000000000", L"far");
    key.SetText(L"Provision", L"Document1", L"near");
    // Not four billion reads: a read that runs on is taken as a hang.
    ASSERT_EQ(S_OK, RunBounded(120000, [&] { return list.Read(key.Base(), L"Provision") ? S_OK : E_FAIL; }));
    EXPECT_EQ((Texts{L"near", L"far"}), NewestFirst(list));
}

TEST(MruList, WriteStoresTheShownItemsAndClearsStaleValuesUpTo19)
{
    CTestSettingsKey key;
    for (int i = 1; i <= 21; ++i)
        key.SetText(L"SearchPath", (L"Document" + std::to_wstring(i)).c_str(), L"stale");
    CMruList list;
    for (const wchar_t* text : {L"1", L"2", L"3", L"4", L"5", L"6", L"7"})
        list.Add(text);
    ASSERT_TRUE(WriteAsShown(list, key.Base(), L"SearchPath"));
    EXPECT_EQ(6u, key.Number(L"SearchPath", L"DocumentCount"));
    EXPECT_EQ((Texts{L"7", L"6", L"5", L"4", L"3", L"2"}), key.Documents(L"SearchPath"));
    EXPECT_FALSE(key.Exists(L"SearchPath", L"Document19"));
    EXPECT_TRUE(key.Exists(L"SearchPath", L"Document20"));

    // An item the combo does not answer for leaves its value as it was.
    ASSERT_TRUE(list.Write(key.Base(), L"SearchPath", [](int item, std::wstring& text) {
        text = L"item" + std::to_wstring(item);
        return item != 1;
    }));
    EXPECT_EQ((Texts{L"item0", L"6", L"item2", L"item3", L"item4", L"item5"}), key.Documents(L"SearchPath"));
}
