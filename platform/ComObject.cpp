#include "platform/ComObject.h"

HRESULT QueryInterfaceFromTable(void* object, const ComInterfaceEntry* table, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!table || !table[0].iid)
        return E_NOINTERFACE;
    const ComInterfaceEntry* found = nullptr;
    if (InlineIsEqualGUID(iid, IID_IUnknown))
        found = &table[0];
    for (const ComInterfaceEntry* entry = table; !found && entry->iid; ++entry)
    {
        if (InlineIsEqualGUID(iid, *entry->iid))
            found = entry;
    }
    if (!found)
        return E_NOINTERFACE;
    IUnknown* unknown = found->get(object);
    if (found->delegates)
        return unknown ? unknown->QueryInterface(iid, out) : E_NOINTERFACE;
    unknown->AddRef();
    *out = unknown;
    return S_OK;
}
