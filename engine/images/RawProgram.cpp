#include "engine/images/RawProgram.h"

#include <wrl/client.h>

#include <initializer_list>
#include <map>
#include <string>
#include <utility>

#include "engine/EngineIo.h"
#include "engine/images/EntryReader.h"
#include "engine/images/SparseImage.h"
#include "engine/storage/QDevice.h"
#include "services/FileSearch.h"
#include "services/Log.h"

using Microsoft::WRL::ComPtr;

namespace
{

constexpr int kPairAttempts = 3;
constexpr int kImageAttempts = 5;

using Attributes = std::map<std::wstring, std::wstring, CaseInsensitiveLess>;

// Reads the next entry named `element`. The attributes named in `defaults`
// are collected, each taking its default when the entry lacks it; other
// attributes are ignored.
HRESULT NextEntry(CEntryReader& entries, const wchar_t* element, Attributes& attributes,
                  std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> defaults)
{
    HRESULT hr = entries.Next(element);
    if (hr != S_OK)
        return hr;
    attributes.clear();
    for (const auto& entry : defaults)
        attributes[entry.first] = entry.second;
    return entries.VisitAttributes([&attributes](const wchar_t* name, const wchar_t* value) {
        auto known = attributes.find(name);
        if (known != attributes.end())
            known->second = value;
        return S_OK;
    });
}

// Reports the opening of an entry file and opens a reader on it.
HRESULT OpenEntryFile(const wchar_t* status, const wchar_t* path, IQStatusReport* sink, ComPtr<IXmlReader>& reader)
{
    ReportStatus(sink, status, path);
    return OpenXmlReader(path, &reader);
}

} // namespace

HRESULT DownloadImagesToDevice(IQDevice* device, const wchar_t* rawProgramList, const wchar_t* patchList,
                               const wchar_t* searchPath, IQStatusReport* sink)
{
    StringList rawPrograms, patches;
    SplitList(rawProgramList ? rawProgramList : L"", rawPrograms);
    SplitList(patchList ? patchList : L"", patches);
    if (rawPrograms.size() != patches.size())
        return LogError(E_UNEXPECTED, L"DownloadImagesToDevice", __LINE__);

    // A target that hears answers without command ids makes sure after each
    // pair that none of them is still on its way.
    ComPtr<IQDeviceSync> sync;
    if (device)
        device->QueryInterface(IID_IQDeviceSync, reinterpret_cast<void**>(sync.GetAddressOf()));
    HRESULT hr = S_OK;
    for (size_t i = 0; i < rawPrograms.size(); ++i)
    {
        for (int attempt = 0; attempt < kPairAttempts; ++attempt)
        {
            hr = LogError(WriteFilesToDevice(device, rawPrograms[i].c_str(), searchPath, sink),
                          L"DownloadImagesToDevice", __LINE__);
            if (SUCCEEDED(hr))
                hr = LogError(ApplyPatchesToDevice(device, patches[i].c_str(), sink), L"DownloadImagesToDevice",
                              __LINE__);
            if (SUCCEEDED(hr) && sync)
                hr = LogError(sync->Synchronize(), L"DownloadImagesToDevice", __LINE__);
            if (SUCCEEDED(hr))
                break;
            if (FAILED(LogError(device->Reset(), L"DownloadImagesToDevice", __LINE__)))
                break;
        }
        if (FAILED(hr))
            return hr;
    }
    return hr;
}

HRESULT WriteFilesToDevice(IQDevice* device, const wchar_t* rawProgramPath, const wchar_t* searchPath,
                           IQStatusReport* sink)
{
    ComPtr<IXmlReader> reader;
    HRESULT hr = OpenEntryFile(L"Open program file \"%s\"", rawProgramPath, sink, reader);
    RETURN_IF_FAILED(hr, L"WriteFilesToDevice", __LINE__);

    CEntryReader entries(reader.Get());
    Attributes a;
    while ((hr = NextEntry(entries, L"program", a,
                           {{L"filename", L""},
                            {L"start_sector", L"0"},
                            {L"num_partition_sectors", L"0"},
                            {L"file_sector_offset", L"0"},
                            {L"SECTOR_SIZE_IN_BYTES", L"512"},
                            {L"physical_partition_number", L"0"},
                            {L"sparse", L""}})) == S_OK)
    {
        const std::wstring& filename = a[L"filename"];
        if (filename.empty())
            continue;
        const std::wstring path = FindFile(DirectoryText(searchPath ? searchPath : L""), L"%s", filename.c_str());
        const wchar_t* start = a[L"start_sector"].c_str();
        if (StrCmpIW(a[L"sparse"].c_str(), L"true") == 0)
        {
            hr = WriteSparseFileToDevice(device, start, a[L"num_partition_sectors"].c_str(), path.c_str(),
                                         a[L"file_sector_offset"].c_str(), a[L"SECTOR_SIZE_IN_BYTES"].c_str(),
                                         a[L"physical_partition_number"].c_str());
            RETURN_IF_FAILED(hr, L"WriteFilesToDevice", __LINE__);
            continue;
        }
        for (int attempt = 1;; ++attempt)
        {
            ReportStatus(sink, L"write image file \"%s\" on %s", path.c_str(), start);
            hr = device->WriteFile(start, a[L"num_partition_sectors"].c_str(), path.c_str(),
                                   a[L"file_sector_offset"].c_str(), L"0", a[L"SECTOR_SIZE_IN_BYTES"].c_str(),
                                   a[L"physical_partition_number"].c_str());
            if (SUCCEEDED(hr))
                break;
            ReportStatus(sink, L"write image file \"%s\" failed, try agian.", path.c_str());
            if (attempt == kImageAttempts)
            {
                ReportStatus(sink, L"write image file \"%s\" failed", path.c_str());
                return LogError(hr, L"WriteFilesToDevice", __LINE__);
            }
        }
    }
    RETURN_IF_FAILED(hr, L"WriteFilesToDevice", __LINE__);
    return S_OK;
}

HRESULT ApplyPatchesToDevice(IQDevice* device, const wchar_t* patchPath, IQStatusReport* sink)
{
    ComPtr<IXmlReader> reader;
    HRESULT hr = OpenEntryFile(L"Open patch file \"%s\"", patchPath, sink, reader);
    RETURN_IF_FAILED(hr, L"ApplyPatchesToDevice", __LINE__);

    CEntryReader entries(reader.Get());
    Attributes a;
    while ((hr = NextEntry(entries, L"patch", a,
                           {{L"filename", L""},
                            {L"start_sector", L"0"},
                            {L"byte_offset", L"0"},
                            {L"value", L"0"},
                            {L"size_in_bytes", L"0"},
                            {L"physical_partition_number", L"0"},
                            {L"SECTOR_SIZE_IN_BYTES", L"512"}})) == S_OK)
    {
        if (StrCmpIW(a[L"filename"].c_str(), L"DISK") != 0)
            continue;
        hr = device->ApplyPatch(a[L"start_sector"].c_str(), a[L"byte_offset"].c_str(), a[L"value"].c_str(),
                                a[L"size_in_bytes"].c_str(), a[L"SECTOR_SIZE_IN_BYTES"].c_str(),
                                a[L"physical_partition_number"].c_str());
        RETURN_IF_FAILED(hr, L"ApplyPatchesToDevice", __LINE__);
    }
    RETURN_IF_FAILED(hr, L"ApplyPatchesToDevice", __LINE__);
    return S_OK;
}
