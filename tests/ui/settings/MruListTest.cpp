#include "ui/MruList.h"
#include "tests/ui/settings/TestSettingsKey.h"

#include <gtest/gtest.h>

namespace {

// The list's entries, newest first, as the registry orders them.
std::vector<std::wstring> NewestFirst(const CMruList& list)
{
    std::vector<std::wstring> texts;
    for (int i = list.GetCount() - 1; i >= 0; --i)
        texts.push_back(list.GetEntry(i));
    return texts;
}

// Writes the list as a combo filled from it would show it.
BOOL WriteAsShown(const CMruList& list, const wchar_t* base, const wchar_t* subkey)
{
    return list.Write(base, subkey, [&](int item, std::wstring& text) {
        text = list.GetEntry(list.GetCount() - 1 - item);
        return true;
    });
}

using Texts = std::vector<std::wstring>;

} // namespace

TEST(ReadSettingValue, TakesOnlyWellFormedTextsThatFit)
{
    CTestSettingsKey key;
    const std::wstring tooLong(600, L'x');           // 1202 bytes: more than the query's buffer
    const std::wstring longerThanField(300, L'y');   // fits the buffer, not a 260-character field
    struct Case
    {
        const wchar_t* subkey;
        DWORD type;
        std::vector<BYTE> data;
        const wchar_t* expected; // nullptr: the default stands
    };
    auto bytes = [](const std::wstring& text, size_t dropBytes = 0) {
        const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
        return std::vector<BYTE>(p, p + (text.size() + 1) * 2 - dropBytes);
    };
    const Case cases[] = {
        {L"Plain", REG_SZ, bytes(L"C:\\images"), L"C:\\images"},
        {L"Expand", REG_EXPAND_SZ, bytes(L"%TEMP%\\x"), L"%TEMP%\\x"},
        {L"Empty", REG_SZ, {}, L""},
        {L"Unterminated", REG_SZ, bytes(L"abc", 2), nullptr},
        {L"OddSize", REG_SZ, bytes(L"abc", 1), nullptr},
        {L"Number", REG_DWORD, {1, 0, 0, 0}, nullptr},
        {L"TooLong", REG_SZ, bytes(tooLong), nullptr},
        {L"LongerThanField", REG_SZ, bytes(longerThanField), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "subkey " << std::string(c.subkey, c.subkey + wcslen(c.subkey)));
        key.SetRaw(c.subkey, L"Document1", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        wchar_t field[260];
        wmemset(field, L'?', 260);
        ReadSettingValue(key.Base(), c.subkey, field, L"default.bat");
        EXPECT_STREQ(c.expected ? c.expected : L"default.bat", field);
    }

    wchar_t field[260];
    ReadSettingValue(key.Base(), L"NoSuchSetting", field, L"patch*.xml");
    EXPECT_STREQ(L"patch*.xml", field);
    ReadSettingValue(L"Software\\Olvane\\NoSuchProgram\\", L"Plain", field, L"rawprogram*.xml");
    EXPECT_STREQ(L"rawprogram*.xml", field);
    // A setting whose list holds no "Document1" keeps its default too.
    key.SetNumber(L"CountOnly", L"DocumentCount", 6);
    ReadSettingValue(key.Base(), L"CountOnly", field, L"loader.efi");
    EXPECT_STREQ(L"loader.efi", field);
}

TEST(MruList, AddKeepsOneEntryPerTextIgnoringCaseAndDropsTheOldestWhenFull)
{
    CMruList list;
    EXPECT_EQ(6u, list.GetCapacity());
    for (const wchar_t* text : {L"a", L"b", L"C:\\Images", L"d"})
        ASSERT_TRUE(list.Add(text));
    ASSERT_TRUE(list.Add(L"c:\\images"));
    EXPECT_EQ((Texts{L"c:\\images", L"d", L"b", L"a"}), NewestFirst(list));

    ASSERT_TRUE(list.Add(L"e"));
    ASSERT_TRUE(list.Add(L"f"));
    ASSERT_TRUE(list.Add(L"g"));
    EXPECT_EQ((Texts{L"g", L"f", L"e", L"c:\\images", L"d", L"b"}), NewestFirst(list));

    // Re-adding an entry of a full list removes only its old place.
    ASSERT_TRUE(list.Add(L"B"));
    EXPECT_EQ((Texts{L"B", L"g", L"f", L"e", L"c:\\images", L"d"}), NewestFirst(list));

    // An entry handed back to Add is copied before the list moves.
    ASSERT_TRUE(list.Add(list.GetEntry(0)));
    EXPECT_EQ((Texts{L"d", L"B", L"g", L"f", L"e", L"c:\\images"}), NewestFirst(list));
}

TEST(MruList, AddRefusesEmptyAndOverlongTexts)
{
    CMruList list;
    EXPECT_FALSE(list.Add(nullptr));
    EXPECT_FALSE(list.Add(L""));
    EXPECT_FALSE(list.Add(std::wstring(256, L'x').c_str()));
    EXPECT_EQ(0, list.GetCount());
    EXPECT_TRUE(list.Add(std::wstring(255, L'x').c_str()));
    EXPECT_EQ(255u, wcslen(list.GetEntry(0)));
}

TEST(MruList, ZeroCapacityNeverDrops)
{
    CMruList list;
    list.SetCapacity(0);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(list.Add(std::to_wstring(i).c_str()));
    EXPECT_EQ(20, list.GetCount());
    EXPECT_STREQ(L"0", list.GetEntry(0));
}

TEST(MruList, ReadSkipsUnusableValuesAndKeepsTheRest)
{
    CTestSettingsKey key;
    key.SetNumber(L"RawFile", L"DocumentCount", 7);
    key.SetText(L"RawFile", L"Document1", L"newest");
    const DWORD number = 7;
    key.SetRaw(L"RawFile", L"Document2", REG_DWORD, &number, sizeof(number));
    key.SetRaw(L"RawFile", L"Document3", REG_SZ, L"abc", 6);        // no terminator
    key.SetText(L"RawFile", L"Document4", L"");
    key.SetText(L"RawFile", L"document5", L"fifth");                 // names ignore case
    key.SetText(L"RawFile", L"Document6", std::wstring(256, L'z'));  // longer than an entry
    key.SetText(L"RawFile", L"Document7", L"oldest");
    key.SetText(L"RawFile", L"Document8", L"beyond capacity");
    key.SetText(L"RawFile", L"Document07", L"not a name the list forms");
    key.SetText(L"RawFile", L"Document2x", L"not a name the list forms");

    CMruList list;
    ASSERT_TRUE(list.Read(key.Base(), L"RawFile"));
    EXPECT_EQ((Texts{L"newest", L"fifth", L"oldest"}), NewestFirst(list));
}

TEST(MruList, ReadFailsWithoutACountAndLeavesTheListAsItWas)
{
    CTestSettingsKey key;
    key.SetText(L"Programmer", L"DocumentCount", L"6");
    key.SetText(L"Programmer", L"Document1", L"MPRG8974.hex");

    CMruList list;
    list.SetCapacity(3);
    list.Add(L"kept");
    EXPECT_FALSE(list.Read(key.Base(), L"Programmer"));
    EXPECT_FALSE(list.Read(key.Base(), L"NoSuchSetting"));
    EXPECT_FALSE(list.Read(L"Software\\Olvane\\NoSuchProgram\\", L"Programmer"));
    EXPECT_EQ(3u, list.GetCapacity());
    EXPECT_EQ((Texts{L"kept"}), NewestFirst(list));
}

TEST(MruList, StoredCapacityIsTakenAsItStands)
{
    CTestSettingsKey key;
    key.SetNumber(L"PatchFile", L"DocumentCount", 10);
    for (int i = 1; i <= 10; ++i)
        key.SetText(L"PatchFile", (L"Document" + std::to_wstring(i)).c_str(), L"p" + std::to_wstring(i));

    CMruList list;
    ASSERT_TRUE(list.Read(key.Base(), L"PatchFile"));
    EXPECT_EQ(10u, list.GetCapacity());
    EXPECT_EQ(10, list.GetCount());
    ASSERT_TRUE(list.Add(L"new"));
    EXPECT_EQ(10, list.GetCount());
    EXPECT_STREQ(L"p9", list.GetEntry(0));
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
    const DWORD start = GetTickCount();
    ASSERT_TRUE(list.Read(key.Base(), L"Provision"));
    EXPECT_LT(GetTickCount() - start, 2000u);
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
    EXPECT_TRUE(key.Exists(L"SearchPath", L"Document20"));
    EXPECT_TRUE(key.Exists(L"SearchPath", L"Document21"));

    // An item the combo does not answer for leaves its value as it was.
    ASSERT_TRUE(list.Write(key.Base(), L"SearchPath", [](int item, std::wstring& text) {
        text = L"item" + std::to_wstring(item);
        return item != 1;
    }));
    EXPECT_EQ((Texts{L"item0", L"6", L"item2", L"item3", L"item4", L"item5"}), key.Documents(L"SearchPath"));

    CMruList reread;
    ASSERT_TRUE(reread.Read(key.Base(), L"SearchPath"));
    EXPECT_EQ((Texts{L"item0", L"6", L"item2", L"item3", L"item4", L"item5"}), NewestFirst(reread));
}
