// Per-user settings kept as most-recently-used lists in the registry.
//
// Under HKEY_CURRENT_USER\<base>\<setting> the value "DocumentCount"
// (REG_DWORD) is the list's capacity and "Document1", "Document2", ... hold
// the entries, newest first. "Document1" is also the setting's current value.
#pragma once
#include <windows.h>
#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// The base key of every setting, below HKEY_CURRENT_USER.
inline constexpr wchar_t kSettingsKey[] = L"Software\\Olvane\\Kestrup\\";

// The nine settings, in the order the main window loads them, with the value
// each takes when nothing usable is stored.
struct SettingInfo
{
    const wchar_t* subkey;
    const wchar_t* defaultValue;
};
inline constexpr SettingInfo kSettings[] = {
    {L"FtBootScript", L"flash_all_except_storage.bat"},
    {L"NvBootScript", L"nvflash_all.bat"},
    {L"Programmer", L"MPRG*.hex;MPRG*.mbn;prog_*_firehose_*.*"},
    {L"BootImage", L"*_msimage.mbn"},
    {L"KernelFlinger", L"loader.efi"},
    {L"Provision", L"provision*.xml"},
    {L"RawFile", L"rawprogram*.xml"},
    {L"PatchFile", L"patch*.xml"},
    {L"SearchPath", L""},
};

// Capacity of a list that the registry does not say otherwise about.
inline constexpr DWORD kDefaultMruCapacity = 6;

// One entry: at most 255 characters and the terminator.
inline constexpr size_t kMruEntryChars = 256;

// The data of a stored text value as a string, when it is one: type REG_SZ or
// REG_EXPAND_SZ (not expanded) and either empty or an even number of bytes
// ending in a NUL character. A text longer than maxChars is refused too.
bool TakeStoredText(DWORD type, const BYTE* data, DWORD size, size_t maxChars, std::wstring& text);

// The current value of one setting ("Document1" of its list) into dest, a
// buffer of destChars characters; the default stands when nothing usable is
// stored or the stored text does not fit.
void ReadSettingValue(const wchar_t* base, const wchar_t* subkey, wchar_t* dest, size_t destChars,
                      const wchar_t* defaultValue);

template <size_t N>
void ReadSettingValue(const wchar_t* base, const wchar_t* subkey, wchar_t (&dest)[N], const wchar_t* defaultValue)
{
    ReadSettingValue(base, subkey, dest, N, defaultValue);
}

// The entries of one list, oldest first, with its capacity. Holds no window;
// the combo box that shows the list owns one.
class CMruList
{
public:
    using Entry = std::array<wchar_t, kMruEntryChars>;
    // Combo item i (0 = newest) as text; false when the combo has none.
    using ItemReader = std::function<bool(int item, std::wstring& text)>;

    int GetCount() const { return static_cast<int>(m_entries.size()); }
    DWORD GetCapacity() const { return m_capacity; }
    void SetCapacity(DWORD capacity) { m_capacity = capacity; }
    // Entry i, 0 the oldest and GetCount() - 1 the newest.
    const wchar_t* GetEntry(int index) const { return m_entries[static_cast<size_t>(index)].data(); }

    // Puts a text on top: an equal entry (ignoring case) goes first, then the
    // oldest when the list is full. FALSE for an empty or too long text, or
    // when the entries cannot grow.
    BOOL Add(const wchar_t* text);

    // Loads capacity and entries; FALSE (list and capacity unchanged) when
    // the key, the subkey or "DocumentCount" is missing.
    BOOL Read(const wchar_t* base, const wchar_t* subkey);

    // Stores the capacity and, for each entry, the combo item that shows it;
    // deletes stale values numbered up to 19. FALSE when a key cannot be
    // created or opened.
    BOOL Write(const wchar_t* base, const wchar_t* subkey, const ItemReader& item) const;

    // The most entries the array holds.
    static constexpr size_t kMaxEntries = 0x7FFFFFFF / sizeof(Entry);

private:
    std::vector<Entry> m_entries;
    DWORD m_capacity = kDefaultMruCapacity;
};
