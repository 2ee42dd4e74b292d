// rawprogram and patch files: which image goes to which sectors, and the
// in-place changes made after the images are written. Drives any IQDevice.
#pragma once
#include <windows.h>

struct IQDevice;
struct IQStatusReport;

// Writes every rawprogram file of the ";" list and applies the patch file at
// the same place in the other list; a pair is tried up to 3 times with a
// Reset of the target after each failed attempt. Lists of different lengths
// fail with 0x8000FFFF before anything is written.
HRESULT DownloadImagesToDevice(IQDevice* device, const wchar_t* rawProgramList, const wchar_t* patchList,
                               const wchar_t* searchPath, IQStatusReport* sink);

// Writes the images that one rawprogram file lists, each looked up along the
// ";" list of search directories.
HRESULT WriteFilesToDevice(IQDevice* device, const wchar_t* rawProgramPath, const wchar_t* searchPath,
                           IQStatusReport* sink);

// Applies the patches of one patch file that are addressed to "DISK".
HRESULT ApplyPatchesToDevice(IQDevice* device, const wchar_t* patchPath, IQStatusReport* sink);
