// A stand-in for the shell's progress dialog, registered in this process
// under the shell's class id so that CoCreateInstance finds it first. It
// records every call.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include "platform/ComObject.h"
#include <map>
#include <string>
#include <vector>

struct ProgressRecord
{
    HRESULT createResult = S_OK; // what the class factory answers
    HRESULT startResult = S_OK;  // what StartProgressDialog answers
    int cancelAfter = -1;        // HasUserCancelled is true once asked more often than this
    LONG liveObjects = 0;

    int starts = 0;
    int stops = 0;
    int cancelQueries = 0;
    DWORD startFlags = 0;
    std::wstring title;
    UINT animation = 0;
    std::map<DWORD, std::wstring> lines;
    std::vector<std::wstring> compactedLines; // line 2 texts set with path compaction
    ULONGLONG completed = 0;
    ULONGLONG total = 0;
};

// Registers the stand-in for its lifetime; `record` must outlive it.
class CFakeProgressDialogClass
{
public:
    explicit CFakeProgressDialogClass(ProgressRecord& record);
    ~CFakeProgressDialogClass();
    bool Registered() const { return m_cookie != 0; }

private:
    DWORD m_cookie = 0;
    ComPtr<IClassFactory> m_factory;
};
