// The main window's settings block and how it becomes the FlashParameters
// record of one device: the nine settings read from the per-user registry,
// each pattern resolved along the search list of an image-folder text.
#pragma once
#include "jobs/StartFlash.h"
#include "services/FileSearch.h"

#include <string>

// The search list of an image-folder text: for each folder its "images"
// subfolder, itself and its parent, those that exist.
StringList BuildSearchList(const std::wstring& folderText);
// Fills `record` from the settings block's patterns along the search list
// of `folderText`. FALSE when a resolved text does not fit its field (the
// field is then left empty).
BOOL FillFlashParameters(FlashParameters& record, const FlashParameters& settings, const std::wstring& folderText);

// The settings block: a record with the layout of FlashParameters whose
// fields hold the stored patterns and script names.
class CFlashSettings
{
public:
    CFlashSettings();

    // The nine settings from the per-user registry, defaults where nothing
    // usable is stored.
    void Load();
    // The record for one device; FALSE as FillFlashParameters.
    BOOL Fill(FlashParameters& record, const std::wstring& folderText) const;
    // Makes `script` the fastboot script (not stored).
    void SetScript(const wchar_t* script);

    FlashParameters& Block() { return m_block; }
    const FlashParameters& Block() const { return m_block; }

private:
    FlashParameters m_block;
};
