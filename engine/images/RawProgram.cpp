#include "engine/images/RawProgram.h"

#include <wrl/client.h>

#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineIo.h"
#include "engine/XmlElements.h"
#include "engine/images/SparseImage.h"
#include "engine/storage/QDevice.h"
#include "services/FileSearch.h"
#include "services/Log.h"

using Microsoft::WRL::ComPtr;

namespace
{

constexpr int kPairAttempts = 3;
constexpr int kImageAttempts = 5;

struct CaseInsensitiveLess
{
    bool operator()(const std::wstring& a, const std::wstring& b) const { return StrCmpIW(a.c_str(), b.c_str()) < 0; }
};

using Attributes = std::map<std::wstring, std::wstring, CaseInsensitiveLess>;

// Reads the entries of a rawprogram or patch file in document order and
// tells a whole document from one that ends early: a document without any
// element, or one whose root element never ends, is not whole. XmlLite here
// reports the end of such an input as a success, after end elements of its
// own for the elements still open, each at the place of its start tag.
class CEntryReader
{
public:
    explicit CEntryReader(IXmlReader* reader) : m_reader(reader) {}

    // Reads the next element named `element` (any depth); S_FALSE at the end
    // of a whole document, MX_E_INPUTEND (0xC00CEE01) at the end of one that
    // is not. The attributes named in `defaults` are collected, each taking
    // its default when the element lacks it; other attributes are ignored.
    HRESULT Next(const wchar_t* element, Attributes& attributes,
                 std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> defaults)
    {
        HRESULT hr = MoveToNext(element);
        if (hr != S_OK)
            return hr;
        attributes.clear();
        for (const auto& entry : defaults)
            attributes[entry.first] = entry.second;
        return VisitAttributes(m_reader, [&attributes](const wchar_t* name, const wchar_t* value) {
            auto known = attributes.find(name);
            if (known != attributes.end())
                known->second = value;
            return S_OK;
        });
    }

private:
    HRESULT MoveToNext(const wchar_t* element)
    {
        const HRESULT inputEnd = static_cast<HRESULT>(MX_E_INPUTEND);
        m_reader->MoveToElement(); // from an attribute back to its element
        XmlReaderPlace last(m_reader);
        XmlNodeType type;
        HRESULT hr;
        while ((hr = m_reader->Read(&type)) == S_OK)
        {
            // A reader that no longer moves on through its input.
            const XmlReaderPlace place(m_reader);
            if (place == last)
                return inputEnd;
            last = place;
            if (type == XmlNodeType_EndElement)
            {
                // One made up by the reader stands where its start tag stands.
                if (m_open.empty() || (m_open.back().line == place.line && m_open.back().position == place.position))
                    return inputEnd;
                m_open.pop_back();
                continue;
            }
            if (type != XmlNodeType_Element)
                continue;
            m_elements = true;
            if (!m_reader->IsEmptyElement())
                m_open.push_back(place);
            const wchar_t* local = nullptr;
            hr = m_reader->GetLocalName(&local, nullptr);
            if (FAILED(hr))
                return hr;
            if (StrCmpIW(local, element) == 0)
                return S_OK;
        }
        if (hr == S_FALSE && (!m_elements || !m_open.empty()))
            return inputEnd;
        return hr;
    }

    IXmlReader* m_reader;
    std::vector<XmlReaderPlace> m_open; // where each element not yet ended starts
    bool m_elements = false;
};

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
    while ((hr = entries.Next(L"program", a,
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
    while ((hr = entries.Next(L"patch", a,
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
