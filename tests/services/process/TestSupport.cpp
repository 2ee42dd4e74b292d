#include "tests/services/process/TestSupport.h"
#include "services/Process.h"

std::wstring QuotedSelf()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return L"\"" + std::wstring(self) + L"\"";
}

std::vector<DWORD> ChildrenOf(DWORD parent)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const wchar_t* name = wcsrchr(self, L'\\') ? wcsrchr(self, L'\\') + 1 : self;
    std::vector<DWORD> children;
    for (const _PROCESS_INFORMATION_EX& info : CProcessList())
        if (info.entry.th32ParentProcessID == parent && lstrcmpiW(info.entry.szExeFile, name) == 0)
            children.push_back(info.entry.th32ProcessID);
    return children;
}

DWORD WaitForChild(DWORD parent, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        std::vector<DWORD> children = ChildrenOf(parent);
        if (!children.empty())
            return children.front();
        if (GetTickCount() - start > timeoutMs)
            return 0;
        Sleep(20);
    }
}

CProcessGuard::~CProcessGuard()
{
    if (!m_process)
        return;
    if (WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0)
        KillProcessTree(m_process);
    CloseHandle(m_process);
}
