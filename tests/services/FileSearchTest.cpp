#include "services/FileSearch.h"
#include "services/Log.h"
#include "tests/fixtures/ChildProcess.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

namespace
{

StringList Split(const std::wstring& text)
{
    StringList list;
    SplitList(text, list);
    return list;
}

void Touch(const std::wstring& path)
{
    ASSERT_TRUE(WriteWholeFile(path, "x")) << std::string(path.begin(), path.end());
}

} // namespace

// Split drops blank items but keeps the others untrimmed and appends; join
// skips blank and separator-only items; merge keeps duplicates.
TEST(Lists, SplitJoinAndMerge)
{
    EXPECT_EQ((StringList{L"a", L"b"}), Split(L"a;;b;"));
    EXPECT_EQ(StringList{}, Split(L" \t;;\r\n; "));
    EXPECT_EQ((StringList{L"a", L" b"}), Split(L"a; b"));
    StringList appended{L"x"};
    SplitList(L"y", appended);
    EXPECT_EQ((StringList{L"x", L"y"}), appended);

    EXPECT_EQ(L"a;b", JoinList({L"a", L"", L";", L"b"}));
    EXPECT_EQ(L"", JoinList({}));
    EXPECT_EQ(L" a ;b", JoinList({L" a ", L"b"}));

    EXPECT_EQ(L"x;y;y;z", MergeLists(L"x;y", L"y;z"));
    EXPECT_EQ(L"z", MergeLists(L";", L"z"));
}

class FindFileTest : public testing::Test
{
protected:
    CTempDir root{L"find"};
    std::wstring d1 = root / L"d1";
    std::wstring d2 = root / L"d2";
    void SetUp() override
    {
        CreateDirectoryW(d1.c_str(), nullptr);
        CreateDirectoryW(d2.c_str(), nullptr);
        CreateDirectoryW((d1 + L"\\tools").c_str(), nullptr);
        CreateDirectoryW((d2 + L"\\tools").c_str(), nullptr);
    }
    std::wstring Dirs() const { return d1 + L";" + d2; }
};

TEST_F(FindFileTest, NamesOuterDirectoriesInner)
{
    // Every candidate of the order d1\tools, d2\tools, d1, d2 in turn is the
    // first that exists.
    std::wstring candidates[] = {d1 + L"\\tools\\x.exe", d2 + L"\\tools\\x.exe", d1 + L"\\x.exe", d2 + L"\\x.exe"};
    for (int i = 3; i >= 0; --i)
    {
        Touch(candidates[i]);
        EXPECT_EQ(candidates[i], FindFile(DirectoryText(Dirs()), L"tools\\x.exe;x.exe"));
        EXPECT_EQ(candidates[i], FindFile(StringList{d1, d2}, L"%s;%s", L"tools\\x.exe", L"x.exe"));
    }
}

TEST_F(FindFileTest, WildcardGivesAbsolutePathWithStoredName)
{
    Touch(d2 + L"\\MPRG8960.hex");
    EXPECT_EQ(d2 + L"\\MPRG8960.hex", FindFile(StringList{d1, d2}, L"mprg*.HEX"));
    EXPECT_EQ(d1 + L"\\tools", FindFile(StringList{d1}, L"tools")); // directories match like files
    // Relative directories come back absolute.
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    const size_t slash = root.Path().rfind(L'\\');
    ASSERT_TRUE(SetCurrentDirectoryW(root.Path().substr(0, slash).c_str()));
    std::wstring relative = root.Path().substr(slash + 1) + L"\\d2";
    EXPECT_EQ(d2 + L"\\MPRG8960.hex", FindFile(StringList{relative}, L"MPRG*.hex"));
    SetCurrentDirectoryW(cwd);
}

TEST_F(FindFileTest, AbsoluteNamesAreSearchedAsWritten)
{
    Touch(d1 + L"\\Abs.TXT");
    EXPECT_EQ(d1 + L"\\Abs.TXT", FindFile(L"%s", (d1 + L"\\abs.txt").c_str()));
    std::wstring missing = d1 + L"\\missing.txt";
    EXPECT_EQ(missing, FindFile(L"%s", missing.c_str()));
}

TEST_F(FindFileTest, NothingFoundGivesTheFirstNameUnchanged)
{
    EXPECT_EQ(L" nothing-here.bin", FindFile(StringList{d1, d2}, L" nothing-here.bin;other.bin"));
    EXPECT_EQ(L"nothing-here.bin", FindFiles(StringList{d1, d2}, L"nothing-here.bin"));
    EXPECT_EQ(L"", FindFile(StringList{d1}, L" ; "));
}

TEST_F(FindFileTest, FindFilesTakesOnlyTheFirstMatchingSearch)
{
    Touch(d1 + L"\\rawprogram0.xml");
    Touch(d1 + L"\\rawprogram1.xml");
    Touch(d2 + L"\\rawprogram2.xml");
    StringList found;
    SplitList(FindFiles(StringList{d2, d1}, L"rawprogram*.xml"), found);
    EXPECT_EQ(StringList{d2 + L"\\rawprogram2.xml"}, found);
    found.clear();
    SplitList(FindFiles(StringList{d1, d2}, L"none*.xml;rawprogram*.xml"), found);
    std::sort(found.begin(), found.end());
    EXPECT_EQ((StringList{d1 + L"\\rawprogram0.xml", d1 + L"\\rawprogram1.xml"}), found);
}

TEST_F(FindFileTest, DefaultDirectoriesFollowTheCurrentDirectoryAndPath)
{
    const std::wstring path = GetEnvironmentVariableString(L"PATH");
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    // The same name in every default directory: the program's, the current
    // one, the PATH entries (as they are at the call), Windows, system. Each
    // is found while the ones before it are gone.
    wchar_t program[MAX_PATH], windows[MAX_PATH], system[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring programDir(program, wcsrchr(program, L'\\'));
    const std::wstring name = L"kestrup-order-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    const std::wstring order[] = {programDir, d1, d2, windows, system};
    for (const std::wstring& dir : order)
        Touch(dir + L"\\" + name);
    SetEnvironmentVariableW(L"PATH", d2.c_str());
    SetCurrentDirectoryW(d1.c_str());
    std::vector<std::wstring> seen;
    for (const std::wstring& dir : order)
    {
        seen.push_back(FindFile(L"%s", name.c_str()));
        DeleteFileW((dir + L"\\" + name).c_str());
    }
    seen.push_back(FindFile(L"%s", name.c_str()));
    SetCurrentDirectoryW(cwd);
    SetEnvironmentVariableW(L"PATH", path.c_str());
    std::vector<std::wstring> expected;
    for (const std::wstring& dir : order)
        expected.push_back(dir + L"\\" + name);
    expected.push_back(name);
    EXPECT_EQ(expected, seen);
}
