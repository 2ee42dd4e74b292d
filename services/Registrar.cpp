#include "services/Registrar.h"
#include "services/Text.h"

#include "services/Log.h"
#include "platform/Handles.h"

#include <cwctype>
#include <memory>

namespace
{
const HRESULT kBadScript = HResultFromWin32(ERROR_INVALID_DATA);

enum class KeyMode
{
    Normal,
    NoRemove,
    ForceRemove,
    Delete
};

struct RegValue
{
    std::wstring name; // empty: the key's default value
    DWORD type = REG_SZ;
    std::wstring text;
    DWORD number = 0;
};

struct RegKey
{
    KeyMode mode = KeyMode::Normal;
    std::wstring name;
    bool hasDefault = false;
    RegValue defaultValue;
    std::vector<RegValue> values;
    std::vector<RegKey> subkeys;
};

struct RegRoot
{
    HKEY hkey;
    std::vector<RegKey> keys;
};

class CScriptParser
{
public:
    CScriptParser(const std::wstring& text, const RegistryReplacements& replacements)
        : m_text(text), m_replacements(replacements)
    {
    }

    bool Parse(std::vector<RegRoot>& roots)
    {
        std::wstring word;
        while (Next(word))
        {
            RegRoot root{RootKey(word), {}};
            if (!root.hkey || !Expect(L"{") || !ParseBlock(root.keys, false))
                return false;
            roots.push_back(std::move(root));
        }
        return m_ok;
    }

private:
    static HKEY RootKey(const std::wstring& name)
    {
        struct
        {
            const wchar_t* a;
            const wchar_t* b;
            HKEY key;
        } const roots[] = {
            {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
            {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
            {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
            {L"HKU", L"HKEY_USERS", HKEY_USERS},
        };
        for (const auto& r : roots)
            if (!lstrcmpiW(name.c_str(), r.a) || !lstrcmpiW(name.c_str(), r.b))
                return r.key;
        return nullptr;
    }

    // Reads a block's items up to its "}"; `allowValues` inside keys only.
    bool ParseBlock(std::vector<RegKey>& keys, bool allowValues, std::vector<RegValue>* values = nullptr)
    {
        std::wstring word;
        bool quoted = false;
        while (Next(word, &quoted))
        {
            if (!quoted && word == L"}")
                return true;
            if (!quoted && word == L"{")
                return false;
            if (!quoted && allowValues && !lstrcmpiW(word.c_str(), L"val"))
            {
                RegValue value;
                if (!Next(value.name) || !Expect(L"=") || !ParseValue(value))
                    return false;
                values->push_back(std::move(value));
                continue;
            }
            RegKey key;
            if (!quoted && !lstrcmpiW(word.c_str(), L"NoRemove"))
                key.mode = KeyMode::NoRemove;
            else if (!quoted && !lstrcmpiW(word.c_str(), L"ForceRemove"))
                key.mode = KeyMode::ForceRemove;
            else if (!quoted && !lstrcmpiW(word.c_str(), L"Delete"))
                key.mode = KeyMode::Delete;
            if (key.mode != KeyMode::Normal && !Next(word, &quoted))
                return false;
            if (word.empty() || (!quoted && (word == L"=" || word == L"}")))
                return false;
            key.name = word;
            size_t mark = m_pos;
            std::wstring after;
            bool afterQuoted = false;
            if (Next(after, &afterQuoted) && !afterQuoted && after == L"=")
            {
                key.hasDefault = true;
                if (!ParseValue(key.defaultValue))
                    return false;
                mark = m_pos;
                if (!Next(after, &afterQuoted))
                    after.clear();
            }
            if (!afterQuoted && after == L"{")
            {
                if (!ParseBlock(key.subkeys, true, &key.values))
                    return false;
            }
            else
                m_pos = mark;
            keys.push_back(std::move(key));
        }
        return false; // the block never ended
    }

    bool ParseValue(RegValue& value)
    {
        std::wstring type, text;
        if (!Next(type) || !Next(text))
            return false;
        if (!lstrcmpiW(type.c_str(), L"s"))
        {
            value.type = REG_SZ;
            value.text = text;
            return true;
        }
        if (!lstrcmpiW(type.c_str(), L"d"))
        {
            value.type = REG_DWORD;
            wchar_t* end = nullptr;
            unsigned long long n = wcstoull(text.c_str(), &end, 0);
            value.number = static_cast<DWORD>(n);
            return !text.empty() && end && !*end && n <= 0xFFFFFFFFull;
        }
        return false;
    }

    bool Expect(const wchar_t* token)
    {
        std::wstring word;
        bool quoted = false;
        return Next(word, &quoted) && !quoted && word == token;
    }

    // The next token: "{", "}", "=", a quoted text or a bare word, with
    // replacements made. False at the end or on an error (m_ok cleared).
    bool Next(std::wstring& token, bool* quoted = nullptr)
    {
        while (m_pos < m_text.size() && iswspace(m_text[m_pos]))
            ++m_pos;
        if (quoted)
            *quoted = false;
        if (m_pos >= m_text.size())
            return false;
        wchar_t c = m_text[m_pos];
        if (c == L'{' || c == L'}' || c == L'=')
        {
            token.assign(1, c);
            ++m_pos;
            return true;
        }
        std::wstring raw;
        if (c == L'\'')
        {
            if (quoted)
                *quoted = true;
            for (++m_pos;; ++m_pos)
            {
                if (m_pos >= m_text.size())
                    return m_ok = false;
                if (m_text[m_pos] == L'\'')
                {
                    if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == L'\'')
                        ++m_pos;
                    else
                    {
                        ++m_pos;
                        break;
                    }
                }
                raw += m_text[m_pos];
            }
        }
        else
        {
            while (m_pos < m_text.size() && !iswspace(m_text[m_pos]) && m_text[m_pos] != L'{' &&
                   m_text[m_pos] != L'}' && m_text[m_pos] != L'=' && m_text[m_pos] != L'\'')
                raw += m_text[m_pos++];
        }
        return Replace(raw, token) || (m_ok = false);
    }

    bool Replace(const std::wstring& raw, std::wstring& out) const
    {
        out.clear();
        for (size_t i = 0; i < raw.size(); ++i)
        {
            if (raw[i] != L'%')
            {
                out += raw[i];
                continue;
            }
            size_t end = raw.find(L'%', i + 1);
            if (end == std::wstring::npos)
                return false;
            std::wstring name = raw.substr(i + 1, end - i - 1);
            i = end;
            if (name.empty())
            {
                out += L'%';
                continue;
            }
            bool found = false;
            for (const auto& r : m_replacements)
                if (!lstrcmpiW(r.first.c_str(), name.c_str()))
                {
                    out += r.second;
                    found = true;
                    break;
                }
            if (!found)
                return false;
        }
        return true;
    }

    const std::wstring& m_text;
    const RegistryReplacements& m_replacements;
    size_t m_pos = 0;
    bool m_ok = true;
};

HRESULT SetValue(HKEY key, const RegValue& value)
{
    LONG rc;
    if (value.type == REG_DWORD)
        rc = RegSetValueExW(key, value.name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.number),
                            sizeof(value.number));
    else
        rc = RegSetValueExW(key, value.name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.text.c_str()),
                            static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t)));
    return HResultFromWin32(rc);
}

bool IsGone(LONG rc)
{
    return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND;
}

HRESULT DeleteTree(HKEY parent, const std::wstring& name)
{
    LONG rc = RegDeleteTreeW(parent, name.c_str());
    if (rc == ERROR_SUCCESS)
        rc = RegDeleteKeyW(parent, name.c_str());
    return IsGone(rc) ? S_OK : HResultFromWin32(rc);
}

HRESULT RegisterKey(HKEY parent, const RegKey& key)
{
    if (key.mode == KeyMode::Delete)
        return DeleteTree(parent, key.name);
    if (key.mode == KeyMode::ForceRemove)
    {
        HRESULT hr = DeleteTree(parent, key.name);
        if (FAILED(hr))
            return hr;
    }
    HKEY raw = nullptr;
    LONG rc = RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &raw, nullptr);
    if (rc != ERROR_SUCCESS)
        return HResultFromWin32(rc);
    CRegKey owner(raw);
    HRESULT hr = key.hasDefault ? SetValue(raw, key.defaultValue) : S_OK;
    for (size_t i = 0; SUCCEEDED(hr) && i < key.values.size(); ++i)
        hr = SetValue(raw, key.values[i]);
    for (size_t i = 0; SUCCEEDED(hr) && i < key.subkeys.size(); ++i)
        hr = RegisterKey(raw, key.subkeys[i]);
    return hr;
}

HRESULT UnregisterKey(HKEY parent, const RegKey& key)
{
    if (key.mode == KeyMode::ForceRemove)
        return DeleteTree(parent, key.name);
    if (key.mode == KeyMode::Delete)
        return S_OK;
    HKEY raw = nullptr;
    LONG rc = RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, &raw);
    if (rc != ERROR_SUCCESS)
        return IsGone(rc) ? S_OK : HResultFromWin32(rc);
    CRegKey owner(raw);
    HRESULT hr = S_OK;
    for (size_t i = 0; SUCCEEDED(hr) && i < key.subkeys.size(); ++i)
        hr = UnregisterKey(raw, key.subkeys[i]);
    for (size_t i = 0; SUCCEEDED(hr) && i < key.values.size(); ++i)
    {
        rc = RegDeleteValueW(raw, key.values[i].name.c_str());
        if (rc != ERROR_SUCCESS && !IsGone(rc))
            hr = HResultFromWin32(rc);
    }
    if (FAILED(hr) || key.mode == KeyMode::NoRemove)
        return hr;
    DWORD subkeys = 0;
    rc = RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr);
    if (rc != ERROR_SUCCESS)
        return HResultFromWin32(rc);
    owner.Reset();
    if (subkeys)
        return S_OK;
    rc = RegDeleteKeyW(parent, key.name.c_str());
    return IsGone(rc) ? S_OK : HResultFromWin32(rc);
}
} // namespace

HRESULT ApplyRegistryScript(const std::wstring& script, bool registering, const RegistryReplacements& replacements)
{
    std::vector<RegRoot> roots;
    if (!CScriptParser(script, replacements).Parse(roots))
        return kBadScript;
    HRESULT hr = S_OK;
    for (size_t r = 0; SUCCEEDED(hr) && r < roots.size(); ++r)
        for (size_t k = 0; SUCCEEDED(hr) && k < roots[r].keys.size(); ++k)
            hr = registering ? RegisterKey(roots[r].hkey, roots[r].keys[k])
                             : UnregisterKey(roots[r].hkey, roots[r].keys[k]);
    return hr;
}

HRESULT LoadRegistryScript(HMODULE module, UINT id, std::wstring& script)
{
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes)
        return LastErrorHResult();
    script = ToWide(bytes, SizeofResource(module, found), CP_UTF8);
    while (!script.empty() && script.back() == L'\0')
        script.pop_back();
    return S_OK;
}
