// The program's own and QPST's proxy type libraries registered for the life
// of a test, so that the status sink and the dual interfaces can be
// marshalled between processes.
#pragma once
#include "engine/Automation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class CRegisteredTypeLibraries
{
public:
    // `module`: the file that embeds them; empty: this test executable.
    explicit CRegisteredTypeLibraries(std::wstring module = L"")
    {
        if (module.empty())
        {
            wchar_t exe[MAX_PATH] = {};
            GetModuleFileNameW(nullptr, exe, MAX_PATH);
            module = exe;
        }
        for (int index : {kKestrupTypeLibrary, kProxyTypeLibrary})
        {
            std::wstring path = module + L"\\" + std::to_wstring(index);
            ComPtr<ITypeLib> lib;
            TLIBATTR* attributes = nullptr;
            if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib)) || FAILED(lib->GetLibAttr(&attributes)))
            {
                ADD_FAILURE() << "type library " << index;
                continue;
            }
            m_registered.push_back(*attributes);
            lib->ReleaseTLibAttr(attributes);
            EXPECT_EQ(S_OK, RegisterTypeLib(lib.Get(), &path[0], nullptr)) << index;
        }
    }
    ~CRegisteredTypeLibraries()
    {
        for (const TLIBATTR& a : m_registered)
            UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    }
    CRegisteredTypeLibraries(const CRegisteredTypeLibraries&) = delete;
    CRegisteredTypeLibraries& operator=(const CRegisteredTypeLibraries&) = delete;

private:
    std::vector<TLIBATTR> m_registered;
};
