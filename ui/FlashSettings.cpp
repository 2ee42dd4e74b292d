#include "ui/FlashSettings.h"

#include "ui/MruList.h"

#include <shlwapi.h>
#include <cstring>
#include <cwchar>

namespace
{

// The record's fields in the order of the settings (kSettings).
struct Field
{
    wchar_t* text;
    size_t chars;
};
template <size_t N> Field MakeField(wchar_t (&text)[N])
{
    return Field{text, N};
}
void GetFields(FlashParameters& p, Field (&fields)[9])
{
    fields[0] = MakeField(p.FtBootScript);
    fields[1] = MakeField(p.NvBootScript);
    fields[2] = MakeField(p.Programmer);
    fields[3] = MakeField(p.BootImage);
    fields[4] = MakeField(p.KernelFlinger);
    fields[5] = MakeField(p.Provision);
    fields[6] = MakeField(p.RawFile);
    fields[7] = MakeField(p.PatchFile);
    fields[8] = MakeField(p.SearchPath);
}

bool CopyField(const Field& field, const std::wstring& text)
{
    if (text.size() >= field.chars)
    {
        field.text[0] = L'\0';
        return false;
    }
    std::wmemcpy(field.text, text.c_str(), text.size() + 1);
    return true;
}

} // namespace

StringList BuildSearchList(const std::wstring& folderText)
{
    StringList folders, list;
    SplitList(folderText, folders);
    for (const std::wstring& folder : folders)
    {
        for (const wchar_t* more : {L"images", L"", L".."})
        {
            wchar_t path[MAX_PATH];
            if (!::PathCombineW(path, folder.c_str(), more))
                continue;
            if (!*more)
                ::PathRemoveBackslashW(path);
            if (::PathFileExistsW(path))
                list.push_back(path);
        }
    }
    return list;
}

BOOL FillFlashParameters(FlashParameters& record, const FlashParameters& settings, const std::wstring& folderText)
{
    const StringList search = BuildSearchList(folderText);
    Field out[9], in[9];
    GetFields(record, out);
    GetFields(const_cast<FlashParameters&>(settings), in);
    bool fits = true;
    for (int i = 0; i < 6; ++i)
        fits &= CopyField(out[i], FindFile(search, L"%s", in[i].text));
    for (int i = 6; i < 8; ++i)
        fits &= CopyField(out[i], FindFiles(search, L"%s", in[i].text));
    fits &= CopyField(out[8], JoinList(search));
    return fits ? TRUE : FALSE;
}

CFlashSettings::CFlashSettings()
{
    std::memset(&m_block, 0, sizeof(m_block));
}

void CFlashSettings::Load()
{
    Field fields[9];
    GetFields(m_block, fields);
    for (int i = 0; i < 9; ++i)
        ReadSettingValue(kSettingsKey, kSettings[i].subkey, fields[i].text, fields[i].chars,
                         kSettings[i].defaultValue);
}

BOOL CFlashSettings::Fill(FlashParameters& record, const std::wstring& folderText) const
{
    return FillFlashParameters(record, m_block, folderText);
}

void CFlashSettings::SetScript(const wchar_t* script)
{
    ::lstrcpynW(m_block.FtBootScript, script, static_cast<int>(std::size(m_block.FtBootScript)));
}
