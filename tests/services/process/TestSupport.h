// Helpers shared by the process and co-installer tests.
#pragma once
#include "services/Log.h"
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/LogLines.h"

#include <string>
#include <vector>

// This test executable's full path, quoted for a command line.
std::wstring QuotedSelf();

// The ids of the processes whose parent is `parent` and that run this test
// executable, from a fresh snapshot (the system may add helper processes of
// its own below ours).
std::vector<DWORD> ChildrenOf(DWORD parent);

// Waits up to `timeoutMs` for `parent` to have such a child; 0 when none came.
DWORD WaitForChild(DWORD parent, DWORD timeoutMs = 20000);

// Owns a started process; ends its whole tree if it still runs when the
// guard goes, so that a failing test leaves nothing behind.
class CProcessGuard
{
public:
    explicit CProcessGuard(HANDLE process) : m_process(process) {}
    ~CProcessGuard();
    CProcessGuard(const CProcessGuard&) = delete;
    CProcessGuard& operator=(const CProcessGuard&) = delete;
    HANDLE Get() const { return m_process; }

private:
    HANDLE m_process;
};
