// The process-wide image cache: every image file is mapped read-only once and
// shared by all downloads that use it at the same time. The cache holds weak
// references only, so a file is unmapped when its last holder lets go and
// mapped again by the next request.
#pragma once
#include <windows.h>
#include <memory>

#include "platform/Handles.h"

class CSharedFileMapping
{
public:
    CSharedFileMapping(CHandle section, CMappedView view, ULONGLONG size);
    // An empty file: no section, a view of no bytes at empty.
    explicit CSharedFileMapping(const BYTE* empty);
    CSharedFileMapping(const CSharedFileMapping&) = delete;
    CSharedFileMapping& operator=(const CSharedFileMapping&) = delete;

    // The whole file, read-only.
    const BYTE* View() const { return m_view ? static_cast<const BYTE*>(m_view.Get()) : m_empty; }
    ULONGLONG Size() const { return m_size; }

private:
    CHandle m_section;
    CMappedView m_view;
    const BYTE* m_empty = nullptr;
    ULONGLONG m_size;
};

// Hands out a shared reference to the mapping of the file at path (compared
// exactly, letter case included). Throws CHResultException when the cache's
// mutex cannot be made.
HRESULT OpenSharedFileMapping(const wchar_t* path, std::shared_ptr<CSharedFileMapping>& mapping);

// Number of paths in the cache's table, live or expired (for diagnostics).
size_t SharedFileMappingEntryCount();
