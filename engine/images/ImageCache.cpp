#include "engine/images/ImageCache.h"

#include "engine/EngineIo.h"
#include "services/Log.h"

#include <map>
#include <new>
#include <string>

namespace
{
struct CImageCache
{
    CImageCache() : mutex(CreateMutexW(nullptr, FALSE, nullptr))
    {
        if (!mutex)
            throw CHResultException(LastErrorHResult());
    }

    CHandle mutex;
    std::map<std::wstring, std::weak_ptr<CSharedFileMapping>> table;
};

CImageCache& ImageCache()
{
    static CImageCache cache;
    return cache;
}

// Maps the whole file read-only.
HRESULT MapWholeFile(HANDLE file, std::shared_ptr<CSharedFileMapping>& mapping)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        return LogError(LastErrorHResult(), L"OpenSharedFileMapping", __LINE__);
    // An empty file has no section to map: it gets an empty view of its own.
    static const BYTE empty = 0;
    if (size.QuadPart == 0)
    {
        try
        {
            mapping = std::make_shared<CSharedFileMapping>(&empty);
        }
        catch (const std::bad_alloc&)
        {
            return LogError(E_OUTOFMEMORY, L"OpenSharedFileMapping", __LINE__);
        }
        return S_OK;
    }
    CHandle section(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!section)
        return LogError(LastErrorHResult(), L"OpenSharedFileMapping", __LINE__);
    CMappedView view(MapViewOfFileEx(section.Get(), FILE_MAP_READ, 0, 0, 0, nullptr));
    if (!view)
        return LogError(LastErrorHResult(), L"OpenSharedFileMapping", __LINE__);
    try
    {
        mapping = std::make_shared<CSharedFileMapping>(std::move(section), std::move(view),
                                                       static_cast<ULONGLONG>(size.QuadPart));
    }
    catch (const std::bad_alloc&)
    {
        return LogError(E_OUTOFMEMORY, L"OpenSharedFileMapping", __LINE__);
    }
    return S_OK;
}
} // namespace

CSharedFileMapping::CSharedFileMapping(CHandle section, CMappedView view, ULONGLONG size)
    : m_section(std::move(section)), m_view(std::move(view)), m_size(size)
{
}

CSharedFileMapping::CSharedFileMapping(const BYTE* empty) : m_empty(empty), m_size(0) {}

HRESULT OpenSharedFileMapping(const wchar_t* path, std::shared_ptr<CSharedFileMapping>& mapping)
{
    CImageCache& cache = ImageCache();
    CMutexLock lock(cache.mutex.Get());
    const std::wstring key = path ? path : L"";
    auto found = cache.table.find(key);
    if (found != cache.table.end())
    {
        if (std::shared_ptr<CSharedFileMapping> live = found->second.lock())
        {
            mapping = std::move(live);
            return S_OK;
        }
        cache.table.erase(found);
    }
    CFileHandle file(CreateFileW(key.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
        return LogError(LastErrorHResult(), L"OpenSharedFileMapping", __LINE__);
    std::shared_ptr<CSharedFileMapping> created;
    HRESULT hr = MapWholeFile(file.Get(), created);
    if (FAILED(hr))
        return hr;
    try
    {
        cache.table[key] = created;
    }
    catch (const std::bad_alloc&)
    {
        return LogError(E_OUTOFMEMORY, L"OpenSharedFileMapping", __LINE__);
    }
    mapping = std::move(created);
    return S_OK;
}

size_t SharedFileMappingEntryCount()
{
    CImageCache& cache = ImageCache();
    CMutexLock lock(cache.mutex.Get());
    return cache.table.size();
}
