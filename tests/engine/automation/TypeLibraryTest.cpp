// The type libraries embedded in the program: their identities, the slots and
// dispatch IDs that clients of a QPST server call (a difference breaks every
// client silently), and the status sink's
// description against the interface the engine is compiled with.
#include <gtest/gtest.h>

#include "engine/Automation.h"
#include "engine/StatusReport.h"

#include <string>
#include <vector>

namespace
{
ComPtr<ITypeLib> LoadEmbedded(int index)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(S_OK, LoadTypeLibEx((std::wstring(path) + L"\\" + std::to_wstring(index)).c_str(), REGKIND_NONE, &lib));
    return lib;
}

// The description of a member: vtable slot (-1 for a dispatch-only member)
// and dispatch ID; false when the interface has no such member.
bool FindMember(ITypeInfo* info, const wchar_t* name, INVOKEKIND kind, int* slot, DISPID* id)
{
    TYPEATTR* attributes = nullptr;
    if (FAILED(info->GetTypeAttr(&attributes)))
        return false;
    const UINT functions = attributes->cFuncs;
    info->ReleaseTypeAttr(attributes);
    for (UINT i = 0; i < functions; ++i)
    {
        FUNCDESC* function = nullptr;
        if (FAILED(info->GetFuncDesc(i, &function)))
            continue;
        BSTR found = nullptr;
        UINT count = 0;
        info->GetNames(function->memid, &found, 1, &count);
        const bool match = count == 1 && std::wstring(found) == name && function->invkind == kind;
        SysFreeString(found);
        if (match)
        {
            *slot = function->funckind == FUNC_DISPATCH ? -1 : function->oVft / static_cast<int>(sizeof(void*));
            *id = function->memid;
        }
        info->ReleaseFuncDesc(function);
        if (match)
            return true;
    }
    return false;
}

TEST(TypeLibraries, IdentitiesOfTheThreeLibraries)
{
    const struct
    {
        int index;
        const wchar_t* name;
        GUID libid;
    } libraries[] = {
        {kKestrupTypeLibrary,
         L"KestrupLib",
         {0x24CEB9FF, 0xC573, 0x4658, {0xB4, 0x0B, 0x1E, 0x3E, 0x38, 0x3D, 0x8D, 0x50}}},
        {kAtmnServerTypeLibrary,
         L"QPSTAtmnServerLib",
         {0xF6F37A12, 0xF62A, 0x4603, {0x87, 0x57, 0x62, 0x66, 0x05, 0x8C, 0xF4, 0x8E}}},
        {kProxyTypeLibrary,
         L"QPSTPROXYCOMPONENTSLib",
         {0x21454A49, 0x2D4B, 0x4F4E, {0xA4, 0x01, 0x0C, 0x26, 0x14, 0xB1, 0x26, 0x6B}}},
    };
    for (const auto& library : libraries)
    {
        ComPtr<ITypeLib> lib = LoadEmbedded(library.index);
        ASSERT_TRUE(lib) << library.index;
        TLIBATTR* attributes = nullptr;
        ASSERT_EQ(S_OK, lib->GetLibAttr(&attributes));
        EXPECT_TRUE(IsEqualGUID(library.libid, attributes->guid)) << library.index;
        EXPECT_EQ(1, attributes->wMajorVerNum);
        EXPECT_EQ(0, attributes->wMinorVerNum);
        lib->ReleaseTLibAttr(attributes);
        BSTR name = nullptr;
        ASSERT_EQ(S_OK, lib->GetDocumentation(-1, &name, nullptr, nullptr, nullptr));
        EXPECT_STREQ(library.name, name);
        SysFreeString(name);
    }
}

TEST(TypeLibraries, SlotsAndDispatchIdsThatClientsCall)
{
    const struct
    {
        int library;
        const IID* iid;
        bool vtable;
        const wchar_t* name;
        INVOKEKIND kind;
        int slot;
        DISPID id;
    } members[] = {
        {2, &DIID_IAtmnServer, false, L"GetPortList", INVOKE_FUNC, -1, 1},
        {2, &DIID_IAtmnServer, false, L"Quit", INVOKE_FUNC, -1, 4},
        {2, &DIID_IAtmnServer, false, L"GetPort", INVOKE_FUNC, -1, 5},
        {2, &DIID_IAtmnServer, false, L"AddPort", INVOKE_FUNC, -1, 8},
        {2, &DIID_IAtmnServer, false, L"RemovePort", INVOKE_FUNC, -1, 9},
        {2, &DIID_IAtmnServer, false, L"EnablePort", INVOKE_PROPERTYPUT, -1, 10},
        {2, &DIID_IAtmnServer, false, L"PID", INVOKE_FUNC, -1, 14},
        {3, &IID_IQPortProxy, true, L"QPSTPhone", INVOKE_PROPERTYPUT, 7, 1},
        {3, &IID_IQPortProxy, true, L"PhoneStatus", INVOKE_PROPERTYGET, 16, 10},
        {3, &IID_IQPortProxy, true, L"SoftwareDownload", INVOKE_PROPERTYGET, 29, 23},
        {3, &IID_IQPortProxy, true, L"CommandTimeout", INVOKE_PROPERTYGET, 37, 30},
        {3, &IID_IQPortProxy, true, L"MACAddress", INVOKE_PROPERTYGET, 65, 51},
        {3, &IID_IQSoftwareDownload, true, L"StatusReport", INVOKE_PROPERTYPUT, 9, 3},
        {3, &IID_IQSoftwareDownload, true, L"DownloadBySettings", INVOKE_FUNC, 31, 23},
        {3, &IID_IDownloadSettings, true, L"GetParam", INVOKE_PROPERTYGET, 7, 1},
        {3, &IID_IDownloadSettings, true, L"SetParam", INVOKE_FUNC, 8, 2},
        {3, &IID_IDownloadSettings, true, L"IsKnownConfiguration", INVOKE_PROPERTYGET, 10, 4},
        {3, &IID_IDownloadSettings, true, L"GetLastError", INVOKE_FUNC, 11, 5},
    };
    for (const auto& member : members)
    {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, GetProgramTypeInfo(member.library, *member.iid, member.vtable, &info)) << member.name;
        int slot = 0;
        DISPID id = 0;
        ASSERT_TRUE(FindMember(info.Get(), member.name, member.kind, &slot, &id)) << member.name;
        EXPECT_EQ(member.slot, slot) << member.name;
        EXPECT_EQ(member.id, id) << member.name;
    }
    // Every member of the three dual interfaces, so none was lost: 59, 25, 5.
    const std::pair<const IID*, UINT> counts[] = {
        {&IID_IQPortProxy, 59}, {&IID_IQSoftwareDownload, 25}, {&IID_IDownloadSettings, 5}};
    for (const auto& count : counts)
    {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, GetProgramTypeInfo(kProxyTypeLibrary, *count.first, true, &info));
        TYPEATTR* attributes = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attributes));
        EXPECT_EQ(count.second, attributes->cFuncs);
        info->ReleaseTypeAttr(attributes);
    }
}

// What the jobs implement (engine/StatusReport.h) is what the program's own
// library describes.
struct CSinkProbe : IQStatusReport
{
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP NewStatus(LONG id, BSTR first, BSTR second) override
    {
        calls.push_back(std::to_wstring(id) + L"|" + (first ? first : L"(null)") + L"|" +
                        (second ? second : L"(null)"));
        return S_OK;
    }
    std::vector<std::wstring> calls;
};

TEST(TypeLibraries, StatusSinkDescriptionMatchesTheCompiledInterface)
{
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, LoadEmbedded(kKestrupTypeLibrary)->GetTypeInfoOfGuid(__uuidof(IQStatusReport), &info));
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attributes));
    EXPECT_EQ(1, attributes->cFuncs);
    EXPECT_NE(0, attributes->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    info->ReleaseTypeAttr(attributes);

    FUNCDESC* described = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(0, &described));
    const FUNCDESC function = *described;
    std::vector<VARTYPE> parameters;
    for (SHORT i = 0; i < described->cParams; ++i)
        parameters.push_back(described->lprgelemdescParam[i].tdesc.vt);
    info->ReleaseFuncDesc(described);
    BSTR name = nullptr;
    UINT names = 0;
    ASSERT_EQ(S_OK, info->GetNames(function.memid, &name, 1, &names));
    EXPECT_STREQ(L"NewStatus", name);
    SysFreeString(name);
    EXPECT_EQ(3 * static_cast<int>(sizeof(void*)), function.oVft);
    EXPECT_EQ(VT_HRESULT, function.elemdescFunc.tdesc.vt);
    EXPECT_EQ((std::vector<VARTYPE>{VT_I4, VT_BSTR, VT_BSTR}), parameters);

    // Calling through the description reaches NewStatus of the C++ interface
    // with the arguments in place.
    CSinkProbe probe;
    VARIANT args[3];
    VARIANTARG* argPointers[3] = {&args[0], &args[1], &args[2]};
    VARTYPE types[3] = {VT_I4, VT_BSTR, VT_BSTR};
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = 4425;
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = nullptr;
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = SysAllocString(L"Send nop command");
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, DispCallFunc(static_cast<IQStatusReport*>(&probe), function.oVft, CC_STDCALL, VT_ERROR, 3, types,
                                 argPointers, &result));
    VariantClear(&args[2]);
    ASSERT_EQ(1u, probe.calls.size());
    EXPECT_EQ(L"4425|(null)|Send nop command", probe.calls[0]);
}
} // namespace
