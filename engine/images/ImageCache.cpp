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
    ~CImageCache()
    {
        CloseHandle(mutex);
    }

    HANDLE mutex;
    std::map<std::wstring, std::weak_ptr<CSharedFileMapping>> table;
};

CImageCache& ImageCache()
{
    static CImageCache cache;
    return cache;
}

class CMutexLock
{
public:
    explicit CMutexLock(HANDLE mutex) : m_mutex(mutex) { WaitForSingleObject(m_mutex, INFINITE); }
    ~CMutexLock() { ReleaseMutex(m_mutex); }
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;

private:
    HANDLE m_mutex;
};

class CFileHandle
{
public:
    explicit CFileHandle(HANDLE h) : m_h(h) {}
    ~CFileHandle()
    {
        if (m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
    }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h;
};

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
            mapping = std::make_shared<CSharedFileMapping>(nullptr, &empty, 0);
        }
        catch (const std::bad_alloc&)
        {
            return LogError(E_OUTOFMEMORY, L"OpenSharedFileMapping", __LINE__);
        }
        return S_OK;
    }
    HANDLE section = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!section)
        return LogError(LastErrorHResult(), L"OpenSharedFileMapping", __LINE__);
    void* view = MapViewOfFileEx(section, FILE_MAP_READ, 0, 0, 0, nullptr);
    if (!view)
    {
        HRESULT hr = LastErrorHResult();
        CloseHandle(section);
        return LogError(hr, L"OpenSharedFileMapping", __LINE__);
    }
    try
    {
        mapping = std::make_shared<CSharedFileMapping>(section, static_cast<const BYTE*>(view),
                                                       static_cast<ULONGLONG>(size.QuadPart));
    }
    catch (const std::bad_alloc&)
    {
        UnmapViewOfFile(view);
        CloseHandle(section);
        return LogError(E_OUTOFMEMORY, L"OpenSharedFileMapping", __LINE__);
    }
    return S_OK;
}
} // namespace

CSharedFileMapping::CSharedFileMapping(HANDLE section, const BYTE* view, ULONGLONG size)
    : m_section(section), m_view(view), m_size(size)
{
}

CSharedFileMapping::~CSharedFileMapping()
{
    if (!m_section)
        return;
    UnmapViewOfFile(m_view);
    CloseHandle(m_section);
}

HRESULT OpenSharedFileMapping(const wchar_t* path, std::shared_ptr<CSharedFileMapping>& mapping)
{
    CImageCache& cache = ImageCache();
    CMutexLock lock(cache.mutex);
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
    CMutexLock lock(cache.mutex);
    return cache.table.size();
}
