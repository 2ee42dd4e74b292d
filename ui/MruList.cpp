#include "ui/MruList.h"
#include "platform/Handles.h"

#include <algorithm>
#include <cwchar>
#include <new>
#include <utility>

namespace
{

// Value data buffers hold 1024 bytes: texts of up to 511 characters.
constexpr DWORD kValueBytes = 1024;
// "Document%i" values above this number are never deleted by a write.
constexpr DWORD kLastClearedValue = 19;
constexpr wchar_t kCountName[] = L"DocumentCount";
constexpr wchar_t kEntryPrefix[] = L"Document";
constexpr size_t kEntryPrefixChars = 8;

bool OpenForReading(const wchar_t* base, const wchar_t* subkey, CRegKey& baseKey, CRegKey& key)
{
    return RegOpenKeyExW(HKEY_CURRENT_USER, base, 0, KEY_READ, baseKey.Receive()) == ERROR_SUCCESS &&
           RegOpenKeyExW(baseKey.Get(), subkey, 0, KEY_READ, key.Receive()) == ERROR_SUCCESS;
}

std::wstring EntryName(DWORD number)
{
    wchar_t name[32];
    swprintf(name, 32, L"%ls%lu", kEntryPrefix, static_cast<unsigned long>(number));
    return name;
}

// The number n of a value named "Document<n>" exactly as "Document%i" forms
// it (no sign, no leading zero), when it lies within 1..limit.
bool EntryNumber(const wchar_t* name, DWORD limit, DWORD& number)
{
    if (_wcsnicmp(name, kEntryPrefix, kEntryPrefixChars) != 0)
        return false;
    const wchar_t* digits = name + kEntryPrefixChars;
    if (*digits < L'1' || *digits > L'9')
        return false;
    unsigned long long n = 0;
    for (const wchar_t* p = digits; *p; ++p)
    {
        if (*p < L'0' || *p > L'9' || p - digits >= 10)
            return false;
        n = n * 10 + static_cast<unsigned>(*p - L'0');
    }
    if (n > limit)
        return false;
    number = static_cast<DWORD>(n);
    return true;
}

} // namespace

bool TakeStoredText(DWORD type, const BYTE* data, DWORD size, size_t maxChars, std::wstring& text)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    if (size == 0)
    {
        text.clear();
        return true;
    }
    if (size % sizeof(wchar_t) != 0)
        return false;
    const auto* chars = reinterpret_cast<const wchar_t*>(data);
    const size_t count = size / sizeof(wchar_t);
    if (chars[count - 1] != L'\0')
        return false;
    // The text ends at its first NUL, as a reader of the string would see it.
    const size_t length = wcsnlen(chars, count);
    if (length > maxChars)
        return false;
    text.assign(chars, length);
    return true;
}

void ReadSettingValue(const wchar_t* base, const wchar_t* subkey, wchar_t* dest, size_t destChars,
                      const wchar_t* defaultValue)
{
    if (!dest || destChars == 0)
        return;
    wcsncpy(dest, defaultValue ? defaultValue : L"", destChars - 1);
    dest[destChars - 1] = L'\0';

    CRegKey baseKey, key;
    if (!OpenForReading(base, subkey, baseKey, key))
        return;
    alignas(wchar_t) BYTE data[kValueBytes];
    DWORD type = 0, size = sizeof(data);
    if (RegQueryValueExW(key.Get(), L"Document1", nullptr, &type, data, &size) != ERROR_SUCCESS)
        return;
    std::wstring text;
    if (TakeStoredText(type, data, size, destChars - 1, text))
        wcscpy(dest, text.c_str());
}

BOOL CMruList::Add(const wchar_t* text)
{
    if (!text || !*text)
        return FALSE;
    // Copied first: the text may be one of our own entries.
    Entry entry{};
    const size_t length = wcsnlen(text, kMruEntryChars);
    if (length >= kMruEntryChars)
        return FALSE;
    std::copy(text, text + length, entry.begin());

    auto same = std::find_if(m_entries.begin(), m_entries.end(),
                             [&](const Entry& e) { return lstrcmpiW(e.data(), entry.data()) == 0; });
    if (same != m_entries.end())
        m_entries.erase(same);
    if (!m_entries.empty() && m_entries.size() == m_capacity)
        m_entries.erase(m_entries.begin());
    if (m_entries.size() >= kMaxEntries)
        return FALSE;
    try
    {
        m_entries.push_back(entry);
    }
    catch (const std::bad_alloc&)
    {
        return FALSE;
    }
    return TRUE;
}

BOOL CMruList::Read(const wchar_t* base, const wchar_t* subkey)
{
    CRegKey baseKey, key;
    if (!OpenForReading(base, subkey, baseKey, key))
        return FALSE;
    DWORD type = 0, capacity = 0, size = sizeof(capacity);
    if (RegQueryValueExW(key.Get(), kCountName, nullptr, &type, reinterpret_cast<BYTE*>(&capacity), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return FALSE;

    // The entries are the values "Document<capacity>" down to "Document1".
    // They are found by walking the values rather than asking for each name,
    // so that a hand-edited capacity of millions costs nothing.
    std::vector<std::pair<DWORD, std::wstring>> found;
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[32];
        DWORD nameChars = ARRAYSIZE(name);
        alignas(wchar_t) BYTE data[kValueBytes];
        DWORD dataSize = sizeof(data);
        const LONG status = RegEnumValueW(key.Get(), index, name, &nameChars, nullptr, &type, data, &dataSize);
        // Longer names cannot be entry names; larger data is refused as a
        // direct query of the name would refuse it. Any other failure (the
        // key went away) ends the walk.
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
            break;
        DWORD number = 0;
        std::wstring text;
        if (status != ERROR_SUCCESS || !EntryNumber(name, capacity, number) ||
            !TakeStoredText(type, data, dataSize, kMruEntryChars - 1, text) || text.empty())
            continue;
        found.emplace_back(number, std::move(text));
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });

    m_capacity = capacity;
    m_entries.clear();
    for (const auto& [number, text] : found)
    {
        if (m_entries.size() >= kMaxEntries)
            break;
        Entry entry{};
        std::copy(text.begin(), text.end(), entry.begin());
        m_entries.push_back(entry);
    }
    return TRUE;
}

BOOL CMruList::Write(const wchar_t* base, const wchar_t* subkey, const ItemReader& item) const
{
    CRegKey baseKey, key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, base, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, baseKey.Receive(),
                        nullptr) != ERROR_SUCCESS ||
        RegCreateKeyExW(baseKey.Get(), subkey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.Receive(), nullptr) !=
            ERROR_SUCCESS)
        return FALSE;

    const DWORD capacity = m_capacity;
    RegSetValueExW(key.Get(), kCountName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&capacity), sizeof(capacity));
    const DWORD count = static_cast<DWORD>(m_entries.size());
    for (DWORD i = count; i >= 1; --i)
    {
        std::wstring text;
        if (!item(static_cast<int>(i - 1), text))
            continue;
        RegSetValueExW(key.Get(), EntryName(i).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    for (DWORD i = count + 1; i <= kLastClearedValue; ++i)
        RegDeleteValueW(key.Get(), EntryName(i).c_str());
    return TRUE;
}
