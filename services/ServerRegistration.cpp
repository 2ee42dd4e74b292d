#include "services/ServerRegistration.h"

#include "services/Registrar.h"

#include <objbase.h>

const GUID kKestrupAppId = {0xF51F4351, 0x6081, 0x4EC4, {0x92, 0xF6, 0xDE, 0x53, 0xC6, 0x78, 0x37, 0x26}};

namespace
{
// The automation server's type library and the proxy components' library.
const GUID kAtmnServerLib = {0xF6F37A12, 0xF62A, 0x4603, {0x87, 0x57, 0x62, 0x66, 0x05, 0x8C, 0xF4, 0x8E}};
const GUID kProxyComponentsLib = {0x21454A49, 0x2D4B, 0x4F4E, {0xA4, 0x01, 0x0C, 0x26, 0x14, 0xB1, 0x26, 0x6B}};
const CLSID kAtmnServerClass = {0xBC600A24, 0x8927, 0x4696, {0x9A, 0x41, 0x35, 0x18, 0x7E, 0xDD, 0xDD, 0x19}};
const CLSID kDownloadSettingsClass = {0x6BF99F3E, 0xFE24, 0x4A7A, {0x94, 0xD9, 0x32, 0xD7, 0x17, 0x1C, 0x33, 0xA5}};

const ServerClassRegistration kServerClasses[] = {
    {&kAtmnServerClass, L"AtmnServer Class", &kAtmnServerLib},
    {&kDownloadSettingsClass, L"DownloadSettings Class", &kProxyComponentsLib},
};

const wchar_t kClassScript[] = L"HKCR\n"
                               L"{\n"
                               L"    NoRemove CLSID\n"
                               L"    {\n"
                               L"        ForceRemove '%CLSID%' = s '%DESCRIPTION%'\n"
                               L"        {\n"
                               L"            LocalServer32 = s '%MODULE%'\n"
                               L"            val AppID = s '%APPID%'\n"
                               L"            TypeLib = s '%LIBID%'\n"
                               L"        }\n"
                               L"    }\n"
                               L"}\n";
} // namespace

const ServerClassRegistration* GetServerClasses(size_t& count)
{
    count = sizeof(kServerClasses) / sizeof(kServerClasses[0]);
    return kServerClasses;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

HRESULT UpdateServerClassRegistry(const ServerClassRegistration& entry, bool registering,
                                  const std::wstring& programPath)
{
    // A local server's command line: the path quoted when it holds a blank.
    std::wstring module = programPath.find(L' ') == std::wstring::npos ? programPath : L"\"" + programPath + L"\"";
    return ApplyRegistryScript(kClassScript, registering,
                               {{L"CLSID", GuidText(*entry.clsid)},
                                {L"DESCRIPTION", entry.description},
                                {L"MODULE", module},
                                {L"APPID", GuidText(kKestrupAppId)},
                                {L"LIBID", GuidText(*entry.libid)}});
}
