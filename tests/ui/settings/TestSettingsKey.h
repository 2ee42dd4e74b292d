// A base key below HKEY_CURRENT_USER for one test (by default a private
// one), removed with its subkeys before and after the test; and direct
// access to its values. The tests run in the build tree's own Wine prefix.
#pragma once
#include <windows.h>
#include <winternl.h>
#include <string>
#include <vector>

using Texts = std::vector<std::wstring>;

// The texts of "Document1" upwards under HKEY_CURRENT_USER\key, while they exist.
inline Texts StoredDocuments(const std::wstring& key)
{
    Texts texts;
    for (int i = 1;; ++i)
    {
        wchar_t text[1024];
        DWORD size = sizeof(text);
        if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), (L"Document" + std::to_wstring(i)).c_str(), RRF_RT_REG_SZ,
                         nullptr, text, &size) != ERROR_SUCCESS)
            return texts;
        texts.push_back(text);
    }
}

class CTestSettingsKey
{
public:
    explicit CTestSettingsKey(const wchar_t* base = nullptr)
        : m_base(base ? base : L"Software\\Olvane\\KestrupTest" + std::to_wstring(GetCurrentProcessId()) + L"\\")
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str());
    }
    ~CTestSettingsKey() { RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str()); }
    CTestSettingsKey(const CTestSettingsKey&) = delete;
    CTestSettingsKey& operator=(const CTestSettingsKey&) = delete;

    const wchar_t* Base() const { return m_base.c_str(); }

    // Stores the bytes as they are under <base>\subkey\name. The native
    // call, because the registry functions add a missing terminator to texts.
    void SetRaw(const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data, DWORD size) const
    {
        using SetValueKey = NTSTATUS(NTAPI*)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
        static const auto setValueKey =
            reinterpret_cast<SetValueKey>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey"));
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (m_base + subkey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return;
        std::wstring valueName = name;
        UNICODE_STRING nameString;
        nameString.Buffer = valueName.data();
        nameString.Length = static_cast<USHORT>(valueName.size() * sizeof(wchar_t));
        nameString.MaximumLength = nameString.Length;
        setValueKey(key, &nameString, 0, type, const_cast<void*>(data), size);
        RegCloseKey(key);
    }
    void SetText(const wchar_t* subkey, const wchar_t* name, const std::wstring& text) const
    {
        SetRaw(subkey, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    void SetNumber(const wchar_t* subkey, const wchar_t* name, DWORD number) const
    {
        SetRaw(subkey, name, REG_DWORD, &number, sizeof(number));
    }

    bool Exists(const wchar_t* subkey, const wchar_t* name) const
    {
        return RegGetValueW(HKEY_CURRENT_USER, (m_base + subkey).c_str(), name, RRF_RT_ANY, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS;
    }
    DWORD Number(const wchar_t* subkey, const wchar_t* name) const
    {
        DWORD number = 0xDEADBEEF, size = sizeof(number);
        RegGetValueW(HKEY_CURRENT_USER, (m_base + subkey).c_str(), name, RRF_RT_REG_DWORD, nullptr, &number, &size);
        return number;
    }
    // The texts of "Document1" upwards, while they exist.
    Texts Documents(const wchar_t* subkey) const { return StoredDocuments(m_base + subkey); }

private:
    std::wstring m_base;
};
