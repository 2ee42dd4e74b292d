#include "services/Registrar.h"
#include "platform/Handles.h"

#include <gtest/gtest.h>

namespace
{
// Each test works below its own key of the current user.
class RegistrarTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_root = L"Software\\KestrupTests\\Registrar" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, m_root.c_str());
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, m_root.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, m_root.c_str());
    }

    HRESULT Apply(const std::wstring& body, bool registering, RegistryReplacements more = {})
    {
        more.push_back({L"ROOT", m_root});
        return ApplyRegistryScript(L"HKCU { NoRemove '%ROOT%' { " + body + L" } }", registering, more);
    }
    bool Exists(const std::wstring& sub) const
    {
        CRegKey key;
        return RegOpenKeyExW(HKEY_CURRENT_USER, (m_root + L"\\" + sub).c_str(), 0, KEY_READ, key.Receive()) ==
               ERROR_SUCCESS;
    }
    std::wstring Text(const std::wstring& sub, const wchar_t* name) const
    {
        wchar_t text[256] = {};
        DWORD size = sizeof(text);
        if (RegGetValueW(HKEY_CURRENT_USER, (m_root + L"\\" + sub).c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size))
            return L"<none>";
        return text;
    }

    std::wstring m_root;
};

TEST_F(RegistrarTest, RegisteringWritesKeysAndValuesAndUnregisteringTakesThemAway)
{
    const std::wstring script = L"'%ID%' = s 'It''s %% done' "
                                L"Tool { val Path = s '%PATH%' val Count = d 0x10 val Max = d '4294967295' "
                                L"Sub = s 'x' }";
    RegistryReplacements names = {{L"ID", L"{1234}"}, {L"path", L"C:\\a b\\k.exe"}};
    ASSERT_EQ(S_OK, Apply(script, true, names));
    EXPECT_EQ(L"It's % done", Text(L"{1234}", nullptr));
    EXPECT_EQ(L"C:\\a b\\k.exe", Text(L"Tool", L"Path"));
    EXPECT_EQ(L"x", Text(L"Tool\\Sub", nullptr));
    DWORD count = 0, size = sizeof(count);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, (m_root + L"\\Tool").c_str(), L"Count", RRF_RT_REG_DWORD,
                                          nullptr, &count, &size));
    EXPECT_EQ(16u, count);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, (m_root + L"\\Tool").c_str(), L"Max", RRF_RT_REG_DWORD,
                                          nullptr, &count, &size));
    EXPECT_EQ(0xFFFFFFFFu, count);

    ASSERT_EQ(S_OK, Apply(script, false, names));
    EXPECT_FALSE(Exists(L"{1234}"));
    EXPECT_FALSE(Exists(L"Tool"));
    EXPECT_TRUE(Exists(L"")); // NoRemove
    // Removing what is already gone is no failure.
    EXPECT_EQ(S_OK, Apply(script, false, names));
}

TEST_F(RegistrarTest, KeysKeepWhatOthersAddedBelowThemUnlessForceRemove)
{
    ASSERT_EQ(S_OK, Apply(L"Shared { val Mine = s '1' } ForceRemove Owned", true));
    for (const wchar_t* other : {L"\\Shared\\Other", L"\\Owned\\Old\\Deep"})
    {
        CRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CURRENT_USER, (m_root + other).c_str(), key.Receive()));
    }

    // Registering again empties the ForceRemove key.
    ASSERT_EQ(S_OK, Apply(L"Shared { val Mine = s '1' } ForceRemove Owned", true));
    EXPECT_TRUE(Exists(L"Owned"));
    EXPECT_FALSE(Exists(L"Owned\\Old"));

    ASSERT_EQ(S_OK, Apply(L"Shared { val Mine = s '1' } ForceRemove Owned", false));
    EXPECT_TRUE(Exists(L"Shared\\Other"));
    EXPECT_EQ(L"<none>", Text(L"Shared", L"Mine"));
    EXPECT_FALSE(Exists(L"Owned"));

    ASSERT_EQ(S_OK, Apply(L"Delete Shared", true));
    EXPECT_FALSE(Exists(L"Shared"));
}

TEST_F(RegistrarTest, ABrokenScriptChangesNothing)
{
    const HRESULT bad = HRESULT(0x8007000D);
    const wchar_t* const broken[] = {
        L"A = s 'x' B { ",      // block never closed
        L"A = q 'x'",           // unknown value type
        L"A { val = s 'x' }",   // value without a name
        L"A = d 12z",           // not a number
        L"A = d 4294967296",    // past 32 bits
        L"A = s 'unterminated", // open quote
        L"A = s '%UNKNOWN%'",   // no such replacement
        L"A { B } }",           // one brace too many
    };
    for (const wchar_t* body : broken)
    {
        EXPECT_EQ(bad, Apply(body, true)) << body;
        EXPECT_FALSE(Exists(L"A")) << body;
    }
    EXPECT_EQ(bad, ApplyRegistryScript(L"HKXX { A }", true, {}));
}
} // namespace
