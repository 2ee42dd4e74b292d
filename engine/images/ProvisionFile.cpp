#include "engine/images/ProvisionFile.h"

#include <wrl/client.h>

#include "engine/EngineIo.h"
#include "engine/images/EntryReader.h"
#include "services/Log.h"
#include "services/Text.h"

using Microsoft::WRL::ComPtr;

HRESULT ReadProvisionFile(const wchar_t* path, std::vector<std::wstring>& elements)
{
    elements.clear();
    ComPtr<IXmlReader> reader;
    HRESULT hr = OpenXmlReader(path, &reader);
    RETURN_IF_FAILED(hr, L"ReadProvisionFile", __LINE__);

    CEntryReader entries(reader.Get());
    std::vector<std::wstring> read;
    while ((hr = entries.Next(L"ufs")) == S_OK)
    {
        std::wstring element = L"<ufs ";
        hr = entries.VisitAttributes([&element](const wchar_t* name, const wchar_t* value) {
            if (StrCmpIW(name, L"desc") != 0)
                element.append(name).append(L"=\"").append(XmlEscaped(value)).append(L"\" ");
            return S_OK;
        });
        RETURN_IF_FAILED(hr, L"ReadProvisionFile", __LINE__);
        element += L" />";
        std::string bytes;
        hr = ToNarrowExact(element, bytes);
        RETURN_IF_FAILED(hr, L"ReadProvisionFile", __LINE__);
        read.push_back(std::move(element));
    }
    RETURN_IF_FAILED(hr, L"ReadProvisionFile", __LINE__);
    if (read.empty())
        return LogError(HResultFromWin32(ERROR_NOT_FOUND), L"ReadProvisionFile", __LINE__);
    elements.swap(read);
    return S_OK;
}
